// Device objects, driver objects without an image, and device stacks.
#include "io_internal.h"
#include "text.h"

#include <host/kernel.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace wrk::detail {
namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;

struct DriverBlock {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
};

struct DeviceState {
    std::map<PDEVICE_OBJECT, uint64_t> live;  // devices IoDeleteDevice has not been called for
    std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
    uint64_t nextSerial = 1;
    NTSTATUS creationFault = STATUS_SUCCESS;
    bool attachFault = false;
};

DeviceState& State() {
    static auto* state = new DeviceState;  // outlives detached threads
    return *state;
}

std::string Pointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// Extensions are handed out aligned as pool blocks are.
constexpr size_t kExtensionAlignment = 16;

void FreeDevice(PDEVICE_OBJECT device) {
    delete DeviceRecord(device);
    std::free(device);
}

}  // namespace

std::mutex& IoLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

_DEVOBJ_EXTENSION* DeviceRecord(PDEVICE_OBJECT device) { return device->DeviceObjectExtension; }

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device) {
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT BottomOfStackLocked(PDEVICE_OBJECT device) {
    while (DeviceRecord(device)->lower != nullptr) device = DeviceRecord(device)->lower;
    return device;
}

bool DeviceAlive(PDEVICE_OBJECT device, uint64_t serial) {
    std::lock_guard guard(IoLock());
    auto found = State().live.find(device);
    return found != State().live.end() && found->second == serial;
}

void ReferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    device->ReferenceCount++;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    bool free;
    {
        std::lock_guard guard(IoLock());
        free = --device->ReferenceCount == 0 && DeviceRecord(device)->deletePending;
    }
    if (free) FreeDevice(device);
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    // A power IRP must release the next one even when nobody handles it.
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT CreateDriverObject(std::u16string name) {
    auto block = std::make_unique<DriverBlock>();
    block->name = std::move(name);
    PDRIVER_OBJECT driver = &block->object;
    driver->Type = kIoTypeDriver;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    block->extension.DriverObject = driver;
    driver->DriverName.Buffer = block->name.data();
    driver->DriverName.Length = static_cast<USHORT>(block->name.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = DefaultDispatch;
    std::lock_guard guard(IoLock());
    State().drivers[driver] = std::move(block);
    return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
    std::lock_guard guard(IoLock());
    if (driver->DeviceObject != nullptr)
        Bugcheck("DRIVER_DELETED_WITH_DEVICES", "driver object " + Pointer(driver) + " still owns device objects");
    State().drivers.erase(driver);
}

size_t DeviceCount(PDRIVER_OBJECT driver) {
    std::lock_guard guard(IoLock());
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) ++count;
    return count;
}

void FailNextDeviceCreation(NTSTATUS status) {
    std::lock_guard guard(IoLock());
    State().creationFault = status;
}

void FailNextAttach() {
    std::lock_guard guard(IoLock());
    State().attachFault = true;
}

void ClearIoFaults() {
    std::lock_guard guard(IoLock());
    State().creationFault = STATUS_SUCCESS;
    State().attachFault = false;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    return TopOfStackLocked(device);
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    return DeviceRecord(device)->lower;
}

}  // namespace wrk

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
    *DeviceObject = nullptr;
    const std::u16string name = FromUnicodeString(DeviceName);
    if (DeviceName != nullptr && (name.empty() || name[0] != u'\\')) return STATUS_OBJECT_NAME_INVALID;

    std::lock_guard guard(IoLock());
    DeviceState& state = State();
    if (state.creationFault != STATUS_SUCCESS) {
        const NTSTATUS status = state.creationFault;
        state.creationFault = STATUS_SUCCESS;
        return status;
    }
    if (!name.empty() && (NameExistsLocked(name, NameKind::Device) || NameExistsLocked(name, NameKind::Link)))
        return STATUS_OBJECT_NAME_COLLISION;

    const size_t headerSize = (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment *
                              kExtensionAlignment;
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, headerSize + DeviceExtensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto* record = new _DEVOBJ_EXTENSION;
    record->device = device;
    record->name = name;
    record->serial = state.nextSerial++;

    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + headerSize : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->Queue.Flink = device->Queue.Blink = &device->Queue;
    device->DeviceObjectExtension = record;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    if (!name.empty()) InsertNameLocked(name, NameKind::Device, device, {});
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    state.live[device] = record->serial;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    bool free;
    {
        std::lock_guard guard(IoLock());
        _DEVOBJ_EXTENSION* record = DeviceRecord(DeviceObject);
        if (State().live.erase(DeviceObject) == 0)
            wrk::Bugcheck("DEVICE_DELETED_TWICE", "IoDeleteDevice of " + Pointer(DeviceObject) + ", already deleted");
        if (record->lower != nullptr || DeviceObject->AttachedDevice != nullptr)
            wrk::Bugcheck("DEVICE_DELETED_WHILE_ATTACHED",
                     "IoDeleteDevice of " + Pointer(DeviceObject) + ", still part of a device stack");
        RemoveNamesOfLocked(DeviceObject);
        DisableInterfacesOfLocked(DeviceObject);
        for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
             link = &(*link)->NextDevice)
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        record->deletePending = true;
        free = DeviceObject->ReferenceCount == 0;
    }
    if (free) FreeDevice(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    std::lock_guard guard(IoLock());
    if (State().attachFault) {
        State().attachFault = false;
        return nullptr;
    }
    PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
    if (DeviceRecord(top)->deletePending) return nullptr;
    top->AttachedDevice = SourceDevice;
    DeviceRecord(SourceDevice)->lower = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    return top;
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    std::lock_guard guard(IoLock());
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr)
        wrk::Bugcheck("DEVICE_NOT_ATTACHED", "IoDetachDevice of " + Pointer(TargetDevice) + ", which has nothing attached");
    DeviceRecord(upper)->lower = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

}  // extern "C"
