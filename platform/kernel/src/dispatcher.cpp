// Events and waits. A waiter is released by the signal itself (not by finding
// the object signalled later), so a synchronization event set twice with one
// waiter releases that waiter and stays signalled, as on Windows.
#include "dispatcher.h"

#include "clock.h"
#include "irql.h"

#include <host/kernel.h>

#include <list>
#include <thread>
#include <unordered_map>

namespace wrk::detail {
namespace {

struct Waiter {
    bool released = false;
};

struct Dispatcher {
    std::mutex lock;
    std::condition_variable wake;
    std::unordered_map<DISPATCHER_HEADER*, std::list<Waiter*>> waiters;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher;  // outlives detached threads
    return *dispatcher;
}

bool IsWaitable(const DISPATCHER_HEADER* header) {
    return header->Type == NotificationEvent || header->Type == SynchronizationEvent ||
           header->Type == kThreadObjectType;
}

void ReleaseAllLocked(Dispatcher& d, DISPATCHER_HEADER* header) {
    auto found = d.waiters.find(header);
    if (found == d.waiters.end()) {
        return;
    }
    for (Waiter* waiter : found->second) {
        waiter->released = true;
    }
    d.waiters.erase(found);
}

// Releases the longest waiter; false when nobody waits.
bool ReleaseOneLocked(Dispatcher& d, DISPATCHER_HEADER* header) {
    auto found = d.waiters.find(header);
    if (found == d.waiters.end()) {
        return false;
    }
    found->second.front()->released = true;
    found->second.pop_front();
    if (found->second.empty()) {
        d.waiters.erase(found);
    }
    return true;
}

// Waits with a null, zero or non-zero time-out are different verifier cases:
// only the poll may be made at DISPATCH_LEVEL.
void CheckWaitIrql(const PLARGE_INTEGER timeout, const char* routine) {
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (KeGetCurrentIrql() > (poll ? DISPATCH_LEVEL : APC_LEVEL)) {
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 std::string(routine) + " waits at IRQL " + std::to_string(KeGetCurrentIrql()) +
                     (poll ? "" : " with a non-zero time-out"));
    }
}

}  // namespace

std::mutex& DispatcherLock() {
    return TheDispatcher().lock;
}

std::condition_variable& DispatcherWake() {
    return TheDispatcher().wake;
}

void SignalForeverLocked(DISPATCHER_HEADER* header) {
    header->SignalState = 1;
    ReleaseAllLocked(TheDispatcher(), header);
    TheDispatcher().wake.notify_all();
}

}  // namespace wrk::detail

using wrk::detail::TheDispatcher;

extern "C" void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::lock_guard guard(TheDispatcher().lock);
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Absolute = 0;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    wrk::detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    auto& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    LONG previous = Event->Header.SignalState;
    if (Event->Header.Type == SynchronizationEvent) {
        if (!wrk::detail::ReleaseOneLocked(d, &Event->Header)) {
            Event->Header.SignalState = 1;
        }
    } else {
        Event->Header.SignalState = 1;
        wrk::detail::ReleaseAllLocked(d, &Event->Header);
    }
    d.wake.notify_all();
    return previous;
}

extern "C" void KeClearEvent(PRKEVENT Event) {
    std::lock_guard guard(TheDispatcher().lock);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event) {
    wrk::detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard guard(TheDispatcher().lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard guard(TheDispatcher().lock);
    return Event->Header.SignalState;
}

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    wrk::detail::CheckWaitIrql(Timeout, "KeWaitForSingleObject");
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    auto& d = TheDispatcher();
    std::unique_lock guard(d.lock);
    if (!wrk::detail::IsWaitable(header)) {
        wrk::Bugcheck("INVALID_DATA_ACCESS_TRAP",
                      "KeWaitForSingleObject on an object of unknown type " + std::to_string(header->Type));
    }
    if (header->SignalState > 0) {
        if (header->Type == SynchronizationEvent) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    }
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        return STATUS_TIMEOUT;
    }
    wrk::detail::Waiter waiter;
    auto& queue = d.waiters[header];
    auto position = queue.insert(queue.end(), &waiter);
    auto released = [&waiter] { return waiter.released; };
    if (Timeout == nullptr) {
        d.wake.wait(guard, released);
        return STATUS_SUCCESS;
    }
    if (d.wake.wait_until(guard, wrk::detail::DeadlineFor(Timeout->QuadPart), released)) {
        return STATUS_SUCCESS;
    }
    // Timed out and still queued: nobody released us, so our entry is there.
    auto& stillQueued = d.waiters[header];
    stillQueued.erase(position);
    if (stillQueued.empty()) {
        d.waiters.erase(header);
    }
    return STATUS_TIMEOUT;
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    wrk::detail::CheckWaitIrql(nullptr, "KeDelayExecutionThread");
    if (Interval == nullptr) {
        wrk::Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "KeDelayExecutionThread without an interval");
    }
    std::this_thread::sleep_until(wrk::detail::DeadlineFor(Interval->QuadPart));
    return STATUS_SUCCESS;
}
