// The dispatcher: one lock for every waitable object, as the Windows 2000/XP
// kernel's dispatcher lock, but a wake-up of its own for every thread. Each
// object keeps its waiters in its own DISPATCHER_HEADER.WaitListHead, so a
// signal visits and wakes only the threads it satisfies.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace wrk::detail {

// DISPATCHER_HEADER.Type of a thread object (events use their EVENT_TYPE).
constexpr UCHAR kThreadObjectType = 6;

// What a waiting thread hangs in its object's wait list.
struct WaitBlock {
    LIST_ENTRY entry;  // first, so an entry of WaitListHead is its block
    PKTHREAD thread;
    DISPATCHER_HEADER* object;
};

// A thread's own wait state, every field under the dispatcher lock.
struct ThreadWait {
    WaitBlock block{};
    std::condition_variable wake;
    bool blocked = false;    // asleep in a wait right now
    bool satisfied = false;  // a signal released it
    KIRQL waitIrql = PASSIVE_LEVEL;
    // A timed wait's deadline in driver time, kept so that the real moment
    // can be worked out again when the time scale changes.
    bool timed = false;
    LONGLONG deadline = 0;
    ThreadWait* nextTimed = nullptr;
    ThreadWait* previousTimed = nullptr;
    uint64_t wakeUps = 0;  // notifications the dispatcher sent this thread
    // Set with every notification, read without the lock by a thread that
    // spins a little before it sleeps.
    std::atomic<bool> woken{false};
    // A thread that sleeps polling interrupt lines is woken through its
    // descriptor instead of `wake` (interrupt_lines.h).
    bool polling = false;
    int wakeFd = -1;  // an eventfd, made the first time the thread polls

    ThreadWait() = default;
    ThreadWait(const ThreadWait&) = delete;
    ThreadWait& operator=(const ThreadWait&) = delete;
    ~ThreadWait();
};

std::mutex& DispatcherLock();

// With the dispatcher lock held: signals a notification-type object for good
// (a thread that has ended) and releases everyone waiting on it.
void SignalForeverLocked(DISPATCHER_HEADER* header);
// With the dispatcher lock held: interrupts the thread's wait when it sleeps
// below APC_LEVEL, so that it delivers its kernel APCs and waits again.
void InterruptWaitForApcLocked(PKTHREAD thread);
// After a change of the time scale: every timed wait works out its real
// deadline again.
void RetimeWaits();

}  // namespace wrk::detail
