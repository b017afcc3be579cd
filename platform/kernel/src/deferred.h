// The dispatcher's share of deferred work (see deferred.cpp).
#pragma once

#include <wdm.h>

#include <mutex>

namespace wrk::detail {

// Whether the calling thread, about to sleep in a kernel wait, may run other
// parts' deferred completions there, and whether it may take and serve
// interrupt lines (interrupt_lines.h).
bool MayRunDeferredWork(PKTHREAD thread);
bool MayServeInterruptLines(PKTHREAD thread);
// Marks the calling thread as running such work while it lives: a wait
// inside it runs none of its own.
struct DeferredWorkScope {
    DeferredWorkScope();
    ~DeferredWorkScope();
    DeferredWorkScope(const DeferredWorkScope&) = delete;
    DeferredWorkScope& operator=(const DeferredWorkScope&) = delete;
};

// Called by a waiting thread with the dispatcher lock held, before it
// sleeps: runs one item of deferred work if this thread may (giving up the
// lock meanwhile), and says whether it did; the wait then looks at its
// object again.
bool RunDeferredWorkBeforeSleeping(std::unique_lock<std::mutex>& dispatcherLock, PKTHREAD thread);

}  // namespace wrk::detail
