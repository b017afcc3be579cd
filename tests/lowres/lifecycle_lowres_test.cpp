// Whole lives of the device with the driver's allocations failing at random:
// every life ends with nothing left behind and without a stop, whatever
// failed on the way.
#include "driver_harness.h"

#include <gtest/gtest.h>

namespace lifecycle_test {
namespace {

constexpr double kFailureProbability = 0.03;

class LifeUnderLowResources : public ::testing::TestWithParam<uint64_t> {};

// Add, start, and three rounds of open, traffic, sleep, wake, close, stop and
// start again, each step taken only when the one before it succeeded.
void Live(DriverHarness& harness) {
    if (!NT_SUCCESS(harness.AddAndStart())) return;
    for (int round = 0; round < 3; round++) {
        std::unique_ptr<wrk::UserFile> file;
        if (NT_SUCCESS(harness.Open(file))) {
            // Without both receive threads no event comes back to wait for.
            if (wrk::LiveThreadCount() == 2) ExchangeTraffic(harness, *file);
            if (NT_SUCCESS(wrk::SetSystemPowerState(harness.pdo, PowerSystemSleeping3)))
                wrk::SetSystemPowerState(harness.pdo, PowerSystemWorking);
            file->Close();
        }
        if (!NT_SUCCESS(wrk::PnpRequestStop(harness.pdo))) continue;
        if (!NT_SUCCESS(wrk::PnpStart(harness.pdo))) return;  // the manager removed the device
    }
}

TEST_P(LifeUnderLowResources, EndsCleanWhateverFailed) {
    const uint64_t seed = GetParam();
    DriverHarness harness({}, false);
    wrk::PoolFailRandomly(kFailureProbability, seed);
    Live(harness);
    const uint64_t failures = wrk::PoolRandomFailures();
    const std::vector<std::string> leaks = harness.RemoveAndUnload();
    EXPECT_TRUE(leaks.empty()) << "seed " << seed << ": " << ::testing::PrintToString(leaks);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u) << "seed " << seed;
    EXPECT_EQ(DriverPoolBlocks(), 0u) << "seed " << seed;
    RecordProperty("failures", int(failures));
}

INSTANTIATE_TEST_SUITE_P(Seeds, LifeUnderLowResources, ::testing::Range<uint64_t>(1, 25));

// The same seed fails the same requests of a life that runs the same way.
uint64_t FailuresOfAStart(uint64_t seed) {
    DriverHarness harness({}, false);
    wrk::PoolFailRandomly(0.2, seed);
    harness.AddAndStart();
    const uint64_t failed = wrk::PoolRandomFailures();
    EXPECT_TRUE(harness.RemoveAndUnload().empty());
    return failed;
}

TEST(LowResources, ASeedFailsTheSameRequestsAgain) {
    uint64_t seed = 1;
    uint64_t failed = 0;
    for (; seed < 50 && failed == 0; seed++) failed = FailuresOfAStart(seed);
    ASSERT_GT(failed, 0u) << "no seed failed anything";
    EXPECT_EQ(FailuresOfAStart(seed - 1), failed) << "seed " << seed - 1;
}

TEST(LowResources, OnlyTheDriversRequestsFail) {
    DriverHarness harness({}, false);
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    wrk::PoolFailRandomly(1.0, 1);
    // The create IRP the I/O manager builds reaches the driver, which cannot
    // get the memory for its receive threads.
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(harness.Open(file), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(harness.Extension()->OpenHandles, 0);
    EXPECT_GT(wrk::PoolRandomFailures(), 0u);
    wrk::PoolClearFaults();
    EXPECT_TRUE(harness.RemoveAndUnload().empty());
}

}  // namespace
}  // namespace lifecycle_test
