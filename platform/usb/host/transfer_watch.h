// What a host that polls the driver's reads can wait for instead of sleeping
// blindly: the IN transfers the driver has submitted to one PDO. A receive
// thread submits its next transfer once it has stored what the last one
// brought, so each new submission is a moment when a read may find more.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace usbsim {

class TransferWatch {
public:
    // IN transfers submitted so far; read without a lock, so it can be watched in a loop.
    uint64_t Submitted() const { return submitted_.load(std::memory_order_acquire); }
    // Waits (real time) until Submitted() is no longer `seen`; false on time-out.
    bool WaitForMore(uint64_t seen, std::chrono::microseconds realTimeout) const;

    // The bus counts a submission; a waiter is woken with no lock of the
    // submitter's held, so it does not wake only to wait for that lock.
    void Count();

private:
    std::atomic<uint64_t> submitted_{0};
    mutable std::atomic<unsigned> waiters_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable moved_;
};

}  // namespace usbsim
