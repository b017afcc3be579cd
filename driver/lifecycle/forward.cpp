/*
 * Passing Plug and Play requests to the driver below: straight through, or
 * through and back so the caller can act on the lower drivers' answer.
 */
#include "lifecycle/lifecycle.h"

NTSTATUS ForwardIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(dx->NextStackDevice, Irp);
}

NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;

    DebugPrint("ForwardIrpAndWait\n");
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    /* The completion routine hands the request back to us unfinished. */
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnCompleteSetEvent, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(dx->NextStackDevice, Irp);
    if (status == STATUS_PENDING) {
        DebugPrint("ForwardIrpAndWait: waiting for completion\n");
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    if (status != STATUS_SUCCESS) {
        DebugPrint("ForwardIrpAndWait: completed %x\n", status);
    }
    return status;
}
