#include "trace.h"

#include "hci.h"

#include <cstdarg>

namespace wsim {
namespace {

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

hci::BdAddr AddressAt(const std::uint8_t* p) {
    hci::BdAddr a;
    std::copy(p, p + 6, a.begin());
    return a;
}

// What the return parameters of the commands the host stack uses say.
std::string DescribeReturn(std::uint16_t opcode, const std::uint8_t* r, std::size_t length) {
    if (length < 1) return "";
    std::string text = Format(" status 0x%02x", r[0]);
    if (opcode == hci::ReadBdAddr && length >= 7) text += " address " + hci::ToString(AddressAt(r + 1));
    if (opcode == hci::ReadLocalVersion && length >= 9)
        text += Format(" HCI version %u revision 0x%04x manufacturer %u", r[1], hci::Get16(r + 2), hci::Get16(r + 5));
    if (opcode == hci::ReadBufferSize && length >= 8)
        text += Format(" ACL MTU %u packets %u", hci::Get16(r + 1), hci::Get16(r + 4));
    return text;
}

std::string DescribeEvent(const Packet& p) {
    const std::uint8_t* e = hci::EventParameters(p);
    std::size_t n = hci::EventParameterLength(p);
    std::string text = Format("Event %s (0x%02x) plen %u", hci::EventName(p[1]), p[1], p[2]);
    if (n != p[2]) return text + Format(" (%zu bytes present)", n);
    switch (p[1]) {
    case hci::CommandComplete:
        if (n >= 3) {
            std::uint16_t opcode = hci::Get16(e + 1);
            text += Format(": %s (0x%04x)", hci::CommandName(opcode), opcode) + DescribeReturn(opcode, e + 3, n - 3);
        }
        break;
    case hci::CommandStatus:
        if (n >= 4) {
            std::uint16_t opcode = hci::Get16(e + 2);
            text += Format(": %s (0x%04x) status 0x%02x", hci::CommandName(opcode), opcode, e[0]);
        }
        break;
    case hci::InquiryResult:
        for (std::size_t i = 0; n >= 1 && i < e[0] && 1 + 6 * (i + 1) <= n; ++i)
            text += " " + hci::ToString(AddressAt(e + 1 + 6 * i));
        break;
    case hci::ConnectionComplete:
        if (n >= 11)
            text += Format(": status 0x%02x handle %u ", e[0], hci::Get16(e + 1)) + hci::ToString(AddressAt(e + 3));
        break;
    case hci::ConnectionRequest:
        if (n >= 6) text += ": " + hci::ToString(AddressAt(e));
        break;
    case hci::DisconnectionComplete:
        if (n >= 4) text += Format(": status 0x%02x handle %u reason 0x%02x", e[0], hci::Get16(e + 1), e[3]);
        break;
    case hci::NumberOfCompletedPackets:
        if (n >= 5) text += Format(": handle %u count %u", hci::Get16(e + 1), hci::Get16(e + 3));
        break;
    case hci::InquiryComplete:
        if (n >= 1) text += Format(": status 0x%02x", e[0]);
        break;
    default:
        break;
    }
    return text;
}

} // namespace

std::string DescribePacket(const Packet& p) {
    if (p.size() >= 4 && p[0] == 0x01) {
        std::uint16_t opcode = hci::Get16(p.data() + 1);
        return Format("Command %s (0x%04x) plen %u", hci::CommandName(opcode), opcode, p[3]);
    }
    if (p.size() >= 3 && p[0] == 0x04) return DescribeEvent(p);
    if (p.size() >= 5 && p[0] == 0x02)
        return Format("ACL handle %u flags 0x%x dlen %u", hci::AclHandle(p), hci::AclBoundary(p), hci::Get16(p.data() + 3));
    return Format("Packet type 0x%02x, %zu bytes", p.empty() ? 0 : p[0], p.size());
}

PacketLog::PacketLog(std::string prefix, std::FILE* out, std::unique_ptr<BtsnoopWriter> btsnoop)
    : prefix_(std::move(prefix)), out_(out), btsnoop_(std::move(btsnoop)) {}

void PacketLog::Record(Direction direction, const Packet& packet) {
    if (btsnoop_) btsnoop_->Write(direction, packet);
    if (out_) {
        std::fprintf(out_, "%s %s %s\n", prefix_.c_str(), direction == Direction::Sent ? ">" : "<",
                     DescribePacket(packet).c_str());
        std::fflush(out_);
    }
}

void PacketLog::Note(const std::string& text) {
    if (out_) {
        std::fprintf(out_, "%s * %s\n", prefix_.c_str(), text.c_str());
        std::fflush(out_);
    }
}

} // namespace wsim
