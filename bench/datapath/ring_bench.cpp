// Run: build/host/bench/datapath/ring_bench
// A receive ring's append plus consuming read against plain memcpy of the same bytes
// through a buffer of the same size: the ratio of the two is the ring's overhead.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include <host/kernel.h>

#include "datapath/datapath.h"

namespace {

constexpr ULONG kRingSize = ACL_RING_SIZE;

void RingAppendAndConsume(benchmark::State& state) {
    const ULONG chunk = ULONG(state.range(0));
    wrk::ScopedKernelState kernel;
    RingBuffer ring;
    AllocateRingBuffer(&ring, kRingSize);
    std::vector<UCHAR> source(chunk, 0x5A), destination(chunk);

    for (auto _ : state) {
        ULONG in = chunk;
        WriteRingBuffer(&ring, source.data(), &in);
        ULONG out = chunk;
        ReadRingBuffer(&ring, destination.data(), &out, FALSE);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
    FreeRingBuffer(&ring);
}

// The same bytes, copied in and out of a buffer the size of the ring at the same
// wandering offsets, with none of the ring's bookkeeping.
void PlainCopyInAndOut(benchmark::State& state) {
    const ULONG chunk = ULONG(state.range(0));
    std::vector<UCHAR> storage(kRingSize), source(chunk, 0x5A), destination(chunk);
    ULONG at = 0;

    for (auto _ : state) {
        const ULONG head = std::min(chunk, kRingSize - at);
        memcpy(storage.data() + at, source.data(), head);
        memcpy(storage.data(), source.data() + head, chunk - head);
        memcpy(destination.data(), storage.data() + at, head);
        memcpy(destination.data() + head, storage.data(), chunk - head);
        at = (at + chunk) % kRingSize;
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * chunk);
}

// Transfer sizes of the two receive threads, and the largest ACL packet read whole.
BENCHMARK(RingAppendAndConsume)->Arg(EVENT_READ_SIZE)->Arg(ACL_READ_SIZE)->Arg(1025);
BENCHMARK(PlainCopyInAndOut)->Arg(EVENT_READ_SIZE)->Arg(ACL_READ_SIZE)->Arg(1025);

}  // namespace

BENCHMARK_MAIN();
