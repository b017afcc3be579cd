/*
 * The radio as a bridge to a controller outside Wine. A user-mode companion
 * keeps one request pending on the control device (an inverted call); each
 * command or ACL packet the driver sends completes it, so nothing waits on a
 * timer. Packets from the far side come back through the QUEUE requests.
 */
#include "bus.h"

static KSPIN_LOCK BridgeLock;
static PIRP PendingTake; /* the companion's request waiting for a packet */
static BOOLEAN Ended;    /* the radio was pulled: takes fail from now on */

void BridgeInitialize(void)
{
    KeInitializeSpinLock(&BridgeLock);
}

void BridgeStart(PRADIO_EXTENSION Radio)
{
    KIRQL irql;
    KeAcquireSpinLock(&BridgeLock, &irql);
    Radio->Bridged = TRUE;
    Ended = FALSE;
    KeReleaseSpinLock(&BridgeLock, irql);
}

static PRADIO_EXTENSION BridgedRadio(void)
{
    if (TheBus == NULL || TheBus->Radio == NULL)
        return NULL;
    PRADIO_EXTENSION radio = (PRADIO_EXTENSION)TheBus->Radio->DeviceExtension;
    return radio->Bridged ? radio : NULL;
}

/* Called with the bridge lock held: moves the next packet into the take; FALSE when there is none. */
static BOOLEAN FillTake(PIRP Irp)
{
    PRADIO_EXTENSION radio = BridgedRadio();
    if (radio == NULL || QueueBytes(&radio->Outgoing) == 0)
        return FALSE;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    KIRQL irql;
    KeAcquireSpinLock(&radio->Lock, &irql);
    ULONG taken = QueueTake(&radio->Outgoing, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, room);
    KeReleaseSpinLock(&radio->Lock, irql);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = taken;
    return TRUE;
}

static void NTAPI CancelTake(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&BridgeLock, &irql);
    if (PendingTake == Irp)
        PendingTake = NULL;
    KeReleaseSpinLock(&BridgeLock, irql);
    CompleteIrp(Irp, STATUS_CANCELLED, 0);
}

NTSTATUS BridgeTake(PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength < TESTBUS_TAKE_BYTES)
        return CompleteIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    KIRQL irql;
    KeAcquireSpinLock(&BridgeLock, &irql);
    if (Ended) {
        KeReleaseSpinLock(&BridgeLock, irql);
        return CompleteIrp(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    if (PendingTake != NULL) {
        KeReleaseSpinLock(&BridgeLock, irql);
        return CompleteIrp(Irp, STATUS_DEVICE_BUSY, 0);
    }
    if (FillTake(Irp)) {
        KeReleaseSpinLock(&BridgeLock, irql);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSetCancelRoutine(Irp, CancelTake);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&BridgeLock, irql);
        return CompleteIrp(Irp, STATUS_CANCELLED, 0);
    }
    IoMarkIrpPending(Irp);
    PendingTake = Irp;
    KeReleaseSpinLock(&BridgeLock, irql);
    return STATUS_PENDING;
}

/* Takes the waiting request back from its cancel routine; NULL when there is none to complete. */
static PIRP Unpend(void)
{
    PIRP irp = PendingTake;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL;
    PendingTake = NULL;
    return irp;
}

NTSTATUS BridgeSend(PRADIO_EXTENSION Radio, UCHAR Type, const UCHAR *Packet, ULONG Length)
{
    /* Every packet must fit a take whole. */
    if (1 + Length > TESTBUS_TAKE_BYTES)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&Radio->Lock, &irql);
    BOOLEAN queued = QueuePutTyped(&Radio->Outgoing, Type, Packet, Length);
    KeReleaseSpinLock(&Radio->Lock, irql);
    if (!queued)
        return STATUS_BUFFER_OVERFLOW;

    KeAcquireSpinLock(&BridgeLock, &irql);
    PIRP irp = Unpend();
    /* The packet just queued is there to take, unless the radio went in between. */
    BOOLEAN filled = irp != NULL && FillTake(irp);
    KeReleaseSpinLock(&BridgeLock, irql);
    if (filled)
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    else if (irp != NULL)
        CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    return STATUS_SUCCESS;
}

void BridgeEnd(void)
{
    KIRQL irql;
    KeAcquireSpinLock(&BridgeLock, &irql);
    Ended = TRUE;
    PIRP irp = Unpend();
    KeReleaseSpinLock(&BridgeLock, irql);
    if (irp != NULL)
        CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
}
