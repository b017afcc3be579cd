/*
 * Reads: each takes one whole HCI event or ACL packet out of the receive rings, events
 * and ACL data in turn, or completes at once with no data. A read never waits.
 */
#include "datapath/datapath.h"

USHORT ReadUshort(const UCHAR *Bytes)
{
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}

ULONG GetEventPacketLength(const UCHAR *Header)
{
    return (ULONG)Header[1] + 2;
}

ULONG GetAclPacketLength(const UCHAR *Header)
{
    return (ULONG)ReadUshort(Header + 2) + 4;
}

static void WakeThreadIfRoom(PReceiveThreadContext Context)
{
    if (RingBytesFree(&Context->Ring) >= Context->ReadSize)
        KeSetEvent(&Context->SpaceEvent, IO_NO_INCREMENT, FALSE);
}

/* Drops what is left of a packet that was too long for the ring; TRUE once the stream is
   back at a packet boundary. */
static BOOLEAN DropDiscardedBytes(PReceiveThreadContext Context)
{
    ULONG dropped = Context->DiscardRemaining;
    DiscardRingBuffer(&Context->Ring, &dropped);
    Context->DiscardRemaining -= dropped;
    if (dropped != 0)
        WakeThreadIfRoom(Context);
    return Context->DiscardRemaining == 0;
}

/* The head packet can never become whole when it is larger than the ring, or when the ring
   has stalled (its thread starts no transfer with less than ReadSize free, and only a read
   frees room) before the packet's last byte came in. Such a packet would hold back its
   ring for good, so it is dropped whole and the stream goes on with the next one. */
static BOOLEAN PacketCanNeverComplete(PReceiveThreadContext Context, ULONG Held, ULONG PacketLength)
{
    PRingBuffer ring = &Context->Ring;
    return PacketLength > ring->Size || ring->Size - Held < Context->ReadSize;
}

static void DiscardPacket(PReceiveThreadContext Context, ULONG Held, ULONG PacketLength)
{
    /* Say which of the two it was: a packet that fits the ring but stalled it is not
       one that can never fit. */
    if (PacketLength > Context->Ring.Size)
        DebugPrint("GetThreadData: Packet of %u bytes can never fit in the ring, discarded\n", PacketLength);
    else
        DebugPrint("GetThreadData: Packet of %u bytes cannot complete in the ring, discarded\n", PacketLength);
    ULONG dropped = Held;
    DiscardRingBuffer(&Context->Ring, &dropped);
    Context->DiscardRemaining = PacketLength - dropped;
    WakeThreadIfRoom(Context);
}

static NTSTATUS TakePacket(PReceiveThreadContext Context, PUCHAR Destination, PULONG Room, PUCHAR Header,
                           ULONG HeaderSize, PACKET_LENGTH_RULE LengthRule)
{
    PRingBuffer ring = &Context->Ring;
    ULONG room = *Room;
    *Room = 0;

    if (Context->DiscardRemaining != 0 && !DropDiscardedBytes(Context))
        return STATUS_SUCCESS;

    ULONG held = RingBytesHeld(ring);
    if (held < HeaderSize)
        return STATUS_SUCCESS;

    ULONG headerLength = HeaderSize;
    ReadRingBuffer(ring, Header, &headerLength, TRUE);
    ULONG packetLength = LengthRule(Header);

    if (held < packetLength) {
        if (PacketCanNeverComplete(Context, held, packetLength))
            DiscardPacket(Context, held, packetLength);
        return STATUS_SUCCESS;
    }

    if (packetLength > room) {
        /* The packet stays at the head of its ring for a read with enough room. */
        DebugPrint("GetThreadData: Read length error\n");
        return STATUS_INVALID_PARAMETER;
    }

    ULONG copied = packetLength;
    ReadRingBuffer(ring, Destination, &copied, FALSE);
    *Room = copied;
    WakeThreadIfRoom(Context);
    return STATUS_SUCCESS;
}

NTSTATUS GetThreadData(PReceiveThreadContext Context, PUCHAR Destination, PULONG Room, PUCHAR Header,
                       ULONG HeaderSize, PACKET_LENGTH_RULE LengthRule)
{
    /* A close on another handle may be stopping the threads: the ring stays allocated
       until this read has left it, and once it is going away there is nothing to read. */
    if (!AcquireRingForRead(Context)) {
        *Room = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = TakePacket(Context, Destination, Room, Header, HeaderSize, LengthRule);
    ReleaseRingForRead(Context);
    return status;
}

/* One attempt on the ring whose turn it is; the turn passes to the other ring. */
static NTSTATUS TryNextRing(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length, ULONG_PTR *Information)
{
    UCHAR header[ACL_HEADER_SIZE];
    PReceiveThreadContext context;
    ULONG headerSize;
    PACKET_LENGTH_RULE lengthRule;
    UCHAR type;

    if (DeviceExtension->ReadOrder == READ_EVENT_FIRST) {
        DeviceExtension->ReadOrder = READ_ACL_FIRST;
        context = &DeviceExtension->EventThread;
        headerSize = EVENT_HEADER_SIZE;
        lengthRule = GetEventPacketLength;
        type = HCI_EVENT_PACKET;
    } else {
        DeviceExtension->ReadOrder = READ_EVENT_FIRST;
        context = &DeviceExtension->AclThread;
        headerSize = ACL_HEADER_SIZE;
        lengthRule = GetAclPacketLength;
        type = HCI_ACL_PACKET;
    }

    ULONG room = Length - 1;
    NTSTATUS status = GetThreadData(context, Buffer + 1, &room, header, headerSize, lengthRule);
    if (NT_SUCCESS(status) && room != 0) {
        Buffer[0] = type;
        *Information = (ULONG_PTR)room + 1;
    }
    return status;
}

static NTSTATUS TakeNextPacket(PDEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, ULONG Length,
                               ULONG_PTR *Information)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        NTSTATUS status = TryNextRing(DeviceExtension, Buffer, Length, Information);
        if (!NT_SUCCESS(status) || *Information != 0)
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TranspRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    NTSTATUS refused;
    if (!AdmitRequest(extension, Irp, &refused))
        return refused;

    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (length == 0) {
        NTSTATUS status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
        UnlockDevice(extension);
        return status;
    }

    /* ReadOrder and the rings' consumer side belong to one read at a time; a read that
       finds another one under way does not wait for it and returns no data. */
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    if (InterlockedCompareExchange(&extension->ReadInProgress, 1, 0) == 0) {
        status = TakeNextPacket(extension, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length, &information);
        InterlockedExchange(&extension->ReadInProgress, 0);
    }

    if (!NT_SUCCESS(status))
        information = 0;
    CompleteRequest(Irp, status, information);
    UnlockDevice(extension);
    return status;
}
