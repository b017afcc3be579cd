// H4: one packet-type byte, then the HCI packet. A byte stream carries no other
// framing, so a reader must know each packet type's header to find where the
// packet ends; one unknown type byte and the stream cannot be followed further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace usbsim::h4 {

enum : std::uint8_t { Command = 0x01, Acl = 0x02, Sco = 0x03, Event = 0x04 };

// Header length of a packet type (type byte not counted), 0 for an unknown type.
inline std::size_t HeaderLength(std::uint8_t type) {
    switch (type) {
    case Command: return 3;
    case Acl: return 4;
    case Sco: return 3;
    case Event: return 2;
    default: return 0;
    }
}

// Parameter/data length announced by a complete header.
inline std::size_t PayloadLength(std::uint8_t type, const std::uint8_t* header) {
    switch (type) {
    case Command: return header[2];
    case Acl: return header[2] | (header[3] << 8);
    case Sco: return header[2];
    case Event: return header[1];
    default: return 0;
    }
}

// Follows a byte stream packet by packet. Feed() bytes as they come; each byte is
// attributed to the packet it belongs to, so a consumer can pass bytes on before
// their packet is whole.
class StreamCursor {
public:
    struct Piece {
        std::uint8_t type;        // the packet this run of bytes belongs to
        bool packetStart;         // the run begins a packet (its header follows)
        bool packetEnd;           // the run ends the packet
        const std::uint8_t* data; // packet bytes only, the type byte left out
        std::size_t length;
    };

    // Splits `data` into runs of bytes of one packet each and hands them to
    // `sink`. Returns false (and stops) at a byte that cannot start a packet.
    template <typename Sink>
    bool Feed(const std::uint8_t* data, std::size_t length, Sink&& sink) {
        while (length > 0) {
            if (phase_ == Phase::Idle) {
                if (HeaderLength(data[0]) == 0) return false;
                type_ = data[0];
                phase_ = Phase::Header;
                headerHave_ = 0;
                started_ = false;
                ++data;
                --length;
                continue;
            }
            std::size_t run = 0;
            while (run < length && phase_ != Phase::Done) {
                if (phase_ == Phase::Header) {
                    header_[headerHave_++] = data[run++];
                    if (headerHave_ == HeaderLength(type_)) {
                        payloadLeft_ = PayloadLength(type_, header_);
                        phase_ = payloadLeft_ ? Phase::Payload : Phase::Done;
                    }
                } else {
                    std::size_t take = payloadLeft_ < length - run ? payloadLeft_ : length - run;
                    run += take;
                    payloadLeft_ -= take;
                    if (payloadLeft_ == 0) phase_ = Phase::Done;
                }
            }
            bool end = phase_ == Phase::Done;
            sink(Piece{type_, !started_, end, data, run});
            started_ = true;
            data += run;
            length -= run;
            if (end) phase_ = Phase::Idle;
        }
        return true;
    }

    bool InPacket() const { return phase_ != Phase::Idle; }

private:
    enum class Phase { Idle, Header, Payload, Done };
    Phase phase_ = Phase::Idle;
    bool started_ = false;
    std::uint8_t type_ = 0;
    std::uint8_t header_[4] = {};
    std::size_t headerHave_ = 0;
    std::size_t payloadLeft_ = 0;
};

// Collects whole packets (type byte first) out of a byte stream.
class PacketAssembler {
public:
    template <typename OnPacket>
    bool Feed(const std::uint8_t* data, std::size_t length, OnPacket&& onPacket) {
        return cursor_.Feed(data, length, [&](const StreamCursor::Piece& piece) {
            if (piece.packetStart) {
                current_.clear();
                current_.push_back(piece.type);
            }
            current_.insert(current_.end(), piece.data, piece.data + piece.length);
            if (piece.packetEnd) onPacket(current_);
        });
    }

    bool InPacket() const { return cursor_.InPacket(); }

private:
    StreamCursor cursor_;
    std::vector<std::uint8_t> current_;
};

} // namespace usbsim::h4
