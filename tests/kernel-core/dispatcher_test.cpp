// Events, waits and time-outs on the scaled driver clock.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

LARGE_INTEGER Relative(double driverSeconds) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(driverSeconds * 10'000'000);
    return t;
}

NTSTATUS Wait(KEVENT& event, LARGE_INTEGER* timeout) {
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
}

class DispatcherTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel{0.01};
    LARGE_INTEGER poll{};
};

TEST_F(DispatcherTest, NotificationEventStaysSignalledUntilReset) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(Wait(event, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(Wait(event, &poll), STATUS_SUCCESS);
    EXPECT_EQ(Wait(event, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    EXPECT_EQ(Wait(event, &poll), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, SynchronizationEventSatisfiesOneWaitAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    EXPECT_EQ(Wait(event, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Wait(event, &poll), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, EachSetOfASynchronizationEventReleasesOneWaiter) {
    KEVENT event;
    KEVENT oneReleased;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&oneReleased, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            ASSERT_EQ(Wait(event, nullptr), STATUS_SUCCESS);
            ++released;
            KeSetEvent(&oneReleased, IO_NO_INCREMENT, FALSE);
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(Wait(oneReleased, nullptr), STATUS_SUCCESS);
    // The one signal went to one waiter: nothing is left for anybody else.
    EXPECT_EQ(Wait(event, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(released, 1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, NotificationSetReleasesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            LARGE_INTEGER longWait = Relative(1000);
            if (Wait(event, &longWait) == STATUS_SUCCESS) {
                ++released;
            }
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released, 4);
}

TEST_F(DispatcherTest, RelativeTimeOutRunsOnDriverTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    double driverBefore = wrk::DriverTimeSeconds();
    auto realBefore = std::chrono::steady_clock::now();
    LARGE_INTEGER second = Relative(1);
    EXPECT_EQ(Wait(event, &second), STATUS_TIMEOUT);
    EXPECT_GE(wrk::DriverTimeSeconds() - driverBefore, 1.0);
    // One driver second at this scale is 10 ms of real time; allow a loaded machine plenty.
    EXPECT_LT(std::chrono::steady_clock::now() - realBefore, std::chrono::milliseconds(900));
}

TEST_F(DispatcherTest, AbsoluteTimeOutIsASystemTime) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    LONGLONG start = deadline.QuadPart;
    deadline.QuadPart += 5'000'000;  // half a second from now
    EXPECT_EQ(Wait(event, &deadline), STATUS_TIMEOUT);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_GE(now.QuadPart - start, 5'000'000);
}

TEST_F(DispatcherTest, DelayAndSystemTimeFollowTheScaledClock) {
    LARGE_INTEGER before;
    KeQuerySystemTime(&before);
    // 1 January 2020 in 100 ns units since 1601: the clock starts from the real date.
    EXPECT_GT(before.QuadPart, 132'223'104'000'000'000LL);
    LARGE_INTEGER twoSeconds = Relative(2);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &twoSeconds), STATUS_SUCCESS);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_GE(after.QuadPart - before.QuadPart, 20'000'000);
}

TEST_F(DispatcherTest, SetWakesAWaiterBeforeItsTimeOut) {
    wrk::SetTimeScale(1.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER hour = Relative(3600);
    EXPECT_EQ(Wait(event, &hour), STATUS_SUCCESS);
    setter.join();
}

TEST_F(DispatcherTest, SetThenClearStillReleasesAWaiterAlreadyQueued) {
    KEVENT event;
    KEVENT started;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        KeSetEvent(&started, IO_NO_INCREMENT, FALSE);
        result = Wait(event, nullptr);
    });
    ASSERT_EQ(Wait(started, nullptr), STATUS_SUCCESS);
    // Whether or not the waiter was queued yet, after set+clear+set it must be released.
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(result, STATUS_SUCCESS);
}

}  // namespace
