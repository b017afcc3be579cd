#include "machine_run.h"

#include "btvirt.h"
#include "driver_machine.h"
#include "driver_transport.h"
#include "echo_session.h"

#include <radios/h4_radio.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace wsim {
namespace {

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

double DriverMilliseconds() { return wrk::DriverTimeSeconds() * 1000.0; }

void PrintSummary(char role, const TrafficCounters& c, const EchoResult& r, const UnloadReport& unload,
                  const std::string& btsnoop) {
    PrintSessionSummary(role, c, r, "driver time");
    std::printf("%c summary: pool left at unload: %zu block(s) with the driver's tag", role, unload.driverPoolBlocks);
    if (unload.leaks.empty()) std::printf(", nothing else left behind\n");
    else std::printf("\n");
    for (const auto& leak : unload.leaks) std::printf("%c summary: LEFT BEHIND: %s\n", role, leak.c_str());
    if (!btsnoop.empty()) std::printf("%c summary: btsnoop capture: %s\n", role, btsnoop.c_str());
    std::fflush(stdout);
}

} // namespace

int RunMachine(const MachineOptions& options) {
    const char role = options.role;
    auto btsnoop = options.btsnoopPath.empty() ? nullptr : std::make_unique<BtsnoopWriter>(options.btsnoopPath);
    PacketLog log(std::string(1, role), options.trace ? stdout : nullptr, std::move(btsnoop));
    if (options.debugLevel != 0) wrk::SetDebugEcho(true);

    bool ok = true;
    EchoResult result;
    TrafficCounters counters;
    UnloadReport unload;
    // The radio outlives the machine: the bus holds on to it until it goes.
    auto radio = usbsim::H4Radio::Connect(options.socketPath);
    {
        DriverMachine machine(options.driverPath, options.debugLevel, *radio);
        log.Note("driver loaded with DebugLevel " + std::to_string(options.debugLevel) +
                 ", radio started; opening \\DosDevices\\Wrenlok0");
        auto file = machine.Open();
        DriverTransport transport(*file, machine.InTransfers());
        HostStack host(transport, log);
        EchoOptions echo;
        try {
            result = role == 'A' ? RunAcceptor(host, echo) : RunInitiator(host, echo, DriverMilliseconds);
            log.Note("controller " + hci::ToString(result.controller.address) + ", peer " +
                     hci::ToString(result.peer));
        } catch (const HostError& e) {
            log.Note(std::string("FAILED: ") + e.what());
            ok = false;
        }
        counters = host.Counters();
        if (role == 'B' && result.matched != echo.payloadSizes.size()) ok = false;

        if (role == 'A') {
            log.Note("pulling the radio out while the handle is still open");
            radio->Disconnect();
            if (!machine.WaitForSurpriseRemoval(std::chrono::seconds(10))) {
                log.Note("FAILED: the radio's leaving never reached the driver");
                ok = false;
            }
            std::uint8_t buffer[64];
            ULONG read = 0;
            NTSTATUS status = file->Read(buffer, sizeof(buffer), &read);
            log.Note("read on the open handle after removal: status " + Hex(status));
            if (status != STATUS_DEVICE_NOT_CONNECTED) ok = false;
            file->Close();
        } else {
            file->Close();
            if (NTSTATUS status = machine.RequestRemoval(); !NT_SUCCESS(status)) {
                log.Note("FAILED: removal refused with " + Hex(status));
                ok = false;
            }
        }
        file.reset();
        if (wrk::PnpDeviceState(machine.Pdo()) != wrk::PnpState::Removed) {
            log.Note("FAILED: the device was not removed");
            ok = false;
        }
        unload = machine.Unload();
        log.Note("driver unloaded");
    }
    if (!unload.Clean()) ok = false;
    PrintSummary(role, counters, result, unload, options.btsnoopPath);
    return ok ? 0 : 1;
}

int RunDemo(const DemoOptions& options) {
    auto btvirt = Btvirt::Start();
    std::filesystem::create_directories(options.btsnoopDirectory);
    std::string snoopA = std::filesystem::absolute(options.btsnoopDirectory + "/a.btsnoop");
    std::string snoopB = std::filesystem::absolute(options.btsnoopDirectory + "/b.btsnoop");
    std::printf("demo: btvirt (pid %d) serves controllers at %s\n", btvirt->Pid(), btvirt->SocketPath().c_str());
    std::printf("demo: machine A makes itself discoverable, accepts B's connection and echoes every payload back;\n"
                "demo: machine B finds A by inquiry, connects, sends L2CAP echo requests of 1 to 1021 bytes\n"
                "demo: and compares each answer. Then A's radio is pulled out under an open handle.\n");
    std::fflush(stdout);

    auto start = [&](char role, const std::string& snoop) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::string debug = std::to_string(options.debugLevel);
            std::string roleText(1, role);
            ::execl(options.self.c_str(), options.self.c_str(), "--role", roleText.c_str(), "--socket",
                    btvirt->SocketPath().c_str(), "--driver", options.driverPath.c_str(), "--debug-level",
                    debug.c_str(), "--btsnoop", snoop.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    pid_t a = start('A', snoopA);
    pid_t b = start('B', snoopB);
    int exitA = -1, exitB = -1;
    for (int left = 2; left > 0; --left) {
        int status = 0;
        pid_t done = ::waitpid(-1, &status, 0);
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        (done == a ? exitA : exitB) = code;
        // One machine failing leaves the other waiting for a peer that never comes.
        if (code != 0 && left == 2) ::kill(done == a ? b : a, SIGTERM);
    }
    bool ok = exitA == 0 && exitB == 0;
    std::printf("demo: %s\n", ok ? "both machines done: every payload came back as sent, no pool left at unload"
                                 : "FAILED");
    if (!ok) std::printf("demo: machine A exit %d, machine B exit %d\n", exitA, exitB);
    std::printf("demo: btsnoop captures (decode with btmon -r FILE):\ndemo:   A: %s\ndemo:   B: %s\n",
                snoopA.c_str(), snoopB.c_str());
    std::fflush(stdout);
    return ok ? 0 : 1;
}

} // namespace wsim
