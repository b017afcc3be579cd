/* The formatter's output cursor and the primitives every directive writes through. */
#pragma once

#include <ntddk.h>

/*
 * Where the next character goes. A character is stored only while Position is
 * below Capacity; decimal output may leave Position past the end, and the next
 * primitive that finds no room reports the buffer full.
 */
typedef struct _OutputCursor {
    char *Buffer;
    LONG Capacity;
    LONG Position;
} OutputCursor, *POutputCursor;

/* Uppercase digits; decimal output uses the first ten. */
extern const char HexDigits[17];

/*
 * Each primitive returns TRUE when it stopped because the buffer was full.
 * PutChar and PutText carry every literal character of every message, so they
 * are inline.
 */
static inline BOOLEAN PutChar(POutputCursor Cursor, char Character)
{
    if (Cursor->Position >= Cursor->Capacity) {
        return TRUE;
    }
    Cursor->Buffer[Cursor->Position] = Character;
    Cursor->Position++;
    return FALSE;
}

/*
 * Blocks in moves of 8, 4, 2 or 1 bytes, the last move overlapping the one
 * before: literal runs are mostly short, and a library copy would choose among
 * its size classes for every one of them.
 */
static inline void CopyBlock(char *To, const char *From, LONG Length)
{
    if (Length >= 8) {
        LONG done = 0;
        for (; done + 8 <= Length; done += 8) {
            RtlCopyMemory(To + done, From + done, 8);
        }
        if (done < Length) {
            RtlCopyMemory(To + Length - 8, From + Length - 8, 8);
        }
    } else if (Length >= 4) {
        RtlCopyMemory(To, From, 4);
        RtlCopyMemory(To + Length - 4, From + Length - 4, 4);
    } else if (Length >= 2) {
        RtlCopyMemory(To, From, 2);
        RtlCopyMemory(To + Length - 2, From + Length - 2, 2);
    } else if (Length == 1) {
        To[0] = From[0];
    }
}

/*
 * Length characters of Text as one block, as far as there is room; full when
 * some did not fit. Literal runs of the format and 8-bit strings go this way.
 */
static inline BOOLEAN PutText(POutputCursor Cursor, const char *Text, LONG Length)
{
    LONG room = Cursor->Capacity - Cursor->Position;
    if (Length <= room) {
        if (Length > 0) {
            CopyBlock(Cursor->Buffer + Cursor->Position, Text, Length);
            Cursor->Position += Length;
        }
        return FALSE;
    }
    if (room > 0) {
        CopyBlock(Cursor->Buffer + Cursor->Position, Text, room);
        Cursor->Position += room;
    }
    return Length > 0;
}

BOOLEAN PutDecimal(POutputCursor Cursor, ULONG Value);
BOOLEAN PutSignedDecimal(POutputCursor Cursor, LONG Value);
BOOLEAN PutDecimal64(POutputCursor Cursor, ULONGLONG Value);
BOOLEAN PutSignedDecimal64(POutputCursor Cursor, LONGLONG Value);
BOOLEAN PutHex(POutputCursor Cursor, ULONG Value, LONG Digits);
BOOLEAN PutString(POutputCursor Cursor, const char *String, LONG Maximum);
BOOLEAN PutWideString(POutputCursor Cursor, const WCHAR *String, LONG Maximum);
BOOLEAN PutCountedString(POutputCursor Cursor, const UNICODE_STRING *String);

/* The text of the %I directive: major function, and for PnP, power and WMI the minor. */
BOOLEAN DescribeIrp(POutputCursor Cursor, PIRP Irp);
