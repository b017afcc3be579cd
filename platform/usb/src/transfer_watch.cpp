#include <host/transfer_watch.h>

namespace usbsim {

bool TransferWatch::WaitForMore(uint64_t seen, std::chrono::microseconds realTimeout) const {
    std::unique_lock lock(mutex_);
    // Registered before the count is looked at, so that Count() either is
    // seen here or sees a waiter and notifies under the mutex this wait holds.
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    const bool moved = moved_.wait_for(lock, realTimeout, [&] { return Submitted() != seen; });
    waiters_.fetch_sub(1, std::memory_order_relaxed);
    return moved;
}

void TransferWatch::Count() {
    submitted_.fetch_add(1, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    // Taking the mutex once orders this notify after a waiter's check of the count.
    { std::lock_guard lock(mutex_); }
    moved_.notify_all();
}

}  // namespace usbsim
