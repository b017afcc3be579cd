// Failure paths of the data path: sends the radio never finishes, an IN pipe that keeps
// failing, threads that cannot be started, and allocations that fail one at a time.
#include "device_fixture.h"

namespace datapath_test {
namespace {

// One driver second is 500 ms here: time-outs still pass quickly, and the scheduling
// delays of a loaded machine (sanitizers, parallel tests) stay small against the
// intervals measured.
class SlowFailureTest : public DeviceFixture {
protected:
    SlowFailureTest() : DeviceFixture(0.5) {}
};

TEST_F(SlowFailureTest, CommandTheRadioNeverFinishesFailsAfterFiveSeconds) {
    wrk::UserFile* file = Open();
    radio_.SetCommandBehaviour(ScriptedRadio::SendBehaviour::Stalls());
    const double start = wrk::DriverTimeSeconds();
    ULONG written = 99;
    EXPECT_EQ(Write(file, {0x01, 0x03, 0x0C, 0x00}, &written), STATUS_UNSUCCESSFUL);
    const double took = wrk::DriverTimeSeconds() - start;
    EXPECT_EQ(written, 0u);
    EXPECT_GE(took, 5.0);
    EXPECT_LT(took, 6.5);
    EXPECT_EQ(wrk::DebugCount("UsbSendHciCommand: status 00000102 URB status C0010000\n"), 1u);
    EXPECT_EQ(bus_.PendingTransfers(pdo_), 2u);  // the two receive transfers only
}

TEST_F(SlowFailureTest, AclDataTheRadioNeverTakesFailsAfterFiveSeconds) {
    wrk::UserFile* file = Open();
    radio_.SetAclOutBehaviour(ScriptedRadio::SendBehaviour::Stalls());
    const double start = wrk::DriverTimeSeconds();
    EXPECT_EQ(Write(file, Typed(0x02, Acl(0x2001, 10))), STATUS_UNSUCCESSFUL);
    EXPECT_GE(wrk::DriverTimeSeconds() - start, 5.0);
    EXPECT_EQ(wrk::DebugCount("UsbSendAclData: status 00000102 URB status C0010000\n"), 1u);
}

TEST_F(SlowFailureTest, FailingInPipeIsRetriedOnceASecondAndStillStopsWithinAboutASecond) {
    wrk::UserFile* file = Open();
    // The ACL thread is stopped first, so the close below waits for it to leave its
    // pause and then for the event thread to give up its outstanding transfer.
    radio_.FailIn(ScriptedRadio::kAclInEndpoint, USBD_STATUS_STALL_PID);
    ASSERT_TRUE(wrk::WaitForDebugText("TranspThread: USB ERROR.\n", 1));
    const double first = wrk::DriverTimeSeconds();
    ASSERT_TRUE(wrk::WaitForDebugText("TranspThread: USB ERROR.\n", 4));
    const double perRetry = (wrk::DriverTimeSeconds() - first) / 3;
    EXPECT_GE(perRetry, 0.9);
    EXPECT_LT(perRetry, 1.5);
    EXPECT_GE(wrk::DebugCount("URB status C0000004\n"), 4u);

    const double stopAt = wrk::DriverTimeSeconds();
    file->Close();
    EXPECT_LT(wrk::DriverTimeSeconds() - stopAt, 2.6);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
}

TEST_F(SlowFailureTest, StopCancelsAnOutstandingReceiveWithinAboutASecond) {
    wrk::UserFile* file = Open();
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kAclInEndpoint, 1));
    const double stopAt = wrk::DriverTimeSeconds();
    file->Close();
    EXPECT_LT(wrk::DriverTimeSeconds() - stopAt, 2.6);  // two threads, one after the other
    EXPECT_EQ(wrk::DebugCount("): stop receive-wait.\n"), 2u);
    EXPECT_EQ(wrk::DebugCount("): receive timeout.\n"), 2u);
    EXPECT_EQ(bus_.PendingTransfers(pdo_), 0u);
}

using FailureTest = DeviceFixture;

TEST_F(FailureTest, ThreadCreationFailureLeavesNothingRunningOrAllocated) {
    const size_t pool = DriverPoolBlocks();
    const size_t handles = wrk::OpenHandleCount();
    wrk::FailNextThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(wrk::UserFile::Open(kDeviceName, file), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(extension_->OpenHandles, 0);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(DriverPoolBlocks(), pool);
    EXPECT_EQ(wrk::OpenHandleCount(), handles);
    EXPECT_FALSE(ReadFlag(&extension_->EventThread.Running));
}

TEST_F(FailureTest, ThreadReferenceFailureStopsTheThreadAndGivesEverythingBack) {
    const size_t pool = DriverPoolBlocks();
    const size_t handles = wrk::OpenHandleCount();
    wrk::FailNextThreadReference(STATUS_INVALID_HANDLE);
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(wrk::UserFile::Open(kDeviceName, file), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    EXPECT_EQ(DriverPoolBlocks(), pool);
    EXPECT_EQ(wrk::OpenHandleCount(), handles);
    EXPECT_EQ(extension_->OpenHandles, 0);

    // The device opens normally afterwards.
    wrk::UserFile* again = Open();
    radio_.QueueEvent(Event(0x0E, 2));
    EXPECT_EQ(ReadPacket(again).bytes, Typed(0x04, Event(0x0E, 2)));
}

// Every allocation an open makes is failed in turn: the open either succeeds or fails
// with nothing left running and nothing of the driver's left allocated.
TEST_F(FailureTest, OpenSurvivesEachOfItsAllocationsFailing) {
    const size_t pool = DriverPoolBlocks();
    const uint64_t before = wrk::PoolAllocationCount();
    Open()->Close();
    files_.clear();
    const uint64_t perOpen = wrk::PoolAllocationCount() - before;
    ASSERT_GT(perOpen, 0u);

    int failedOpens = 0;
    for (uint64_t n = 1; n <= perOpen + 2; n++) {
        wrk::PoolFailNthAllocation(n);
        std::unique_ptr<wrk::UserFile> file;
        const NTSTATUS status = wrk::UserFile::Open(kDeviceName, file);
        wrk::PoolClearFaults();
        if (NT_SUCCESS(status)) {
            file->Close();
        } else {
            failedOpens++;
            EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10))) << n;
            EXPECT_FALSE(ReadFlag(&extension_->EventThread.Running)) << n;
            EXPECT_FALSE(ReadFlag(&extension_->AclThread.Running)) << n;
        }
        file.reset();
        EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10))) << n;
        EXPECT_EQ(DriverPoolBlocks(), pool) << n;
        EXPECT_EQ(extension_->OpenHandles, 0) << n;
    }
    // The create request, the event ring and its receive buffer come before any thread
    // runs; later allocations race with the event thread's own.
    EXPECT_GE(failedOpens, 3);
}

// The same for a write: a URB or a request that cannot be had fails the write with
// STATUS_INSUFFICIENT_RESOURCES, and nothing is left behind.
TEST_F(FailureTest, WriteSurvivesEachOfItsAllocationsFailing) {
    wrk::UserFile* file = Open();
    const std::vector<uint8_t> command{0x01, 0x03, 0x0C, 0x00};
    // Both receive threads hold their transfer (URB and request) from here on.
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kAclInEndpoint, 1));
    const size_t pool = DriverPoolBlocks();
    const size_t irps = wrk::LiveIrpCount();
    const uint64_t before = wrk::PoolAllocationCount();
    ASSERT_EQ(Write(file, command), STATUS_SUCCESS);
    const uint64_t perWrite = wrk::PoolAllocationCount() - before;

    for (uint64_t n = 1; n <= perWrite; n++) {
        wrk::PoolFailNthAllocation(n);
        const NTSTATUS status = Write(file, command);
        wrk::PoolClearFaults();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << n << " " << status;
        EXPECT_EQ(DriverPoolBlocks(), pool) << n;
        EXPECT_EQ(wrk::LiveIrpCount(), irps) << n;
    }
    EXPECT_EQ(wrk::DebugCount("UsbSendHciCommand: No URB memory\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("UsbSendHciCommand: No IRP memory\n"), 1u);
}

TEST_F(FailureTest, RequestForAclDataThatCannotBeBuiltFailsTheWrite) {
    wrk::UserFile* file = Open();
    const std::vector<uint8_t> packet = Typed(0x02, Acl(0x2001, 4));
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));
    ASSERT_TRUE(radio_.WaitForReceiveCalls(ScriptedRadio::kAclInEndpoint, 1));
    const uint64_t before = wrk::PoolAllocationCount();
    ASSERT_EQ(Write(file, packet), STATUS_SUCCESS);
    const uint64_t perWrite = wrk::PoolAllocationCount() - before;
    for (uint64_t n = 1; n <= perWrite; n++) {
        wrk::PoolFailNthAllocation(n);
        Write(file, packet);
        wrk::PoolClearFaults();
    }
    EXPECT_EQ(wrk::DebugCount("UsbSendAclData: No URB memory\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("UsbSendAclData: No IRP memory\n"), 1u);
}

}  // namespace
}  // namespace datapath_test
