// The driver's work for each packet it delivers, from the USB completions that carry
// the packet's bytes to the copy into the reader's buffer: the receive thread appends
// every completed transfer to the ring, and one read takes the whole packet out.
// Run under callgrind by packet_cost.sh, which counts the instructions of those two
// steps only and divides by the number of packets.
//
// Usage: packet_cost event|acl COUNT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <host/kernel.h>

#include "datapath/datapath.h"

namespace {

struct Kind {
    ULONG ringSize, readSize, headerSize;
    PACKET_LENGTH_RULE rule;
    std::vector<UCHAR> packet;
};

Kind EventKind() {
    Kind k{EVENT_RING_SIZE, EVENT_READ_SIZE, EVENT_HEADER_SIZE, GetEventPacketLength, {0x0E, 255}};
    k.packet.resize(2 + 255, 0x11);
    return k;
}

Kind AclKind() {
    Kind k{ACL_RING_SIZE, ACL_READ_SIZE, ACL_HEADER_SIZE, GetAclPacketLength, {0x01, 0x20, 0xFD, 0x03}};
    k.packet.resize(4 + 1021, 0x22);
    return k;
}

// What TranspThread does with each completed transfer.
void AppendTransfers(PReceiveThreadContext context, const std::vector<UCHAR>& packet) {
    for (size_t at = 0; at < packet.size(); at += context->ReadSize) {
        ULONG length = ULONG(std::min<size_t>(context->ReadSize, packet.size() - at));
        WriteRingBuffer(&context->Ring, packet.data() + at, &length);
    }
}

// What a read does with the ring that holds the packet.
ULONG DeliverPacket(PReceiveThreadContext context, const Kind& kind, PUCHAR userBuffer, ULONG length) {
    UCHAR header[ACL_HEADER_SIZE];
    ULONG room = length - 1;
    GetThreadData(context, userBuffer + 1, &room, header, kind.headerSize, kind.rule);
    userBuffer[0] = kind.headerSize == EVENT_HEADER_SIZE ? HCI_EVENT_PACKET : HCI_ACL_PACKET;
    return room + 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "event") != 0 && strcmp(argv[1], "acl") != 0)) {
        fprintf(stderr, "usage: %s event|acl COUNT\n", argv[0]);
        return 2;
    }
    const Kind kind = strcmp(argv[1], "event") == 0 ? EventKind() : AclKind();
    const int count = atoi(argv[2]);

    wrk::ScopedKernelState kernel;
    SetDebugSwitch(0);
    DEVICE_EXTENSION extension{};
    ReceiveThreadContext& context = extension.AclThread;
    InitializeReceiveThread(&extension, &context);
    AllocateRingBuffer(&context.Ring, kind.ringSize);
    context.ReadSize = kind.readSize;
    InterlockedExchange(&context.RingOpen, 1);

    std::vector<UCHAR> userBuffer(2048);
    ULONG delivered = 0;
    for (int i = 0; i < count; i++) {
        AppendTransfers(&context, kind.packet);
        delivered += DeliverPacket(&context, kind, userBuffer.data(), ULONG(userBuffer.size()));
    }

    InterlockedExchange(&context.RingOpen, 0);
    FreeRingBuffer(&context.Ring);
    printf("%s: %d packets, %lu bytes delivered\n", argv[1], count, (unsigned long)delivered);
    return delivered == ULONG(count) * (kind.packet.size() + 1) ? 0 : 1;
}
