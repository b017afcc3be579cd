// Events and waits. A waiter is released by the signal itself (not by finding
// the object signalled later), so a synchronization event set twice with one
// waiter releases that waiter and stays signalled, as on Windows. A signal
// walks only its object's wait list and wakes only the threads it releases;
// threads waiting for anything else sleep on.
#include "dispatcher.h"

#include "apc.h"
#include "clock.h"
#include "deferred.h"
#include "interrupt_lines.h"
#include "irql.h"
#include "kthread.h"

#include <host/kernel.h>

#include <atomic>
#include <string>
#include <chrono>

namespace wrk::detail {
namespace {

struct Dispatcher {
    std::mutex lock;
    ThreadWait* timedWaits = nullptr;  // every wait with a deadline, for re-timing
    // Host-side observers of waits starting (tests, benchmarks); the
    // notification is sent only while someone looks.
    std::condition_variable waitStarted;
    size_t observers = 0;
};

Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher;  // outlives detached threads
    return *dispatcher;
}

bool IsWaitable(const DISPATCHER_HEADER* header) {
    return header->Type == NotificationEvent || header->Type == SynchronizationEvent ||
           header->Type == kThreadObjectType;
}

void RequireInitialized(const DISPATCHER_HEADER* header, const char* routine) {
    if (header->WaitListHead.Flink == nullptr || header->WaitListHead.Blink == nullptr) {
        Bugcheck("INVALID_DATA_ACCESS_TRAP", std::string(routine) + " on an object never initialized");
    }
}

bool HasWaiters(const DISPATCHER_HEADER* header) {
    return header->WaitListHead.Flink != &header->WaitListHead;
}

void LinkLast(DISPATCHER_HEADER* header, WaitBlock& block) {
    LIST_ENTRY* head = &header->WaitListHead;
    block.entry.Flink = head;
    block.entry.Blink = head->Blink;
    head->Blink->Flink = &block.entry;
    head->Blink = &block.entry;
}

void Unlink(WaitBlock& block) {
    block.entry.Blink->Flink = block.entry.Flink;
    block.entry.Flink->Blink = block.entry.Blink;
    block.entry.Flink = block.entry.Blink = nullptr;
}

void Wake(ThreadWait& wait) {
    ++wait.wakeUps;
    wait.woken.store(true, std::memory_order_release);
    if (wait.polling) {
        WakePoller(wait);
    } else {
        wait.wake.notify_one();
    }
}

// How long a thread about to sleep first spins, waiting to be woken: the
// thread that wakes it is often running on the other processor, and a sleep
// and wake-up cost far more. About what one sleep and wake-up costs on a
// virtual machine (20-30 us), so that spinning never wastes much more than
// the sleep it tries to save. It spins without yielding, as a yield on a busy
// machine gives the processor away for a whole time slice.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(20);

// With the dispatcher lock held, which it gives up while it spins.
void SpinBeforeSleeping(std::unique_lock<std::mutex>& guard, ThreadWait& wait) {
    guard.unlock();
    const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    while (!wait.woken.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
        __builtin_ia32_pause();
    }
    guard.lock();
}

// Releases the longest waiter; false when nobody waits.
bool ReleaseFirstLocked(DISPATCHER_HEADER* header) {
    if (!HasWaiters(header)) {
        return false;
    }
    auto* block = reinterpret_cast<WaitBlock*>(header->WaitListHead.Flink);
    Unlink(*block);
    ThreadWait& wait = block->thread->wait;
    wait.satisfied = true;
    Wake(wait);
    return true;
}

void ReleaseAllLocked(DISPATCHER_HEADER* header) {
    while (ReleaseFirstLocked(header)) {
    }
}

void AddTimedLocked(Dispatcher& d, ThreadWait& wait) {
    wait.previousTimed = nullptr;
    wait.nextTimed = d.timedWaits;
    if (d.timedWaits != nullptr) {
        d.timedWaits->previousTimed = &wait;
    }
    d.timedWaits = &wait;
}

void RemoveTimedLocked(Dispatcher& d, ThreadWait& wait) {
    if (wait.previousTimed != nullptr) {
        wait.previousTimed->nextTimed = wait.nextTimed;
    } else {
        d.timedWaits = wait.nextTimed;
    }
    if (wait.nextTimed != nullptr) {
        wait.nextTimed->previousTimed = wait.previousTimed;
    }
    wait.nextTimed = wait.previousTimed = nullptr;
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

// With the dispatcher lock held: whether the object satisfies a wait now,
// taking what the wait consumes.
bool TrySatisfyLocked(DISPATCHER_HEADER* header) {
    if (header->SignalState <= 0) {
        return false;
    }
    if (header->Type == SynchronizationEvent) {
        header->SignalState = 0;
    }
    return true;
}

enum class Sleep { Satisfied, TimedOut, Interrupted, LineReady };

// With the dispatcher lock held: one sleep of the calling thread, on
// `header`'s wait list (none for a delay), until a signal, the deadline, a
// kernel APC or input on an interrupt line the thread holds ends it.
Sleep SleepLocked(std::unique_lock<std::mutex>& guard, PKTHREAD thread, DISPATCHER_HEADER* header,
                  const LONGLONG* deadline) {
    Dispatcher& d = TheDispatcher();
    ThreadWait& wait = thread->wait;
    // Before the thread counts as blocked, so that whoever sees it blocked
    // knows whether it polls the lines.
    const bool servesLines = MayServeInterruptLines(thread);
    bool holdsLines = false;
    if (servesLines) {
        holdsLines = TakeInterruptLinesLocked(thread);
    } else {
        ReleaseInterruptLinesLocked(thread);
    }
    wait.satisfied = false;
    wait.waitIrql = KeGetCurrentIrql();
    if (header != nullptr) {
        wait.block.thread = thread;
        wait.block.object = header;
        LinkLast(header, wait.block);
    }
    wait.timed = deadline != nullptr;
    if (wait.timed) {
        wait.deadline = *deadline;
        AddTimedLocked(d, wait);
    }
    wait.blocked = true;
    wait.woken.store(false, std::memory_order_relaxed);
    if (d.observers != 0) {
        d.waitStarted.notify_all();
    }
    Sleep outcome = Sleep::Satisfied;
    // A thread that polls interrupt lines mostly waits for a device, which
    // no spin can see: spinning would only keep the processor from the
    // device's other end.
    if (!holdsLines) SpinBeforeSleeping(guard, wait);
    for (;;) {
        if (wait.satisfied) {
            break;
        }
        if (KernelApcDeliverableLocked(thread)) {
            outcome = Sleep::Interrupted;
            break;
        }
        if (wait.timed && SystemTime() >= wait.deadline) {
            outcome = Sleep::TimedOut;
            break;
        }
        // Re-timing wakes this sleep too: the real moment is worked out from
        // the driver-time deadline at every turn.
        const RealClock::time_point until = wait.timed ? RealMomentOf(wait.deadline) : RealClock::time_point{};
        // Another thread that went to sleep since may have taken the lines.
        if (servesLines && HoldsInterruptLinesLocked(thread)) {
            // A signal that came meanwhile has taken the wait block out already.
            if (PollInterruptLines(guard, thread, wait.timed ? &until : nullptr) && !wait.satisfied) {
                outcome = Sleep::LineReady;
                break;
            }
            continue;
        }
        if (wait.timed) {
            wait.wake.wait_until(guard, until);
        } else {
            wait.wake.wait(guard);
        }
    }
    wait.blocked = false;
    if (wait.timed) {
        RemoveTimedLocked(d, wait);
        wait.timed = false;
    }
    if (outcome != Sleep::Satisfied && header != nullptr) {
        // Nobody released us, so our block is still in the list.
        Unlink(wait.block);
    }
    return outcome;
}

NTSTATUS WaitLocked(std::unique_lock<std::mutex>& guard, DISPATCHER_HEADER* header, const PLARGE_INTEGER timeout) {
    PKTHREAD thread = KeGetCurrentThread();
    LONGLONG deadline = 0;
    if (timeout != nullptr && timeout->QuadPart != 0) {
        deadline = DeadlineFor(timeout->QuadPart);
    }
    // Deferred work is tried once before each sleep: its run gives up the
    // lock, so the object is looked at again afterwards, whether or not
    // there was work (a signal may have come meanwhile).
    bool deferredTried = false;
    for (;;) {
        if (KernelApcDeliverableLocked(thread)) {
            guard.unlock();
            DeliverKernelApcs(thread);
            guard.lock();
            continue;
        }
        if (header != nullptr && TrySatisfyLocked(header)) {
            return STATUS_SUCCESS;
        }
        if (timeout != nullptr && (timeout->QuadPart == 0 || SystemTime() >= deadline)) {
            return header != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
        }
        if (!deferredTried) {
            deferredTried = true;
            if (RunDeferredWorkBeforeSleeping(guard, thread)) deferredTried = false;
            continue;
        }
        deferredTried = false;
        switch (SleepLocked(guard, thread, header, timeout != nullptr ? &deadline : nullptr)) {
            case Sleep::Satisfied:
                return STATUS_SUCCESS;
            case Sleep::TimedOut:
                return header != nullptr ? STATUS_TIMEOUT : STATUS_SUCCESS;
            case Sleep::Interrupted:
                break;  // deliver the APCs and wait again, as a kernel wait does
            case Sleep::LineReady:
                // Serving it may well be what satisfies the wait.
                ServeReadyInterruptLines(guard, thread);
                break;
        }
    }
}

}  // namespace

std::mutex& DispatcherLock() {
    return TheDispatcher().lock;
}

void SignalForeverLocked(DISPATCHER_HEADER* header) {
    header->SignalState = 1;
    ReleaseAllLocked(header);
}

void InterruptWaitForApcLocked(PKTHREAD thread) {
    ThreadWait& wait = thread->wait;
    if (wait.blocked && wait.waitIrql < APC_LEVEL) {
        Wake(wait);
    }
}

void RetimeWaits() {
    Dispatcher& d = TheDispatcher();
    std::lock_guard guard(d.lock);
    for (ThreadWait* wait = d.timedWaits; wait != nullptr; wait = wait->nextTimed) {
        Wake(*wait);
    }
}

}  // namespace wrk::detail

namespace wrk {

bool WaitForWaiters(PVOID object, size_t count, std::chrono::milliseconds realTimeout) {
    auto& d = detail::TheDispatcher();
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    std::unique_lock guard(d.lock);
    ++d.observers;
    bool reached = d.waitStarted.wait_for(guard, realTimeout, [header, count] {
        size_t waiting = 0;
        for (LIST_ENTRY* e = header->WaitListHead.Flink; e != &header->WaitListHead; e = e->Flink) {
            ++waiting;
        }
        return waiting >= count;
    });
    --d.observers;
    return reached;
}

bool WaitForThreadToBlock(PKTHREAD thread, std::chrono::milliseconds realTimeout) {
    auto& d = detail::TheDispatcher();
    std::unique_lock guard(d.lock);
    ++d.observers;
    bool blocked = d.waitStarted.wait_for(guard, realTimeout, [thread] { return thread->wait.blocked; });
    --d.observers;
    return blocked;
}

uint64_t ThreadWakeUps(PKTHREAD thread) {
    std::lock_guard guard(detail::TheDispatcher().lock);
    return thread->wait.wakeUps;
}

}  // namespace wrk

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
    std::lock_guard guard(TheDispatcher().lock);
    wrk::detail::RequireInitialized(&Event->Header, "KeSetEvent");
    LONG previous = Event->Header.SignalState;
    if (Event->Header.Type == SynchronizationEvent) {
        if (!wrk::detail::ReleaseFirstLocked(&Event->Header)) {
            Event->Header.SignalState = 1;
        }
    } else {
        Event->Header.SignalState = 1;
        wrk::detail::ReleaseAllLocked(&Event->Header);
    }
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
    std::unique_lock guard(TheDispatcher().lock);
    if (!wrk::detail::IsWaitable(header)) {
        wrk::Bugcheck("INVALID_DATA_ACCESS_TRAP",
                      "KeWaitForSingleObject on an object of unknown type " + std::to_string(header->Type));
    }
    wrk::detail::RequireInitialized(header, "KeWaitForSingleObject");
    return wrk::detail::WaitLocked(guard, header, Timeout);
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    wrk::detail::CheckWaitIrql(nullptr, "KeDelayExecutionThread");
    if (Interval == nullptr) {
        wrk::Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "KeDelayExecutionThread without an interval");
    }
    std::unique_lock guard(TheDispatcher().lock);
    return wrk::detail::WaitLocked(guard, nullptr, Interval);
}
