// Host-side control of the emulated I/O, Plug and Play and power managers:
// what tests, the simulated bus and the loader use to create driver objects,
// open devices as user mode does, walk a device through its PnP life and
// change the system power state. Driver code never includes this header.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wrk {

// ----------------------------------------------------------- driver objects

// What the I/O manager installs for every major function a driver leaves
// unset: completes the request with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// A driver object for a driver that has no image (the simulated bus): its
// MajorFunction table is filled with DefaultDispatch.
PDRIVER_OBJECT CreateDriverObject(std::u16string name);
// Frees a driver object from CreateDriverObject. Its devices must be gone.
void DeleteDriverObject(PDRIVER_OBJECT driver);

// Device objects the driver owns that IoDeleteDevice has not been called for.
size_t DeviceCount(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- requests

// IRPs allocated and not yet freed. IRPs come from non-paged pool (tag
// "Irp "), so PoolFailNthAllocation also makes IoAllocateIrp and
// IoBuildDeviceIoControlRequest fail.
size_t LiveIrpCount();

// ------------------------------------------------------------------ faults

// The next IoCreateDevice fails with `status` and creates nothing.
void FailNextDeviceCreation(NTSTATUS status);
// The next IoAttachDeviceToDeviceStack attaches nothing and returns NULL.
void FailNextAttach();
void ClearIoFaults();

// ------------------------------------------------------- object namespace

// The device a name leads to, through symbolic links ("\DosDevices\X" and
// "\??\X" are one directory); null when nothing is there.
PDEVICE_OBJECT LookupDevice(std::u16string name);
// The target of a symbolic link, or nothing when there is no such link.
std::optional<std::u16string> SymbolicLinkTarget(std::u16string linkName);
// The device on top of the stack `device` belongs to (IoGetAttachedDevice).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// The device `device` is attached to, or null at the bottom of the stack.
PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device);

// --------------------------------------------------------- device interfaces

// The device instance path a bus gives its PDO ("USB\VID_0A12&PID_0001\5&1&1");
// IoRegisterDeviceInterface refuses a PDO without one.
void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string instancePath);
// Registered interface instances of a class, by symbolic link name.
std::vector<std::u16string> DeviceInterfaces(const GUID& interfaceClass, bool enabledOnly);
// Whether a registered interface instance is enabled; nothing if it was never registered.
std::optional<bool> DeviceInterfaceEnabled(std::u16string linkName);

// ------------------------------------------------------------- work items

// Waits (real time) until no work item is queued or running; false on time-out.
bool WaitForWorkItems(std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
// Work items allocated and not yet freed.
size_t LiveWorkItemCount();

// ------------------------------------------------------------ user mode

// A user-mode process: a handle table of its own. The threads that issue a
// UserFile's requests run in its process while the drivers handle them, so
// handles a driver creates there without OBJ_KERNEL_HANDLE land in this
// table, where any thread of the process can close or replace them.
class UserProcess {
public:
    UserProcess();
    // The process ends: every handle left in its table is closed.
    ~UserProcess();
    UserProcess(const UserProcess&) = delete;
    UserProcess& operator=(const UserProcess&) = delete;

    // The process of every UserFile opened without one.
    static UserProcess& Default();

    // What a thread of the process can do with the handles of its table:
    // close one (CloseHandle), or create an event, which takes the lowest
    // free handle value (CreateEvent).
    NTSTATUS CloseHandle(HANDLE handle);
    HANDLE CreateEvent();
    size_t HandleCount() const;

    uint32_t Id() const { return id_; }

private:
    uint32_t id_;
};

// One handle on a device, opened as CreateFile would: every call becomes the
// IRP the I/O manager builds, sent to the top of the device's stack and
// waited for. Calls must come from a thread at PASSIVE_LEVEL.
class UserFile {
public:
    // Resolves `name` (e.g. u"\\DosDevices\\Wrenlok0") through symbolic links
    // and sends IRP_MJ_CREATE; on failure `file` stays empty.
    static NTSTATUS Open(std::u16string name, std::unique_ptr<UserFile>& file,
                         UserProcess& process = UserProcess::Default());

    NTSTATUS Read(void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS Write(const void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                             ULONG* returned);
    // IRP_MJ_CLEANUP, then IRP_MJ_CLOSE; returns what the driver answered to
    // the close (CloseHandle itself would not tell). The handle is gone afterwards
    // whatever the driver answered; a second Close gives STATUS_INVALID_HANDLE.
    NTSTATUS Close();

    // Closes the handle if Close was not called.
    ~UserFile();
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;

private:
    UserFile();
    struct State;
    std::unique_ptr<State> state_;
};

// Handles open on the stack `device` belongs to.
size_t DeviceHandleCount(PDEVICE_OBJECT device);

// ------------------------------------------------------ Plug and Play manager
//
// Every request starts with IoStatus.Status = STATUS_NOT_SUPPORTED, goes to
// the top of the PDO's stack at PASSIVE_LEVEL and is waited for; the returned
// status is the one the request completed with. A call out of the manager's
// order (a start before AddDevice, a stop without a successful query-stop...)
// returns STATUS_INVALID_DEVICE_REQUEST and sends nothing.

// Calls the driver's AddDevice for the PDO.
NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
NTSTATUS PnpStart(PDEVICE_OBJECT pdo);
// A failed query is followed by the matching cancel before these return.
NTSTATUS PnpQueryStop(PDEVICE_OBJECT pdo);
NTSTATUS PnpStop(PDEVICE_OBJECT pdo);
NTSTATUS PnpCancelStop(PDEVICE_OBJECT pdo);
NTSTATUS PnpQueryRemove(PDEVICE_OBJECT pdo);
NTSTATUS PnpRemove(PDEVICE_OBJECT pdo);
NTSTATUS PnpCancelRemove(PDEVICE_OBJECT pdo);
// Sends IRP_MN_SURPRISE_REMOVAL now and IRP_MN_REMOVE_DEVICE as soon as no
// handle is open on the stack (at once when none is).
NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo);
// Query-stop, then stop (or the cancel that follows a refused query).
NTSTATUS PnpRequestStop(PDEVICE_OBJECT pdo);
// Query-remove, then remove (or the cancel that follows a refused query).
NTSTATUS PnpRequestRemoval(PDEVICE_OBJECT pdo);
// The capabilities as the bus filled them and the drivers above corrected them.
NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);
// Any other minor function, with its parameters; `information` receives
// IoStatus.Information.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters = nullptr,
                        ULONG_PTR* information = nullptr);

enum class PnpState { NotAdded, Added, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed };
PnpState PnpDeviceState(PDEVICE_OBJECT pdo);

// --------------------------------------------------------------- power manager

// Sends a system IRP_MN_SET_POWER to the top of every added stack (or of one
// PDO's stack) and waits for each; returns the first failure. Like every
// PoCallDriver, it reaches a device at PASSIVE_LEVEL when the device has
// DO_POWER_PAGABLE and at DISPATCH_LEVEL otherwise.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
NTSTATUS SetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
// What PoSetPowerState last recorded for a device (PowerDeviceUnspecified
// and PowerSystemUnspecified before the first call).
DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device);

}  // namespace wrk
