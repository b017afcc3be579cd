// Deferred work that a waiting thread runs before it sleeps in a kernel wait,
// as a Windows processor retires its DPC queue before it switches to another
// thread: the request a thread has just sent and now waits for may be
// completed right there, without handing it to another thread and back.
#include "deferred.h"

#include "io_internal.h"
#include "irql.h"
#include "kthread.h"

#include <host/kernel.h>

#include <algorithm>
#include <atomic>
#include <shared_mutex>
#include <vector>

namespace wrk {
namespace {

struct Sources {
    std::shared_mutex lock;  // shared while a thread runs a source's work
    std::vector<DeferredWorkSource*> sources;
    std::atomic<size_t> count{0};
};

Sources& TheSources() {
    static auto* sources = new Sources;  // outlives detached threads
    return *sources;
}

[[gnu::tls_model("initial-exec")]] thread_local bool tRunningDeferred = false;

}  // namespace

void AddDeferredWorkSource(DeferredWorkSource* source) {
    Sources& s = TheSources();
    std::unique_lock guard(s.lock);
    s.sources.push_back(source);
    s.count.store(s.sources.size(), std::memory_order_release);
}

void RemoveDeferredWorkSource(DeferredWorkSource* source) {
    Sources& s = TheSources();
    // Exclusive: waits for threads running the source's work to finish it.
    std::unique_lock guard(s.lock);
    s.sources.erase(std::remove(s.sources.begin(), s.sources.end(), source), s.sources.end());
    s.count.store(s.sources.size(), std::memory_order_release);
}

bool WaitsRunDeferredWork() {
    PKTHREAD thread = detail::CurrentThreadRecord();
    return thread != nullptr && (thread->system || detail::InDispatchRoutine());
}

namespace detail {

DeferredWorkScope::DeferredWorkScope() { tRunningDeferred = true; }
DeferredWorkScope::~DeferredWorkScope() { tRunningDeferred = false; }

bool MayRunDeferredWork(PKTHREAD thread) {
    // Only where nothing of the waiting thread's own can be in the way: at
    // PASSIVE_LEVEL with no spin lock, not already running deferred work, and
    // either a driver's system thread or a thread inside a dispatch routine,
    // such as a user request's waiting for the transfer it sent down. Other
    // host threads (tests, host stacks) may hold anything of their own.
    return thread != nullptr && !tRunningDeferred && KeGetCurrentIrql() == PASSIVE_LEVEL &&
           HeldSpinLockCount() == 0 && (thread->system || InDispatchRoutine());
}

bool MayServeInterruptLines(PKTHREAD thread) {
    // A line is kept after the wait: only a system thread between requests,
    // which sleeps again soon, may take one.
    return MayRunDeferredWork(thread) && thread->system && !InDispatchRoutine();
}

bool RunDeferredWorkBeforeSleeping(std::unique_lock<std::mutex>& dispatcherLock, PKTHREAD thread) {
    Sources& s = TheSources();
    if (s.count.load(std::memory_order_acquire) == 0) return false;
    if (!MayRunDeferredWork(thread)) return false;
    bool ran = false;
    dispatcherLock.unlock();
    {
        DeferredWorkScope running;
        std::shared_lock guard(s.lock);
        for (DeferredWorkSource* source : s.sources) {
            if (source->RunDeferred()) {
                ran = true;
                break;
            }
        }
    }
    dispatcherLock.lock();
    return ran;
}

}  // namespace detail
}  // namespace wrk
