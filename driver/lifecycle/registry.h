/* Reading the driver's service key. */
#pragma once

#include "../wrenlok.h"

NTSTATUS GetRegistryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Data, ULONG DataLength);
void DumpRegistryConfiguration(PREGISTRY_CONFIGURATION Configuration);
