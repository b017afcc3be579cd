// Deferred work that a waiting thread runs before it sleeps in a kernel wait:
// a driver's system thread, or a thread inside a dispatch routine.
#include "system_thread.h"
#include "test_stack.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// Runs `work` once, the first time a waiting thread asks.
class OneItem : public wrk::DeferredWorkSource {
public:
    explicit OneItem(std::function<bool()> work) : work_(std::move(work)) { wrk::AddDeferredWorkSource(this); }
    ~OneItem() { wrk::RemoveDeferredWorkSource(this); }
    bool RunDeferred() override {
        if (taken_.exchange(true)) return false;
        runner_ = KeGetCurrentThread();
        irql_ = KeGetCurrentIrql();
        return work_();
    }
    PKTHREAD runner_ = nullptr;
    KIRQL irql_ = HIGH_LEVEL;

private:
    std::function<bool()> work_;
    std::atomic<bool> taken_{false};
};

struct Waiter {
    KEVENT event;
    NTSTATUS status = STATUS_PENDING;
    PKTHREAD thread = nullptr;
};

void WaitRoutine(PVOID context) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->thread = KeGetCurrentThread();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10'000'000;  // one second of driver time
    waiter->status = KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &timeout);
}

// Runs WaitRoutine in a system thread until it ends.
void RunWaiter(Waiter& waiter) {
    wtest::SystemThread(WaitRoutine, &waiter).Join();
}

TEST(DeferredWorkTest, AWaitingSystemThreadRunsTheWorkAtPassiveLevelAndSeesWhatItSignalled) {
    wrk::ScopedKernelState kernel;
    Waiter waiter;
    KeInitializeEvent(&waiter.event, NotificationEvent, FALSE);
    OneItem item([&waiter] {
        KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE);
        return true;
    });
    RunWaiter(waiter);
    EXPECT_EQ(waiter.status, STATUS_SUCCESS);
    EXPECT_EQ(item.runner_, waiter.thread);
    EXPECT_EQ(item.irql_, PASSIVE_LEVEL);
}

// The waiting thread gives up the dispatcher lock to look for work; a signal
// that comes meanwhile must end the wait even when there was no work.
TEST(DeferredWorkTest, ASignalWhileTheThreadLooksForWorkIsNotLost) {
    wrk::ScopedKernelState kernel;
    Waiter waiter;
    KeInitializeEvent(&waiter.event, SynchronizationEvent, FALSE);
    OneItem item([&waiter] {
        std::thread other([&waiter] { KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE); });
        other.join();
        return false;
    });
    RunWaiter(waiter);
    EXPECT_EQ(waiter.status, STATUS_SUCCESS);
}

// As a user request's thread waits in the driver for the transfer it sent down.
TEST(DeferredWorkTest, AHostThreadWaitingInsideADispatchRoutineRunsIt) {
    wrk::ScopedKernelState kernel;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    OneItem item([&done] {
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
        return true;
    });
    NTSTATUS waited = STATUS_PENDING;
    EXPECT_EQ(kio::RunInsideDispatchRoutine([&] {
                  LARGE_INTEGER timeout;
                  timeout.QuadPart = -100'000'000;  // ten seconds of driver time
                  waited = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
              }),
              STATUS_SUCCESS);
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_EQ(item.runner_, KeGetCurrentThread());
}

TEST(DeferredWorkTest, HostThreadsOutsideDispatchRoutinesDoNotRunIt) {
    wrk::ScopedKernelState kernel;
    std::atomic<bool> ran{false};
    OneItem item([&ran] {
        ran = true;
        return true;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER shortly;
    shortly.QuadPart = -1000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortly), STATUS_TIMEOUT);
    EXPECT_FALSE(ran.load());
}

}  // namespace
