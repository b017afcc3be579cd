/* The NT DDK header for the Linux build: everything the driver needs is in wdm.h. */
#pragma once
#include "wdm.h"

/* The one symbol the loader looks up in a driver image. */
WRK_EXTERN_C __attribute__((visibility("default"))) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                                         PUNICODE_STRING RegistryPath);
