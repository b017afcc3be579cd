#include "bus_worker.h"

namespace usbsim {

BusWorker::BusWorker() {
    KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
    thread_ = std::thread([this] { Run(); });
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
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            ready_.push_back(std::move(task));
            KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
            return;
        }
    }
    task();
}

void BusWorker::After(LONGLONG delay, Task task) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    timers_.emplace(Now() + (delay > 0 ? delay : 0), std::move(task));
    KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
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
    for (;;) {
        std::vector<Task> batch;
        LONGLONG untilNext = -1;
        bool stopping;
        {
            std::lock_guard lock(mutex_);
            batch.swap(ready_);
            const LONGLONG now = Now();
            while (!timers_.empty() && timers_.begin()->first <= now) {
                batch.push_back(std::move(timers_.begin()->second));
                timers_.erase(timers_.begin());
            }
            if (!timers_.empty()) untilNext = timers_.begin()->first - now;
            stopping = stopping_;
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
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
    }
    thread_.join();
    std::vector<Task> leftover;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        leftover.swap(ready_);
        timers_.clear();
    }
    for (Task &task : leftover) task();
    JoinDetached();
}

}  // namespace usbsim
