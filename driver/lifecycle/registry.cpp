/*
 * The driver's one setting, "DebugLevel" under its service key, read once at
 * driver entry. Every failure here is reported and the driver carries on: a
 * key that cannot be opened leaves diagnostics on, a missing or unsuitable
 * value turns them off.
 */
#include "registry.h"

REGISTRY_CONFIGURATION RegistryConfiguration = {0};

/*
 * Fetches one value's data into the caller's buffer, of any type, provided it
 * fits. The buffer is touched only on success, so a caller's default survives
 * every failure.
 */
NTSTATUS GetRegistryKeyValue(HANDLE Key, PCWSTR ValueName, PVOID Data, ULONG DataLength)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);

    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, NULL, 0, &needed);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || needed == 0) {
        DebugPrint("GetRegistryKeyValue: cannot access registry value.\n");
        return status;
    }

    PKEY_VALUE_PARTIAL_INFORMATION information =
        (PKEY_VALUE_PARTIAL_INFORMATION)ExAllocatePoolWithTag(PagedPool, needed, WRENLOK_POOL_TAG);
    if (information == NULL) {
        DebugPrint("GetRegistryKeyValue: memory allocate error.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, information, needed, &needed);
    if (!NT_SUCCESS(status)) {
        DebugPrint("GetRegistryKeyValue: cannot get registry value.\n");
    } else if (information->DataLength > DataLength) {
        DebugPrint("GetRegistryKeyValue: output buffer size error.\n");
        status = STATUS_UNSUCCESSFUL;
    } else {
        RtlCopyMemory(Data, information->Data, information->DataLength);
        status = STATUS_SUCCESS;
    }

    ExFreePool(information);
    return status;
}

void DumpRegistryConfiguration(PREGISTRY_CONFIGURATION Configuration)
{
    DebugPrint(" >>>> Registry Configuration dump start <<<<\n");
    DebugPrint("      DebugLevel = 0x%x\n", Configuration->DebugLevel);
    DebugPrint(" >>>> Registry Configuration dump end   <<<<\n");
}

/*
 * Never fails: DriverEntry would stop on a failing status, but a missing or
 * broken configuration only changes whether diagnostics are written.
 */
NTSTATUS TranspGetRegistryConfiguration(PREGISTRY_CONFIGURATION Configuration, PUNICODE_STRING RegistryPath)
{
    Configuration->DebugLevel = 0;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, RegistryPath, 0, NULL, NULL);
    HANDLE key;
    NTSTATUS status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        /* The switch keeps its load-time value: diagnostics stay on. */
        DebugPrint("TranspGetRegistryConfiguration: registry open error.\n");
        return STATUS_SUCCESS;
    }

    /* Shorter values fill the low-order bytes; the rest stay 0. */
    status = GetRegistryKeyValue(key, L"DebugLevel", &Configuration->DebugLevel, sizeof(Configuration->DebugLevel));
    if (!NT_SUCCESS(status)) {
        DebugPrint("TranspGetRegistryConfiguration: cannot get debug level.\n");
    }
    ZwClose(key);

    SetDebugSwitch(Configuration->DebugLevel);
    DumpRegistryConfiguration(Configuration);
    return STATUS_SUCCESS;
}
