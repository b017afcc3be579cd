// Run: build/host/bench/datapath/acl_delivery_bench
// ACL data from a radio that adds no delay of its own (a scripted radio with
// its packets queued up front) through the driver to the reads that take it
// out: 1025-byte ACL packets (4-byte header, 1021 bytes of data), each in
// three bulk transfers of at most 512 bytes. The figure is the bytes per
// second the reads return, with the bus completing each transfer at once
// (timing 0), every other one from its own thread as by default (1), or every
// one from its thread (2). acl_delivery_cost.sh runs the Counted benchmark
// under callgrind for the instructions each packet costs, every thread's.
#include "driver_machine.h"

#include <host/kernel.h>
#include <host/scripted_radio.h>
#include <host/transfer_watch.h>

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <string>
#include <vector>

namespace {

constexpr size_t kPacketBytes = 1025;
constexpr int kPacketsPerBatch = 64;

std::vector<uint8_t> AclPacket() {
    std::vector<uint8_t> packet(kPacketBytes, 0x5a);
    const uint16_t dataLength = kPacketBytes - 4;
    packet[0] = 0x2a;  // handle 0x02a, first automatically flushable fragment
    packet[1] = 0x20;
    packet[2] = static_cast<uint8_t>(dataLength);
    packet[3] = static_cast<uint8_t>(dataLength >> 8);
    return packet;
}

// The driver's reads never wait: when one finds nothing, poll again once a
// receive thread has submitted its next IN transfer, which it does when it has
// stored what the last one brought.
size_t ReadPacket(wrk::UserFile& file, const usbsim::TransferWatch& inTransfers, std::vector<uint8_t>& buffer) {
    for (;;) {
        const uint32_t submitted = inTransfers.Submitted();
        ULONG read = 0;
        if (file.Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read) != STATUS_SUCCESS) return 0;
        if (read != 0) return read;
        inTransfers.WaitForMore(submitted, usbsim::TransferWatch::kPollBound);
    }
}

constexpr usbsim::CompletionTiming kTimings[] = {usbsim::CompletionTiming::Synchronous,
                                                  usbsim::CompletionTiming::Mixed,
                                                  usbsim::CompletionTiming::Deferred};
const char* const kTimingNames[] = {"bus completes at once", "bus defers every other transfer",
                                    "bus defers every transfer"};

struct Machine {
    explicit Machine(usbsim::CompletionTiming timing) : driver(WRENLOK_DRIVER_PATH, 0, radio, {timing}) {}

    usbsim::ScriptedRadio radio;
    wsim::DriverMachine driver;
    std::unique_ptr<wrk::UserFile> file = driver.Open();

    ~Machine() {
        file->Close();
        file.reset();
        driver.RequestRemoval();
        driver.Unload();
    }
};

void DeliverBatches(benchmark::State& state, bool counted) {
    Machine machine(kTimings[state.range(0)]);
    const std::vector<uint8_t> packet = AclPacket();
    std::vector<uint8_t> buffer(2048);
    const auto inTransfers = machine.driver.InTransfers();
    int64_t packets = 0;
    if (counted) CALLGRIND_ZERO_STATS;
    for (auto _ : state) {
        for (int i = 0; i < kPacketsPerBatch; ++i) machine.radio.QueueAcl(packet);
        for (int i = 0; i < kPacketsPerBatch; ++i) {
            if (ReadPacket(*machine.file, *inTransfers, buffer) != kPacketBytes + 1) {
                state.SkipWithError("a read did not return one whole ACL packet");
                return;
            }
            ++packets;
        }
    }
    if (counted) {
        const std::string dump = "acl delivery, timing " + std::to_string(state.range(0));
        CALLGRIND_DUMP_STATS_AT(dump.c_str());
    }
    state.SetBytesProcessed(packets * static_cast<int64_t>(kPacketBytes));
    state.counters["packets"] = static_cast<double>(packets);
    state.SetLabel(kTimingNames[state.range(0)]);
}

void AclDelivery(benchmark::State& state) {
    DeliverBatches(state, false);
}
BENCHMARK(AclDelivery)->ArgName("timing")->DenseRange(0, 2)->UseRealTime()->Unit(benchmark::kMillisecond);

// A fixed number of batches, for the instruction count under callgrind.
void Counted(benchmark::State& state) {
    DeliverBatches(state, true);
}
BENCHMARK(Counted)->ArgName("timing")->DenseRange(0, 2)->Iterations(20)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
