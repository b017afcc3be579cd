// btsnoop capture files (version 1, datalink 1002: H4, the type byte kept), the
// form packet analysers read.
#pragma once

#include "transport.h"

#include <cstdio>
#include <string>

namespace wsim {

enum class Direction { Sent, Received };

class BtsnoopWriter {
public:
    // Creates (truncates) `path`; throws std::runtime_error when it cannot.
    explicit BtsnoopWriter(const std::string& path);
    ~BtsnoopWriter();
    BtsnoopWriter(const BtsnoopWriter&) = delete;
    BtsnoopWriter& operator=(const BtsnoopWriter&) = delete;

    // Appends one record stamped with the wall-clock time; flushed at once so
    // the file stays readable if the process dies.
    void Write(Direction direction, const Packet& packet);

    const std::string& Path() const { return path_; }

private:
    std::string path_;
    std::FILE* file_;
};

} // namespace wsim
