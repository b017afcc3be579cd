// Read BD_ADDR round trips and B-to-A ACL throughput, each measured with the
// driver in the path and straight over the controller emulator's socket, so
// the two can be read side by side: the ratio is what the driver costs.
//
// path: 0 straight, 1 through the driver, 2 straight with a relay thread. The
// driver's path has one more hand-over than the straight one (its receive
// thread to the host); the relayed path has that hand-over and nothing else,
// so it is the floor the driver's figures can come down to on this machine.
//
// spin: how long a host's receive keeps looking before it sleeps (0: it
// sleeps at once), the same for the straight and the driver's path. On a
// virtual machine a wake-up from sleep can cost as much as the whole straight
// round trip; the spinning round trips show the driver's cost when the host's
// own wake-up is gone. (Spinning hosts are left out of the ACL rows: with both
// machines' threads and the emulator there are more of them than processors,
// and the spins take turns starving each other.)
#include "bench_machine.h"
#include "btvirt.h"

#include <benchmark/benchmark.h>

#include <string>

#include <sys/resource.h>

namespace {

using namespace wsim;

constexpr std::size_t kFrameBytes = 1021;
constexpr std::uint16_t kDataChannel = 0x0040;
constexpr int kFramesPerIteration = 16;

Btvirt& Emulator() {
    static std::unique_ptr<Btvirt> btvirt = Btvirt::Start();
    return *btvirt;
}

// The bus timing of a benchmark argument, as bench/datapath numbers them:
// 0 the bus completes at once, 1 mixed (what the simulator runs), 2 deferred.
usbsim::CompletionTiming BusTiming(std::int64_t argument) {
    switch (argument) {
    case 0: return usbsim::CompletionTiming::Synchronous;
    case 2: return usbsim::CompletionTiming::Deferred;
    default: return usbsim::CompletionTiming::Mixed;
    }
}

std::string BusLabel(std::int64_t argument) {
    switch (argument) {
    case 0: return "bus completes at once";
    case 2: return "bus completes from its thread";
    default: return "mixed bus timing";
    }
}

// Times the threads of this process went to sleep (voluntary context
// switches): each is a hand-over that costs a wake-up, whatever the load on
// the machine makes that wake-up cost in time.
long SleepsSoFar() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

// Pages A directly (its address is known) and returns B's connection handle.
std::uint16_t Connect(HostStack& b, HostStack& a) {
    const std::uint8_t scan[] = {0x03};
    a.CommandOk(hci::WriteScanEnable, scan);
    std::vector<std::uint8_t> create(a.Info().address.begin(), a.Info().address.end());
    create.insert(create.end(), {0x18, 0xcc, 0x01, 0x00, 0x00, 0x00, 0x01});
    b.CommandOk(hci::CreateConnection, create);
    auto request = a.WaitEvent(hci::ConnectionRequest, Millis(10000));
    if (!request) throw HostError("no connection request");
    std::vector<std::uint8_t> accept(request->begin() + 3, request->begin() + 9);
    accept.push_back(0x01);
    a.CommandOk(hci::AcceptConnectionRequest, accept);
    auto aDone = a.WaitEvent(hci::ConnectionComplete, Millis(10000));
    auto bDone = b.WaitEvent(hci::ConnectionComplete, Millis(10000));
    if (!aDone || !bDone) throw HostError("no connection");
    return hci::Get16(bDone->data() + 4) & 0x0fff;
}

std::chrono::microseconds Spin(std::int64_t microseconds) {
    return std::chrono::microseconds(microseconds);
}

std::string SpinLabel(std::int64_t microseconds) {
    return microseconds ? ", receives spin " + std::to_string(microseconds) + " us" : "";
}

HostPath PathOf(std::int64_t argument) {
    return static_cast<HostPath>(argument);
}

void ReadBdAddrRoundTrip(benchmark::State& state) {
    const HostPath path = PathOf(state.range(0));
    BenchMachine machine(Emulator().SocketPath(), path, BusTiming(state.range(1)), Spin(state.range(2)));
    const long sleeps = SleepsSoFar();
    for (auto _ : state) machine.Host().CommandOk(hci::ReadBdAddr);
    state.counters["sleeps"] = benchmark::Counter(static_cast<double>(SleepsSoFar() - sleeps),
                                                  benchmark::Counter::kAvgIterations);
    state.SetLabel(PathLabel(path) + (path == HostPath::Driver ? ", " + BusLabel(state.range(1)) : "") +
                   SpinLabel(state.range(2)));
}
BENCHMARK(ReadBdAddrRoundTrip)
    ->ArgNames({"path", "bus", "spin"})
    ->Args({0, 1, 0})
    ->Args({1, 1, 0})
    ->Args({2, 1, 0})
    ->Args({1, 0, 0})
    ->Args({0, 1, 20})
    ->Args({1, 1, 20})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// B sends 1021-byte L2CAP frames to A within its controller's credits while A
// takes them in on a thread of its own. pathB / pathA: each side's path (the
// driver under one side at most: one driver image per process); bus: its bus
// timing.
void AclThroughputBToA(benchmark::State& state) {
    const HostPath pathB = PathOf(state.range(0));
    const HostPath pathA = PathOf(state.range(1));
    BenchMachine b(Emulator().SocketPath(), pathB, BusTiming(state.range(2)));
    BenchMachine a(Emulator().SocketPath(), pathA, BusTiming(state.range(2)));
    std::uint16_t handle = Connect(b.Host(), a.Host());
    const std::vector<std::uint8_t> frame(kFrameBytes, 0xa5);
    const long sleeps = SleepsSoFar();
    for (auto _ : state) {
        if (!SendFrames(b.Host(), a.Host(), handle, kDataChannel, frame, kFramesPerIteration)) {
            state.SkipWithError("frames lost");
            break;
        }
    }
    // Per frame, so that the figure reads beside the round trip's.
    state.counters["sleeps"] = benchmark::Counter(static_cast<double>(SleepsSoFar() - sleeps) / kFramesPerIteration,
                                                  benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(state.iterations() * kFramesPerIteration * static_cast<std::int64_t>(kFrameBytes));
    const bool driver = pathB == HostPath::Driver || pathA == HostPath::Driver;
    state.SetLabel("B " + PathLabel(pathB) + ", A " + PathLabel(pathA) + (driver ? ", " + BusLabel(state.range(2)) : ""));
}
BENCHMARK(AclThroughputBToA)
    ->ArgNames({"pathB", "pathA", "bus"})
    ->Args({0, 0, 1})
    ->Args({1, 0, 1})
    ->Args({2, 0, 1})
    ->Args({0, 1, 1})
    ->Args({1, 0, 0})
    // The straight figure swings from one run to the next by up to 2x on a
    // virtual machine, with where the scheduler puts the three processes'
    // threads: the median of five runs is the one to read.
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
