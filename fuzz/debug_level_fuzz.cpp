// DriverEntry with "DebugLevel" of any type and any data in the service key (or
// no value, or no key), and now and then one pool allocation failed. Checks:
// DriverEntry succeeds, the switch holds the value's low bytes when the data
// fits in 32 bits and 0 otherwise (diagnostics stay on without the key), and
// unload leaves nothing behind.
#include <fuzzer/FuzzedDataProvider.h>

#include "driver_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    wrk::ScopedKernelState kernel;

    enum Where { NoKey, NoValue, Value } where = Where(input.ConsumeIntegralInRange<int>(0, 2));
    ULONG type = input.ConsumeIntegral<ULONG>();
    if (input.ConsumeBool()) type &= 0xF;  // mostly the types the registry knows
    uint64_t failAllocation = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint64_t>(1, 8) : 0;
    std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();

    if (where != NoKey) wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
    if (where == Value) wrk::RegistrySetValue(wrk::kDefaultServiceKey, u"DebugLevel", type, bytes);

    ULONG expected = where == NoKey ? 0xFFFFFFFF : 0;
    if (where == Value && bytes.size() <= sizeof(ULONG))
        for (size_t i = 0; i < bytes.size(); ++i) expected |= ULONG(bytes[i]) << (8 * i);

    if (failAllocation != 0) wrk::PoolFailNthAllocation(failAllocation);
    std::unique_ptr<wrk::DriverImage> image = fuzzdriver::LoadDriver();
    wrk::PoolClearFaults();
    if (image->EntryStatus() != STATUS_SUCCESS) fuzzdriver::Fail("debug_level", "DriverEntry failed");
    // A failed allocation may have cost the value its read, never anything else.
    if (DebugSwitch != expected && !(failAllocation != 0 && DebugSwitch == 0 && where == Value))
        fuzzdriver::Fail("debug_level", "switch " + std::to_string(DebugSwitch) + " where " +
                                            std::to_string(expected) + " was expected");
    fuzzdriver::UnloadClean("debug_level", image);
    return 0;
}
