// A driver image for the loader's tests. The registry value "Mode" under its
// service key chooses what it leaves behind at unload.
#include <wdm.h>

namespace {

constexpr ULONG kTag = 0x206D6457;  // "Wdm "

enum Mode : ULONG { kClean = 0, kLeakPool = 1, kFailEntry = 2, kLeakThread = 3, kLeakHandle = 4 };

ULONG gEntries;
PVOID gBlock;
KEVENT gRelease;
WCHAR gRegistryPath[256];

ULONG ReadMode(HANDLE key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Mode");
    ULONG buffer[8];
    ULONG needed = 0;
    if (ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed) != STATUS_SUCCESS) {
        return kClean;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG mode = kClean;
    RtlCopyMemory(&mode, info->Data, info->DataLength < sizeof mode ? info->DataLength : sizeof mode);
    return mode;
}

void TestUnload(PDRIVER_OBJECT driver) {
    DbgPrint("%s", "TestDriver: unload\n");
    if (gBlock != nullptr) {
        ExFreePool(gBlock);
        gBlock = nullptr;
    }
}

void WaitForRelease(PVOID context) {
    KeWaitForSingleObject(&gRelease, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

extern "C" {

ULONG TestDriverEntries() {
    return gEntries;
}

const WCHAR* TestDriverRegistryPath() {
    return gRegistryPath;
}

void TestDriverReleaseThread() {
    KeSetEvent(&gRelease, IO_NO_INCREMENT, FALSE);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ++gEntries;
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    if (chars >= sizeof gRegistryPath / sizeof(WCHAR)) {
        chars = sizeof gRegistryPath / sizeof(WCHAR) - 1;
    }
    RtlCopyMemory(gRegistryPath, registryPath->Buffer, chars * sizeof(WCHAR));
    gRegistryPath[chars] = 0;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG mode = kClean;
    if (ZwOpenKey(&key, KEY_READ, &attributes) == STATUS_SUCCESS) {
        mode = ReadMode(key);
        if (mode != kLeakHandle) {
            ZwClose(key);
        }
    }

    driver->DriverUnload = TestUnload;
    gBlock = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    if (gBlock == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    switch (mode) {
    case kLeakPool:
        ExAllocatePoolWithTag(NonPagedPool, 48, kTag);
        break;
    case kFailEntry:
        ExFreePool(gBlock);
        gBlock = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    case kLeakThread: {
        KeInitializeEvent(&gRelease, NotificationEvent, FALSE);
        HANDLE thread = nullptr;
        NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForRelease,
                                               nullptr);
        if (status == STATUS_SUCCESS) {
            ZwClose(thread);
        }
        break;
    }
    default:
        break;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
