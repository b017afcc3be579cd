// Run: build/host/bench/kernel/dispatcher_bench
// One round trip of two threads handing a synchronization event back and
// forth, with 0, 8, 32 and 128 other threads waiting on an event nobody sets.
// The idle waiters must cost nothing: the rows should read alike.
// IdleWaitersAgainstNone measures 0 and 128 idle waiters in alternating
// blocks of one run, so that a busy machine's ups and downs fall on both
// alike: its ratio counter is the figure to read on a shared machine.
#include <host/kernel.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

NTSTATUS Wait(KEVENT& event) {
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
}

// The measured thread's partner: answers every ping with a pong.
class Partner {
public:
    Partner() {
        KeInitializeEvent(&ping_, SynchronizationEvent, FALSE);
        KeInitializeEvent(&pong_, SynchronizationEvent, FALSE);
        thread_ = std::thread([this] {
            for (;;) {
                Wait(ping_);
                if (stop_.load()) return;
                KeSetEvent(&pong_, IO_NO_INCREMENT, FALSE);
            }
        });
    }
    ~Partner() {
        stop_ = true;
        KeSetEvent(&ping_, IO_NO_INCREMENT, FALSE);
        thread_.join();
    }
    void RoundTrip() {
        KeSetEvent(&ping_, IO_NO_INCREMENT, FALSE);
        Wait(pong_);
    }

private:
    KEVENT ping_;
    KEVENT pong_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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

// Threads that either wait in the kernel on an event nobody sets, or sit
// outside it, parked on a host condition, where the dispatcher cannot see them.
class IdleWaiters {
public:
    explicit IdleWaiters(size_t count) {
        KeInitializeEvent(&idle_, NotificationEvent, FALSE);
        for (size_t i = 0; i < count; ++i) {
            threads_.emplace_back([this] {
                for (;;) {
                    {
                        std::unique_lock lock(mutex_);
                        gate_.wait(lock, [this] { return inKernel_ || stop_; });
                        if (stop_) return;
                    }
                    Wait(idle_);
                    std::unique_lock lock(mutex_);
                    if (--running_ == 0) parked_.notify_all();
                    gate_.wait(lock, [this] { return !inKernel_ || stop_; });
                }
            });
        }
    }
    ~IdleWaiters() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        gate_.notify_all();
        KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
        for (auto& thread : threads_) thread.join();
    }
    // False when they did not all begin their kernel wait.
    bool EnterKernel() {
        {
            std::lock_guard lock(mutex_);
            inKernel_ = true;
            running_ = threads_.size();
        }
        KeClearEvent(&idle_);
        gate_.notify_all();
        return wrk::WaitForWaiters(&idle_, threads_.size());
    }
    void Park() {
        std::unique_lock lock(mutex_);
        inKernel_ = false;
        lock.unlock();
        KeSetEvent(&idle_, IO_NO_INCREMENT, FALSE);
        lock.lock();
        parked_.wait(lock, [this] { return running_ == 0; });
    }

private:
    KEVENT idle_;
    std::mutex mutex_;
    std::condition_variable gate_;
    std::condition_variable parked_;
    bool inKernel_ = false;
    bool stop_ = false;
    size_t running_ = 0;
    std::vector<std::thread> threads_;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void IdleWaitersAgainstNone(benchmark::State& state) {
    constexpr int kBlocks = 15;
    constexpr int kRoundsPerBlock = 2000;
    IdleWaiters idlers(128);
    Partner partner;
    std::vector<double> none;
    std::vector<double> crowd;
    for (auto _ : state) {
        for (int block = 0; block < 2 * kBlocks; ++block) {
            const bool withCrowd = block % 2 == 1;
            if (withCrowd && !idlers.EnterKernel()) {
                state.SkipWithError("idle waiters did not start waiting");
                return;
            }
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < kRoundsPerBlock; ++i) partner.RoundTrip();
            const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
            (withCrowd ? crowd : none).push_back(took.count() / kRoundsPerBlock);
            if (withCrowd) idlers.Park();
        }
    }
    state.counters["us_0_idle"] = Median(none);
    state.counters["us_128_idle"] = Median(crowd);
    state.counters["ratio_128_vs_0"] = Median(crowd) / Median(none);
    state.SetLabel("medians of alternating blocks of 0 and 128 idle waiters");
}
BENCHMARK(IdleWaitersAgainstNone)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
