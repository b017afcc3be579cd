#include "terminating_routines.h"

namespace {

__attribute__((noinline)) void EndFromNestedCall(TerminatingContext* context) {
    PsTerminateSystemThread(STATUS_SUCCESS);
    InterlockedExchange(&context->ranPastTerminate, 2);
}

}  // namespace

void TerminatingRoutine(PVOID context) {
    auto* c = static_cast<TerminatingContext*>(context);
    c->irqlSeen = KeGetCurrentIrql();
    c->self = KeGetCurrentThread();
    c->priorityBefore = KeSetPriorityThread(c->self, LOW_REALTIME_PRIORITY);
    KeWaitForSingleObject(&c->go, Executive, KernelMode, FALSE, nullptr);
    EndFromNestedCall(c);
    InterlockedExchange(&c->ranPastTerminate, 1);
}
