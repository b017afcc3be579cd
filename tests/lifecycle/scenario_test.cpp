// Whole lives of the device: many cycles of the ordinary life, a radio pulled
// out in the middle of traffic, and every allocation of a life failed in turn.
// Each ends with nothing left behind: no pool, IRP, thread or work item.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <thread>

namespace lifecycle_test {
namespace {

void ExpectClean(DriverHarness& harness) {
    const std::vector<std::string> leaks = harness.RemoveAndUnload();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(DriverPoolBlocks(), 0u);
}

TEST(ScenarioTest, HundredCyclesOfStartTrafficSleepWakeCloseStop) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    for (int cycle = 0; cycle < 100; cycle++) {
        SCOPED_TRACE(cycle);
        std::unique_ptr<wrk::UserFile> file;
        ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
        ASSERT_TRUE(ExchangeTraffic(harness, *file));
        ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_TRUE(ExchangeTraffic(harness, *file));
        file->Close();
        ASSERT_EQ(wrk::PnpRequestStop(harness.pdo), STATUS_SUCCESS);
        ASSERT_EQ(wrk::PnpStart(harness.pdo), STATUS_SUCCESS);
        ASSERT_EQ(harness.Extension()->LockCount, 1);
    }
    EXPECT_EQ(wrk::DebugCount("Cannot create symbolic link.\n"), 0u);
    ExpectClean(harness);
}

TEST(ScenarioTest, RadioPulledOutInTheMiddleOfTraffic) {
    DriverHarness harness;
    harness.bus.SetUnplugHandler([](PDEVICE_OBJECT pdo) { wrk::PnpSurpriseRemoval(pdo); });
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    ASSERT_TRUE(ExchangeTraffic(harness, *file));

    std::thread writer([&] {
        const uint8_t acl[] = {HCI_ACL_PACKET, 0x01, 0x20, 0x02, 0x00, 0x10, 0x20};
        ULONG written = 0;
        while (NT_SUCCESS(file->Write(acl, sizeof(acl), &written))) {
        }
    });
    std::thread reader([&] {
        std::vector<uint8_t> buffer(2048);
        ULONG got = 0;
        while (NT_SUCCESS(file->Read(buffer.data(), ULONG(buffer.size()), &got))) {
            if (got == 0) std::this_thread::yield();
        }
    });
    for (int i = 0; i < 20; i++) harness.radio.QueueEvent({0x13, 0x05, 0x01, 0x01, 0x20, 0x01, 0x00});
    ASSERT_TRUE(harness.radio.WaitForAcl(10));

    harness.bus.Unplug(harness.pdo);  // the surprise removal runs in this thread
    writer.join();
    reader.join();
    EXPECT_EQ(wrk::PnpDeviceState(harness.pdo), wrk::PnpState::SurpriseRemoved);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));

    file->Close();
    EXPECT_EQ(harness.Fdo(), nullptr);
    ExpectClean(harness);
}

// One life with allocation `n` failed: add, start, open, traffic, sleep, wake,
// close. Returns whether the failure was reached.
bool LiveWithAllocationFailed(uint64_t n, std::vector<std::string>& leaks) {
    DriverHarness harness({}, false);
    const uint64_t first = wrk::PoolAllocationCount();
    wrk::PoolFailNthAllocation(n);

    if (NT_SUCCESS(harness.AddAndStart())) {
        std::unique_ptr<wrk::UserFile> file;
        if (NT_SUCCESS(harness.Open(file))) {
            ExchangeTraffic(harness, *file);
            if (NT_SUCCESS(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3)))
                wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking);
            // A wake that could not restart the threads leaves no event to wait for.
            if (wrk::LiveThreadCount() == 2) ExchangeTraffic(harness, *file);
            file->Close();
        }
    }
    const bool reached = wrk::PoolAllocationCount() - first >= n;
    leaks = harness.RemoveAndUnload();
    return reached;
}

TEST(FaultInjectionTest, EveryAllocationOfALifeFailedInTurnFailsCleanly) {
    uint64_t n = 1;
    for (;; n++) {
        SCOPED_TRACE(n);
        std::vector<std::string> leaks;
        const bool reached = LiveWithAllocationFailed(n, leaks);
        EXPECT_TRUE(leaks.empty()) << "allocation " << n << ": " << ::testing::PrintToString(leaks);
        EXPECT_EQ(wrk::LiveThreadCount(), 0u) << "allocation " << n;
        if (!reached || ::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(n, 20u) << "the life makes more allocations than that";
    RecordProperty("allocations", int(n - 1));
}

}  // namespace
}  // namespace lifecycle_test
