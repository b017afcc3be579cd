// The kernel's thread record behind PKTHREAD / PETHREAD.
#pragma once

#include "apc.h"
#include "dispatcher.h"

#include <wdm.h>

#include <atomic>

struct _KTHREAD {
    DISPATCHER_HEADER Header;  // first, so a thread can be waited on like an event
    std::atomic<KPRIORITY> priority;
    bool system;  // started by PsCreateSystemThread (others are host threads)
    PKSTART_ROUTINE startRoutine;
    PVOID startContext;
    // Both under the dispatcher lock: the record is freed by whichever comes
    // last, the thread's end or the last reference to its object.
    bool terminated;
    bool unreferenced;
    wrk::detail::ThreadWait wait;
    wrk::detail::KernelApcQueue apcs;
};

namespace wrk::detail {

// The calling thread's record, or null for a host thread that never asked
// for one (and so can have nothing queued to it).
PKTHREAD CurrentThreadRecord();

}  // namespace wrk::detail
