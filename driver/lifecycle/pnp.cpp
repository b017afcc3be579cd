/*
 * Plug and Play: the dispatch routine, the query/cancel protocol for stop and
 * removal, and the stop sequence shared by stop, surprise removal and removal.
 * The device lock is the only thing the stop sequence synchronises with: it
 * drains the requests in flight before the threads stop and the radio is
 * unconfigured.
 */
#include "lifecycle/lifecycle.h"

static const char *const PnpMinorFunctionNames[] = {
    "IRP_MN_START_DEVICE",
    "IRP_MN_QUERY_REMOVE_DEVICE",
    "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE",
    "IRP_MN_STOP_DEVICE",
    "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE",
    "IRP_MN_QUERY_DEVICE_RELATIONS",
    "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES",
    "IRP_MN_QUERY_RESOURCES",
    "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT",
    "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
    "IRP_MN_?????",
    "IRP_MN_READ_CONFIG",
    "IRP_MN_WRITE_CONFIG",
    "IRP_MN_EJECT",
    "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID",
    "IRP_MN_QUERY_PNP_DEVICE_STATE",
    "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION",
    "IRP_MN_SURPRISE_REMOVAL",
};

const char *PnpMinorFunctionString(UCHAR MinorFunction)
{
    if (MinorFunction >= sizeof(PnpMinorFunctionNames) / sizeof(PnpMinorFunctionNames[0])) {
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

    PnpStopDevice(DeviceExtension);

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
