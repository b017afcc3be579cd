// Kernel APCs: work queued to one particular thread and run in that thread,
// at APC_LEVEL, as soon as it runs below APC_LEVEL: when it waits, when its
// IRQL drops, or at once when it queues one to itself. The I/O manager
// finishes threaded IRPs this way, as Windows' special kernel APC does.
#pragma once

#include <wdm.h>

#include <atomic>
#include <deque>

namespace wrk::detail {

using KernelApcRoutine = void (*)(PVOID context);

struct KernelApc {
    KernelApcRoutine routine;
    PVOID context;
};

// A thread's queue, under the dispatcher lock; `pending` may be read without
// it, so that lowering the IRQL costs nothing when no APC waits.
struct KernelApcQueue {
    std::deque<KernelApc> queue;
    std::atomic<bool> pending{false};
    bool delivering = false;
};

void QueueKernelApc(PKTHREAD thread, KernelApcRoutine routine, PVOID context);
// With the dispatcher lock held, for the calling thread: whether it has APCs
// it may run now.
bool KernelApcDeliverableLocked(PKTHREAD thread);
// Runs the calling thread's pending APCs (the dispatcher lock not held).
void DeliverKernelApcs(PKTHREAD thread);
// The same for the calling thread when it runs below APC_LEVEL; cheap when
// nothing is pending.
void DeliverPendingKernelApcs();

}  // namespace wrk::detail
