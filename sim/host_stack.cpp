#include "host_stack.h"

#include <algorithm>
#include <cstdio>

namespace wsim {
namespace {

using Clock = std::chrono::steady_clock;

std::string Hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04x", v);
    return text;
}

std::uint8_t StatusOf(const Packet& reply) {
    // Command Complete: ncmd, opcode, then the return parameters led by status;
    // Command Status: status first.
    if (hci::IsEvent(reply, hci::CommandStatus)) return hci::EventParameters(reply)[0];
    return hci::EventParameterLength(reply) >= 4 ? hci::EventParameters(reply)[3] : 0xff;
}

} // namespace

HostStack::HostStack(Transport& transport, PacketLog& log) : transport_(transport), log_(log) {}

void HostStack::Send(const Packet& packet) {
    log_.Record(Direction::Sent, packet);
    if (!transport_.Send(packet)) throw HostError("write refused: " + DescribePacket(packet));
    ++counters_.packetsSent;
    counters_.bytesSent += packet.size();
    if (packet[0] == 0x02) {
        ++counters_.aclPacketsSent;
        counters_.aclBytesSent += packet.size() - 5;
    }
}

bool HostStack::Pump(std::chrono::microseconds wait) {
    auto packet = transport_.Receive(wait);
    if (!packet) return false;
    log_.Record(Direction::Received, *packet);
    ++counters_.packetsReceived;
    counters_.bytesReceived += packet->size();
    Absorb(*packet);
    return true;
}

void HostStack::Absorb(const Packet& packet) {
    if (packet.size() >= 5 && packet[0] == 0x02) {
        ++counters_.aclPacketsReceived;
        counters_.aclBytesReceived += packet.size() - 5;
        AbsorbAcl(packet);
        return;
    }
    if (hci::IsEvent(packet, hci::NumberOfCompletedPackets)) {
        const std::uint8_t* e = hci::EventParameters(packet);
        std::size_t n = hci::EventParameterLength(packet);
        for (std::size_t i = 0; n >= 1 && i < e[0] && 1 + 4 * (i + 1) <= n; ++i) {
            std::uint16_t handle = hci::Get16(e + 1 + 4 * i) & 0x0fff;
            unsigned done = std::min<unsigned>(hci::Get16(e + 3 + 4 * i), inFlight_[handle]);
            inFlight_[handle] -= done;
            freeBuffers_ += done;
        }
        return;
    }
    if (packet.size() >= 3 && packet[0] == 0x04) events_.push_back(packet);
}

void HostStack::AbsorbAcl(const Packet& packet) {
    std::uint16_t handle = hci::AclHandle(packet);
    auto data = hci::AclData(packet);
    auto& frame = partial_[handle];
    if (hci::AclBoundary(packet) != hci::AclContinuing) frame.clear();
    else if (frame.empty()) return; // a continuation with no start: nothing to join it to
    frame.insert(frame.end(), data.begin(), data.end());
    if (frame.size() < 4) return;
    std::size_t whole = 4u + hci::Get16(frame.data());
    if (frame.size() < whole) return;
    frames_.push_back(L2capFrame{handle, hci::Get16(frame.data() + 2),
                                 std::vector<std::uint8_t>(frame.begin() + 4, frame.begin() + whole)});
    frame.clear();
}

std::optional<Packet> HostStack::WaitEvent(std::uint8_t code, Millis timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto it = std::find_if(events_.begin(), events_.end(), [&](const Packet& p) { return p[1] == code; });
        if (it != events_.end()) {
            Packet event = std::move(*it);
            events_.erase(it);
            return event;
        }
        auto now = Clock::now();
        if (now >= deadline || transport_.Closed()) return std::nullopt;
        Pump(std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    }
}

Packet HostStack::Command(std::uint16_t opcode, std::span<const std::uint8_t> parameters, Millis timeout) {
    Send(hci::MakeCommand(opcode, parameters));
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto it = std::find_if(events_.begin(), events_.end(), [&](const Packet& p) {
            if (hci::IsEvent(p, hci::CommandComplete) && hci::EventParameterLength(p) >= 3)
                return hci::Get16(hci::EventParameters(p) + 1) == opcode;
            if (hci::IsEvent(p, hci::CommandStatus) && hci::EventParameterLength(p) >= 4)
                return hci::Get16(hci::EventParameters(p) + 2) == opcode;
            return false;
        });
        if (it != events_.end()) {
            Packet reply = std::move(*it);
            events_.erase(it);
            return reply;
        }
        auto now = Clock::now();
        if (now >= deadline || transport_.Closed())
            throw HostError(std::string("no answer to ") + hci::CommandName(opcode) + " (" + Hex16(opcode) + ")");
        Pump(std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    }
}

Packet HostStack::CommandOk(std::uint16_t opcode, std::span<const std::uint8_t> parameters, Millis timeout) {
    Packet reply = Command(opcode, parameters, timeout);
    if (std::uint8_t status = StatusOf(reply); status != 0) {
        char text[16];
        std::snprintf(text, sizeof(text), "0x%02x", status);
        throw HostError(std::string(hci::CommandName(opcode)) + " failed with status " + text);
    }
    return reply;
}

ControllerInfo HostStack::Initialize() {
    CommandOk(hci::Reset);
    Packet address = CommandOk(hci::ReadBdAddr);
    if (hci::EventParameterLength(address) >= 10)
        std::copy_n(hci::EventParameters(address) + 4, 6, info_.address.begin());
    Packet version = CommandOk(hci::ReadLocalVersion);
    if (hci::EventParameterLength(version) >= 12) {
        info_.hciVersion = hci::EventParameters(version)[4];
        info_.manufacturer = hci::Get16(hci::EventParameters(version) + 8);
    }
    Packet buffers = CommandOk(hci::ReadBufferSize);
    if (hci::EventParameterLength(buffers) >= 11) {
        info_.aclMtu = hci::Get16(hci::EventParameters(buffers) + 4);
        info_.aclPackets = hci::Get16(hci::EventParameters(buffers) + 7);
    }
    if (info_.aclMtu == 0 || info_.aclPackets == 0) throw HostError("controller offers no ACL buffers");
    freeBuffers_ = info_.aclPackets;
    return info_;
}

void HostStack::SendL2cap(std::uint16_t handle, std::uint16_t channel, std::span<const std::uint8_t> payload,
                          Millis timeout) {
    std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(payload.size()),
                                    static_cast<std::uint8_t>(payload.size() >> 8),
                                    static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(channel >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    auto deadline = Clock::now() + timeout;
    for (std::size_t offset = 0; offset < frame.size();) {
        while (freeBuffers_ == 0) {
            auto now = Clock::now();
            if (now >= deadline || transport_.Closed()) throw HostError("no ACL buffer came free");
            Pump(std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
        }
        std::size_t length = std::min<std::size_t>(info_.aclMtu, frame.size() - offset);
        Send(hci::MakeAcl(handle, offset == 0 ? hci::AclFirstFlushable : hci::AclContinuing,
                          std::span(frame).subspan(offset, length)));
        --freeBuffers_;
        ++inFlight_[handle];
        offset += length;
    }
}

std::optional<L2capFrame> HostStack::ReceiveL2cap(Millis timeout) {
    auto deadline = Clock::now() + timeout;
    while (frames_.empty()) {
        auto now = Clock::now();
        bool linkDown = std::any_of(events_.begin(), events_.end(),
                                    [](const Packet& p) { return p[1] == hci::DisconnectionComplete; });
        if (now >= deadline || transport_.Closed() || linkDown) return std::nullopt;
        Pump(std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
    }
    L2capFrame frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
}

void HostStack::ForgetConnection(std::uint16_t handle) {
    freeBuffers_ += inFlight_[handle];
    inFlight_.erase(handle);
    partial_.erase(handle);
}

} // namespace wsim
