// Run: build/host/bench/kernel/dispatcher_bench
// One round trip of two threads handing a synchronization event back and
// forth, with 0, 8, 32 and 128 other threads waiting on an event nobody sets.
// The idle waiters must cost nothing: the rows should read alike.
#include <host/kernel.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

NTSTATUS Wait(KEVENT& event) {
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

void PingPong(benchmark::State& state) {
    const auto idleWaiters = static_cast<size_t>(state.range(0));
    KEVENT idle;
    KEVENT ping;
    KEVENT pong;
    KeInitializeEvent(&idle, NotificationEvent, FALSE);
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);

    std::vector<std::thread> idlers;
    for (size_t i = 0; i < idleWaiters; ++i) idlers.emplace_back([&] { Wait(idle); });
    if (!wrk::WaitForWaiters(&idle, idleWaiters)) {
        state.SkipWithError("idle waiters did not start waiting");
    }

    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            Wait(ping);
            if (stop.load()) return;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });

    for (auto _ : state) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        Wait(pong);
    }

    stop = true;
    KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
    partner.join();
    KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
    for (auto& idler : idlers) idler.join();
    state.SetLabel(std::to_string(idleWaiters) + " idle waiters");
}
BENCHMARK(PingPong)->ArgName("idle")->Arg(0)->Arg(8)->Arg(32)->Arg(128)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
