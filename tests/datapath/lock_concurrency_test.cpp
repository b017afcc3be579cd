// The device lock under requests from several threads while a drain runs.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/kernel.h"
#include "wrenlok.h"

namespace {

class DeviceLockConcurrencyTest : public ::testing::Test {
protected:
    void SetUp() override {
        extension.LockCount = 1;
        KeInitializeEvent(&extension.StoppingEvent, NotificationEvent, FALSE);
    }
    void BeginDrain() {
        WriteFlag(&extension.Stopping, 1);
        KeResetEvent(&extension.StoppingEvent);
        UnlockDevice(&extension);
        UnlockDevice(&extension);
    }

    wrk::ScopedKernelState kernel;
    DEVICE_EXTENSION extension{};
};

// Requests keep arriving from several threads while a drain runs: every request that
// got a reference has dropped it by the time the drain's wait returns, and nobody gets a
// reference between the drain's start and its end.
TEST_F(DeviceLockConcurrencyTest, DrainWaitsForEveryRequestThatGotInAndAdmitsNoneAfter) {
    extension.LockCount = 2;
    std::atomic<int> inside{0};
    std::atomic<bool> drainDone{false};
    std::atomic<bool> admittedAfterDrain{false};
    std::atomic<bool> quit{false};
    std::atomic<int> admitted{0};

    std::vector<std::thread> requests;
    for (int t = 0; t < 4; t++) {
        requests.emplace_back([&] {
            while (!quit.load()) {
                if (LockDevice(&extension)) {
                    if (drainDone.load())
                        admittedAfterDrain = true;
                    inside++;
                    admitted++;
                    inside--;
                    UnlockDevice(&extension);
                }
            }
        });
    }
    while (admitted.load() < 1000)
        std::this_thread::yield();

    BeginDrain();
    ASSERT_EQ(KeWaitForSingleObject(&extension.StoppingEvent, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(inside.load(), 0);
    drainDone = true;
    for (int i = 0; i < 1000; i++)
        std::this_thread::yield();
    EXPECT_FALSE(admittedAfterDrain.load());

    quit = true;
    for (auto& t : requests)
        t.join();
    EXPECT_EQ(extension.LockCount, 0);
}

}  // namespace
