/*
 * HCI traffic over USB: commands as class requests on the default pipe, ACL data on the
 * bulk pipes, events on the interrupt pipe. Transfers are sent asynchronously so that a
 * send can give up after five seconds and a receive can notice a stop request every
 * second; a call returns only once the bus driver has handed its request back, so a URB
 * is never freed while the bus still holds it.
 */
#include "datapath/datapath.h"

NTSTATUS NTAPI OnCompleteSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    /* Keep the request: its URB is still read, and UsbReleaseRequest finishes it. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UsbResetPipe(PDEVICE_EXTENSION DeviceExtension, USBD_PIPE_HANDLE Pipe)
{
    return STATUS_SUCCESS;
}

NTSTATUS UsbSubmitUrbAsync(PDEVICE_EXTENSION DeviceExtension, PURB Urb, PKEVENT Event, PIRP *Request,
                           PIO_STATUS_BLOCK IoStatus)
{
    KeInitializeEvent(Event, NotificationEvent, FALSE);

    PIRP request = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, DeviceExtension->NextStackDevice,
                                                 NULL, 0, NULL, 0, TRUE, Event, IoStatus);
    *Request = request;
    if (request == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request);
    next->Parameters.Others.Argument1 = Urb;
    next->Parameters.Others.Argument2 = NULL;
    IoSetCompletionRoutine(request, OnCompleteSetEvent, Event, TRUE, TRUE, TRUE);

    return IoCallDriver(DeviceExtension->NextStackDevice, request);
}

NTSTATUS UsbCancelAndWait(PKEVENT Event, PIRP Request)
{
    IoCancelIrp(Request);
    return KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
}

void UsbReleaseRequest(PKEVENT Event, PIRP Request, BOOLEAN Wait)
{
    KeClearEvent(Event);
    IoCompleteRequest(Request, IO_NO_INCREMENT);
    if (Wait)
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
}

static void FillBulkTransfer(PURB Urb, USBD_PIPE_HANDLE Pipe, ULONG Flags, PVOID Buffer, ULONG Length)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &Urb->UrbBulkOrInterruptTransfer;
    RtlZeroMemory(transfer, sizeof(*transfer));
    transfer->Hdr.Length = sizeof(*transfer);
    transfer->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer->PipeHandle = Pipe;
    transfer->TransferFlags = Flags;
    transfer->TransferBufferLength = Length;
    transfer->TransferBuffer = Buffer;
    transfer->TransferBufferMDL = NULL;
    transfer->UrbLink = NULL;
}

/* Waits for an outstanding send; on time-out cancels it and waits for the bus to let go.
   Returns the wait's status, STATUS_TIMEOUT included. */
static NTSTATUS WaitForSend(PKEVENT Event, PIRP Request, BOOLEAN *TimedOut)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = FIVE_SECOND_TIMEOUT;
    NTSTATUS status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, &timeout);
    *TimedOut = (status == STATUS_TIMEOUT);
    if (*TimedOut)
        UsbCancelAndWait(Event, Request);
    return status;
}

NTSTATUS UsbSendHciCommand(PDEVICE_EXTENSION DeviceExtension, PVOID Command, ULONG Length)
{
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                                           WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbSendHciCommand: No URB memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *request = &urb->UrbControlVendorClassRequest;
    RtlZeroMemory(request, sizeof(*request));
    request->Hdr.Length = sizeof(*request);
    request->Hdr.Function = URB_FUNCTION_CLASS_DEVICE;
    request->TransferFlags = 0;
    request->TransferBufferLength = Length;
    request->TransferBuffer = Command;
    request->TransferBufferMDL = NULL;
    request->UrbLink = NULL;
    request->RequestTypeReservedBits = 0x20;
    request->Request = 0x00;
    request->Value = 0x0000;
    request->Index = 0x0000;

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status = UsbSubmitUrbAsync(DeviceExtension, urb, &event, &irp, &ioStatus);
    if (irp == NULL) {
        DebugPrint("UsbSendHciCommand: No IRP memory\n");
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (status == STATUS_PENDING) {
        BOOLEAN timedOut;
        status = WaitForSend(&event, irp, &timedOut);
    }
    UsbReleaseRequest(&event, irp, NT_SUCCESS(status));

    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        DebugPrint("UsbSendHciCommand: status %x URB status %x\n", status, urb->UrbHeader.Status);
        status = STATUS_UNSUCCESSFUL;
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS UsbSendAclData(PDEVICE_EXTENSION DeviceExtension, PVOID Packet, ULONG Length)
{
    if (DeviceExtension->BulkOutPipe == NULL)
        return STATUS_INVALID_HANDLE;

    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbSendAclData: No URB memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillBulkTransfer(urb, DeviceExtension->BulkOutPipe, USBD_TRANSFER_DIRECTION_OUT, Packet, Length);

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status = UsbSubmitUrbAsync(DeviceExtension, urb, &event, &irp, &ioStatus);
    if (irp == NULL) {
        DebugPrint("UsbSendAclData: No IRP memory\n");
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (status == STATUS_PENDING) {
        BOOLEAN timedOut;
        status = WaitForSend(&event, irp, &timedOut);
        if (timedOut)
            UsbResetPipe(DeviceExtension, DeviceExtension->BulkOutPipe);
    }
    UsbReleaseRequest(&event, irp, NT_SUCCESS(status));

    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        DebugPrint("UsbSendAclData: status %x URB status %x\n", status, urb->UrbHeader.Status);
        status = STATUS_UNSUCCESSFUL;
    }
    ExFreePool(urb);
    return status;
}

NTSTATUS UsbReceive(PReceiveThreadContext Context, PVOID Buffer, PULONG Length)
{
    if (Context->PipeHandle == NULL)
        return STATUS_INVALID_HANDLE;
    if (Buffer == NULL || Length == NULL || *Length == 0)
        return STATUS_INVALID_PARAMETER;

    ULONG thread = (ULONG)(ULONG_PTR)Context;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbReceive: No URB memory\n");
        *Length = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillBulkTransfer(urb, Context->PipeHandle, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, Buffer,
                     *Length);

    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    PIRP irp;
    NTSTATUS status = UsbSubmitUrbAsync(Context->DeviceExtension, urb, &event, &irp, &ioStatus);
    if (irp == NULL) {
        DebugPrint("UsbReceive: No IRP memory\n");
        ExFreePool(urb);
        *Length = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (status == STATUS_PENDING) {
        LARGE_INTEGER slice;
        slice.QuadPart = ONE_SECOND_TIMEOUT;
        for (;;) {
            NTSTATUS waited = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &slice);
            if (waited != STATUS_TIMEOUT) {
                status = waited;
                break;
            }
            if (ReadFlag(&Context->StopRequest)) {
                DebugPrint("UsbReceive(thread==0x%x): stop receive-wait.\n", thread);
                UsbCancelAndWait(&event, irp);
                UsbResetPipe(Context->DeviceExtension, Context->PipeHandle);
                status = STATUS_TIMEOUT;
                break;
            }
        }
    }
    UsbReleaseRequest(&event, irp, NT_SUCCESS(status));

    if (status == STATUS_TIMEOUT) {
        DebugPrint("UsbReceive(thread==0x%x): receive timeout.\n", thread);
        *Length = 0;
        ExFreePool(urb);
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        DebugPrint("UsbReceive(thread==0x%x): status %x URB status %x\n", thread, status, urb->UrbHeader.Status);
        *Length = 0;
        ExFreePool(urb);
        return STATUS_UNSUCCESSFUL;
    }

    *Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    ExFreePool(urb);
    return status;
}

NTSTATUS UsbCallSync(PDEVICE_EXTENSION DeviceExtension, PVOID Argument1, ULONG IoControlCode, PVOID Argument2)
{
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ioStatus.Status = STATUS_SUCCESS;
    ioStatus.Information = 0;

    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, DeviceExtension->NextStackDevice, NULL, 0, NULL, 0,
                                             TRUE, &event, &ioStatus);
    if (irp == NULL) {
        DebugPrint("UsbCallSync: No IRP memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = Argument1;
    next->Parameters.Others.Argument2 = Argument2;

    NTSTATUS status = IoCallDriver(DeviceExtension->NextStackDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
    }
    return status;
}
