#include "device_transport.h"

namespace wsim {
namespace {

// Room for any packet the driver's receive rings can hold whole, type byte included.
constexpr DWORD kReadRoom = 4096 + 1;

enum : std::uint8_t { kCommandPacket = 0x01, kEventPacket = 0x04 };
enum : std::uint8_t { kCommandComplete = 0x0e, kCommandStatus = 0x0f };

// The opcode a Command Complete or Command Status answers, -1 for any other packet.
int AnsweredOpcode(const Packet& p) {
    if (p.size() < 3 || p[0] != kEventPacket) return -1;
    std::size_t at = p[1] == kCommandComplete ? 4 : p[1] == kCommandStatus ? 5 : 0;
    if (at == 0 || p.size() < at + 2) return -1;
    return p[at] | (p[at + 1] << 8);
}

} // namespace

bool DeviceTransport::Send(const Packet& packet) {
    if (Closed()) return false;
    if (packet.size() >= 4 && packet[0] == kCommandPacket) {
        pendingOpcode_ = packet[1] | (packet[2] << 8);
        sentAt_ = std::chrono::steady_clock::now();
    }
    DWORD written = 0;
    if (!WriteFile(device_, packet.data(), static_cast<DWORD>(packet.size()), &written, nullptr)) {
        failure_ = GetLastError();
        return false;
    }
    return written == packet.size();
}

void DeviceTransport::TimeAnswer(const Packet& event) {
    if (pendingOpcode_ < 0 || AnsweredOpcode(event) != pendingOpcode_) return;
    std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - sentAt_;
    commandRoundTripsMs_.push_back(elapsed.count());
    pendingOpcode_ = -1;
}

std::optional<Packet> DeviceTransport::Receive(std::chrono::microseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    Packet buffer(kReadRoom);
    // An answer usually follows a request closely: poll at once, then back off.
    for (unsigned attempt = 0; !Closed(); ++attempt) {
        DWORD read = 0;
        if (!ReadFile(device_, buffer.data(), kReadRoom, &read, nullptr)) {
            failure_ = GetLastError();
            break;
        }
        if (read > 0) {
            buffer.resize(read);
            TimeAnswer(buffer);
            return buffer;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        Sleep(attempt < 64 ? 0 : 1);
    }
    return std::nullopt;
}

} // namespace wsim
