// Events, waits and time-outs on the scaled driver clock.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
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

TEST_F(DispatcherTest, SystemTimeNeverRunsBackwardsWhileTheScaleChanges) {
    constexpr int kReaders = 2;
    std::atomic<int> reading{0};
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            LARGE_INTEGER last;
            KeQuerySystemTime(&last);
            ++reading;
            while (!done) {
                LARGE_INTEGER now;
                KeQuerySystemTime(&now);
                if (now.QuadPart < last.QuadPart) ++backwards;
                last = now;
            }
        });
    }
    while (reading < kReaders) std::this_thread::yield();
    // Slowing the clock down just after a reader took its moment is what
    // would put driver time back, so the scale swings between extremes.
    for (int i = 0; i < 200000; ++i) wrk::SetTimeScale(i % 2 == 0 ? 1.0 : 0.0001);
    done = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(backwards, 0);
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

// The dispatcher wakes a thread only for what it waits on.
TEST_F(DispatcherTest, SignalsWakeOnlyTheThreadsTheyRelease) {
    KEVENT idle;
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&idle, NotificationEvent, FALSE);
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    constexpr int kIdle = 8;
    std::vector<std::atomic<PKTHREAD>> idleThreads(kIdle);
    std::vector<std::atomic<uint64_t>> wakeUpsAtEnd(kIdle);
    std::vector<std::thread> idlers;
    for (int i = 0; i < kIdle; ++i) {
        idlers.emplace_back([&, i] {
            idleThreads[i] = KeGetCurrentThread();
            EXPECT_EQ(Wait(idle, nullptr), STATUS_SUCCESS);
            wakeUpsAtEnd[i] = wrk::ThreadWakeUps(KeGetCurrentThread());
        });
    }
    EXPECT_TRUE(wrk::WaitForWaiters(&idle, kIdle));
    std::thread partner([&] {
        for (int i = 0; i < 50; ++i) {
            Wait(ping, nullptr);
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    for (int i = 0; i < 50; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(Wait(pong, nullptr), STATUS_SUCCESS);
    }
    partner.join();
    for (auto& thread : idleThreads) {
        EXPECT_EQ(wrk::ThreadWakeUps(thread), 0u);
    }
    KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
    for (auto& idler : idlers) {
        idler.join();
    }
    // One wake-up each, by the signal that released them.
    for (auto& wakeUps : wakeUpsAtEnd) {
        EXPECT_EQ(wakeUps, 1u);
    }
}

TEST_F(DispatcherTest, SynchronizationEventReleasesItsWaitersInTheOrderTheyCame) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::vector<int> order;
    std::mutex orderLock;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&, i] {
            EXPECT_EQ(Wait(event, nullptr), STATUS_SUCCESS);
            std::lock_guard guard(orderLock);
            order.push_back(i);
        });
        // The next one comes only once this one is queued.
        EXPECT_TRUE(wrk::WaitForWaiters(&event, static_cast<size_t>(i) + 1));
    }
    for (int i = 0; i < 3; ++i) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        // Each set releases the longest waiter; the rest stay queued.
        EXPECT_TRUE(wrk::WaitForWaiters(&event, 0));
        waiters[static_cast<size_t>(i)].join();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, TimeOutsAsleepAreRetimedWhenTheScaleChanges) {
    // At this scale the driver's one second would take a thousand real ones.
    wrk::SetTimeScale(1000.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<PKTHREAD> waiter{nullptr};
    std::atomic<PKTHREAD> delayer{nullptr};
    std::atomic<NTSTATUS> waited{STATUS_PENDING};
    std::atomic<NTSTATUS> delayed{STATUS_PENDING};
    std::thread waiting([&] {
        waiter = KeGetCurrentThread();
        LARGE_INTEGER second = Relative(1);
        waited = Wait(event, &second);
    });
    std::thread delaying([&] {
        delayer = KeGetCurrentThread();
        LARGE_INTEGER second = Relative(1);
        delayed = KeDelayExecutionThread(KernelMode, FALSE, &second);
    });
    EXPECT_TRUE(wrk::WaitForWaiters(&event, 1));
    while (delayer.load() == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(wrk::WaitForThreadToBlock(delayer));
    auto realBefore = std::chrono::steady_clock::now();
    wrk::SetTimeScale(0.001);
    waiting.join();
    delaying.join();
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    EXPECT_EQ(delayed, STATUS_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - realBefore, std::chrono::seconds(30));
}

}  // namespace
