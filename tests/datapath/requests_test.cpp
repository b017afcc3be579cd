// What the host stack sees of open, close, read, write and device control: the read
// turns between events and ACL data, partial and oversized packets, the write types,
// and what opens and closes do to the receive threads.
#include "device_fixture.h"

namespace datapath_test {
namespace {

using RequestsTest = DeviceFixture;

TEST_F(RequestsTest, ReadsTakeEventsAndAclDataInTurn) {
    wrk::UserFile* file = Open();
    const auto e1 = Event(0x0E, 4, 1), e2 = Event(0x0F, 4, 2);
    const auto a1 = Acl(0x2001, 3, 1), a2 = Acl(0x2001, 3, 2);
    radio_.QueueEvent(e1);
    radio_.QueueEvent(e2);
    radio_.QueueAcl(a1);
    radio_.QueueAcl(a2);
    ASSERT_TRUE(WaitForRing(extension_->EventThread, 12));
    ASSERT_TRUE(WaitForRing(extension_->AclThread, 14));

    EXPECT_EQ(Read(file).bytes, Typed(0x04, e1));
    EXPECT_EQ(Read(file).bytes, Typed(0x02, a1));
    EXPECT_EQ(Read(file).bytes, Typed(0x04, e2));
    EXPECT_EQ(Read(file).bytes, Typed(0x02, a2));

    // Nothing in either ring: no data, and the turn is where it was.
    EXPECT_EQ(extension_->ReadOrder, READ_EVENT_FIRST);
    const ReadResult empty = Read(file);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_TRUE(empty.bytes.empty());
    EXPECT_EQ(extension_->ReadOrder, READ_EVENT_FIRST);

    // Found only in the second ring tried: the event ring is first in line again.
    const auto a3 = Acl(0x2001, 1, 3);
    radio_.QueueAcl(a3);
    EXPECT_EQ(ReadPacket(file).bytes, Typed(0x02, a3));
    EXPECT_EQ(extension_->ReadOrder, READ_EVENT_FIRST);
}

TEST_F(RequestsTest, PartlyArrivedEventIsPassedOverForTheAclRing) {
    wrk::UserFile* file = Open();
    const auto event = Event(0x0E, 30);
    radio_.QueueEvent({event.begin(), event.begin() + 16});
    const auto acl = Acl(0x2001, 2);
    radio_.QueueAcl(acl);
    ASSERT_TRUE(WaitForRing(extension_->EventThread, 16));
    ASSERT_TRUE(WaitForRing(extension_->AclThread, 6));

    EXPECT_EQ(Read(file).bytes, Typed(0x02, acl));
    EXPECT_TRUE(Read(file).bytes.empty());

    radio_.QueueEvent({event.begin() + 16, event.end()});
    EXPECT_EQ(ReadPacket(file).bytes, Typed(0x04, event));
}

TEST_F(RequestsTest, ReadTooShortForThePacketFailsAndLeavesItForALongerRead) {
    wrk::UserFile* file = Open();
    EXPECT_TRUE(Read(file, 1).bytes.empty());  // nothing waiting: no data, no error

    const auto event = Event(0x05, 4);  // 6 bytes, 7 with the type byte
    radio_.QueueEvent(event);
    ASSERT_TRUE(WaitForRing(extension_->EventThread, 6));
    wrk::ClearDebugMessages();

    const ReadResult tooShort = Read(file, 6);
    EXPECT_EQ(tooShort.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(tooShort.bytes.empty());
    EXPECT_EQ(wrk::DebugCount("GetThreadData: Read length error\n"), 1u);
    EXPECT_EQ(Read(file, 1).status, STATUS_INVALID_PARAMETER);

    const ReadResult exact = Read(file, 7);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.bytes, Typed(0x04, event));
}

TEST_F(RequestsTest, ZeroLengthReadIsAnInvalidParameter) {
    wrk::UserFile* file = Open();
    EXPECT_EQ(Read(file, 0).status, STATUS_INVALID_PARAMETER);
}

TEST_F(RequestsTest, AclPacketOfLengthZeroIsReadAsFiveBytes) {
    wrk::UserFile* file = Open();
    radio_.QueueAcl({0x01, 0x20, 0x00, 0x00});
    EXPECT_EQ(ReadPacket(file).bytes, (std::vector<uint8_t>{0x02, 0x01, 0x20, 0x00, 0x00}));
}

TEST_F(RequestsTest, AclPacketTooLongForTheRingIsDroppedAndLaterPacketsFlow) {
    wrk::UserFile* file = Open();
    radio_.QueueAcl(Acl(0x2001, 6000, 1));
    const auto next = Acl(0x2001, 100, 2);
    radio_.QueueAcl(next);
    EXPECT_EQ(ReadPacket(file, 6100).bytes, Typed(0x02, next));
    EXPECT_EQ(wrk::DebugCount("GetThreadData: Packet of 6004 bytes can never fit in the ring, discarded\n"), 1u);
}

TEST_F(RequestsTest, WritesOfOtherTypesAndEmptyWritesSendNothing) {
    wrk::UserFile* file = Open();
    ULONG written = 99;
    EXPECT_EQ(Write(file, {0x03, 0x01, 0x02}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(Write(file, {0x04, 0x0E, 0x00}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(wrk::DebugCount("TranspWrite: Data packet error\n"), 2u);
    EXPECT_EQ(Write(file, {}, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(radio_.Commands().empty());
    EXPECT_TRUE(radio_.AclReceived().empty());
}

TEST_F(RequestsTest, AnyDeviceControlCodeSucceedsWithNoData) {
    wrk::UserFile* file = Open();
    uint8_t in[8] = {}, out[8] = {};
    ULONG returned = 99;
    EXPECT_EQ(file->DeviceIoControl(0x00222004, in, sizeof(in), out, sizeof(out), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(wrk::DebugCount("DeviceIoControl: Control code 00222004 InputLength 8 OutputLength 8\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("DeviceIoControl: 0 bytes written\n"), 1u);
}

TEST_F(RequestsTest, TwoOpensStartTheThreadsOnceAndEitherCloseStopsBoth) {
    const size_t baseline = DriverPoolBlocks();
    wrk::UserFile* first = Open();
    wrk::UserFile* second = Open();
    EXPECT_EQ(extension_->OpenHandles, 2);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);
    EXPECT_EQ(wrk::DebugCount("TranspStartThread: Completed\n"), 2u);
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));  // past its priority change
    EXPECT_EQ(wrk::ThreadPriority(static_cast<PKTHREAD>(extension_->EventThread.ThreadObject)), 16);

    EXPECT_EQ(first->Close(), STATUS_SUCCESS);
    EXPECT_EQ(extension_->OpenHandles, 1);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(DriverPoolBlocks(), baseline);
    EXPECT_EQ(extension_->EventThread.Ring.Buffer, nullptr);
    EXPECT_EQ(extension_->AclThread.Ring.Buffer, nullptr);

    // The remaining handle reads nothing until an open starts the threads again.
    radio_.QueueEvent(Event(0x0E, 1));
    EXPECT_TRUE(Read(second).bytes.empty());
    wrk::UserFile* third = Open();
    EXPECT_EQ(ReadPacket(third).bytes, Typed(0x04, Event(0x0E, 1)));
}

TEST_F(RequestsTest, CloseWithNoHandleCountedLeavesTheCountAtZero) {
    wrk::UserFile* file = Open();
    extension_->OpenHandles = 0;
    file->Close();
    EXPECT_EQ(extension_->OpenHandles, 0);
}

TEST_F(RequestsTest, RefusedRequestsStillCountTheClose) {
    wrk::UserFile* file = Open();
    WriteFlag(&extension_->RefuseIo, 1);
    EXPECT_EQ(Read(file).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Write(file, {0x01, 0x03, 0x0C, 0x00}), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(file->Close(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(extension_->OpenHandles, 0);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);  // the refused close stopped nothing
    WriteFlag(&extension_->RefuseIo, 0);
    EXPECT_TRUE(radio_.Commands().empty());
}

TEST_F(RequestsTest, StopSequenceRefusesRequestsWithDeletePending) {
    wrk::UserFile* file = Open();
    WriteFlag(&extension_->Stopping, 1);
    EXPECT_EQ(Read(file).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Write(file, {0x01, 0x03, 0x0C, 0x00}), STATUS_DELETE_PENDING);
    std::unique_ptr<wrk::UserFile> refused;
    EXPECT_EQ(wrk::UserFile::Open(kDeviceName, refused), STATUS_DELETE_PENDING);
    EXPECT_EQ(extension_->LockCount, 1);
    WriteFlag(&extension_->Stopping, 0);
}

}  // namespace
}  // namespace datapath_test
