/* The driver's one diagnostic output and its own formatter. */
#pragma once

#include <ntddk.h>

/* 0: diagnostics off; anything else: on. 0xFFFFFFFF when the image loads. */
extern ULONG DebugSwitch;

void DebugPrint(const char *Format, ...);
void SetDebugSwitch(ULONG Value);
char *FormatDebugString(char *Buffer, LONG Capacity, const char *Format, va_list Args);
