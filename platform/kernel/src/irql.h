// Per-thread IRQL and the checks the verifier makes against it.
#pragma once

#include <wdm.h>

namespace wrk::detail {

// Bug-checks when the calling thread runs above `highest`; `routine` names
// the caller in the report.
void RequireIrqlAtMost(KIRQL highest, const char* routine);
// Sets the calling thread's IRQL without delivering its kernel APCs.
void SetIrql(KIRQL irql);
// Spin locks the calling thread holds right now.
size_t HeldSpinLockCount();

}  // namespace wrk::detail
