// What the I/O, PnP and power managers share inside the kernel: the records
// that follow device objects and IRPs, the object namespace and the helpers
// for requests the managers send themselves.
#pragma once

#include <host/io.h>
#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The platform's own record behind every device object
// (DEVICE_OBJECT.DeviceObjectExtension).
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;               // empty for an unnamed device
    PDEVICE_OBJECT lower = nullptr;    // the device this one is attached to
    bool deletePending = false;        // IoDeleteDevice called, references remain
    std::u16string instancePath;       // PDOs only
    DEVICE_POWER_STATE devicePower = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemPower = PowerSystemUnspecified;
    // The power manager's serialization: per kind (0 system, 1 device) the
    // set- or query-power IRP in progress at this device and those held
    // behind it until PoStartNextPowerIrp lets the next one go.
    PIRP powerActive[2] = {nullptr, nullptr};
    std::deque<PIRP> powerHeld[2];
    SYSTEM_POWER_STATE systemStateSent = PowerSystemWorking;  // PDOs: the last system state set on the stack
    uint64_t serial = 0;               // tells a device apart from a later one at the same address
    size_t openHandles = 0;            // user handles opened by this device's name
    // The PnP manager's view of a PDO's stack.
    wrk::PnpState pnpState = wrk::PnpState::NotAdded;
    std::vector<std::pair<PDEVICE_OBJECT, uint64_t>> addedDevices;  // attached above the PDO by AddDevice
};

namespace wrk::detail {

// --------------------------------------------------------------- devices

// The global lock of device stacks, names and interfaces. Never held while a
// driver routine runs.
std::mutex& IoLock();

_DEVOBJ_EXTENSION* DeviceRecord(PDEVICE_OBJECT device);
// With IoLock held.
PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device);
PDEVICE_OBJECT BottomOfStackLocked(PDEVICE_OBJECT device);
// Whether a device with this address and serial still exists and is not
// waiting for its last reference to be deleted.
bool DeviceAlive(PDEVICE_OBJECT device, uint64_t serial);
// References that keep a deleted device's memory (open files, queued work items).
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);

// ------------------------------------------------------------- namespace

enum class NameKind { Device, Link };
// Names are compared case-insensitively; "\DosDevices\" is "\??\".
std::u16string CanonicalName(const std::u16string& name);
// With IoLock held. False when the name is taken.
bool InsertNameLocked(const std::u16string& name, NameKind kind, PDEVICE_OBJECT device,
                      const std::u16string& target);
bool RemoveNameLocked(const std::u16string& name, NameKind kind);
bool NameExistsLocked(const std::u16string& name, NameKind kind);
// Follows links; null when the chain ends nowhere.
PDEVICE_OBJECT ResolveLocked(const std::u16string& name);
// Drops every name that leads straight to this device (its own name and the
// links interfaces made for it).
void RemoveNamesOfLocked(PDEVICE_OBJECT device);
void DisableInterfacesOfLocked(PDEVICE_OBJECT device);

std::u16string FromUnicodeString(PCUNICODE_STRING string);

// ------------------------------------------------------------------ IRPs

// What happens when a request the platform built reaches the top of its
// stack; the routine owns the IRP and frees it. A driver's own IRP has none:
// it must be reclaimed by a completion routine returning
// STATUS_MORE_PROCESSING_REQUIRED.
using IrpFinish = std::function<void(PIRP)>;

PIRP AllocateIrp(CCHAR stackSize, IrpFinish finish);
void SetIrpFinish(PIRP irp, IrpFinish finish);
// The PnP manager's checks: whether the request reached this device.
void WatchIrpDelivery(PIRP irp, PDEVICE_OBJECT device);
bool IrpReachedWatched(PIRP irp);
// Power IRP bookkeeping for PoStartNextPowerIrp; true for the set- and
// query-power IRPs the power manager serializes.
bool NotePowerStartNext(PIRP irp);
// Whether a dispatch routine runs on this thread right now.
bool InDispatchRoutine();
// Marks the next IofCallDriver on this thread as coming from PoCallDriver.
void SetPoCallDriverActive(bool active);
// Marks the next IofCallDriver on this thread as the power manager handing
// on an IRP it held: PoCallDriver already returned STATUS_PENDING for it,
// so its location carries the pending mark whatever the driver returns.
void SetHeldPowerPresentation(bool held);

// One platform request sent and waited for: the status and information it
// was completed with at the top of the stack.
struct Completion {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    IO_STATUS_BLOCK status{};
    void Finish(const IO_STATUS_BLOCK& ioStatus);
    IO_STATUS_BLOCK Wait();
};

// Sends with IofCallDriver (or PoCallDriver for IRP_MJ_POWER), at
// DISPATCH_LEVEL when `dispatchLevel`, and waits for the completion.
IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, Completion& completion, bool dispatchLevel);

// Buffered I/O: system buffers come from non-paged pool.
PVOID AllocateSystemBuffer(ULONG length);
void FreeSystemBuffer(PVOID buffer);
// Copies IoStatus.Information bytes of the system buffer to the caller's.
void CopyBack(PIRP irp, void* out, ULONG outLength, const void* systemBuffer);

// --------------------------------------------------------------- handles

void NoteHandleOpened(PDEVICE_OBJECT device);
// With IoLock held: handles open on the stack above and including `pdo`.
size_t StackHandleCountLocked(PDEVICE_OBJECT pdo);
// Called after the last IRP_MJ_CLOSE of a handle.
void NoteHandleClosed(PDEVICE_OBJECT device);
// The PnP manager's share: a surprise-removed stack gets its remove request
// when the last handle closes.
void PnpLastHandleClosed(PDEVICE_OBJECT pdo);
// PDOs whose stacks AddDevice built and removal has not ended.
std::vector<PDEVICE_OBJECT> AddedPdos();

// Runs `work` at PASSIVE_LEVEL on the I/O manager's worker thread.
void QueuePassiveWork(std::function<void()> work);

}  // namespace wrk::detail
