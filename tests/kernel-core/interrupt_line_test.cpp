// Interrupt lines: input that a system thread asleep in a kernel wait polls
// and serves itself, and hands back to the line's own thread.
#include "system_thread.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

// A line whose input is a pipe: Service() drains it and runs `onInput` at
// the IRQL it was called at.
class PipeLine : public wrk::InterruptLine {
public:
    PipeLine() {
        EXPECT_EQ(::pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0);
        wrk::ConnectInterruptLine(this);
    }
    ~PipeLine() {
        Disconnect();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    void Disconnect() {
        if (connected_.exchange(false)) wrk::DisconnectInterruptLine(this);
    }

    void Raise() { ASSERT_EQ(::write(fds_[1], "x", 1), 1); }

    int Fd() override { return dead_ ? -1 : fds_[0]; }
    void Service() override {
        char drained[64];
        while (::read(fds_[0], drained, sizeof drained) > 0) {
        }
        servedBy = KeGetCurrentThread();
        servedAt = KeGetCurrentIrql();
        served++;
        if (onInput) onInput();
    }
    void KernelPolls(bool polling) override {
        std::lock_guard lock(mutex_);
        handovers_.push_back(polling);
    }
    std::vector<bool> Handovers() {
        std::lock_guard lock(mutex_);
        return handovers_;
    }
    void Kill() { dead_ = true; }

    std::function<void()> onInput;
    std::atomic<PKTHREAD> servedBy{nullptr};
    std::atomic<KIRQL> servedAt{HIGH_LEVEL};
    std::atomic<int> served{0};

private:
    int fds_[2] = {-1, -1};
    std::atomic<bool> dead_{false};
    std::atomic<bool> connected_{true};
    std::mutex mutex_;
    std::vector<bool> handovers_;
};

struct Waiter {
    explicit Waiter(EVENT_TYPE type = NotificationEvent) { KeInitializeEvent(&event, type, FALSE); }

    KEVENT event;
    LONGLONG timeout = -100'000'000;  // ten seconds of driver time
    NTSTATUS status = STATUS_PENDING;
    std::atomic<PKTHREAD> thread{nullptr};
};

void WaitRoutine(PVOID context) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->thread = KeGetCurrentThread();
    LARGE_INTEGER timeout;
    timeout.QuadPart = waiter->timeout;
    waiter->status = KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &timeout);
}

// A system thread running WaitRoutine, started once it sleeps in its wait.
class WaitingThread : public wtest::SystemThread {
public:
    explicit WaitingThread(Waiter& waiter) : SystemThread(WaitRoutine, &waiter) {
        EXPECT_TRUE(wrk::WaitForThreadToBlock(Thread(), std::chrono::seconds(10)));
    }
};

TEST(InterruptLineTest, ASleepingSystemThreadServesTheLineItselfAndItsWaitSeesWhatItSignalled) {
    wrk::ScopedKernelState kernel;
    PipeLine line;
    Waiter waiter(SynchronizationEvent);
    line.onInput = [&waiter] { KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE); };
    {
        WaitingThread thread(waiter);
        line.Raise();
        thread.Join();
    }
    EXPECT_EQ(waiter.status, STATUS_SUCCESS);
    EXPECT_EQ(line.served, 1);
    EXPECT_EQ(line.servedBy, waiter.thread.load());
    EXPECT_EQ(line.servedAt, PASSIVE_LEVEL);
    // Taken when the thread went to sleep, handed back when it ended.
    EXPECT_EQ(line.Handovers(), (std::vector<bool>{true, false}));
}

TEST(InterruptLineTest, TheThreadThatSleptLastHasTheLine) {
    wrk::ScopedKernelState kernel;
    PipeLine line;
    Waiter first;
    Waiter second;
    line.onInput = [&second] { KeSetEvent(&second.event, IO_NO_INCREMENT, FALSE); };
    {
        WaitingThread one(first);
        WaitingThread two(second);
        line.Raise();
        two.Join();
        EXPECT_EQ(line.servedBy, second.thread.load());
        // Passed from the first thread to the second without going back to
        // its own thread in between; handed back when the second ended.
        EXPECT_EQ(line.Handovers(), (std::vector<bool>{true, false}));
        KeSetEvent(&first.event, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(line.served, 1);
}

TEST(InterruptLineTest, APollingThreadIsStillWokenBySignalsAndTimesOutOnDriverTime) {
    wrk::ScopedKernelState kernel;
    PipeLine line;
    Waiter signalled;
    {
        WaitingThread thread(signalled);
        KeSetEvent(&signalled.event, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(signalled.status, STATUS_SUCCESS);

    Waiter timed;
    timed.timeout = -10'000;  // a millisecond
    // Not waited for to block: its wait may be over before anyone looks.
    wtest::SystemThread(WaitRoutine, &timed).Join();
    EXPECT_EQ(timed.status, STATUS_TIMEOUT);
    EXPECT_EQ(line.served, 0);
}

TEST(InterruptLineTest, ADisconnectedLineGoesBackToItsThreadAndIsPolledNoMore) {
    wrk::ScopedKernelState kernel;
    PipeLine line;
    Waiter waiter;
    {
        WaitingThread thread(waiter);
        line.Disconnect();  // while the thread polls it
        EXPECT_EQ(line.Handovers(), (std::vector<bool>{true, false}));
        line.Raise();
        KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(waiter.status, STATUS_SUCCESS);
    EXPECT_EQ(line.served, 0);
}

TEST(InterruptLineTest, ADeadLineIsNotPolledAndHostThreadsNeverTakeALine) {
    wrk::ScopedKernelState kernel;
    PipeLine line;
    line.Kill();
    Waiter waiter;
    {
        WaitingThread thread(waiter);
        line.Raise();
        KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE);
    }
    EXPECT_EQ(line.served, 0);
    EXPECT_TRUE(line.Handovers().empty());

    PipeLine live;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    live.Raise();
    LARGE_INTEGER shortly;
    shortly.QuadPart = -10'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortly), STATUS_TIMEOUT);
    EXPECT_EQ(live.served, 0);
    EXPECT_TRUE(live.Handovers().empty());
}

}  // namespace
