#include "driver_transport.h"

#include <algorithm>

#include <sched.h>

namespace wsim {

bool DriverTransport::Send(const Packet& packet) {
    if (Closed()) return false;
    ULONG written = 0;
    NTSTATUS status = file_.Write(packet.data(), static_cast<ULONG>(packet.size()), &written);
    if (!NT_SUCCESS(status)) {
        failure_ = status;
        return false;
    }
    return written == packet.size();
}

std::optional<Packet> DriverTransport::Receive(std::chrono::microseconds wait) {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + wait;
    const auto spinUntil = start + std::min(spin_, wait);
    // The read never waits, so the caller polls. What a read finds comes from
    // the driver's receive threads, which submit their next IN transfer once
    // they have stored the last one: polling again each time they do finds
    // every packet as soon as it is whole, and the bounded sleep covers the rest.
    bool yielded = false;
    while (!Closed()) {
        const std::uint32_t submitted = inTransfers_->Submitted();
        ULONG read = 0;
        NTSTATUS status = file_.Read(readBuffer_.data(), kReadRoom, &read);
        if (!NT_SUCCESS(status)) {
            failure_ = status;
            break;
        }
        if (read > 0) return Packet(readBuffer_.begin(), readBuffer_.begin() + read);
        ++emptyReads_;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        if (now < spinUntil) {
            while (inTransfers_->Submitted() == submitted && std::chrono::steady_clock::now() < spinUntil)
                __builtin_ia32_pause();
            continue;
        }
        // A host that shares its processor with the radio and the receive
        // thread has just handed them its request: giving the processor away
        // once lets the answer be stored before the host looks again, where
        // sleeping first would cost a sleep and a wake-up on every round trip.
        // Nothing was stored meanwhile unless an IN transfer was submitted.
        if (!yielded) {
            yielded = true;
            sched_yield();
            if (inTransfers_->Submitted() != submitted) continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        inTransfers_->WaitForMore(submitted, std::min<std::chrono::microseconds>(left, usbsim::TransferWatch::kPollBound));
    }
    return std::nullopt;
}

} // namespace wsim
