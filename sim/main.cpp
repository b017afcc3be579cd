// wrenlok-sim: one Linux process playing one machine with the driver, or the
// two-machine demo.
//
//   wrenlok-sim --role A|B [--socket PATH] [--driver PATH] [--debug-level N] [--btsnoop FILE] [--quiet]
//   wrenlok-sim --demo [--btsnoop-dir DIR] [--driver PATH] [--debug-level N]
#include "btvirt.h"
#include "machine_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: wrenlok-sim --role A|B [--socket PATH] [--driver PATH] [--debug-level N]\n"
                 "                   [--btsnoop FILE] [--quiet]\n"
                 "       wrenlok-sim --demo [--btsnoop-dir DIR] [--driver PATH] [--debug-level N]\n");
    return 2;
}

std::string SelfPath(const char* argv0) {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? argv0 : self.string();
}

} // namespace

int main(int argc, char** argv) {
    wsim::MachineOptions machine;
    wsim::DemoOptions demo;
    bool runDemo = false;
    machine.driverPath = WRENLOK_DRIVER_PATH;
    demo.btsnoopDirectory = "btsnoop";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--demo") runDemo = true;
        else if (arg == "--quiet") machine.trace = false;
        else if (arg == "--role" && (v = value()) && (v[0] == 'A' || v[0] == 'B') && !v[1]) machine.role = v[0];
        else if (arg == "--socket" && (v = value())) machine.socketPath = v;
        else if (arg == "--driver" && (v = value())) machine.driverPath = v;
        else if (arg == "--debug-level" && (v = value())) machine.debugLevel = std::strtoul(v, nullptr, 0);
        else if (arg == "--btsnoop" && (v = value())) machine.btsnoopPath = v;
        else if (arg == "--btsnoop-dir" && (v = value())) demo.btsnoopDirectory = v;
        else return Usage();
    }
    try {
        if (runDemo) {
            demo.self = SelfPath(argv[0]);
            demo.driverPath = machine.driverPath;
            demo.debugLevel = machine.debugLevel;
            return wsim::RunDemo(demo);
        }
        // With no socket named, a running emulator is used, or one is started for this run.
        std::unique_ptr<wsim::Btvirt> ownBtvirt;
        if (machine.socketPath.empty()) {
            if (wsim::SocketAnswers(wsim::kDefaultBtvirtSocket)) {
                machine.socketPath = wsim::kDefaultBtvirtSocket;
            } else {
                ownBtvirt = wsim::Btvirt::Start();
                machine.socketPath = ownBtvirt->SocketPath();
                std::printf("%c * started btvirt at %s\n", machine.role, machine.socketPath.c_str());
            }
        }
        return wsim::RunMachine(machine);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wrenlok-sim: %s\n", e.what());
        return 1;
    }
}
