/*
 * Open, close, write and device control: what the host stack sees of the driver besides
 * reads. Opening starts the receive threads, any close stops them; a write carries one
 * HCI command or one ACL packet straight to USB and completes when the transfer is over.
 */
#include "datapath/datapath.h"

static PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

/* Every request starts the same way: refused while RefuseIo is set, and refused again
   once its device lock reference is held, because a stop or removal may have run whole
   between the first test and LockDevice: its drain did not wait for a reference not yet
   taken, and the device may be deselected by now. */
BOOLEAN AdmitRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS *Status)
{
    if (ReadFlag(&DeviceExtension->RefuseIo)) {
        *Status = CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        return FALSE;
    }
    if (!LockDevice(DeviceExtension)) {
        *Status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
        return FALSE;
    }
    if (ReadFlag(&DeviceExtension->RefuseIo)) {
        *Status = CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        UnlockDevice(DeviceExtension);
        return FALSE;
    }
    return TRUE;
}

/* Two closes may race here: the count goes down by one for each, and never below 0. */
static void DropOpenHandle(PDEVICE_EXTENSION DeviceExtension)
{
    LONG seen = InterlockedCompareExchange(&DeviceExtension->OpenHandles, 0, 0);
    while (seen > 0) {
        LONG before = InterlockedCompareExchange(&DeviceExtension->OpenHandles, seen - 1, seen);
        if (before == seen)
            return;
        seen = before;
    }
}

NTSTATUS NTAPI TranspCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);

    DebugPrint("TranspCreate\n");
    NTSTATUS refused;
    if (!AdmitRequest(extension, Irp, &refused))
        return refused;

    UsbResetPipe(extension, extension->InterruptPipe);
    UsbResetPipe(extension, extension->BulkInPipe);

    /* Threads that already run are left alone: a second open starts nothing. */
    NTSTATUS status = StartReceiveThreadsInSystemProcess(extension);
    if (NT_SUCCESS(status))
        InterlockedIncrement(&extension->OpenHandles);

    CompleteRequest(Irp, status, 0);
    UnlockDevice(extension);
    return status;
}

NTSTATUS NTAPI TranspClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);

    DebugPrint("TranspClose\n");
    /* Counted before any test, so that a refused close does not keep a later
       query-remove waiting for a handle that is gone. */
    DropOpenHandle(extension);

    NTSTATUS refused;
    if (!AdmitRequest(extension, Irp, &refused))
        return refused;

    /* Any close stops both threads, whatever the number of handles still open. */
    StopReceiveThreads(extension);

    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    UnlockDevice(extension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TranspWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);

    NTSTATUS refused;
    if (!AdmitRequest(extension, Irp, &refused))
        return refused;

    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status;

    if (length == 0) {
        status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
        UnlockDevice(extension);
        return status;
    }

    switch (buffer[0]) {
    case HCI_COMMAND_PACKET:
        status = UsbSendHciCommand(extension, buffer + 1, length - 1);
        break;
    case HCI_ACL_PACKET:
        status = UsbSendAclData(extension, buffer + 1, length - 1);
        break;
    default:
        DebugPrint("TranspWrite: Data packet error\n");
        status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
        UnlockDevice(extension);
        return status;
    }

    CompleteRequest(Irp, status, NT_SUCCESS(status) ? length : 0);
    UnlockDevice(extension);
    return status;
}

NTSTATUS NTAPI DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    DebugPrint("DeviceIoControl: Control code %x InputLength %d OutputLength %d\n",
               stack->Parameters.DeviceIoControl.IoControlCode, stack->Parameters.DeviceIoControl.InputBufferLength,
               stack->Parameters.DeviceIoControl.OutputBufferLength);
    NTSTATUS refused;
    if (!AdmitRequest(extension, Irp, &refused))
        return refused;

    DebugPrint("DeviceIoControl: %d bytes written\n", 0);
    NTSTATUS status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    UnlockDevice(extension);
    return status;
}
