// Per-thread IRQL and the checks the verifier makes against it.
#pragma once

#include <wdm.h>

namespace wrk::detail {

// Bug-checks when the calling thread runs above `highest`; `routine` names
// the caller in the report.
void RequireIrqlAtMost(KIRQL highest, const char* routine);
// Spin locks the calling thread holds right now.
size_t HeldSpinLockCount();

}  // namespace wrk::detail
