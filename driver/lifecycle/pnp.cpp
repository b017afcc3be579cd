/*
 * Plug and Play: the dispatch routine, the query/cancel protocol for stop and
 * removal, and the stop sequence shared by stop, surprise removal and removal.
 * The device lock is the only thing the stop sequence synchronises with: it
 * drains the requests in flight before the threads stop and the radio is
 * unconfigured.
 */
#include "lifecycle/lifecycle.h"
#include "diag/nametables.h"

/* The formatter's table names every minor code up to 0x18; the PnP trace
 * names only the codes up to IRP_MN_SURPRISE_REMOVAL and has no word for 0x0E. */
const char *PnpMinorFunctionString(UCHAR MinorFunction)
{
    if (MinorFunction == 0x0E || MinorFunction > IRP_MN_SURPRISE_REMOVAL) {
        return "IRP_MN_?????";
    }
    return PnpMinorFunctionNames[MinorFunction];
}

void PnpStopDevice(PDEVICE_EXTENSION DeviceExtension)
{
    WriteFlag(&DeviceExtension->RefuseIo, 1);
    if (!ReadFlag(&DeviceExtension->Started)) {
        return;
    }

    /* New references fail from here on; the two dropped here are the device's
     * own and the one this Plug and Play request holds. */
    WriteFlag(&DeviceExtension->Stopping, 1);
    KeResetEvent(&DeviceExtension->StoppingEvent);
    UnlockDevice(DeviceExtension);
    UnlockDevice(DeviceExtension);
    KeWaitForSingleObject(&DeviceExtension->StoppingEvent, Executive, KernelMode, FALSE, NULL);
    DebugPrint("PnpStopDevice: All pending I/O completed\n");

    WriteFlag(&DeviceExtension->Stopping, 0);
    WriteFlag(&DeviceExtension->Started, 0);
    LockDevice(DeviceExtension);
    LockDevice(DeviceExtension);

    StopReceiveThreads(DeviceExtension);
    UsbDeselectConfiguration(DeviceExtension);
}

static NTSTATUS PnpQueryRemoveDeviceHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("PnpQueryRemoveDeviceHandler\n");
    LONG handles = DeviceExtension->OpenHandles;
    if (handles > 0) {
        DebugPrint("PnpQueryRemoveDeviceHandler: %d handles still open\n", handles);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    WriteFlag(&DeviceExtension->RefuseIo, 1);
    return ForwardIrp(DeviceExtension->fdo, Irp);
}

static NTSTATUS PnpStopDeviceHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("PnpStopDeviceHandler\n");
    PnpStopDevice(DeviceExtension);
    return ForwardIrp(DeviceExtension->fdo, Irp);
}

/* The interface, its name and the link stay for the remove request that follows. */
static NTSTATUS PnpSurpriseRemovalHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("PnpSurpriseRemovalHandler\n");
    PnpStopDevice(DeviceExtension);
    return ForwardIrp(DeviceExtension->fdo, Irp);
}

static NTSTATUS PnpRemoveDeviceHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PDEVICE_OBJECT fdo = DeviceExtension->fdo;

    DebugPrint("PnpRemoveDeviceHandler\n");
    IoSetDeviceInterfaceState(&DeviceExtension->SymbolicLinkName, FALSE);
    RtlFreeUnicodeString(&DeviceExtension->SymbolicLinkName);
    DeleteDosLink(DeviceExtension);

    /* The drain runs only for a started device, but the extension goes away
     * with the device whatever state it is in: no receive thread may outlive it. */
    BOOLEAN drained = ReadFlag(&DeviceExtension->Started);
    PnpStopDevice(DeviceExtension);
    if (!drained) {
        StopReceiveThreads(DeviceExtension);
    }

    NTSTATUS status = ForwardIrp(fdo, Irp);
    if (DeviceExtension->NextStackDevice != NULL) {
        IoDetachDevice(DeviceExtension->NextStackDevice);
    }
    IoDeleteDevice(fdo);
    return status;
}

NTSTATUS NTAPI TranspPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    if (!LockDevice(dx)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }

    UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    DebugPrint("TranspPnp MinorFunction is %s\n", PnpMinorFunctionString(minor));

    NTSTATUS status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
        status = PnpStartDeviceHandler(dx, Irp);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        status = PnpQueryRemoveDeviceHandler(dx, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        /* The device and its lock are gone once this returns. */
        return PnpRemoveDeviceHandler(dx, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        WriteFlag(&dx->RefuseIo, 0);
        status = ForwardIrp(DeviceObject, Irp);
        break;
    case IRP_MN_STOP_DEVICE:
        status = PnpStopDeviceHandler(dx, Irp);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        WriteFlag(&dx->RefuseIo, 1);
        status = ForwardIrp(DeviceObject, Irp);
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        WriteFlag(&dx->RefuseIo, 0);
        status = ForwardIrp(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = PnpQueryCapabilitiesHandler(dx, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = PnpSurpriseRemovalHandler(dx, Irp);
        break;
    default:
        status = ForwardIrp(DeviceObject, Irp);
        break;
    }

    UnlockDevice(dx);
    if (status != STATUS_SUCCESS) {
        DebugPrint("TranspPnp completed %x\n", status);
    }
    return status;
}

NTSTATUS NTAPI TranspSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    DebugPrint("TranspSystemControl\n");
    if (!LockDevice(dx)) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IofCallDriver(dx->NextStackDevice, Irp);
    UnlockDevice(dx);
    return status;
}
