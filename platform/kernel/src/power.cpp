// The power manager: system and device power IRPs, PoCallDriver and the
// bookkeeping behind PoStartNextPowerIrp and PoSetPowerState.
#include "io_internal.h"

#include <host/kernel.h>

namespace wrk::detail {
namespace {

// Power IRPs reach a device at PASSIVE_LEVEL only when it says it can take
// them there; PoCallDriver raises for the others.
bool NeedsDispatchLevel(PDEVICE_OBJECT device) { return (device->Flags & DO_POWER_PAGABLE) == 0; }

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

}  // namespace
}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

NTSTATUS SetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(pdo);
    Completion completion;
    PIRP irp = AllocateIrp(top->StackSize, [&completion](PIRP done) {
        const IO_STATUS_BLOCK status = done->IoStatus;
        IoFreeIrp(done);
        completion.Finish(status);
    });
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = ActionFor(state);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return SendAndWait(top, irp, completion, false).Status;
}

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : AddedPdos()) {
        const NTSTATUS status = SetSystemPowerState(pdo, state);
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    return result;
}

DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    return DeviceRecord(device)->devicePower;
}

SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    return DeviceRecord(device)->systemPower;
}

}  // namespace wrk

extern "C" {

void PoStartNextPowerIrp(PIRP Irp) { NotePowerStartNext(Irp); }

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KIRQL old = KeGetCurrentIrql();
    const bool raise = NeedsDispatchLevel(DeviceObject) && old < DISPATCH_LEVEL;
    if (raise) old = KfRaiseIrql(DISPATCH_LEVEL);
    SetPoCallDriverActive(true);
    const NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    if (raise) KfLowerIrql(old);
    return status;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top = wrk::TopOfStack(DeviceObject);
    PIRP irp = AllocateIrp(top->StackSize, [=](PIRP done) {
        if (CompletionFunction != nullptr)
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        IoFreeIrp(done);
    });
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (Irp != nullptr) *Irp = irp;
    // A caller above PASSIVE_LEVEL (a completion routine) gets its request
    // sent from the worker, as a pageable stack needs and so that the new
    // request does not run inside the caller's completion.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
        PoCallDriver(top, irp);
    else
        QueuePassiveWork([top, irp] { PoCallDriver(top, irp); });
    return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    std::lock_guard guard(IoLock());
    _DEVOBJ_EXTENSION* record = DeviceRecord(DeviceObject);
    POWER_STATE previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = record->devicePower;
        record->devicePower = State.DeviceState;
    } else {
        previous.SystemState = record->systemPower;
        record->systemPower = State.SystemState;
    }
    return previous;
}

}  // extern "C"
