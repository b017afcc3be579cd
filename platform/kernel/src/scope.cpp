// The test scope: one call that puts the kernel's settable state back.
#include "debuglog.h"

#include <host/kernel.h>

namespace wrk {
namespace {

void ResetKernelState(double timeScale) {
    PoolClearFaults();
    ClearThreadFaults();
    RegistryReset();
    ClearDebugMessages();
    detail::ResetDebugEcho();
    SetTimeScale(timeScale);
    SetCurrentIrql(PASSIVE_LEVEL);
}

}  // namespace

ScopedKernelState::ScopedKernelState(double timeScale) {
    ResetKernelState(timeScale);
}

ScopedKernelState::~ScopedKernelState() {
    ResetKernelState(1.0);
}

}  // namespace wrk
