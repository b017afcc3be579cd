/*
 * The formatter's output primitives. They write in place and never past the
 * buffer: each works out first how much of its output fits, then stores that
 * much without a test per character. Decimal output counts its digits first
 * and fills them in from the right, so no scratch buffer is needed.
 */
#include "format.h"

const char HexDigits[17] = "0123456789ABCDEF";

/* Digits are stored two at a time: "00" to "99", and "00" to "FF" by byte value. */
static const char DecimalPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

typedef struct _HexPairTable {
    char Pairs[512];
} HexPairTable;

static constexpr HexPairTable BuildHexPairs()
{
    const char digits[] = "0123456789ABCDEF";
    HexPairTable table = {};
    for (int value = 0; value < 256; value++) {
        table.Pairs[value * 2] = digits[value >> 4];
        table.Pairs[value * 2 + 1] = digits[value & 0xF];
    }
    return table;
}

static constexpr HexPairTable HexPairs = BuildHexPairs();

/* How many more characters fit; 0 once the position has reached the end or passed it. */
static inline LONG RoomLeft(const OutputCursor *Cursor)
{
    LONG room = Cursor->Capacity - Cursor->Position;
    return room > 0 ? room : 0;
}

/* Only called with room left, so the slot lies inside the buffer. */
static inline char *NextSlot(const OutputCursor *Cursor)
{
    return Cursor->Buffer + Cursor->Position;
}

/* What a string directive prints for a null pointer instead of faulting. */
static BOOLEAN PutNull(POutputCursor Cursor)
{
    return PutText(Cursor, "(null)", 6);
}

/* The decimal digits of Value, counted by comparison rather than division. */
template <typename Unsigned>
static LONG CountDecimalDigits(Unsigned Value, LONG MostDigits)
{
    LONG digits = 1;
    for (Unsigned bound = 10; digits < MostDigits && Value >= bound; bound *= 10) {
        digits++;
    }
    return digits;
}

/*
 * A number that crosses the end of the buffer keeps its leading digits; the
 * position may end past the capacity and the next primitive reports full.
 * One body for both widths, so the 32-bit form keeps 32-bit division on x86.
 */
template <typename Unsigned>
static BOOLEAN PutUnsignedDecimal(POutputCursor Cursor, Unsigned Value, LONG MostDigits)
{
    if (Value == 0) {
        return PutChar(Cursor, '0');
    }
    LONG digits = CountDecimalDigits(Value, MostDigits);
    LONG room = RoomLeft(Cursor);
    if (digits <= room) {
        char *end = NextSlot(Cursor) + digits;
        while (Value >= 100) {
            ULONG pair = (ULONG)(Value % 100) * 2;
            Value /= 100;
            end -= 2;
            RtlCopyMemory(end, &DecimalPairs[pair], 2);
        }
        if (Value >= 10) {
            RtlCopyMemory(end - 2, &DecimalPairs[Value * 2], 2);
        } else {
            end[-1] = HexDigits[Value];
        }
        Cursor->Position += digits;
        return FALSE;
    }
    /* Crossing the end: only the leading digits that fit are stored. */
    LONG index = Cursor->Position + digits;
    while (Value != 0) {
        index--;
        if (index < Cursor->Capacity) {
            Cursor->Buffer[index] = HexDigits[Value % 10];
        }
        Value /= 10;
    }
    Cursor->Position += digits;
    return FALSE;
}

BOOLEAN PutDecimal(POutputCursor Cursor, ULONG Value)
{
    return PutUnsignedDecimal(Cursor, Value, 10);
}

BOOLEAN PutDecimal64(POutputCursor Cursor, ULONGLONG Value)
{
    return PutUnsignedDecimal(Cursor, Value, 20);
}

/* The magnitude is taken as unsigned so the most negative value prints whole. */
BOOLEAN PutSignedDecimal(POutputCursor Cursor, LONG Value)
{
    ULONG magnitude = (ULONG)Value;
    if (Value < 0) {
        if (PutChar(Cursor, '-')) {
            return TRUE;
        }
        magnitude = 0u - magnitude;
    }
    return PutUnsignedDecimal(Cursor, magnitude, 10);
}

BOOLEAN PutSignedDecimal64(POutputCursor Cursor, LONGLONG Value)
{
    ULONGLONG magnitude = (ULONGLONG)Value;
    if (Value < 0) {
        if (PutChar(Cursor, '-')) {
            return TRUE;
        }
        magnitude = 0ull - magnitude;
    }
    return PutUnsignedDecimal(Cursor, magnitude, 20);
}

/*
 * Exactly Digits low-order nibbles, zero-filled; 8 when Digits is not 1 to 7.
 * Digits that do not fit are not stored, and the first of them reports full.
 */
BOOLEAN PutHex(POutputCursor Cursor, ULONG Value, LONG Digits)
{
    LONG count = (Digits >= 1 && Digits <= 7) ? Digits : 8;
    LONG room = RoomLeft(Cursor);
    if (count <= room) {
        /* From the right, a byte of the value per pair of digits. */
        char *end = NextSlot(Cursor) + count;
        LONG left = count;
        for (; left >= 2; left -= 2, Value >>= 8) {
            end -= 2;
            RtlCopyMemory(end, &HexPairs.Pairs[(Value & 0xFF) * 2], 2);
        }
        if (left != 0) {
            end[-1] = HexDigits[Value & 0xF];
        }
        Cursor->Position += count;
        return FALSE;
    }
    char *out = Cursor->Buffer + Cursor->Position;
    for (LONG index = 0; index < room; index++) {
        out[index] = HexDigits[(Value >> ((count - 1 - index) * 4)) & 0xF];
    }
    Cursor->Position += room;
    return TRUE;
}

/*
 * The characters read never go beyond what may be printed: at most Limit, and
 * one more only when the buffer filled before the limit, to tell whether the
 * string went on. A string cut by its maximum or its count need not be
 * terminated there.
 */
static inline LONG StringLimit(LONG Room, LONG Maximum)
{
    return (Maximum > 0 && Maximum < Room) ? Maximum : Room;
}

/* The length of String, counting at most Limit characters, four to a round. */
static LONG BoundedLength(const char *String, LONG Limit)
{
    LONG length = 0;
    for (; length + 4 <= Limit; length += 4) {
        if (String[length] == '\0') {
            return length;
        }
        if (String[length + 1] == '\0') {
            return length + 1;
        }
        if (String[length + 2] == '\0') {
            return length + 2;
        }
        if (String[length + 3] == '\0') {
            return length + 3;
        }
    }
    while (length < Limit && String[length] != '\0') {
        length++;
    }
    return length;
}

/* Maximum 0 (or less) means up to the terminator. */
BOOLEAN PutString(POutputCursor Cursor, const char *String, LONG Maximum)
{
    if (String == NULL) {
        return PutNull(Cursor);
    }
    LONG room = RoomLeft(Cursor);
    LONG length = BoundedLength(String, StringLimit(room, Maximum));
    PutText(Cursor, String, length);
    return length == room && (Maximum <= 0 || length < Maximum) && String[length] != '\0';
}

/* Each 16-bit character is stored as its low 8 bits, without code-page conversion. */
static LONG NarrowInto(POutputCursor Cursor, const WCHAR *String, LONG Limit)
{
    if (Limit <= 0) {
        return 0;
    }
    char *out = NextSlot(Cursor);
    LONG count = 0;
    while (count < Limit && String[count] != 0) {
        out[count] = (char)(String[count] & 0xFF);
        count++;
    }
    Cursor->Position += count;
    return count;
}

/*
 * A counted string's characters are all there to read, so they are narrowed
 * in groups until a group holds a NUL: sixteen at a time through local copies
 * (which the compiler may keep in vector registers, as nothing can overlap
 * them), then four at a time in one 64-bit word, then one by one. A NUL
 * narrows to a zero byte, so only a group with a zero byte is looked at again.
 * The low byte of each character is the first of its two bytes: both targets
 * of the driver are little-endian.
 */
#define WIDE_GROUP 16

static inline BOOLEAN HoldsZeroByte(ULONGLONG Word)
{
    return ((Word - 0x0101010101010101ull) & ~Word & 0x8080808080808080ull) != 0;
}

static inline BOOLEAN HoldsZeroCharacter(ULONGLONG Word)
{
    return ((Word - 0x0001000100010001ull) & ~Word & 0x8000800080008000ull) != 0;
}

/* TRUE when all sixteen were stored: no zero byte among them, so no NUL either. */
static inline BOOLEAN NarrowSixteen(char *Out, const WCHAR *String)
{
    WCHAR wide[WIDE_GROUP];
    char narrow[WIDE_GROUP];
    RtlCopyMemory(wide, String, sizeof(wide));
    for (LONG index = 0; index < WIDE_GROUP; index++) {
        narrow[index] = (char)(wide[index] & 0xFF);
    }
    ULONGLONG low;
    ULONGLONG high;
    RtlCopyMemory(&low, narrow, sizeof(low));
    RtlCopyMemory(&high, narrow + 8, sizeof(high));
    if (HoldsZeroByte(low) || HoldsZeroByte(high)) {
        return FALSE;
    }
    RtlCopyMemory(Out, narrow, sizeof(narrow));
    return TRUE;
}

/* TRUE when all four were stored: none of them is NUL. Narrowed within one 64-bit word. */
static inline BOOLEAN NarrowFour(char *Out, const WCHAR *String)
{
    ULONGLONG group;
    RtlCopyMemory(&group, String, sizeof(group));
    if (HoldsZeroCharacter(group)) {
        return FALSE;
    }
    group &= 0x00FF00FF00FF00FFull;
    group = (group | (group >> 8)) & 0x0000FFFF0000FFFFull;
    ULONG narrow = (ULONG)(group | (group >> 16));
    RtlCopyMemory(Out, &narrow, sizeof(narrow));
    return TRUE;
}

static LONG NarrowCountedInto(POutputCursor Cursor, const WCHAR *String, LONG Limit)
{
    if (Limit <= 0) {
        return 0;
    }
    char *out = NextSlot(Cursor);
    LONG count = 0;
    while (count + WIDE_GROUP <= Limit && NarrowSixteen(out + count, String + count)) {
        count += WIDE_GROUP;
    }
    while (count + 4 <= Limit && NarrowFour(out + count, String + count)) {
        count += 4;
    }
    while (count < Limit && String[count] != 0) {
        out[count] = (char)(String[count] & 0xFF);
        count++;
    }
    Cursor->Position += count;
    return count;
}

BOOLEAN PutWideString(POutputCursor Cursor, const WCHAR *String, LONG Maximum)
{
    if (String == NULL) {
        return PutNull(Cursor);
    }
    LONG room = RoomLeft(Cursor);
    LONG copied = NarrowInto(Cursor, String, StringLimit(room, Maximum));
    return copied == room && (Maximum <= 0 || copied < Maximum) && String[copied] != 0;
}

/* Length counts bytes; an odd byte is dropped and an embedded NUL ends the text. */
BOOLEAN PutCountedString(POutputCursor Cursor, const UNICODE_STRING *String)
{
    if (String == NULL || (String->Buffer == NULL && String->Length != 0)) {
        return PutNull(Cursor);
    }
    LONG characters = String->Length / sizeof(WCHAR);
    LONG room = RoomLeft(Cursor);
    LONG copied = NarrowCountedInto(Cursor, String->Buffer, characters < room ? characters : room);
    return copied == room && copied < characters && String->Buffer[copied] != 0;
}
