// Run: build/host/bench/format/format_bench
// The two MessageMix benchmarks expand the same messages with the same values;
// their times side by side give the formatter's cost relative to vsnprintf.
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>

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

void DriverMessages(char* buffer) {
    benchmark::DoNotOptimize(Expand(buffer, "DeviceIoControl: Control code %x InputLength %d OutputLength %d\n",
                                    kControlCode, 0, 0));
    benchmark::DoNotOptimize(Expand(buffer, "UsbSendHciCommand: status %x URB status %x\n", kStatus, kUrbStatus));
    benchmark::DoNotOptimize(Expand(buffer,
        "InterruptPipe:\n    PipeHandle = %x, EndpointAddress %2x, Interval %dms, MaximumTransferSize %d\n",
        kPipe, kEndpoint, 1, 4096));
    benchmark::DoNotOptimize(Expand(buffer, "LangId[%d]=%4x\n", 0, kLanguage));
    benchmark::DoNotOptimize(Expand(buffer, "TranspPnp MinorFunction is %s\n", "IRP_MN_QUERY_CAPABILITIES"));
    benchmark::DoNotOptimize(Expand(buffer,
        "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\nDriverEntry: RegistryPath is %T\n",
        &kRegistryPath));
    benchmark::DoNotOptimize(Expand(buffer, "Symbolic Link Name is %T\n", &kInterface));
}

// The same texts from the C library: fixed-width hex becomes zero-padded
// uppercase of the masked value, a counted string becomes a narrow %s.
void LibraryMessages(char* buffer) {
    benchmark::DoNotOptimize(ExpandByLibrary(buffer,
        "DeviceIoControl: Control code %08X InputLength %d OutputLength %d\n", kControlCode, 0, 0));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer, "UsbSendHciCommand: status %08X URB status %08X\n",
                                             kStatus, kUrbStatus));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer,
        "InterruptPipe:\n    PipeHandle = %08X, EndpointAddress %02X, Interval %dms, MaximumTransferSize %d\n",
        kPipe, kEndpoint & 0xFF, 1, 4096));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer, "LangId[%d]=%04X\n", 0, kLanguage & 0xFFFF));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer, "TranspPnp MinorFunction is %s\n", "IRP_MN_QUERY_CAPABILITIES"));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer,
        "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\nDriverEntry: RegistryPath is %s\n",
        kRegistryPathNarrow));
    benchmark::DoNotOptimize(ExpandByLibrary(buffer, "Symbolic Link Name is %s\n", kInterfaceNarrow));
}

constexpr int kMessagesPerIteration = 7;

void BM_MessageMix_FormatDebugString(benchmark::State& state) {
    char buffer[kCapacity];
    for (auto _ : state) DriverMessages(buffer);
    state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
BENCHMARK(BM_MessageMix_FormatDebugString);

void BM_MessageMix_vsnprintf(benchmark::State& state) {
    char buffer[kCapacity];
    for (auto _ : state) LibraryMessages(buffer);
    state.SetItemsProcessed(state.iterations() * kMessagesPerIteration);
}
BENCHMARK(BM_MessageMix_vsnprintf);

// With the switch off a message costs one comparison and touches no pool.
void BM_DebugPrint_SwitchOff(benchmark::State& state) {
    SetDebugSwitch(0);
    uint64_t allocations = wrk::PoolAllocationCount();
    for (auto _ : state) DebugPrint("UsbSendHciCommand: status %x URB status %x\n", kStatus, kUrbStatus);
    if (wrk::PoolAllocationCount() != allocations) state.SkipWithError("DebugPrint allocated with the switch off");
    SetDebugSwitch(0xFFFFFFFF);
}
BENCHMARK(BM_DebugPrint_SwitchOff);

}  // namespace

BENCHMARK_MAIN();
