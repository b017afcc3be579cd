// One wrenlok-sim machine from start to end: the driver loaded, the radio
// plugged in, the role's session over the driver's device, the radio leaving
// and the driver unloading; and the two-machine demo that runs two of them.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace wsim {

struct MachineOptions {
    char role = 'A';             // 'A' accepts and echoes, 'B' finds A and sends
    std::string socketPath;      // the controller emulator's socket
    std::string driverPath;
    unsigned long debugLevel = 0;
    std::string btsnoopPath;     // empty: no capture
    bool trace = true;           // the readable HCI trace on stdout
};

// Runs one machine; the exit code is 0 when its part of the session went as
// it should and the driver unloaded with nothing left.
int RunMachine(const MachineOptions& options);

struct DemoOptions {
    std::string self;            // this program, started once per machine
    std::string driverPath;
    unsigned long debugLevel = 0;
    std::string btsnoopDirectory; // where a.btsnoop and b.btsnoop go
};

// Two machines on one controller emulator (started privately for the run).
int RunDemo(const DemoOptions& options);

} // namespace wsim
