// The power manager: system and device power IRPs, PoCallDriver and the
// bookkeeping behind PoStartNextPowerIrp and PoSetPowerState.
#include "io_internal.h"

#include <host/kernel.h>

#include <cstdio>

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

// The two kinds Windows 2000/XP serialize apart: a device power IRP may run
// while its stack holds the system IRP it was requested for.
int KindOf(const IO_STACK_LOCATION* stack) { return stack->Parameters.Power.Type == SystemPowerState ? 0 : 1; }

bool Serialized(const IO_STACK_LOCATION* stack) {
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

// Windows 2000/XP pick the IRQL of a power IRP by the device it goes to, so
// one stack whose drivers disagree about paging gets some of them called at
// the wrong level.
void CheckStackAgreesOnPaging(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    PDEVICE_OBJECT top = TopOfStackLocked(device);
    const ULONG pageable = top->Flags & DO_POWER_PAGABLE;
    for (PDEVICE_OBJECT below = top; below != nullptr; below = DeviceRecord(below)->lower)
        if ((below->Flags & DO_POWER_PAGABLE) != pageable) {
            char text[128];
            std::snprintf(text, sizeof text, "device %p %s DO_POWER_PAGABLE, device %p in its stack %s",
                          static_cast<void*>(top), pageable ? "sets" : "does not set", static_cast<void*>(below),
                          pageable ? "does not" : "does");
            Bugcheck("POWER_PAGABLE_MISMATCH", text);
        }
}

NTSTATUS Present(PDEVICE_OBJECT device, PIRP irp, bool held) {
    KIRQL old = KeGetCurrentIrql();
    const bool raise = NeedsDispatchLevel(device) && old < DISPATCH_LEVEL;
    if (raise) old = KfRaiseIrql(DISPATCH_LEVEL);
    SetPoCallDriverActive(true);
    SetHeldPowerPresentation(held);
    const NTSTATUS status = IofCallDriver(device, irp);
    if (raise) KfLowerIrql(old);
    return status;
}

// Sends one system power IRP to the top of the stack and waits for it.
NTSTATUS SendSystemPower(PDEVICE_OBJECT pdo, UCHAR minor, SYSTEM_POWER_STATE state) {
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
    next->MinorFunction = minor;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = state;
    next->Parameters.Power.ShutdownType = ActionFor(state);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return SendAndWait(top, irp, completion, false).Status;
}

SYSTEM_POWER_STATE StateSent(PDEVICE_OBJECT pdo) {
    std::lock_guard guard(IoLock());
    return DeviceRecord(pdo)->systemStateSent;
}

NTSTATUS SetSystemState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    const NTSTATUS status = SendSystemPower(pdo, IRP_MN_SET_POWER, state);
    std::lock_guard guard(IoLock());
    DeviceRecord(pdo)->systemStateSent = state;
    return status;
}

}  // namespace
}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

// Going to sleep, hibernating or shutting down is asked first; a stack that
// refuses gets the state it is in confirmed and the change does not happen.
NTSTATUS SetSystemPowerState(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    if (state > PowerSystemWorking) {
        const NTSTATUS query = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
        if (!NT_SUCCESS(query)) {
            SetSystemState(pdo, StateSent(pdo));
            return query;
        }
    }
    return SetSystemState(pdo, state);
}

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
    const std::vector<PDEVICE_OBJECT> pdos = AddedPdos();
    if (state > PowerSystemWorking) {
        NTSTATUS refused = STATUS_SUCCESS;
        for (PDEVICE_OBJECT pdo : pdos) {
            const NTSTATUS status = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
            if (NT_SUCCESS(refused) && !NT_SUCCESS(status)) refused = status;
        }
        if (!NT_SUCCESS(refused)) {
            for (PDEVICE_OBJECT pdo : pdos) SetSystemState(pdo, StateSent(pdo));
            return refused;
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT pdo : pdos) {
        const NTSTATUS status = SetSystemState(pdo, state);
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

void PoStartNextPowerIrp(PIRP Irp) {
    if (!NotePowerStartNext(Irp)) return;
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT device = stack->DeviceObject;
    const int kind = KindOf(stack);
    PIRP next = nullptr;
    {
        std::lock_guard guard(IoLock());
        _DEVOBJ_EXTENSION* record = DeviceRecord(device);
        if (record->powerActive[kind] != Irp) return;
        if (!record->powerHeld[kind].empty()) {
            next = record->powerHeld[kind].front();
            record->powerHeld[kind].pop_front();
        }
        record->powerActive[kind] = next;
    }
    // Not from inside the caller's dispatch or completion: the next IRP
    // starts on the power manager's own thread.
    if (next != nullptr) QueuePassiveWork([device, next] { Present(device, next, true); });
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CheckStackAgreesOnPaging(DeviceObject);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (Serialized(next)) {
        const int kind = KindOf(next);
        std::lock_guard guard(IoLock());
        _DEVOBJ_EXTENSION* record = DeviceRecord(DeviceObject);
        if (record->powerActive[kind] != nullptr) {
            // Pending on the device's behalf: its location says so when it
            // finally gets the IRP.
            next->Control |= SL_PENDING_RETURNED;
            record->powerHeld[kind].push_back(Irp);
            return STATUS_PENDING;
        }
        record->powerActive[kind] = Irp;
    }
    return Present(DeviceObject, Irp, false);
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
