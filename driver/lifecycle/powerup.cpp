/*
 * Raising power, finished on the way back up. A system request for working
 * comes back from the bus first; the driver then asks for D0, and the system
 * request completes once that device request is done. A device request for
 * more power comes back with the radio powered: the state is recorded and,
 * when handles are open, the receive threads are started again.
 *
 * Completion routines and power callbacks may run at DISPATCH_LEVEL, where no
 * thread can be created, so the restart runs from a work item at
 * PASSIVE_LEVEL, and the device request is held until it has run: nothing
 * after the power-up (a close, the next power-down, a stop) can overtake it.
 */
#include "lifecycle/lifecycle.h"

/* Where the work item travels with the device request it finishes. */
#define POWER_UP_WORK_ITEM(Irp) ((Irp)->Tail.Overlay.DriverContext[0])

NTSTATUS NTAPI OnCompleteIncreaseSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = Irp->IoStatus.Status;
    SYSTEM_POWER_STATE systemState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    DEVICE_POWER_STATE target = DevicePowerForSystemState(systemState);

    DebugPrint("OnCompleteIncreaseSystemPower %x\n", status);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(status)) {
        UnlockDevice(dx);
        return status;
    }

    if (target < dx->DevicePowerState) {
        DebugPrint("DevicePowerState to %d\n", target);
        dx->PendingSystemPowerIrp = Irp;
        POWER_STATE state;
        state.DeviceState = target;
        NTSTATUS requested = PoRequestPowerIrp(dx->pdo, IRP_MN_SET_POWER, state, OnCompleteDeviceSetPowerIncrease,
                                               dx, NULL);
        if (NT_SUCCESS(requested)) {
            /* The callback completes the system request and drops its reference. */
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        dx->PendingSystemPowerIrp = NULL;
        status = requested;
    }

    /* The power manager was told to go on when the request went down. */
    UnlockDevice(dx);
    return status;
}

void NTAPI OnCompleteDeviceSetPowerIncrease(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)Context;
    PIRP systemIrp = dx->PendingSystemPowerIrp;
    dx->PendingSystemPowerIrp = NULL;

    DebugPrint("OnCompleteDeviceSetPowerIncrease\n");
    CompleteRequest(systemIrp, IoStatus->Status, IoStatus->Information);
    UnlockDevice(dx);
}

void NTAPI OnCompleteDeviceSetPowerDecrease(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                            PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)Context;
    PIRP systemIrp = dx->PendingSystemPowerIrp;
    dx->PendingSystemPowerIrp = NULL;

    DebugPrint("OnCompleteDeviceSetPowerDecrease\n");
    DefaultPowerHandler(dx, systemIrp);
    UnlockDevice(dx);
}

/* Runs at PASSIVE_LEVEL with the device request held since its completion. */
static void NTAPI RestartThreadsAfterPowerUp(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP Irp = (PIRP)Context;
    PIO_WORKITEM item = (PIO_WORKITEM)POWER_UP_WORK_ITEM(Irp);
    POWER_UP_WORK_ITEM(Irp) = NULL;

    if (dx->OpenHandles != 0 && !NT_SUCCESS(StartReceiveThreads(dx))) {
        DebugPrint("OnCompleteIncreaseDevicePower: cannot start thread.\n");
    }
    IoFreeWorkItem(item);

    /* The request itself succeeded: the radio has power, threads or not. */
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    UnlockDevice(dx);
}

NTSTATUS NTAPI OnCompleteIncreaseDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    NTSTATUS status = Irp->IoStatus.Status;
    DEVICE_POWER_STATE newState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;

    DebugPrint("OnCompleteIncreaseDevicePower %x\n", status);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    if (NT_SUCCESS(status)) {
        SetPowerState(dx, newState);
        if (dx->OpenHandles != 0) {
            PIO_WORKITEM item = IoAllocateWorkItem(dx->fdo);
            if (item != NULL) {
                POWER_UP_WORK_ITEM(Irp) = item;
                IoQueueWorkItem(item, RestartThreadsAfterPowerUp, DelayedWorkQueue, Irp);
                return STATUS_MORE_PROCESSING_REQUIRED;
            }
            DebugPrint("OnCompleteIncreaseDevicePower: cannot start thread.\n");
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    UnlockDevice(dx);
    return status;
}
