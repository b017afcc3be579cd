// Run: build/host/bench/format/format_bench
// The two MessageMix benchmarks expand the same messages with the same values;
// the last line of a run sets their CPU times side by side. Before timing, every
// message of the mix is checked to come out byte for byte as vsnprintf's.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include <host/kernel.h>

#include "diag/debug.h"

namespace {

constexpr int kCapacity = 1024;

char* Expand(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatDebugString(buffer, kCapacity, format, args);
    va_end(args);
    return buffer;
}

char* ExpandByLibrary(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, kCapacity, format, args);
    va_end(args);
    return buffer;
}

const char16_t kRegistryPathText[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok";
const char kRegistryPathNarrow[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok";
const char16_t kInterfaceText[] =
    u"\\??\\USB#VID_0A12&PID_0001#5&1&1#{2c5a7e10-59a4-4c2b-9d8e-4a1b2c3d4e5f}";
const char kInterfaceNarrow[] = "\\??\\USB#VID_0A12&PID_0001#5&1&1#{2c5a7e10-59a4-4c2b-9d8e-4a1b2c3d4e5f}";

UNICODE_STRING Counted(const char16_t* text, size_t characters) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(characters * 2);
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<char16_t*>(text);
    return s;
}

const UNICODE_STRING kRegistryPath = Counted(kRegistryPathText, sizeof kRegistryPathNarrow - 1);
const UNICODE_STRING kInterface = Counted(kInterfaceText, sizeof kInterfaceNarrow - 1);

// Handles and statuses as the driver prints them.
constexpr unsigned kPipe = 0x8A3F1C40, kStatus = 0xC0000001, kUrbStatus = 0xC0000004;
constexpr unsigned kControlCode = 0x0022000C, kEndpoint = 0x81, kLanguage = 0x0409;

// Message i goes to buffer + i * stride: the benchmarks reuse one buffer, the
// output check keeps every message.
void DriverMessages(char* buffer, size_t stride = 0) {
    benchmark::DoNotOptimize(Expand(buffer, "DeviceIoControl: Control code %x InputLength %d OutputLength %d\n",
                                    kControlCode, 0, 0));
    benchmark::DoNotOptimize(Expand(buffer + 1 * stride, "UsbSendHciCommand: status %x URB status %x\n",
                                    kStatus, kUrbStatus));
    benchmark::DoNotOptimize(Expand(buffer + 2 * stride,
        "InterruptPipe:\n    PipeHandle = %x, EndpointAddress %2x, Interval %dms, MaximumTransferSize %d\n",
        kPipe, kEndpoint, 1, 4096));
    benchmark::DoNotOptimize(Expand(buffer + 3 * stride, "LangId[%d]=%4x\n", 0, kLanguage));
    benchmark::DoNotOptimize(Expand(buffer + 4 * stride, "TranspPnp MinorFunction is %s\n",
                                    "IRP_MN_QUERY_CAPABILITIES"));
    benchmark::DoNotOptimize(Expand(buffer + 5 * stride,
        "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\nDriverEntry: RegistryPath is %T\n",
        &kRegistryPath));
    benchmark::DoNotOptimize(Expand(buffer + 6 * stride, "Symbolic Link Name is %T\n", &kInterface));
}

// The same texts from the C library: fixed-width hex becomes zero-padded
// uppercase of the masked value, a counted string becomes a narrow %s.
void LibraryMessages(char* buffer, size_t stride = 0) {
    benchmark::DoNotOptimize(ExpandByLibrary(buffer,
        "DeviceIoControl: Control code %08X InputLength %d OutputLength %d\n", kControlCode, 0, 0));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 1 * stride, "UsbSendHciCommand: status %08X URB status %08X\n",
                                             kStatus, kUrbStatus));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 2 * stride,
        "InterruptPipe:\n    PipeHandle = %08X, EndpointAddress %02X, Interval %dms, MaximumTransferSize %d\n",
        kPipe, kEndpoint & 0xFF, 1, 4096));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 3 * stride, "LangId[%d]=%04X\n", 0, kLanguage & 0xFFFF));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 4 * stride, "TranspPnp MinorFunction is %s\n",
                                             "IRP_MN_QUERY_CAPABILITIES"));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 5 * stride,
        "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\nDriverEntry: RegistryPath is %s\n",
        kRegistryPathNarrow));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer + 6 * stride, "Symbolic Link Name is %s\n", kInterfaceNarrow));
}

constexpr int kMessagesPerIteration = 7;

void BM_MessageMix_FormatDebugString(benchmark::State& state) {
    char buffer[kCapacity];
    for (auto _ : state) DriverMessages(buffer);
    state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
// On a shared machine the fastest of several repetitions is the steadiest
// figure of what a mix costs; the two series run interleaved.
double Fastest(const std::vector<double>& times) { return *std::min_element(times.begin(), times.end()); }
#define MESSAGE_MIX(name) \
    BENCHMARK(name)->Repetitions(15)->MinTime(0.02)->ComputeStatistics("min", Fastest)->ReportAggregatesOnly(true)

MESSAGE_MIX(BM_MessageMix_FormatDebugString);

void BM_MessageMix_vsnprintf(benchmark::State& state) {
    char buffer[kCapacity];
    for (auto _ : state) LibraryMessages(buffer);
    state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
MESSAGE_MIX(BM_MessageMix_vsnprintf);

// With the switch off a message costs one comparison and touches no pool.
void BM_DebugPrint_SwitchOff(benchmark::State& state) {
    SetDebugSwitch(0);
    uint64_t allocations = wrk::PoolAllocationCount();
    for (auto _ : state) DebugPrint("UsbSendHciCommand: status %x URB status %x\n", kStatus, kUrbStatus);
    if (wrk::PoolAllocationCount() != allocations) state.SkipWithError("DebugPrint allocated with the switch off");
    SetDebugSwitch(0xFFFFFFFF);
}
BENCHMARK(BM_DebugPrint_SwitchOff);

// Every message of the mix as both formatters expand it; false on the first difference.
bool MixMatchesLibrary() {
    static char driver[kMessagesPerIteration][kCapacity];
    static char library[kMessagesPerIteration][kCapacity];
    DriverMessages(driver[0], kCapacity);
    LibraryMessages(library[0], kCapacity);
    for (int i = 0; i < kMessagesPerIteration; ++i) {
        if (strcmp(driver[i], library[i]) != 0) {
            fprintf(stderr, "format: message %d differs:\n  FormatDebugString: %s\n  vsnprintf:         %s\n", i,
                    driver[i], library[i]);
            return false;
        }
    }
    return true;
}

// The console output, then the fastest message-mix times and their ratio in one line.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
                cpuNanoseconds_[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto driver = cpuNanoseconds_.find("BM_MessageMix_FormatDebugString");
        auto library = cpuNanoseconds_.find("BM_MessageMix_vsnprintf");
        if (driver == cpuNanoseconds_.end() || library == cpuNanoseconds_.end()) return;
        printf("MessageMix: FormatDebugString %.0f ns, vsnprintf %.0f ns CPU per mix of %d messages: "
               "%.2fx as fast, same bytes (fastest of 15 each)\n",
               driver->second, library->second, kMessagesPerIteration, library->second / driver->second);
    }

private:
    std::map<std::string, double> cpuNanoseconds_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!MixMatchesLibrary()) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
