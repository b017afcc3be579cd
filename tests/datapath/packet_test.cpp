// Taking whole packets out of a receive ring, below the read request: headers, the
// wake-up of a stalled thread, a ring being closed, and packets that can never become whole.
#include <gtest/gtest.h>

#include <vector>

#include "datapath/datapath.h"
#include "host/kernel.h"

namespace {

class PacketTest : public ::testing::Test {
protected:
    void SetUp() override { wrk::ClearDebugMessages(); }
    void TearDown() override {
        InterlockedExchange(&context.RingOpen, 0);
        if (context.Ring.Buffer != nullptr)
            FreeRingBuffer(&context.Ring);
        EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u) << wrk::PoolReport();
    }

    // A context as a running receive thread leaves it, without the thread.
    void Open(ULONG ringSize, ULONG readSize) {
        InitializeReceiveThread(&extension, &context);
        ASSERT_EQ(AllocateRingBuffer(&context.Ring, ringSize), STATUS_SUCCESS);
        context.ReadSize = readSize;
        InterlockedExchange(&context.RingOpen, 1);
    }
    void Arrive(const std::vector<UCHAR>& bytes) {
        ULONG length = (ULONG)bytes.size();
        WriteRingBuffer(&context.Ring, bytes.data(), &length);
        ASSERT_EQ(length, bytes.size());
    }
    static std::vector<UCHAR> Event(UCHAR code, UCHAR parameterLength) {
        std::vector<UCHAR> e{code, parameterLength};
        for (UCHAR i = 0; i < parameterLength; i++)
            e.push_back((UCHAR)(i + 1));
        return e;
    }
    static std::vector<UCHAR> Acl(USHORT handle, ULONG dataLength, UCHAR seed = 0) {
        std::vector<UCHAR> p{(UCHAR)handle, (UCHAR)(handle >> 8), (UCHAR)dataLength, (UCHAR)(dataLength >> 8)};
        for (ULONG i = 0; i < dataLength; i++)
            p.push_back((UCHAR)(seed + i));
        return p;
    }

    struct Taken {
        NTSTATUS status;
        std::vector<UCHAR> bytes;
    };
    Taken TakeEvent(ULONG room = 300) { return Take(room, EVENT_HEADER_SIZE, GetEventPacketLength); }
    Taken TakeAcl(ULONG room = 70000) { return Take(room, ACL_HEADER_SIZE, GetAclPacketLength); }
    Taken Take(ULONG room, ULONG headerSize, PACKET_LENGTH_RULE rule) {
        std::vector<UCHAR> out(room);
        UCHAR header[4];
        Taken t;
        t.status = GetThreadData(&context, out.data(), &room, header, headerSize, rule);
        out.resize(room);
        t.bytes = out;
        return t;
    }
    bool SpaceSignalled() { return KeReadStateEvent(&context.SpaceEvent) != 0; }

    wrk::ScopedKernelState kernel;
    DEVICE_EXTENSION extension{};
    ReceiveThreadContext context{};
};

TEST(PacketLength, HeadersAreReadLittleEndianAtAnyAlignment) {
    const UCHAR bytes[] = {0xFF, 0x34, 0x12, 0xFF};
    EXPECT_EQ(ReadUshort(bytes + 1), 0x1234);
    const UCHAR event[] = {0x0E, 0xFF};
    EXPECT_EQ(GetEventPacketLength(event), 257u);
    const UCHAR acl[] = {0x01, 0x20, 0xFD, 0x03};
    EXPECT_EQ(GetAclPacketLength(acl), 4u + 1021u);
}

TEST_F(PacketTest, LessThanAHeaderIsNoPacket) {
    Open(ACL_RING_SIZE, ACL_READ_SIZE);
    Arrive({0x01, 0x20, 0x00});
    EXPECT_EQ(TakeAcl().bytes.size(), 0u);
    EXPECT_EQ(context.Ring.Count, 3u);
}

TEST_F(PacketTest, ConsumingWakesTheThreadOnlyWhenATransferFitsAgain) {
    Open(64, 16);
    Arrive(Event(0x01, 2));                  // 4 bytes
    Arrive(Event(0x02, 54));                 // 56 bytes: 60 held, 4 free
    EXPECT_EQ(TakeEvent().bytes.size(), 4u);  // 8 free: still less than one transfer
    EXPECT_FALSE(SpaceSignalled());
    EXPECT_EQ(TakeEvent().bytes.size(), 56u);
    EXPECT_TRUE(SpaceSignalled());
}

TEST_F(PacketTest, ClosedRingYieldsNothingAndIsNotTouched) {
    Open(EVENT_RING_SIZE, EVENT_READ_SIZE);
    Arrive(Event(0x0E, 3));
    InterlockedExchange(&context.RingOpen, 0);
    EXPECT_EQ(TakeEvent().bytes.size(), 0u);
    EXPECT_EQ(context.Ring.Count, 5u);
    EXPECT_EQ(context.RingUsers, 0);
}

// An announced length beyond the ring can never be delivered: the packet is dropped as
// its bytes come in, and the stream goes on in step with the packet after it.
TEST_F(PacketTest, AclPacketLargerThanTheRingIsDroppedWholeAndTheNextOneFlows) {
    Open(ACL_RING_SIZE, ACL_READ_SIZE);
    const auto huge = Acl(0x2001, 5000, 7);
    const auto next = Acl(0x2001, 10, 0x90);

    Arrive({huge.begin(), huge.begin() + 512});
    EXPECT_EQ(TakeAcl().bytes.size(), 0u);
    EXPECT_EQ(wrk::DebugCount("GetThreadData: Packet of 5004 bytes can never fit in the ring, discarded\n"), 1u);
    EXPECT_EQ(context.Ring.Count, 0u);
    EXPECT_TRUE(SpaceSignalled());

    size_t at = 512;
    while (at < huge.size()) {
        const size_t chunk = std::min<size_t>(512, huge.size() - at);
        Arrive({huge.begin() + at, huge.begin() + at + chunk});
        at += chunk;
        if (at < huge.size())
            EXPECT_EQ(TakeAcl().bytes.size(), 0u);
    }
    Arrive(next);
    EXPECT_EQ(TakeAcl().bytes, next);
    EXPECT_EQ(context.DiscardRemaining, 0u);
    EXPECT_EQ(context.Ring.Count, 0u);
    EXPECT_EQ(wrk::DebugCount("discarded"), 1u);
}

// A packet that fits the ring in principle but whose bytes stopped coming because the
// ring has too little room left for one more transfer would hold the ring for good.
TEST_F(PacketTest, PacketThatStalledTheRingUnfinishedIsDropped) {
    Open(64, 16);
    const auto stuck = Acl(0x2001, 56);  // 60 bytes
    Arrive({stuck.begin(), stuck.begin() + 48});
    EXPECT_EQ(TakeAcl().bytes.size(), 0u);  // 16 free: the thread can still receive
    EXPECT_EQ(wrk::DebugCount("discarded"), 0u);
    Arrive({stuck.begin() + 48, stuck.begin() + 52});  // 12 free: the thread stops asking
    EXPECT_EQ(TakeAcl().bytes.size(), 0u);
    EXPECT_EQ(wrk::DebugCount("GetThreadData: Packet of 60 bytes cannot complete in the ring, discarded\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("can never fit"), 0u);
    EXPECT_EQ(context.DiscardRemaining, 8u);

    std::vector<UCHAR> rest(stuck.begin() + 52, stuck.end());
    const auto next = Acl(0x0001, 2, 0x33);
    rest.insert(rest.end(), next.begin(), next.end());
    Arrive(rest);
    EXPECT_EQ(TakeAcl().bytes, next);
}

}  // namespace
