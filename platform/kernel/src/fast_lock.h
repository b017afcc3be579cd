// The lock of the kernel's short bookkeeping sections (pool blocks, IRP
// records): taking and giving back a free lock is one atomic operation each,
// where a pthread mutex costs several times that on every pool block and every
// step of an IRP. A waiter spins briefly, then sleeps on a futex; the holder
// wakes it only when someone sleeps. Usable with std::lock_guard.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace wrk::detail {

class FastLock {
public:
    void lock() {
        int expected = kFree;
        if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire)) LockContended(expected);
    }

    void unlock() {
        if (state_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) {
            syscall(SYS_futex, &state_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }

private:
    static constexpr int kFree = 0;
    static constexpr int kHeld = 1;
    static constexpr int kHeldWithSleepers = 2;
    // The sections it guards are a few dozen instructions long: a holder on
    // the other processor is usually out before a sleep would begin.
    static constexpr int kSpins = 64;

    void LockContended(int seen) {
        for (int i = 0; i < kSpins && seen == kHeld; ++i) {
            __builtin_ia32_pause();
            seen = kFree;
            if (state_.compare_exchange_weak(seen, kHeld, std::memory_order_acquire)) return;
        }
        // From here on the lock is marked as having sleepers, so the holder
        // wakes one; a thread that takes it this way keeps the mark, which
        // at worst costs one needless wake-up.
        if (seen != kHeldWithSleepers) seen = state_.exchange(kHeldWithSleepers, std::memory_order_acquire);
        while (seen != kFree) {
            syscall(SYS_futex, &state_, FUTEX_WAIT_PRIVATE, kHeldWithSleepers, nullptr, nullptr, 0);
            seen = state_.exchange(kHeldWithSleepers, std::memory_order_acquire);
        }
    }

    std::atomic<int> state_{kFree};
};

}  // namespace wrk::detail
