// The few HCI commands and events the host stack uses, and packet builders.
#pragma once

#include "transport.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace wsim::hci {

enum Opcode : std::uint16_t {
    Inquiry = 0x0401,
    CreateConnection = 0x0405,
    Disconnect = 0x0406,
    AcceptConnectionRequest = 0x0409,
    Reset = 0x0c03,
    WriteScanEnable = 0x0c1a,
    ReadLocalVersion = 0x1001,
    ReadBufferSize = 0x1005,
    ReadBdAddr = 0x1009,
};

enum EventCode : std::uint8_t {
    InquiryComplete = 0x01,
    InquiryResult = 0x02,
    ConnectionComplete = 0x03,
    ConnectionRequest = 0x04,
    DisconnectionComplete = 0x05,
    CommandComplete = 0x0e,
    CommandStatus = 0x0f,
    NumberOfCompletedPackets = 0x13,
};

// ACL packet-boundary flags of the first fragment and of the ones that follow.
enum : std::uint8_t { AclContinuing = 0x01, AclFirstFlushable = 0x02 };

using BdAddr = std::array<std::uint8_t, 6>; // little-endian, as on the wire

std::string ToString(const BdAddr& address);

Packet MakeCommand(std::uint16_t opcode, std::span<const std::uint8_t> parameters = {});
Packet MakeAcl(std::uint16_t handle, std::uint8_t boundaryFlags, std::span<const std::uint8_t> data);

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Views of a received packet (type byte at [0]).
inline bool IsEvent(const Packet& p, std::uint8_t code) { return p.size() >= 3 && p[0] == 0x04 && p[1] == code; }
inline const std::uint8_t* EventParameters(const Packet& p) { return p.data() + 3; }
inline std::size_t EventParameterLength(const Packet& p) { return p.size() - 3; }
inline std::uint16_t AclHandle(const Packet& p) { return Get16(p.data() + 1) & 0x0fff; }
inline std::uint8_t AclBoundary(const Packet& p) { return (p[2] >> 4) & 0x03; }
inline std::span<const std::uint8_t> AclData(const Packet& p) { return {p.data() + 5, p.size() - 5}; }

const char* CommandName(std::uint16_t opcode);
const char* EventName(std::uint8_t code);

} // namespace wsim::hci
