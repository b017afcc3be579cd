/*
 * Power: the driver owns its stack's power policy. A system set-power request
 * becomes a device set-power request of the driver's own (working means D0,
 * everything else D3); a device request lowering power stops the receive
 * threads before the radio loses power. Raising power is finished on the way
 * back up, in powerup.cpp.
 *
 * Each power request holds one device-lock reference from TranspPower until
 * the driver is done with it, so a stop waits for power requests in flight.
 */
#include "lifecycle/lifecycle.h"

DEVICE_POWER_STATE DevicePowerForSystemState(SYSTEM_POWER_STATE SystemState)
{
    return SystemState <= PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

void SetPowerState(PDEVICE_EXTENSION DeviceExtension, DEVICE_POWER_STATE State)
{
    DebugPrint("SetPowerState %d\n", State);
    DeviceExtension->DevicePowerState = State;

    /* Power-up completions may run at DISPATCH_LEVEL, where only a change to
     * D0 may be reported to the power manager. */
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL && State != PowerDeviceD0) {
        DebugPrint("SetPowerState IRQL %d fail\n", irql);
        return;
    }
    POWER_STATE state;
    state.DeviceState = State;
    PoSetPowerState(DeviceExtension->fdo, DevicePowerState, state);
}

NTSTATUS DefaultPowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("DefaultPowerHandler\n");
    PoStartNextPowerIrp(Irp);
    /* A request held pending here carries that mark in its location; the
     * driver below gets a clean copy rather than a pending mark of ours. */
    if (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
    }
    return PoCallDriver(DeviceExtension->NextStackDevice, Irp);
}

/* Sends the request down and finishes it in `Completion` on the way back. The
 * completion may keep the request, so it is pending in this driver. */
static NTSTATUS PassDownForPowerUp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, PIO_COMPLETION_ROUTINE Completion)
{
    IoMarkIrpPending(Irp);
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, NULL, TRUE, TRUE, TRUE);
    PoCallDriver(DeviceExtension->NextStackDevice, Irp);
    return STATUS_PENDING;
}

static NTSTATUS SystemPowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, SYSTEM_POWER_STATE SystemState)
{
    DEVICE_POWER_STATE target = DevicePowerForSystemState(SystemState);

    if (target < DeviceExtension->DevicePowerState) {
        DebugPrint("System state %d.  Increase device power to %d\n", SystemState, target);
        return PassDownForPowerUp(DeviceExtension, Irp, OnCompleteIncreaseSystemPower);
    }

    if (target > DeviceExtension->DevicePowerState) {
        DebugPrint("System state %d.  Decrease device power to %d\n", SystemState, target);
        /* The system request waits here, with its lock reference, until the
         * device request is done; the callback may run before we return. */
        IoMarkIrpPending(Irp);
        DeviceExtension->PendingSystemPowerIrp = Irp;
        POWER_STATE state;
        state.DeviceState = target;
        NTSTATUS status = PoRequestPowerIrp(DeviceExtension->pdo, IRP_MN_SET_POWER, state,
                                            OnCompleteDeviceSetPowerDecrease, DeviceExtension, NULL);
        if (!NT_SUCCESS(status)) {
            DeviceExtension->PendingSystemPowerIrp = NULL;
            PoStartNextPowerIrp(Irp);
            CompleteRequest(Irp, status, 0);
            UnlockDevice(DeviceExtension);
        }
        return STATUS_PENDING;
    }

    NTSTATUS status = DefaultPowerHandler(DeviceExtension, Irp);
    UnlockDevice(DeviceExtension);
    return status;
}

static NTSTATUS DevicePowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, DEVICE_POWER_STATE NewState)
{
    if (NewState < DeviceExtension->DevicePowerState) {
        DebugPrint("Increase device power to %d\n", NewState);
        return PassDownForPowerUp(DeviceExtension, Irp, OnCompleteIncreaseDevicePower);
    }

    if (NewState > DeviceExtension->DevicePowerState) {
        DebugPrint("Decrease device power to %d\n", NewState);
        if (DeviceExtension->OpenHandles != 0) {
            StopReceiveThreads(DeviceExtension);
        }
        SetPowerState(DeviceExtension, NewState);
    }

    NTSTATUS status = DefaultPowerHandler(DeviceExtension, Irp);
    UnlockDevice(DeviceExtension);
    return status;
}

NTSTATUS SetPowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE_TYPE type = stack->Parameters.Power.Type;

    if (type == SystemPowerState) {
        return SystemPowerHandler(DeviceExtension, Irp, stack->Parameters.Power.State.SystemState);
    }
    if (type == DevicePowerState) {
        return DevicePowerHandler(DeviceExtension, Irp, stack->Parameters.Power.State.DeviceState);
    }

    DebugPrint("Power: unrecognised power type %d\n", type);
    NTSTATUS status = DefaultPowerHandler(DeviceExtension, Irp);
    UnlockDevice(DeviceExtension);
    return status;
}

NTSTATUS NTAPI TranspPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DebugPrint("Power %I\n", Irp);
    /* While requests are refused (before the start, during a pending query,
     * after a stop or surprise removal) the driver does not act on power
     * requests, but it must not fail them either: a failed system set-power
     * request breaks the transition, and a failed query vetoes standby for as
     * long as a handle stays open on a removed radio. */
    if (ReadFlag(&dx->RefuseIo)) {
        return DefaultPowerHandler(dx, Irp);
    }
    if (!LockDevice(dx)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    /* A stop may have run whole since the test above, unseen by its drain: the
     * device is stopped now, so the request is only passed on. */
    if (ReadFlag(&dx->RefuseIo)) {
        NTSTATUS status = DefaultPowerHandler(dx, Irp);
        UnlockDevice(dx);
        return status;
    }

    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER) {
        return SetPowerHandler(dx, Irp);
    }

    NTSTATUS status = DefaultPowerHandler(dx, Irp);
    UnlockDevice(dx);
    return status;
}
