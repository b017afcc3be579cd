/*
 * Whole packets on their way to an IN pipe. A transfer takes bytes of the
 * first packet only, so a packet longer than the transfer spreads over
 * several transfers, the way a USB radio sends it.
 */
#include "bus.h"

/* Room for Length more bytes at the end, moving what is held to the front if need be. */
static BOOLEAN MakeRoom(PACKET_QUEUE *Queue, ULONG Length)
{
    if (Length == 0 || Queue->Count == PACKET_QUEUE_PACKETS)
        return FALSE;
    if (Queue->End + Length > PACKET_QUEUE_BYTES) {
        ULONG held = Queue->End - Queue->Start;
        if (held + Length > PACKET_QUEUE_BYTES)
            return FALSE;
        RtlMoveMemory(Queue->Data, Queue->Data + Queue->Start, held);
        Queue->Start = 0;
        Queue->End = held;
    }
    return TRUE;
}

static void Record(PACKET_QUEUE *Queue, ULONG Length)
{
    Queue->Lengths[(Queue->First + Queue->Count) % PACKET_QUEUE_PACKETS] = Length;
    Queue->Count++;
}

BOOLEAN QueuePut(PACKET_QUEUE *Queue, const UCHAR *Packet, ULONG Length)
{
    if (!MakeRoom(Queue, Length))
        return FALSE;
    RtlCopyMemory(Queue->Data + Queue->End, Packet, Length);
    Queue->End += Length;
    Record(Queue, Length);
    return TRUE;
}

BOOLEAN QueuePutTyped(PACKET_QUEUE *Queue, UCHAR Type, const UCHAR *Packet, ULONG Length)
{
    if (!MakeRoom(Queue, 1 + Length))
        return FALSE;
    Queue->Data[Queue->End] = Type;
    RtlCopyMemory(Queue->Data + Queue->End + 1, Packet, Length);
    Queue->End += 1 + Length;
    Record(Queue, 1 + Length);
    return TRUE;
}

ULONG QueueTake(PACKET_QUEUE *Queue, PUCHAR Buffer, ULONG Length)
{
    if (Queue->Count == 0)
        return 0;
    ULONG left = Queue->Lengths[Queue->First] - Queue->TakenOfFirst;
    ULONG taken = Length < left ? Length : left;
    RtlCopyMemory(Buffer, Queue->Data + Queue->Start, taken);
    Queue->Start += taken;
    Queue->TakenOfFirst += taken;
    if (Queue->TakenOfFirst == Queue->Lengths[Queue->First]) {
        Queue->First = (Queue->First + 1) % PACKET_QUEUE_PACKETS;
        Queue->Count--;
        Queue->TakenOfFirst = 0;
    }
    if (Queue->Count == 0) {
        Queue->Start = 0;
        Queue->End = 0;
    }
    return taken;
}

ULONG QueueBytes(const PACKET_QUEUE *Queue)
{
    return Queue->End - Queue->Start;
}
