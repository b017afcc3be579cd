// What a host stack needs from whatever carries its H4 packets: one whole packet
// out per Send, one whole packet in per Receive.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace wsim {

// A packet as the user-visible stream frames it: the type byte, then the packet.
using Packet = std::vector<std::uint8_t>;

class Transport {
public:
    virtual ~Transport() = default;
    // Sends one whole packet; false when the far side is gone or refused it.
    virtual bool Send(const Packet& packet) = 0;
    // The next whole packet, if one arrives within `wait`.
    virtual std::optional<Packet> Receive(std::chrono::microseconds wait) = 0;
    // The far side has gone for good: nothing more will arrive.
    virtual bool Closed() const = 0;
};

} // namespace wsim
