/*
 * A private Wine machine for one test: a copy of a pristine prefix that is
 * prepared once per run, its own server, and the runs of Windows programs
 * in it. The large folders of Wine's own libraries are hard links into the
 * pristine prefix, which nothing writes once Wine has set it up.
 */
#pragma once

#include "tool_run.h"

#include <string>
#include <vector>

namespace tooltest {

struct WineRun {
    int exitCode = -1;
    std::string out; /* standard output and error, Windows line ends turned into '\n' */
    std::string err;
};

/* Names a pristine prefix prepared beforehand; without it the suite prepares its own. */
inline constexpr const char *kPristinePrefixVariable = "WRENLOK_WINE_PRISTINE";

/* arch is "win32" or "win64": the kind of prefix the programs under test need. */
class WinePristinePrefix {
public:
    explicit WinePristinePrefix(std::string arch);
    ~WinePristinePrefix();
    WinePristinePrefix(const WinePristinePrefix &) = delete;
    WinePristinePrefix &operator=(const WinePristinePrefix &) = delete;
    bool ready() const { return ready_; }
    const std::string &path() const { return path_; }
    const std::string &arch() const { return arch_; }

private:
    TempFolder folder_;
    std::string arch_;
    std::string path_;
    bool own_ = false;
    bool ready_ = false;
};

class WineMachine {
public:
    explicit WineMachine(const WinePristinePrefix &pristine);
    ~WineMachine();
    WineMachine(const WineMachine &) = delete;
    WineMachine &operator=(const WineMachine &) = delete;

    /* Runs a Windows program from `folder` (none: the scratch folder), ended after 60 seconds at most. */
    WineRun run(const std::vector<std::string> &args, const std::string &folder = "", const std::string &input = "");

private:
    TempFolder folder_;
    std::string prefix_;
    std::string arch_;
};

} // namespace tooltest
