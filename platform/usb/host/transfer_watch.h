// What a host that polls the driver's reads can wait for instead of sleeping
// blindly: the IN transfers the driver has submitted to one PDO. A receive
// thread submits its next transfer once it has stored what the last one
// brought, so each new submission is a moment when a read may find more.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace usbsim {

class TransferWatch {
public:
    // IN transfers submitted so far, modulo 2^32 (a watcher only asks whether
    // the count has moved); read without a lock, so it can be watched in a loop.
    uint32_t Submitted() const { return submitted_.load(std::memory_order_acquire); }
    // Waits (real time) until Submitted() is no longer `seen`; false on time-out.
    bool WaitForMore(uint32_t seen, std::chrono::microseconds realTimeout) const;

    // The time-out a poller gives WaitForMore when nothing else bounds its
    // wait: it covers what no submission announces, such as a read failing
    // once the device is gone. It is longer than a scheduler tick on purpose:
    // a shorter one is the processor's next timer event, re-armed at every
    // sleep and again at every wake-up, which on a virtual machine traps each
    // time (about 4 us per sleep measured, more than a thread hand-over).
    static constexpr std::chrono::milliseconds kPollBound{20};

    // The bus counts a submission and wakes the waiters, if there are any.
    void Count();

private:
    // 32 bits, as it is the futex word waiters sleep on.
    std::atomic<uint32_t> submitted_{0};
    mutable std::atomic<unsigned> waiters_{0};
};

}  // namespace usbsim
