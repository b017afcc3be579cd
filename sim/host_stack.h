// A small user-mode Bluetooth host stack: commands answered by Command Complete
// or Command Status, events queued for whoever waits on them, ACL data sent
// within the controller's buffer credits and L2CAP frames reassembled.
#pragma once

#include "hci.h"
#include "trace.h"
#include "transport.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>

namespace wsim {

using Millis = std::chrono::milliseconds;

// The far side stopped answering or went away; what was being waited for is named.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct L2capFrame {
    std::uint16_t handle;
    std::uint16_t channel;
    std::vector<std::uint8_t> payload;
};

struct TrafficCounters {
    std::uint64_t packetsSent = 0, bytesSent = 0;
    std::uint64_t packetsReceived = 0, bytesReceived = 0;
    std::uint64_t aclPacketsSent = 0, aclBytesSent = 0;
    std::uint64_t aclPacketsReceived = 0, aclBytesReceived = 0;
};

struct ControllerInfo {
    hci::BdAddr address{};
    std::uint8_t hciVersion = 0;
    std::uint16_t manufacturer = 0;
    std::uint16_t aclMtu = 0;
    std::uint16_t aclPackets = 0;
};

class HostStack {
public:
    HostStack(Transport& transport, PacketLog& log);

    // Sends a command and waits for its Command Complete or Command Status
    // (returned); events that come first stay queued for WaitEvent.
    Packet Command(std::uint16_t opcode, std::span<const std::uint8_t> parameters = {},
                   Millis timeout = Millis(5000));
    // Like Command, and fails unless the command's status byte is 0.
    Packet CommandOk(std::uint16_t opcode, std::span<const std::uint8_t> parameters = {},
                     Millis timeout = Millis(5000));
    // The next event of `code`, queued or arriving within `timeout`.
    std::optional<Packet> WaitEvent(std::uint8_t code, Millis timeout);

    // Reset, then learn the address, version and ACL buffers; sends use the buffers learnt.
    ControllerInfo Initialize();
    const ControllerInfo& Info() const { return info_; }

    // Sends one L2CAP frame, split into ACL fragments of the controller's
    // buffer size, each only when the controller has a free buffer.
    void SendL2cap(std::uint16_t handle, std::uint16_t channel, std::span<const std::uint8_t> payload,
                   Millis timeout = Millis(5000));
    // The next whole frame; nothing when `timeout` ran out or a link went down
    // (a Disconnection Complete waits in the queue).
    std::optional<L2capFrame> ReceiveL2cap(Millis timeout);
    // A connection's packets in flight are forgotten when it goes.
    void ForgetConnection(std::uint16_t handle);

    const TrafficCounters& Counters() const { return counters_; }
    PacketLog& Log() { return log_; }
    bool TransportClosed() const { return transport_.Closed(); }

private:
    void Send(const Packet& packet);
    // Takes in at most one packet, waiting up to `wait`; false when none came.
    bool Pump(std::chrono::microseconds wait);
    void Absorb(const Packet& packet);
    void AbsorbAcl(const Packet& packet);

    Transport& transport_;
    PacketLog& log_;
    ControllerInfo info_;
    TrafficCounters counters_;
    std::deque<Packet> events_;
    std::deque<L2capFrame> frames_;
    std::map<std::uint16_t, std::vector<std::uint8_t>> partial_; // per handle
    std::map<std::uint16_t, unsigned> inFlight_;                  // per handle
    unsigned freeBuffers_ = 1;
};

} // namespace wsim
