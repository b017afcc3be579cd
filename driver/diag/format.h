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
 * PutChar carries every character of every message, so it is inline.
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
