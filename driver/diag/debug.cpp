/*
 * DebugPrint: every diagnostic of the driver, formatted into its own buffer
 * and handed to the debugger in one DbgPrint call so concurrent messages never
 * mix. No lock: each call owns its buffer.
 */
#include "debug.h"
#include "../wrenlok.h"

/* One message, terminator included. Non-paged so callers at DISPATCH_LEVEL may print. */
#define DEBUG_MESSAGE_CAPACITY 1024

/* On from load so the messages of the registry read always appear. */
ULONG DebugSwitch = 0xFFFFFFFF;

void SetDebugSwitch(ULONG Value)
{
    DebugSwitch = Value;
}

void DebugPrint(const char *Format, ...)
{
    if (DebugSwitch == 0) {
        return;
    }
    char *buffer = (char *)ExAllocatePoolWithTag(NonPagedPool, DEBUG_MESSAGE_CAPACITY, WRENLOK_POOL_TAG);
    if (buffer == NULL) {
        DbgPrint("DebugPrint: Could not allocate buffer\n");
        return;
    }
    va_list arguments;
    va_start(arguments, Format);
    FormatDebugString(buffer, DEBUG_MESSAGE_CAPACITY, Format, arguments);
    va_end(arguments);
    /* Through "%s" so a '%' in the expanded text is not read as a directive again. */
    DbgPrint("%s", buffer);
    ExFreePool(buffer);
}
