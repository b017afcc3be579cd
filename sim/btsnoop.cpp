#include "btsnoop.h"

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace wsim {
namespace {

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kDatalinkH4 = 1002;
// Microseconds from 0000-01-01 (the format's epoch) to 1970-01-01.
constexpr std::uint64_t kEpochOffsetMicros = 0x00dcddb30f2f8000ULL;

constexpr std::uint32_t kFlagReceived = 1;
constexpr std::uint32_t kFlagCommandOrEvent = 2;

void PutBig32(std::uint8_t* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

void PutBig64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
}

} // namespace

BtsnoopWriter::BtsnoopWriter(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    std::uint8_t header[16] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
    PutBig32(header + 8, kVersion);
    PutBig32(header + 12, kDatalinkH4);
    std::fwrite(header, 1, sizeof(header), file_);
    std::fflush(file_);
}

BtsnoopWriter::~BtsnoopWriter() { std::fclose(file_); }

void BtsnoopWriter::Write(Direction direction, const Packet& packet) {
    std::uint32_t flags = direction == Direction::Received ? kFlagReceived : 0;
    if (!packet.empty() && (packet[0] == 0x01 || packet[0] == 0x04)) flags |= kFlagCommandOrEvent;
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    std::uint8_t record[24];
    auto length = static_cast<std::uint32_t>(packet.size());
    PutBig32(record, length);      // original length
    PutBig32(record + 4, length);  // included length
    PutBig32(record + 8, flags);
    PutBig32(record + 12, 0);      // cumulative drops
    PutBig64(record + 16, kEpochOffsetMicros + static_cast<std::uint64_t>(micros));
    std::fwrite(record, 1, sizeof(record), file_);
    std::fwrite(packet.data(), 1, packet.size(), file_);
    std::fflush(file_);
}

} // namespace wsim
