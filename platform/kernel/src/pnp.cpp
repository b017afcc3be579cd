// The Plug and Play manager: AddDevice and the PnP requests of a device
// stack, in the orders Windows uses, with the verifier's checks on how the
// drivers answer them.
#include "io_internal.h"

#include <host/kernel.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

namespace wrk::detail {
namespace {

// PnP requests are serialized by the system.
std::recursive_mutex& PnpLock() {
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

std::vector<PDEVICE_OBJECT>& Pdos() {
    static auto* pdos = new std::vector<PDEVICE_OBJECT>;  // with IoLock held
    return *pdos;
}

const char* MinorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "PnP request";
    }
}

// Requests a driver must pass down to the bus and may not fail.
bool MustReachPdo(UCHAR minor) {
    return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_CANCEL_STOP_DEVICE ||
           minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_STOP_DEVICE;
}

PnpState StateOf(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(IoLock());
    return DeviceRecord(pdo)->pnpState;
}

void SetState(PDEVICE_OBJECT pdo, PnpState state) {
    std::lock_guard guard(IoLock());
    DeviceRecord(pdo)->pnpState = state;
    auto& pdos = Pdos();
    const bool listed = std::find(pdos.begin(), pdos.end(), pdo) != pdos.end();
    const bool added = state != PnpState::NotAdded && state != PnpState::Removed;
    if (added && !listed) pdos.push_back(pdo);
    if (!added && listed) pdos.erase(std::find(pdos.begin(), pdos.end(), pdo));
}

// The devices AddDevice put above the PDO must stay until removal and be
// gone after it.
void CheckAddedDevices(PDEVICE_OBJECT pdo, UCHAR minor) {
    std::vector<std::pair<PDEVICE_OBJECT, uint64_t>> added;
    {
        std::lock_guard guard(IoLock());
        added = DeviceRecord(pdo)->addedDevices;
    }
    for (const auto& [device, serial] : added) {
        const bool alive = DeviceAlive(device, serial);
        if (minor == IRP_MN_REMOVE_DEVICE) {
            if (alive)
                Bugcheck("PNP_DEVICE_NOT_DELETED_AT_REMOVAL",
                         "a device attached by AddDevice was not detached and deleted at IRP_MN_REMOVE_DEVICE");
            continue;
        }
        bool attached = false;
        if (alive) {
            std::lock_guard guard(IoLock());
            attached = BottomOfStackLocked(device) == pdo;
        }
        if (!attached)
            Bugcheck("PNP_DEVICE_REMOVED_EARLY", std::string("a device attached by AddDevice was detached or deleted at ") +
                                                     MinorName(minor) + ", before IRP_MN_REMOVE_DEVICE");
    }
}

IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Bugcheck("PNP_REQUEST_ABOVE_PASSIVE", "PnP requests are sent at PASSIVE_LEVEL");
    PDEVICE_OBJECT top = TopOfStack(pdo);
    Completion completion;
    bool reachedPdo = false;
    PIRP irp = AllocateIrp(top->StackSize, [&completion, &reachedPdo](PIRP done) {
        reachedPdo = IrpReachedWatched(done);
        const IO_STATUS_BLOCK status = done->IoStatus;
        IoFreeIrp(done);
        completion.Finish(status);
    });
    if (irp == nullptr) {
        IO_STATUS_BLOCK failed{};
        failed.Status = STATUS_INSUFFICIENT_RESOURCES;
        return failed;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (parameters != nullptr) next->Parameters = parameters->Parameters;
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    WatchIrpDelivery(irp, pdo);
    const IO_STATUS_BLOCK result = SendAndWait(top, irp, completion, false);

    if (MustReachPdo(minor) && !reachedPdo)
        Bugcheck("PNP_REQUEST_NOT_PASSED_DOWN", std::string(MinorName(minor)) + " did not reach the PDO");
    if (MustReachPdo(minor) && !NT_SUCCESS(result.Status)) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(result.Status));
        Bugcheck("PNP_REQUEST_FAILED", std::string(MinorName(minor)) + " failed with " + status);
    }
    CheckAddedDevices(pdo, minor);
    return result;
}

NTSTATUS Remove(PDEVICE_OBJECT pdo) {
    const NTSTATUS status = SendPnp(pdo, IRP_MN_REMOVE_DEVICE, nullptr).Status;
    {
        std::lock_guard guard(IoLock());
        DeviceRecord(pdo)->addedDevices.clear();
    }
    SetState(pdo, PnpState::Removed);
    return status;
}

bool In(PnpState state, std::initializer_list<PnpState> states) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

}  // namespace

std::vector<PDEVICE_OBJECT> AddedPdos() {
    std::lock_guard guard(IoLock());
    return Pdos();
}

void PnpLastHandleClosed(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) == PnpState::SurpriseRemoved) Remove(pdo);
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

PnpState PnpDeviceState(PDEVICE_OBJECT pdo) { return StateOf(pdo); }

NTSTATUS PnpAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (!In(StateOf(pdo), {PnpState::NotAdded, PnpState::Removed})) return STATUS_INVALID_DEVICE_REQUEST;
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    const KIRQL irql = KeGetCurrentIrql();
    const NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    if (KeGetCurrentIrql() != irql) Bugcheck("IRQL_CHANGED_BY_ADD_DEVICE", "AddDevice returned at another IRQL");
    if (!NT_SUCCESS(status)) return status;

    std::vector<std::pair<PDEVICE_OBJECT, uint64_t>> added;
    {
        std::lock_guard guard(IoLock());
        for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
            if (device->Flags & DO_DEVICE_INITIALIZING)
                Bugcheck("DO_DEVICE_INITIALIZING_LEFT_SET", "AddDevice returned with DO_DEVICE_INITIALIZING set");
            added.emplace_back(device, DeviceRecord(device)->serial);
        }
        DeviceRecord(pdo)->addedDevices = added;
    }
    SetState(pdo, PnpState::Added);
    return status;
}

NTSTATUS PnpStart(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (!In(StateOf(pdo), {PnpState::Added, PnpState::Stopped})) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_START_DEVICE, nullptr).Status;
    if (NT_SUCCESS(status)) {
        SetState(pdo, PnpState::Started);
        return status;
    }
    // A device that cannot start is taken away again.
    Remove(pdo);
    return status;
}

NTSTATUS PnpQueryStop(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) != PnpState::Started) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr).Status;
    if (NT_SUCCESS(status)) {
        SetState(pdo, PnpState::StopPending);
    } else {
        SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
    }
    return status;
}

NTSTATUS PnpStop(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) != PnpState::StopPending) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_STOP_DEVICE, nullptr).Status;
    SetState(pdo, PnpState::Stopped);
    return status;
}

NTSTATUS PnpCancelStop(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) != PnpState::StopPending) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr).Status;
    SetState(pdo, PnpState::Started);
    return status;
}

namespace {
// Where a cancelled query-remove returns to.
PnpState StateBeforeQueryRemove(PDEVICE_OBJECT pdo, std::optional<PnpState> set = std::nullopt) {
    static auto* states = new std::map<PDEVICE_OBJECT, PnpState>;  // with the PnP lock held
    if (set) (*states)[pdo] = *set;
    auto found = states->find(pdo);
    return found == states->end() ? PnpState::Started : found->second;
}
}  // namespace

NTSTATUS PnpQueryRemove(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    const PnpState before = StateOf(pdo);
    if (!In(before, {PnpState::Added, PnpState::Started, PnpState::Stopped})) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr).Status;
    if (NT_SUCCESS(status)) {
        StateBeforeQueryRemove(pdo, before);
        SetState(pdo, PnpState::RemovePending);
    } else {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
    }
    return status;
}

NTSTATUS PnpRemove(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) != PnpState::RemovePending) return STATUS_INVALID_DEVICE_REQUEST;
    return Remove(pdo);
}

NTSTATUS PnpCancelRemove(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (StateOf(pdo) != PnpState::RemovePending) return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr).Status;
    SetState(pdo, StateBeforeQueryRemove(pdo));
    return status;
}

NTSTATUS PnpSurpriseRemoval(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    if (In(StateOf(pdo), {PnpState::NotAdded, PnpState::Removed, PnpState::SurpriseRemoved}))
        return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, nullptr).Status;
    SetState(pdo, PnpState::SurpriseRemoved);
    bool handlesOpen;
    {
        std::lock_guard guard(IoLock());
        handlesOpen = StackHandleCountLocked(pdo) != 0;
    }
    if (!handlesOpen) Remove(pdo);
    return status;
}

NTSTATUS PnpRequestStop(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    const NTSTATUS status = PnpQueryStop(pdo);
    return NT_SUCCESS(status) ? PnpStop(pdo) : status;
}

NTSTATUS PnpRequestRemoval(PDEVICE_OBJECT pdo) {
    std::lock_guard pnp(PnpLock());
    const NTSTATUS status = PnpQueryRemove(pdo);
    return NT_SUCCESS(status) ? PnpRemove(pdo) : status;
}

NTSTATUS PnpQueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
    std::lock_guard pnp(PnpLock());
    if (In(StateOf(pdo), {PnpState::NotAdded, PnpState::Removed})) return STATUS_INVALID_DEVICE_REQUEST;
    DEVICE_CAPABILITIES answer{};
    answer.Size = sizeof answer;
    answer.Version = 1;
    answer.Address = 0xFFFFFFFF;
    answer.UINumber = 0xFFFFFFFF;
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.DeviceCapabilities.Capabilities = &answer;
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, &parameters).Status;
    *capabilities = answer;
    return status;
}

NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR minor, const IO_STACK_LOCATION* parameters,
                        ULONG_PTR* information) {
    std::lock_guard pnp(PnpLock());
    if (In(StateOf(pdo), {PnpState::NotAdded, PnpState::Removed})) return STATUS_INVALID_DEVICE_REQUEST;
    const IO_STATUS_BLOCK result = SendPnp(pdo, minor, parameters);
    if (information != nullptr) *information = result.Information;
    return result.Status;
}

}  // namespace wrk
