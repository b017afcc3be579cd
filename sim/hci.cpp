#include "hci.h"

#include <cstdio>

namespace wsim::hci {

std::string ToString(const BdAddr& a) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
    return text;
}

Packet MakeCommand(std::uint16_t opcode, std::span<const std::uint8_t> parameters) {
    Packet p{0x01, static_cast<std::uint8_t>(opcode), static_cast<std::uint8_t>(opcode >> 8),
             static_cast<std::uint8_t>(parameters.size())};
    p.insert(p.end(), parameters.begin(), parameters.end());
    return p;
}

Packet MakeAcl(std::uint16_t handle, std::uint8_t boundaryFlags, std::span<const std::uint8_t> data) {
    std::uint16_t first = static_cast<std::uint16_t>((handle & 0x0fff) | (boundaryFlags << 12));
    Packet p{0x02, static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(first >> 8),
             static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(data.size() >> 8)};
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

const char* CommandName(std::uint16_t opcode) {
    switch (opcode) {
    case Inquiry: return "Inquiry";
    case CreateConnection: return "Create Connection";
    case Disconnect: return "Disconnect";
    case AcceptConnectionRequest: return "Accept Connection Request";
    case Reset: return "Reset";
    case WriteScanEnable: return "Write Scan Enable";
    case ReadLocalVersion: return "Read Local Version Information";
    case ReadBufferSize: return "Read Buffer Size";
    case ReadBdAddr: return "Read BD_ADDR";
    default: return "Unknown";
    }
}

const char* EventName(std::uint8_t code) {
    switch (code) {
    case InquiryComplete: return "Inquiry Complete";
    case InquiryResult: return "Inquiry Result";
    case ConnectionComplete: return "Connect Complete";
    case ConnectionRequest: return "Connect Request";
    case DisconnectionComplete: return "Disconnect Complete";
    case CommandComplete: return "Command Complete";
    case CommandStatus: return "Command Status";
    case NumberOfCompletedPackets: return "Number of Completed Packets";
    case 0x1b: return "Max Slots Change";
    case 0x20: return "Page Scan Repetition Mode Change";
    default: return "Unknown";
    }
}

} // namespace wsim::hci
