/*
 * The driver's own formatter: a small directive set for kernel objects
 * (counted and 16-bit strings, IRPs) and fixed-width hexadecimal, that never
 * writes past its buffer and reads no argument once the buffer is full.
 */
#include "debug.h"
#include "format.h"

#define LARGEST_WIDTH 0x7FFFFFFF

/* The two characters that end a run of literal text: a directive and the terminator. */
static const UCHAR EndsLiteral[256] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

/* One table test per character, four to a round. */
static const char *EndOfLiteral(const char *Text)
{
    for (;; Text += 4) {
        if (EndsLiteral[(UCHAR)Text[0]]) {
            return Text;
        }
        if (EndsLiteral[(UCHAR)Text[1]]) {
            return Text + 1;
        }
        if (EndsLiteral[(UCHAR)Text[2]]) {
            return Text + 2;
        }
        if (EndsLiteral[(UCHAR)Text[3]]) {
            return Text + 3;
        }
    }
}

/* Width digits saturate instead of overflowing: any huge width means "no limit". */
static LONG AppendWidthDigit(LONG Width, LONG Digit)
{
    if (Width > (LARGEST_WIDTH - Digit) / 10) {
        return LARGEST_WIDTH;
    }
    return Width * 10 + Digit;
}

/* 64-bit hexadecimal: the lowest min(width, 16) digits, 16 for width 0. */
static BOOLEAN PutHex64(POutputCursor Cursor, ULONGLONG Value, LONG Width)
{
    ULONG high = (ULONG)(Value >> 32);
    ULONG low = (ULONG)Value;
    if (Width >= 1 && Width <= 8) {
        return PutHex(Cursor, low, Width);
    }
    if (PutHex(Cursor, high, Width == 0 ? 8 : Width - 8)) {
        return TRUE;
    }
    return PutHex(Cursor, low, 8);
}

/* Carries out one directive letter, reading its argument slots; returns the full flag. */
static BOOLEAN ExpandDirective(POutputCursor Cursor, char Directive, LONG Width, va_list *Arguments)
{
    switch (Directive) {
    case 'c':
    case 'C':
        return PutChar(Cursor, (char)(va_arg(*Arguments, ULONG) & 0xFF));
    case 'd':
    case 'i':
        return PutSignedDecimal(Cursor, va_arg(*Arguments, LONG));
    case 'u':
        return PutDecimal(Cursor, va_arg(*Arguments, ULONG));
    case 'D':
        return PutSignedDecimal64(Cursor, va_arg(*Arguments, LONGLONG));
    case 'x':
        return PutHex(Cursor, va_arg(*Arguments, ULONG), Width);
    case 'l':
    case 'L':
        return PutHex64(Cursor, va_arg(*Arguments, ULONGLONG), Width);
    case 's':
        return PutString(Cursor, va_arg(*Arguments, const char *), Width);
    case 'S':
        return PutWideString(Cursor, va_arg(*Arguments, const WCHAR *), Width);
    case 'T':
        return PutCountedString(Cursor, va_arg(*Arguments, const UNICODE_STRING *));
    case 'I':
        return DescribeIrp(Cursor, va_arg(*Arguments, PIRP));
    default:
        /* '%' itself and every unlisted letter print as that character. */
        return PutChar(Cursor, Directive);
    }
}

char *FormatDebugString(char *Buffer, LONG Capacity, const char *Format, va_list Args)
{
    if (Buffer == NULL || Capacity <= 0) {
        return Buffer;
    }
    OutputCursor cursor = {Buffer, Capacity, 0};
    const char *next = Format != NULL ? Format : "";
    BOOLEAN full = FALSE;
    va_list arguments;
    va_copy(arguments, Args);

    while (!full) {
        /* Literal text up to the next directive goes out as one block. */
        const char *run = next;
        next = EndOfLiteral(run);
        if (next != run && PutText(&cursor, run, (LONG)(next - run))) {
            break;
        }
        if (*next == '\0') {
            PutChar(&cursor, '\0');
            break;
        }
        next++;

        LONG width = 0;
        char character = *next++;
        if (character == '*') {
            LONG given = va_arg(arguments, LONG);
            width = given > 0 ? given : 0;
            character = *next++;
        } else if (character >= '1' && character <= '9') {
            width = character - '0';
            while (*next >= '0' && *next <= '9') {
                width = AppendWidthDigit(width, *next - '0');
                next++;
            }
            character = *next++;
        }
        if (character == '\0') {
            /* The format ends inside a directive: keep what came before it. */
            PutChar(&cursor, '\0');
            break;
        }
        full = ExpandDirective(&cursor, character, width, &arguments);
    }

    va_end(arguments);
    Buffer[Capacity - 1] = '\0';
    return Buffer;
}
