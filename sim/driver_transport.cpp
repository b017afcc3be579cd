#include "driver_transport.h"

#include <thread>

namespace wsim {
namespace {

// Room for any packet the driver's receive rings can hold whole, type byte included.
constexpr ULONG kReadRoom = 4096 + 1;

} // namespace

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
    auto deadline = std::chrono::steady_clock::now() + wait;
    Packet buffer(kReadRoom);
    // The read never waits, so the caller polls: at first as fast as it can, as
    // an answer usually follows a request closely, then backing off.
    for (unsigned attempt = 0; !Closed(); ++attempt) {
        ULONG read = 0;
        NTSTATUS status = file_.Read(buffer.data(), kReadRoom, &read);
        if (!NT_SUCCESS(status)) {
            failure_ = status;
            break;
        }
        if (read > 0) {
            buffer.resize(read);
            return buffer;
        }
        ++emptyReads_;
        if (std::chrono::steady_clock::now() >= deadline) break;
        if (attempt < 64) std::this_thread::yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(attempt < 1024 ? 20 : 200));
    }
    return std::nullopt;
}

} // namespace wsim
