// The per-thread kernel APC queue and its delivery.
#include "apc.h"

#include "dispatcher.h"
#include "irql.h"
#include "kthread.h"

#include <host/kernel.h>

#include <string>

namespace wrk::detail {

namespace {

void Run(const KernelApc& apc) {
    const KIRQL irql = KeGetCurrentIrql();
    SetIrql(APC_LEVEL);
    apc.routine(apc.context);
    if (KeGetCurrentIrql() != APC_LEVEL) {
        Bugcheck("IRQL_UNEXPECTED_VALUE",
                 "kernel APC returned at IRQL " + std::to_string(KeGetCurrentIrql()) + " instead of APC_LEVEL");
    }
    SetIrql(irql);
}

}  // namespace

void QueueKernelApc(PKTHREAD thread, KernelApcRoutine routine, PVOID context) {
    // Queued to itself below APC_LEVEL, a thread takes the APC interrupt at
    // once; with nothing queued before it, it need not pass through the queue.
    // Only the thread itself changes `delivering`.
    const bool self = thread == CurrentThreadRecord() && KeGetCurrentIrql() < APC_LEVEL;
    if (self && !thread->apcs.delivering && !thread->apcs.pending.load(std::memory_order_acquire)) {
        thread->apcs.delivering = true;
        Run({routine, context});
        thread->apcs.delivering = false;
        DeliverPendingKernelApcs();  // what others queued meanwhile
        return;
    }
    {
        std::lock_guard guard(DispatcherLock());
        thread->apcs.queue.push_back({routine, context});
        thread->apcs.pending.store(true, std::memory_order_release);
        InterruptWaitForApcLocked(thread);
    }
    if (self) {
        DeliverKernelApcs(thread);
    }
}

bool KernelApcDeliverableLocked(PKTHREAD thread) {
    return !thread->apcs.queue.empty() && !thread->apcs.delivering && KeGetCurrentIrql() < APC_LEVEL;
}

void DeliverKernelApcs(PKTHREAD thread) {
    for (;;) {
        KernelApc apc;
        {
            std::lock_guard guard(DispatcherLock());
            KernelApcQueue& apcs = thread->apcs;
            if (apcs.queue.empty() || apcs.delivering) {
                return;
            }
            apc = apcs.queue.front();
            apcs.queue.pop_front();
            apcs.pending.store(!apcs.queue.empty(), std::memory_order_relaxed);
            apcs.delivering = true;
        }
        Run(apc);
        std::lock_guard guard(DispatcherLock());
        thread->apcs.delivering = false;
    }
}

void DeliverPendingKernelApcs() {
    PKTHREAD thread = CurrentThreadRecord();
    if (thread != nullptr && thread->apcs.pending.load(std::memory_order_acquire) &&
        KeGetCurrentIrql() < APC_LEVEL) {
        DeliverKernelApcs(thread);
    }
}

}  // namespace wrk::detail
