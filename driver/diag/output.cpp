/*
 * The formatter's output primitives. They write in place and never past the
 * buffer: decimal output counts its digits first and fills them in from the
 * right, so no scratch buffer is needed.
 */
#include "format.h"

const char HexDigits[17] = "0123456789ABCDEF";

/* What a string directive prints for a null pointer instead of faulting. */
static BOOLEAN PutNull(POutputCursor Cursor)
{
    return PutString(Cursor, "(null)", 0);
}

/*
 * A number that crosses the end of the buffer keeps its leading digits; the
 * position may end past the capacity and the next primitive reports full.
 * One body for both widths, so the 32-bit form keeps 32-bit division on x86.
 */
template <typename Unsigned>
static BOOLEAN PutUnsignedDecimal(POutputCursor Cursor, Unsigned Value)
{
    if (Value == 0) {
        return PutChar(Cursor, '0');
    }
    LONG digits = 0;
    for (Unsigned rest = Value; rest != 0; rest /= 10) {
        digits++;
    }
    Cursor->Position += digits;
    LONG index = Cursor->Position;
    while (Value != 0) {
        index--;
        if (index < Cursor->Capacity) {
            Cursor->Buffer[index] = HexDigits[Value % 10];
        }
        Value /= 10;
    }
    return FALSE;
}

BOOLEAN PutDecimal(POutputCursor Cursor, ULONG Value)
{
    return PutUnsignedDecimal(Cursor, Value);
}

BOOLEAN PutDecimal64(POutputCursor Cursor, ULONGLONG Value)
{
    return PutUnsignedDecimal(Cursor, Value);
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
    return PutDecimal(Cursor, magnitude);
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
    return PutDecimal64(Cursor, magnitude);
}

/* Exactly Digits low-order nibbles, zero-filled; 8 when Digits is not 1 to 7. */
BOOLEAN PutHex(POutputCursor Cursor, ULONG Value, LONG Digits)
{
    LONG count = (Digits >= 1 && Digits <= 7) ? Digits : 8;
    for (LONG nibble = count - 1; nibble >= 0; nibble--) {
        if (PutChar(Cursor, HexDigits[(Value >> (nibble * 4)) & 0xF])) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Maximum 0 (or less) means up to the terminator. */
BOOLEAN PutString(POutputCursor Cursor, const char *String, LONG Maximum)
{
    if (String == NULL) {
        return PutNull(Cursor);
    }
    for (LONG count = 0; String[count] != '\0' && (Maximum <= 0 || count < Maximum); count++) {
        if (PutChar(Cursor, String[count])) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Each 16-bit character is stored as its low 8 bits, without code-page conversion. */
BOOLEAN PutWideString(POutputCursor Cursor, const WCHAR *String, LONG Maximum)
{
    if (String == NULL) {
        return PutNull(Cursor);
    }
    for (LONG count = 0; String[count] != 0 && (Maximum <= 0 || count < Maximum); count++) {
        if (PutChar(Cursor, (char)(String[count] & 0xFF))) {
            return TRUE;
        }
    }
    return FALSE;
}

/* Length counts bytes; an odd byte is dropped and an embedded NUL ends the text. */
BOOLEAN PutCountedString(POutputCursor Cursor, const UNICODE_STRING *String)
{
    if (String == NULL || (String->Buffer == NULL && String->Length != 0)) {
        return PutNull(Cursor);
    }
    ULONG characters = String->Length / sizeof(WCHAR);
    for (ULONG index = 0; index < characters && String->Buffer[index] != 0; index++) {
        if (PutChar(Cursor, (char)(String->Buffer[index] & 0xFF))) {
            return TRUE;
        }
    }
    return FALSE;
}
