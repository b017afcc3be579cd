// HCI traffic from the host stack's handle to the radio and back, through the whole
// driver: commands as class requests, events joined from 16-byte interrupt transfers,
// ACL data both ways, and a full ring that holds the radio back until a read makes room.
#include "device_fixture.h"

namespace datapath_test {
namespace {

using TrafficTest = DeviceFixture;

TEST_F(TrafficTest, CommandGoesOutAsOneClassRequestOnTheDefaultPipe) {
    wrk::UserFile* file = Open();
    ULONG written = 0;
    ASSERT_EQ(Write(file, {0x01, 0x03, 0x0C, 0x00}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);

    const auto commands = radio_.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].setup.bmRequestType, 0x20);
    EXPECT_EQ(commands[0].setup.bRequest, 0);
    EXPECT_EQ(commands[0].setup.wValue, 0);
    EXPECT_EQ(commands[0].setup.wIndex, 0);
    EXPECT_EQ(commands[0].setup.wLength, 3);
    EXPECT_EQ(commands[0].bytes, (std::vector<uint8_t>{0x03, 0x0C, 0x00}));
}

TEST_F(TrafficTest, LongestEventArrivesInSixteenByteTransfersAndIsReadWhole) {
    wrk::UserFile* file = Open();
    const auto event = Event(0x0E, 255);
    radio_.QueueEvent(event);

    const ReadResult r = ReadPacket(file, 300);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes.size(), 258u);
    EXPECT_EQ(r.bytes, Typed(0x04, event));
    EXPECT_GE(radio_.ReceiveCalls(ScriptedRadio::kEventEndpoint), (257u + 15) / 16);
}

TEST_F(TrafficTest, AclPacketsTravelBothWaysAcrossBulkTransfers) {
    wrk::UserFile* file = Open();
    const auto outgoing = Acl(0x2001, 1021, 3);
    ULONG written = 0;
    ASSERT_EQ(Write(file, Typed(0x02, outgoing), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1026u);
    ASSERT_EQ(radio_.AclReceived().size(), 1u);
    EXPECT_EQ(radio_.AclReceived()[0], outgoing);

    // 1025 bytes come in as 512 + 512 + 1 from the bulk-in pipe.
    const auto incoming = Acl(0x2002, 1021, 9);
    radio_.QueueAcl(incoming);
    const ReadResult r = ReadPacket(file);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.bytes, Typed(0x02, incoming));
}

TEST_F(TrafficTest, EmptyCommandAndAclWritesSendZeroLengthTransfers) {
    wrk::UserFile* file = Open();
    ULONG written = 0;
    ASSERT_EQ(Write(file, {0x01}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1u);
    ASSERT_EQ(Write(file, {0x02}, &written), STATUS_SUCCESS);
    ASSERT_EQ(radio_.Commands().size(), 1u);
    EXPECT_EQ(radio_.Commands()[0].setup.wLength, 0);
    ASSERT_EQ(radio_.AclReceived().size(), 1u);
    EXPECT_TRUE(radio_.AclReceived()[0].empty());
}

// One driver second takes two real ones here, so a thread that only went on after its
// one-second wait for room would miss the limit below.
class FullRingTest : public DeviceFixture {
protected:
    FullRingTest() : DeviceFixture(2.0) {}
};

TEST_F(FullRingTest, FullAclRingStopsTransfersAndAReadRestartsThemAtOnce) {
    wrk::UserFile* file = Open();
    // Nine packets of 512 bytes: eight fill the 4096-byte ring, the ninth stays in the radio.
    for (int i = 0; i < 9; i++)
        radio_.QueueAcl(Acl(0x2001, 508, uint8_t(i)));
    ASSERT_TRUE(WaitForRing(extension_->AclThread, 4096));
    ASSERT_TRUE(wrk::WaitForDebugText("TranspThread: Receive buffer is full.\n"));
    EXPECT_EQ(radio_.QueuedInBytes(ScriptedRadio::kAclInEndpoint), 512u);
    // Only the event pipe still has a transfer outstanding.
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));
    EXPECT_EQ(bus_.PendingTransfers(pdo_), 1u);

    ASSERT_EQ(ReadPacket(file, 600).bytes, Typed(0x02, Acl(0x2001, 508, 0)));
    EXPECT_TRUE(radio_.WaitUntilDrained(ScriptedRadio::kAclInEndpoint, std::chrono::milliseconds(1000)));
    ASSERT_TRUE(WaitForRing(extension_->AclThread, 4096));
    for (int i = 1; i < 9; i++)
        EXPECT_EQ(ReadPacket(file, 600).bytes, Typed(0x02, Acl(0x2001, 508, uint8_t(i)))) << i;

    // Back to fast time; the waits still running end with one more packet each way.
    wrk::SetTimeScale(0.01);
    radio_.QueueEvent(Event(0x13, 1));
    radio_.QueueAcl(Acl(0x2001, 1));
    ASSERT_TRUE(radio_.WaitUntilDrained(ScriptedRadio::kEventEndpoint));
    ASSERT_TRUE(radio_.WaitUntilDrained(ScriptedRadio::kAclInEndpoint));
}

TEST_F(TrafficTest, EventRingFillsToLessThanOneTransferFreeWithNoReader) {
    Open();
    for (int i = 0; i < 8; i++)
        radio_.QueueEvent(Event(0x0E, 253, uint8_t(i)));  // 8 x 255 bytes, more than the ring
    ASSERT_TRUE(wrk::WaitForDebugText("TranspThread: Receive buffer is full.\n"));
    const ULONG held = ReadCount(&extension_->EventThread.Ring.Count);
    EXPECT_GE(held, 1009u);
    EXPECT_LE(held, 1024u);
    EXPECT_GT(radio_.QueuedInBytes(ScriptedRadio::kEventEndpoint), 0u);
}

}  // namespace
}  // namespace datapath_test
