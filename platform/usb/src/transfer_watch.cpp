#include <host/transfer_watch.h>

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace usbsim {

// A futex rather than a condition variable: the waiter and the submitter meet
// on the count itself, with no mutex between them that the woken waiter would
// take, give back and so wake nobody on, once for every packet the host polls for.
bool TransferWatch::WaitForMore(uint32_t seen, std::chrono::microseconds realTimeout) const {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    // Registered before the count is looked at, so that Count() either is seen
    // here or sees a waiter; a wake-up that comes between the look and the
    // sleep makes the sleep return at once, as the word no longer matches.
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    bool moved = false;
    for (;;) {
        if (submitted_.load(std::memory_order_seq_cst) != seen) {
            moved = true;
            break;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(nanoseconds / 1000000000), static_cast<long>(nanoseconds % 1000000000)};
        syscall(SYS_futex, &submitted_, FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
    }
    waiters_.fetch_sub(1, std::memory_order_relaxed);
    return moved;
}

void TransferWatch::Count() {
    submitted_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    syscall(SYS_futex, &submitted_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace usbsim
