// Read BD_ADDR round trips and ACL throughput into machine A along three paths,
// side by side in one run: straight over the controller emulator's socket,
// through the driver on our emulation, and through the Windows machine (the
// x86 product image on Wine's kernel, its test-bus radio bridged to the same
// emulator). The Windows machine times its own round trips and says when its
// frames are in; the other paths are timed here the same way.
#include "bench_machine.h"
#include "btvirt.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace wsim;

constexpr std::size_t kFrameBytes = 1021;
constexpr std::uint16_t kDataChannel = 0x0040;
constexpr int kFramesPerIteration = 16;
// Wine starting a machine, installing two drivers and PnP-starting the radio on a busy machine.
constexpr int kAnswerMilliseconds = 120000;

enum Path : int { Straight = 0, OurEmulation = 1, WindowsMachine = 2 };

const char* PathName(std::int64_t path) {
    switch (path) {
    case Straight: return "straight to btvirt";
    case OurEmulation: return "through the driver on our emulation";
    default: return "through the Windows machine";
    }
}

// A program whose standard input and output are lines to and from this process.
class Child {
public:
    explicit Child(std::vector<std::string> command) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> argv;
        for (auto& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Child() {
        if (to_ >= 0) ::close(to_);
        ::close(from_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void Send(const std::string& line) {
        std::string text = line + "\n";
        if (::write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("the child stopped reading");
    }
    // The next line, without its line end; throws when none comes in time.
    std::string Line(int milliseconds = kAnswerMilliseconds) {
        for (;;) {
            if (auto end = buffered_.find('\n'); end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                return line;
            }
            pollfd ready{from_, POLLIN, 0};
            if (::poll(&ready, 1, milliseconds) <= 0) throw std::runtime_error("no answer in time");
            char chunk[512];
            ssize_t n = ::read(from_, chunk, sizeof(chunk));
            if (n <= 0) throw std::runtime_error("the child ended");
            buffered_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Ends its input: a child that serves until then finishes.
    void CloseInput() {
        ::close(to_);
        to_ = -1;
    }
    void Terminate() { ::kill(pid_, SIGTERM); }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string buffered_;
};

// The emulator every path uses, started by the relay through which the Windows machine reaches it.
struct Relay {
    Child child{{WRENLOK_RELAY_PATH}};
    std::string socket;
    std::string port;
    Relay() {
        socket = Field(child.Line(), "socket ");
        port = Field(child.Line(), "port ");
    }
    ~Relay() { child.Terminate(); }
    static std::string Field(const std::string& line, const std::string& name) {
        if (line.rfind(name, 0) != 0) throw std::runtime_error("the relay said: " + line);
        return line.substr(name.size());
    }
};

Relay& TheRelay() {
    static Relay relay;
    return relay;
}

// wrenlok-sim.exe serving under Wine until the benchmark ends.
class Windows {
public:
    Windows()
        : child_({WRENLOK_WINDOWS_MACHINE, WRENLOK_PRISTINE, WRENLOK_WINDOWS_WORK, "--serve", "--relay",
                  TheRelay().port}) {
        if (std::string line = child_.Line(); line != "ready")
            throw std::runtime_error("the Windows machine said: " + line);
    }
    ~Windows() { child_.CloseInput(); }
    std::string Ask(const std::string& request) {
        child_.Send(request);
        return child_.Line();
    }
    Child& Lines() { return child_; }

private:
    Child child_;
};

Windows& TheWindowsMachine() {
    static Windows windows;
    return windows;
}

hci::BdAddr ParseAddress(const std::string& text) {
    hci::BdAddr address{};
    unsigned fields[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                    &fields[5]) != 6)
        throw std::runtime_error("not an address: " + text);
    for (int i = 0; i < 6; ++i) address[5 - i] = static_cast<std::uint8_t>(fields[i]);
    return address;
}

// B pages A at `address` and returns B's connection handle once B sees the link up.
std::uint16_t Page(HostStack& b, const hci::BdAddr& address) {
    std::vector<std::uint8_t> create(address.begin(), address.end());
    create.insert(create.end(), {0x18, 0xcc, 0x01, 0x00, 0x00, 0x00, 0x01});
    b.CommandOk(hci::CreateConnection, create);
    auto done = b.WaitEvent(hci::ConnectionComplete, Millis(10000));
    if (!done || (*done)[3] != 0) throw HostError("no connection");
    return hci::Get16(done->data() + 4) & 0x0fff;
}

// A in this process accepts on a thread of its own while B pages it.
std::uint16_t ConnectLocal(HostStack& b, HostStack& a) {
    const std::uint8_t scan[] = {0x03};
    a.CommandOk(hci::WriteScanEnable, scan);
    std::atomic<bool> accepted{false};
    std::thread acceptor([&] {
        auto request = a.WaitEvent(hci::ConnectionRequest, Millis(10000));
        if (!request) return;
        std::vector<std::uint8_t> accept(request->begin() + 3, request->begin() + 9);
        accept.push_back(0x01);
        a.CommandOk(hci::AcceptConnectionRequest, accept);
        accepted = a.WaitEvent(hci::ConnectionComplete, Millis(10000)).has_value();
    });
    std::uint16_t handle = 0;
    try {
        handle = Page(b, a.Info().address);
    } catch (...) {
        acceptor.join();
        throw;
    }
    acceptor.join();
    if (!accepted) throw HostError("A saw no connection");
    return handle;
}

void ReadBdAddrRoundTrip(benchmark::State& state) {
    const auto path = state.range(0);
    state.SetLabel(PathName(path));
    if (path == WindowsMachine) {
        Windows& windows = TheWindowsMachine();
        for (auto _ : state) {
            std::string answer = windows.Ask("bdaddr");
            double micros = 0;
            if (std::sscanf(answer.c_str(), "bdaddr %lf", &micros) != 1) {
                state.SkipWithError(answer.c_str());
                break;
            }
            state.SetIterationTime(micros / 1e6);
        }
        return;
    }
    BenchMachine machine(TheRelay().socket, path == OurEmulation ? HostPath::Driver : HostPath::Straight);
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        machine.Host().CommandOk(hci::ReadBdAddr);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(ReadBdAddrRoundTrip)
    ->ArgName("path")
    ->Arg(Straight)
    ->Arg(OurEmulation)
    ->Arg(WindowsMachine)
    ->Iterations(400)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// B, straight on the socket, sends 1021-byte L2CAP frames within its credits
// to A on the path given, which takes them in as they come.
void AclThroughputToA(benchmark::State& state) {
    const auto path = state.range(0);
    state.SetLabel(std::string("A ") + PathName(path));
    const std::vector<std::uint8_t> frame(kFrameBytes, 0xa5);
    BenchMachine b(TheRelay().socket, HostPath::Straight);
    if (path == WindowsMachine) {
        Windows& windows = TheWindowsMachine();
        std::string scanning = windows.Ask("accept");
        if (scanning.rfind("scanning ", 0) != 0) return state.SkipWithError(scanning.c_str());
        std::uint16_t handle = Page(b.Host(), ParseAddress(scanning.substr(9)));
        if (std::string connected = windows.Lines().Line(); connected.rfind("connected ", 0) != 0)
            return state.SkipWithError(connected.c_str());
        const std::string expected = "received " + std::to_string(kFramesPerIteration);
        for (auto _ : state) {
            windows.Lines().Send("receive " + std::to_string(kFramesPerIteration));
            for (int i = 0; i < kFramesPerIteration; ++i) b.Host().SendL2cap(handle, kDataChannel, frame);
            if (std::string answer = windows.Lines().Line(); answer != expected) {
                state.SkipWithError(answer.c_str());
                break;
            }
        }
    } else {
        BenchMachine a(TheRelay().socket, path == OurEmulation ? HostPath::Driver : HostPath::Straight);
        std::uint16_t handle = ConnectLocal(b.Host(), a.Host());
        for (auto _ : state) {
            if (!SendFrames(b.Host(), a.Host(), handle, kDataChannel, frame, kFramesPerIteration)) {
                state.SkipWithError("frames lost");
                break;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * kFramesPerIteration * static_cast<std::int64_t>(kFrameBytes));
}
BENCHMARK(AclThroughputToA)
    ->ArgName("path")
    ->Arg(Straight)
    ->Arg(OurEmulation)
    ->Arg(WindowsMachine)
    ->Iterations(30)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
