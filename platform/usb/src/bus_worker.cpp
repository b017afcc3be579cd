#include "bus_worker.h"

#include <algorithm>
#include <pthread.h>

namespace usbsim {

BusWorker::BusWorker() {
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
    thread_ = std::thread([this] { Run(); });
    started_.wait();
    wrk::AddDeferredWorkSource(this);
}

bool BusWorker::WaitUntilAsleep(std::chrono::milliseconds realTimeout) const {
    return wrk::WaitForThreadToBlock(threadRecord_, realTimeout);
}

BusWorker::~BusWorker() {
    Stop();
}

LONGLONG BusWorker::Now() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

void BusWorker::Post(Task task) {
    Queue(std::move(task), false);
}

void BusWorker::PostCompletion(Task task) {
    Queue(std::move(task), true);
}

void BusWorker::Queue(Task task, bool completion) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            ready_.push_back({std::move(task), completion});
            // A thread that pends a request and then waits for it in the
            // kernel runs the completion first: the bus thread is not woken
            // for it while it sleeps on its tick, on which it looks anyway,
            // in case the thread went on without waiting.
            const bool takenByPoster = completion && wrk::WaitsRunDeferredWork();
            if (takenByPoster) ++unannounced_;
            if (!takenByPoster || !ticking_) Wake();
            return;
        }
    }
    task();
}

// With mutex_ held.
void BusWorker::Wake() {
    ++wakeUps_;
    KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
}

uint64_t BusWorker::WakeUps() {
    std::lock_guard lock(mutex_);
    return wakeUps_;
}

bool BusWorker::RunDeferred() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || running_ || ready_.empty() || !ready_.front().completion) return false;
        task = std::move(ready_.front().task);
        ready_.pop_front();
        ++runningElsewhere_;
    }
    task();
    std::lock_guard lock(mutex_);
    if (--runningElsewhere_ == 0) elsewhereDone_.notify_all();
    return true;
}

void BusWorker::After(LONGLONG delay, Task task) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    timers_.emplace(Now() + (delay > 0 ? delay : 0), std::move(task));
    Wake();
}

void BusWorker::Detach(Task task) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            detached_.emplace_back(std::move(task));
            return;
        }
    }
    task();
}

void BusWorker::Run() {
    pthread_setname_np(pthread_self(), "usb-bus");
    threadRecord_ = KeGetCurrentThread();
    started_.count_down();
    for (;;) {
        std::vector<Task> batch;
        LONGLONG untilNext = -1;
        bool stopping;
        {
            std::unique_lock lock(mutex_);
            running_ = false;
            elsewhereDone_.wait(lock, [this] { return runningElsewhere_ == 0; });
            for (Posted &posted : ready_) batch.push_back(std::move(posted.task));
            ready_.clear();
            const LONGLONG now = Now();
            while (!timers_.empty() && timers_.begin()->first <= now) {
                batch.push_back(std::move(timers_.begin()->second));
                timers_.erase(timers_.begin());
            }
            if (!timers_.empty()) untilNext = timers_.begin()->first - now;
            // About to sleep: it ticks for as long as completions come
            // without waking it.
            if (batch.empty()) {
                ticking_ = unannounced_ != 0;
                unannounced_ = 0;
                if (ticking_) {
                    const auto tick = static_cast<LONGLONG>(kTickSeconds / wrk::TimeScale() * 10'000'000);
                    untilNext = untilNext >= 0 ? std::min(untilNext, tick) : tick;
                }
            }
            stopping = stopping_;
            running_ = !batch.empty();
        }
        for (Task &task : batch) task();
        if (!batch.empty()) continue;
        if (stopping) return;
        LARGE_INTEGER timeout;
        timeout.QuadPart = -untilNext;
        KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, untilNext >= 0 ? &timeout : nullptr);
    }
}

void BusWorker::JoinDetached() {
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard lock(mutex_);
            threads.swap(detached_);
        }
        if (threads.empty()) return;
        for (std::thread &thread : threads) thread.join();
    }
}

void BusWorker::Stop() {
    // Detached work may still post to the bus thread: it ends first.
    JoinDetached();
    // No waiting thread takes work from here on (nor runs any still).
    wrk::RemoveDeferredWorkSource(this);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
    }
    thread_.join();
    std::deque<Posted> leftover;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        leftover.swap(ready_);
        timers_.clear();
    }
    for (Posted &posted : leftover) posted.task();
    JoinDetached();
}

}  // namespace usbsim
