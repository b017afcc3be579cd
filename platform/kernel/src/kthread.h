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
    // Requests built for this thread and not yet finished in it (through
    // IRP.ThreadListEntry), under the dispatcher lock.
    LIST_ENTRY irps;
};

namespace wrk::detail {

// The calling thread's record, or null for a host thread that never asked
// for one (and so can have nothing queued to it).
PKTHREAD CurrentThreadRecord();
// Requests built by the thread (IoBuildDeviceIoControlRequest) whose last
// step has not run yet.
size_t OutstandingThreadedIrps(PKTHREAD thread);
// A thread is ending: its pending kernel APCs run, and a request it built
// and never saw finished is a verifier stop.
void EndThreadIo(PKTHREAD thread, const char* kind);

}  // namespace wrk::detail
