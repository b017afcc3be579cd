/*
 * Receive ring: a fixed-size byte ring with one producer (a receive thread) and one
 * consumer (the read path). Each side owns its own index; only the byte count is
 * shared, changed under the ring's spin lock and read without it.
 */
#include "datapath/datapath.h"

NTSTATUS AllocateRingBuffer(PRingBuffer Ring, ULONG Size)
{
    RtlZeroMemory(Ring, sizeof(*Ring));
    KeInitializeSpinLock(&Ring->Lock);

    PUCHAR storage = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, WRENLOK_POOL_TAG);
    if (storage == NULL) {
        DebugPrint("AllocateRingBuffer: memory allocate error.\n");
        return STATUS_UNSUCCESSFUL;
    }
    Ring->Buffer = storage;
    Ring->Size = Size;
    return STATUS_SUCCESS;
}

NTSTATUS FreeRingBuffer(PRingBuffer Ring)
{
    if (Ring == NULL || Ring->Buffer == NULL) {
        DebugPrint("FreeRingBuffer: parameter error.\n");
        return STATUS_UNSUCCESSFUL;
    }
    ExFreePool(Ring->Buffer);
    RtlZeroMemory(Ring, sizeof(*Ring));
    return STATUS_SUCCESS;
}

ULONG RingBytesHeld(PRingBuffer Ring)
{
    return ReadCount(&Ring->Count);
}

ULONG RingBytesFree(PRingBuffer Ring)
{
    return Ring->Size - ReadCount(&Ring->Count);
}

/* Count moves only under the lock; the release store lets the other side, which reads it
   without the lock, see the bytes that the change accounts for. */
static void AdjustCount(PRingBuffer Ring, ULONG Added, ULONG Removed)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Ring->Lock, &oldIrql);
    WriteCount(&Ring->Count, Ring->Count + Added - Removed);
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
}

void WriteRingBuffer(PRingBuffer Ring, const UCHAR *Source, PULONG Length)
{
    /* A freed ring has no storage and a size of 0: it takes nothing. */
    if (Ring->Size == 0) {
        *Length = 0;
        return;
    }

    ULONG room = RingBytesFree(Ring);
    if (*Length > room)
        *Length = room;

    ULONG n = *Length;
    ULONG w = Ring->WriteIndex;
    if (w + n > Ring->Size) {
        ULONG head = Ring->Size - w;
        RtlCopyMemory(Ring->Buffer + w, Source, head);
        RtlCopyMemory(Ring->Buffer, Source + head, n - head);
    } else {
        RtlCopyMemory(Ring->Buffer + w, Source, n);
    }

    Ring->WriteIndex = (w + n) % Ring->Size;
    AdjustCount(Ring, n, 0);
}

void ReadRingBuffer(PRingBuffer Ring, PUCHAR Destination, PULONG Length, BOOLEAN Peek)
{
    if (Ring->Size == 0) {
        *Length = 0;
        return;
    }

    ULONG held = RingBytesHeld(Ring);
    if (*Length > held)
        *Length = held;

    ULONG n = *Length;
    ULONG r = Ring->ReadIndex;
    if (r + n > Ring->Size) {
        ULONG head = Ring->Size - r;
        RtlCopyMemory(Destination, Ring->Buffer + r, head);
        RtlCopyMemory(Destination + head, Ring->Buffer, n - head);
    } else {
        RtlCopyMemory(Destination, Ring->Buffer + r, n);
    }

    if (Peek)
        return;

    Ring->ReadIndex = (r + n) % Ring->Size;
    AdjustCount(Ring, 0, n);
}

void DiscardRingBuffer(PRingBuffer Ring, PULONG Length)
{
    if (Ring->Size == 0) {
        *Length = 0;
        return;
    }

    ULONG held = RingBytesHeld(Ring);
    if (*Length > held)
        *Length = held;

    Ring->ReadIndex = (Ring->ReadIndex + *Length) % Ring->Size;
    AdjustCount(Ring, 0, *Length);
}
