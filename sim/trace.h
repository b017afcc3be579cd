// One readable line per HCI packet, and the log every packet of a session passes.
#pragma once

#include "btsnoop.h"
#include "transport.h"

#include <cstdio>
#include <memory>
#include <string>

namespace wsim {

// "Command Reset (0x0c03) plen 0", "Event Command Complete (0x0e) plen 4: Reset status 0x00", ...
std::string DescribePacket(const Packet& packet);

// Where every packet written and read goes: a trace on `out` (none when null),
// each line led by `prefix`, and optionally a btsnoop file.
class PacketLog {
public:
    PacketLog(std::string prefix, std::FILE* out, std::unique_ptr<BtsnoopWriter> btsnoop = nullptr);

    void Record(Direction direction, const Packet& packet);
    // A line of narration between packets.
    void Note(const std::string& text);

    const BtsnoopWriter* Btsnoop() const { return btsnoop_.get(); }

private:
    std::string prefix_;
    std::FILE* out_;
    std::unique_ptr<BtsnoopWriter> btsnoop_;
};

} // namespace wsim
