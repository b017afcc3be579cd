// wrenlok-sim for Windows: the host stack of wrenlok-sim as a Win32 console
// program, one machine of the demo's session on a driver that Windows (here
// Wine's kernel) PnP-started from the package's INF. Its radio is the test
// bus's PDO, bridged to a controller of the emulator outside through
// wrenlok-wine-relay.
//
//   wrenlok-sim.exe --role A|B --relay PORT [--btsnoop FILE] [--quiet]
//   wrenlok-sim.exe --serve --relay PORT     (the benchmark's requests, see bench_server.h)
// Winsock before windows.h, which the others bring in.
#include "radio_bridge.h"

#include "bench_server.h"
#include "device_transport.h"
#include "echo_session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace {

// Install, load and start on a busy machine.
constexpr DWORD kStartMilliseconds = 30000;

int Usage() {
    std::fprintf(stderr, "usage: wrenlok-sim.exe --role A|B --relay PORT [--btsnoop FILE] [--quiet]\n"
                         "       wrenlok-sim.exe --serve --relay PORT\n");
    return 2;
}

HANDLE OpenDevice() {
    return CreateFileA("\\\\.\\Wrenlok0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// The PnP manager starts the device on its own thread; nothing announces it to a console program.
HANDLE OpenDeviceWithin(DWORD milliseconds) {
    DWORD start = GetTickCount();
    HANDLE device;
    while ((device = OpenDevice()) == INVALID_HANDLE_VALUE && GetTickCount() - start < milliseconds) Sleep(20);
    return device;
}

bool WaitForLinkGone(DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE probe = OpenDevice();
        if (probe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) return true;
        if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(20);
    }
}

double RealMilliseconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void PrintSummary(char role, const wsim::TrafficCounters& c, const wsim::EchoResult& r,
                  const std::vector<double>& commandMs, const std::string& btsnoop) {
    wsim::PrintSessionSummary(role, c, r, "real time");
    std::printf("%c summary: %zu command round trips in real time: p50 %.3f ms, p90 %.3f ms, max %.3f ms\n", role,
                commandMs.size(), wsim::Percentile(commandMs, 50), wsim::Percentile(commandMs, 90),
                wsim::Percentile(commandMs, 100));
    if (!btsnoop.empty()) std::printf("%c summary: btsnoop capture: %s\n", role, btsnoop.c_str());
    std::fflush(stdout);
}

int Run(char role, unsigned short port, const std::string& btsnoopPath, bool trace) {
    auto btsnoop = btsnoopPath.empty() ? nullptr : std::make_unique<wsim::BtsnoopWriter>(btsnoopPath);
    wsim::PacketLog log(std::string(1, role), trace ? stdout : nullptr, std::move(btsnoop));
    wsim::RadioBridge radio(port);
    HANDLE device = OpenDeviceWithin(kStartMilliseconds);
    if (device == INVALID_HANDLE_VALUE) {
        log.Note("FAILED: the driver never started the radio");
        return 1;
    }
    log.Note("driver PnP-started from its INF, radio bridged to the controller; opened \\\\.\\Wrenlok0");

    bool ok = true;
    wsim::EchoResult result;
    wsim::DeviceTransport transport(device);
    wsim::HostStack host(transport, log);
    wsim::EchoOptions echo;
    try {
        result = role == 'A' ? wsim::RunAcceptor(host, echo) : wsim::RunInitiator(host, echo, RealMilliseconds);
        log.Note("controller " + wsim::hci::ToString(result.controller.address) + ", peer " +
                 wsim::hci::ToString(result.peer));
    } catch (const wsim::HostError& e) {
        log.Note(std::string("FAILED: ") + e.what());
        ok = false;
    }
    if (role == 'B' && result.matched != echo.payloadSizes.size()) ok = false;

    if (role == 'A') {
        log.Note("pulling the radio out while the handle is still open");
        radio.Pull();
        if (!WaitForLinkGone(kStartMilliseconds)) {
            log.Note("FAILED: the radio's leaving never reached the driver");
            ok = false;
        }
        // Wine removes the device at once and refuses the handle itself.
        std::uint8_t buffer[64];
        DWORD read = 0;
        BOOL done = ReadFile(device, buffer, sizeof(buffer), &read, nullptr);
        log.Note("read on the open handle after removal: " +
                 (done ? std::string("succeeded") : "error " + std::to_string(GetLastError())));
        if (done) ok = false;
    }
    CloseHandle(device);
    PrintSummary(role, host.Counters(), result, transport.CommandRoundTripsMs(), btsnoopPath);
    return ok ? 0 : 1;
}

// The driver started and the controller initialised, then the benchmark's requests until it is done.
int Serve(unsigned short port) {
    wsim::PacketLog log("A", nullptr);
    wsim::RadioBridge radio(port);
    HANDLE device = OpenDeviceWithin(kStartMilliseconds);
    if (device == INVALID_HANDLE_VALUE) {
        std::printf("failed the driver never started the radio\n");
        return 1;
    }
    int status = 0;
    {
        wsim::DeviceTransport transport(device);
        wsim::HostStack host(transport, log);
        try {
            host.Initialize();
            std::printf("ready\n");
            wsim::ServeBenchmark(host, stdin, stdout);
        } catch (const wsim::HostError& e) {
            std::printf("failed %s\n", e.what());
            status = 1;
        }
    }
    radio.Pull();
    CloseHandle(device);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // The trace interleaves with the other machine's: every line leaves at once.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    char role = 0;
    unsigned long port = 0;
    std::string btsnoop;
    bool trace = true;
    bool serve = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--quiet") trace = false;
        else if (arg == "--serve") serve = true;
        else if (arg == "--role" && v && (v[0] == 'A' || v[0] == 'B') && !v[1]) role = argv[++i][0];
        else if (arg == "--relay" && v) port = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--btsnoop" && v) btsnoop = argv[++i];
        else return Usage();
    }
    if ((role == 0) == !serve || port == 0 || port > 65535) return Usage();
    try {
        if (serve) return Serve(static_cast<unsigned short>(port));
        return Run(role, static_cast<unsigned short>(port), btsnoop, trace);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wrenlok-sim: %s\n", e.what());
        return 1;
    }
}
