/*
 * Runs a Linux build of a setup program as its own process against a
 * machine written to a state file, and reads the machine back afterwards.
 */
#pragma once

#include "host/machine.h"

#include <optional>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
    w32::Machine after;
};

struct RunOptions {
    std::optional<std::string> input = std::string(); /* none: the process gets no standard input */
    bool withOutput = true;                              /* false: no standard output either */
};

/* A run that ends with a registry key or device information set still open fails the test. */
ToolRun runTool(const std::string &program, const std::vector<std::string> &args, const w32::Machine &before,
                const RunOptions &options = {});

/* A private folder, removed with the object. */
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;
    const std::string &path() const { return path_; }
    void write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

/* Fails the test when the process holds registry keys or device information sets open. */
void expectNothingOpen();

/* The journal without the entries that are not of the given kinds. */
std::vector<std::string> eventsOf(const w32::Machine &m, const std::vector<std::string> &prefixes);

} // namespace tooltest
