// Running a program from a test and looking at what it printed.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace wtest {

struct CommandOutput {
    int exitCode = -1;
    std::string text;  // standard output and standard error, interleaved
};

inline CommandOutput RunCommand(const std::string& command) {
    CommandOutput out;
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return out;
    std::array<char, 4096> chunk;
    while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe)) out.text.append(chunk.data(), n);
    int status = ::pclose(pipe);
    out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// How often `needle` occurs in `text`, overlapping occurrences included.
inline std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace wtest
