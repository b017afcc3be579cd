/*
 * The scripted radio behind the PDO's pipes. Commands are answered with
 * events, ACL data written to bulk out comes back on bulk in, and the client
 * can queue packets of its own. An IN transfer with nothing to carry is held,
 * cancellable, until a packet arrives; each pipe can instead hold every
 * transfer or stall it.
 */
#include "bus.h"

static const UCHAR BdAddr[6] = {0x42, 0x00, 0x00, 0x01, 0xAA, 0x00}; /* 00:AA:01:00:00:42 */

/* Vendor command that asks for the longest event HCI allows, 255 parameter bytes. */
#define OPCODE_LONG_EVENT 0xFC01
#define OPCODE_RESET 0x0C03
#define OPCODE_READ_BD_ADDR 0x1009

void RadioInitialize(PRADIO_EXTENSION Radio)
{
    KeInitializeSpinLock(&Radio->Lock);
    Radio->PortEnabled = TRUE;
}

static PURB UrbOf(PIRP Irp)
{
    return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1;
}

static NTSTATUS FinishTransfer(PIRP Irp, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    UrbOf(Irp)->UrbHeader.Status = UrbStatus;
    return CompleteIrp(Irp, Status, 0);
}

static void NTAPI CancelTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PRADIO_EXTENSION radio = (PRADIO_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;
    KeAcquireSpinLock(&radio->Lock, &irql);
    for (ULONG pipe = 0; pipe < TESTBUS_PIPE_COUNT; pipe++) {
        if (radio->Pipes[pipe].Held == Irp) {
            radio->Pipes[pipe].Held = NULL;
            radio->Pipes[pipe].Statistics.Cancelled++;
        }
    }
    KeReleaseSpinLock(&radio->Lock, irql);
    FinishTransfer(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

/* Called with the lock held: takes the held transfer back from its cancel routine, or NULL. */
static PIRP Unhold(PRADIO_EXTENSION Radio, ULONG Pipe)
{
    PIRP irp = Radio->Pipes[Pipe].Held;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL; /* none, or its cancellation is already under way */
    Radio->Pipes[Pipe].Held = NULL;
    return irp;
}

static PACKET_QUEUE *QueueOf(PRADIO_EXTENSION Radio, ULONG Pipe)
{
    return Pipe == TESTBUS_PIPE_INTERRUPT ? &Radio->Events : &Radio->Acl;
}

/* Called with the lock held: moves the next bytes into the transfer. */
static void Fill(PRADIO_EXTENSION Radio, ULONG Pipe, PIRP Irp)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    ULONG taken = QueueTake(QueueOf(Radio, Pipe), (PUCHAR)transfer->TransferBuffer, transfer->TransferBufferLength);
    transfer->TransferBufferLength = taken;
    transfer->Hdr.Status = USBD_STATUS_SUCCESS;
    Radio->Pipes[Pipe].Statistics.Transfers++;
    Radio->Pipes[Pipe].Statistics.Bytes += taken;
}

/* Keeps the transfer until it can be answered; an IN transfer that finds bytes
 * waiting (TakeData) takes them at once instead. */
static NTSTATUS Hold(PRADIO_EXTENSION Radio, ULONG Pipe, PIRP Irp, BOOLEAN TakeData)
{
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    if (Radio->Pipes[Pipe].Held != NULL) {
        KeReleaseSpinLock(&Radio->Lock, irql);
        return FinishTransfer(Irp, STATUS_DEVICE_BUSY, USBD_STATUS_INVALID_PARAMETER);
    }
    if (TakeData && QueueBytes(QueueOf(Radio, Pipe)) > 0) {
        Fill(Radio, Pipe, Irp);
        KeReleaseSpinLock(&Radio->Lock, irql);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
    IoSetCancelRoutine(Irp, CancelTransfer);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Radio->Lock, irql);
        return FinishTransfer(Irp, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
    IoMarkIrpPending(Irp);
    Radio->Pipes[Pipe].Held = Irp;
    KeReleaseSpinLock(&Radio->Lock, irql);
    return STATUS_PENDING;
}

/* Hands queued bytes to the transfer waiting on an IN pipe, if there is one. */
static void Deliver(PRADIO_EXTENSION Radio, ULONG Pipe)
{
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    PIRP irp = NULL;
    if (Radio->Pipes[Pipe].Mode == TESTBUS_MODE_NORMAL && QueueBytes(QueueOf(Radio, Pipe)) > 0) {
        irp = Unhold(Radio, Pipe);
        if (irp != NULL)
            Fill(Radio, Pipe, irp);
    }
    KeReleaseSpinLock(&Radio->Lock, irql);
    if (irp != NULL)
        CompleteIrp(irp, STATUS_SUCCESS, 0);
}

static void FailHeld(PRADIO_EXTENSION Radio, ULONG Pipe, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    PIRP irp = Unhold(Radio, Pipe);
    if (irp != NULL)
        Radio->Pipes[Pipe].Statistics.Failed++;
    KeReleaseSpinLock(&Radio->Lock, irql);
    if (irp != NULL)
        FinishTransfer(irp, Status, UrbStatus);
}

void RadioFailEverything(PRADIO_EXTENSION Radio)
{
    Radio->Gone = TRUE;
    for (ULONG pipe = 0; pipe < TESTBUS_PIPE_COUNT; pipe++)
        FailHeld(Radio, pipe, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

void RadioFailTransfers(PRADIO_EXTENSION Radio)
{
    for (ULONG pipe = 0; pipe < TESTBUS_PIPE_COUNT; pipe++)
        FailHeld(Radio, pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

NTSTATUS RadioSetMode(PRADIO_EXTENSION Radio, ULONG Pipe, ULONG Mode)
{
    if (Pipe >= TESTBUS_PIPE_COUNT || Mode > TESTBUS_MODE_STALL)
        return STATUS_INVALID_PARAMETER;
    Radio->Pipes[Pipe].Mode = Mode;
    if (Mode == TESTBUS_MODE_STALL)
        FailHeld(Radio, Pipe, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    else if (Mode == TESTBUS_MODE_NORMAL && Pipe != TESTBUS_PIPE_CONTROL && Pipe != TESTBUS_PIPE_BULK_OUT)
        Deliver(Radio, Pipe);
    return STATUS_SUCCESS;
}

NTSTATUS RadioQueue(PRADIO_EXTENSION Radio, ULONG Pipe, const UCHAR *Packet, ULONG Length)
{
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    BOOLEAN queued = QueuePut(QueueOf(Radio, Pipe), Packet, Length);
    KeReleaseSpinLock(&Radio->Lock, irql);
    if (!queued)
        return STATUS_BUFFER_OVERFLOW;
    Deliver(Radio, Pipe);
    return STATUS_SUCCESS;
}

void RadioStatistics(PRADIO_EXTENSION Radio, TESTBUS_STATISTICS *Statistics)
{
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    for (ULONG pipe = 0; pipe < TESTBUS_PIPE_COUNT; pipe++)
        Statistics->Pipes[pipe] = Radio->Pipes[pipe].Statistics;
    Statistics->Queued[TESTBUS_PIPE_CONTROL] = 0;
    Statistics->Queued[TESTBUS_PIPE_INTERRUPT] = QueueBytes(&Radio->Events);
    Statistics->Queued[TESTBUS_PIPE_BULK_IN] = QueueBytes(&Radio->Acl);
    Statistics->Queued[TESTBUS_PIPE_BULK_OUT] = 0;
    KeReleaseSpinLock(&Radio->Lock, irql);
}

/* The answer to one HCI command: Command Complete, or the long vendor event. */
static void Answer(PRADIO_EXTENSION Radio, const UCHAR *Command, ULONG Length)
{
    UCHAR event[2 + 255];
    ULONG length;
    USHORT opcode = Length >= 2 ? (USHORT)(Command[0] | (Command[1] << 8)) : 0;
    if (opcode == OPCODE_LONG_EVENT) {
        event[0] = 0xFF;
        event[1] = 255;
        for (ULONG i = 0; i < 255; i++)
            event[2 + i] = (UCHAR)i;
        length = sizeof(event);
    } else {
        event[0] = 0x0E; /* Command Complete */
        event[1] = 4;
        event[2] = 1;
        event[3] = (UCHAR)opcode;
        event[4] = (UCHAR)(opcode >> 8);
        event[5] = 0x00;
        length = 6;
        if (opcode == OPCODE_READ_BD_ADDR) {
            RtlCopyMemory(event + 6, BdAddr, sizeof(BdAddr));
            event[1] += sizeof(BdAddr);
            length += sizeof(BdAddr);
        } else if (opcode != OPCODE_RESET) {
            event[5] = 0x01; /* Unknown HCI Command */
        }
    }
    RadioQueue(Radio, TESTBUS_PIPE_INTERRUPT, event, length);
}

NTSTATUS RadioCommand(PRADIO_EXTENSION Radio, PIRP Irp, struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *Request)
{
    RADIO_PIPE *pipe = &Radio->Pipes[TESTBUS_PIPE_CONTROL];
    if (Request->TransferBufferLength > pipe->Statistics.LargestLength)
        pipe->Statistics.LargestLength = Request->TransferBufferLength;
    if (pipe->Mode == TESTBUS_MODE_HOLD)
        return Hold(Radio, TESTBUS_PIPE_CONTROL, Irp, FALSE);
    if (pipe->Mode == TESTBUS_MODE_STALL) {
        pipe->Statistics.Failed++;
        return FinishTransfer(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    pipe->Statistics.Transfers++;
    pipe->Statistics.Bytes += Request->TransferBufferLength;
    if (Radio->Bridged) {
        if (!NT_SUCCESS(BridgeSend(Radio, 0x01, (const UCHAR *)Request->TransferBuffer,
                                   Request->TransferBufferLength)))
            return FinishTransfer(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN);
    } else {
        Answer(Radio, (const UCHAR *)Request->TransferBuffer, Request->TransferBufferLength);
    }
    Request->Hdr.Status = USBD_STATUS_SUCCESS;
    return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS RadioTransfer(PRADIO_EXTENSION Radio, PIRP Irp, ULONG Pipe)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER *transfer = &UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    RADIO_PIPE *pipe = &Radio->Pipes[Pipe];
    if (transfer->TransferBuffer == NULL)
        return FinishTransfer(Irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (transfer->TransferBufferLength > pipe->Statistics.LargestLength)
        pipe->Statistics.LargestLength = transfer->TransferBufferLength;
    if (pipe->Mode == TESTBUS_MODE_HOLD)
        return Hold(Radio, Pipe, Irp, FALSE);
    if (pipe->Mode == TESTBUS_MODE_STALL) {
        pipe->Statistics.Failed++;
        return FinishTransfer(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }

    if (Pipe == TESTBUS_PIPE_BULK_OUT) {
        pipe->Statistics.Transfers++;
        pipe->Statistics.Bytes += transfer->TransferBufferLength;
        const UCHAR *data = (const UCHAR *)transfer->TransferBuffer;
        NTSTATUS looped = Radio->Bridged ? BridgeSend(Radio, 0x02, data, transfer->TransferBufferLength)
                                         : RadioQueue(Radio, TESTBUS_PIPE_BULK_IN, data, transfer->TransferBufferLength);
        if (!NT_SUCCESS(looped))
            return FinishTransfer(Irp, STATUS_UNSUCCESSFUL, USBD_STATUS_BUFFER_OVERRUN);
        transfer->Hdr.Status = USBD_STATUS_SUCCESS;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }

    return Hold(Radio, Pipe, Irp, TRUE);
}
