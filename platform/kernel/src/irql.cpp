// IRQL and spin locks. A host thread cannot be kept off a processor, so the
// IRQL here is bookkeeping for the verifier; spin locks give real mutual
// exclusion.
#include "irql.h"

#include "apc.h"

#include <host/kernel.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace wrk {
namespace {

struct HeldLock {
    PKSPIN_LOCK lock;
    KIRQL previousIrql;
};

// The kernel library is loaded with the program, never opened later, so its
// thread-locals can take the fast model: the IRQL is read on every call.
[[gnu::tls_model("initial-exec")]] thread_local KIRQL tIrql = PASSIVE_LEVEL;
[[gnu::tls_model("initial-exec")]] thread_local std::vector<HeldLock> tHeldLocks;

// The value a held spin lock carries: unique to the owning thread and never 0.
ULONG_PTR OwnerMark() {
    return reinterpret_cast<ULONG_PTR>(&tIrql);
}

std::string Level(KIRQL irql) {
    return std::to_string(static_cast<int>(irql));
}

}  // namespace

void SetCurrentIrql(KIRQL irql) {
    tIrql = irql;
    detail::DeliverPendingKernelApcs();
}

namespace detail {

void SetIrql(KIRQL irql) {
    tIrql = irql;
}

void RequireIrqlAtMost(KIRQL highest, const char* routine) {
    if (tIrql > highest) {
        Bugcheck("IRQL_NOT_LESS_OR_EQUAL",
                 std::string(routine) + " called at IRQL " + Level(tIrql) + ", above " + Level(highest));
    }
}

size_t HeldSpinLockCount() {
    return tHeldLocks.size();
}

}  // namespace detail
}  // namespace wrk

using wrk::Bugcheck;
using wrk::tHeldLocks;
using wrk::tIrql;

extern "C" KIRQL KeGetCurrentIrql(void) {
    return tIrql;
}

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql) {
    if (NewIrql < tIrql) {
        Bugcheck("IRQL_NOT_GREATER_OR_EQUAL",
                 "KfRaiseIrql to " + wrk::Level(NewIrql) + " from the higher IRQL " + wrk::Level(tIrql));
    }
    KIRQL old = tIrql;
    tIrql = NewIrql;
    return old;
}

extern "C" void KfLowerIrql(KIRQL NewIrql) {
    if (NewIrql > tIrql) {
        Bugcheck("IRQL_NOT_LESS_OR_EQUAL",
                 "KfLowerIrql to " + wrk::Level(NewIrql) + " from the lower IRQL " + wrk::Level(tIrql));
    }
    if (NewIrql < DISPATCH_LEVEL && !tHeldLocks.empty()) {
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "IRQL lowered to " + wrk::Level(NewIrql) + " while a spin lock is held");
    }
    tIrql = NewIrql;
    wrk::detail::DeliverPendingKernelApcs();
}

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

extern "C" KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    if (tIrql > DISPATCH_LEVEL) {
        Bugcheck("IRQL_NOT_GREATER_OR_EQUAL", "KfAcquireSpinLock called at IRQL " + wrk::Level(tIrql));
    }
    ULONG_PTR me = wrk::OwnerMark();
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        Bugcheck("SPIN_LOCK_ALREADY_OWNED", "the calling thread already holds this spin lock");
    }
    KIRQL old = tIrql;
    tIrql = DISPATCH_LEVEL;
    ULONG_PTR expected = 0;
    while (!__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        expected = 0;
        std::this_thread::yield();
    }
    tHeldLocks.push_back({SpinLock, old});
    return old;
}

extern "C" void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    auto held = std::find_if(tHeldLocks.rbegin(), tHeldLocks.rend(),
                             [SpinLock](const wrk::HeldLock& h) { return h.lock == SpinLock; });
    if (held == tHeldLocks.rend() || __atomic_load_n(SpinLock, __ATOMIC_RELAXED) != wrk::OwnerMark()) {
        Bugcheck("SPIN_LOCK_NOT_OWNED", "KfReleaseSpinLock of a spin lock the calling thread does not hold");
    }
    if (tIrql != DISPATCH_LEVEL) {
        Bugcheck("IRQL_NOT_GREATER_OR_EQUAL",
                 "spin lock released at IRQL " + wrk::Level(tIrql) + " instead of DISPATCH_LEVEL");
    }
    if (NewIrql != held->previousIrql) {
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION", "spin lock released to IRQL " + wrk::Level(NewIrql) +
                                                           ", acquired at IRQL " +
                                                           wrk::Level(held->previousIrql));
    }
    tHeldLocks.erase(std::next(held).base());
    if (NewIrql < DISPATCH_LEVEL && !tHeldLocks.empty()) {
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "spin lock released to IRQL " + wrk::Level(NewIrql) + " while another spin lock is held");
    }
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    tIrql = NewIrql;
    wrk::detail::DeliverPendingKernelApcs();
}
