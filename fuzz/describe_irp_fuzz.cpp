// DescribeIrp on a stack location made entirely of input bytes, into a cursor
// of any capacity and any starting position (past the end included). Checks:
// nothing is written outside the buffer, the stack location is only read, the
// text is the start of the same description with room to spare, and the full
// flag is set exactly when the description did not fit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/format.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "describe_irp fuzz: %s\n", what);
    abort();
}

struct Described {
    std::string text;
    bool full;
    LONG position;
};

Described Describe(PIRP irp, LONG capacity, LONG start) {
    constexpr size_t kFence = 16;
    std::vector<char> buffer(size_t(capacity) + kFence, '#');
    OutputCursor cursor{buffer.data(), capacity, start};
    bool full = DescribeIrp(&cursor, irp);
    for (size_t i = size_t(capacity); i < buffer.size(); ++i)
        if (buffer[i] != '#') Fail("byte written past the capacity");
    for (LONG i = 0; i < std::min(start, capacity); ++i)
        if (buffer[size_t(i)] != '#') Fail("byte written before the starting position");
    LONG end = std::min(cursor.Position, capacity);
    std::string text = start < end ? std::string(buffer.data() + start, buffer.data() + end) : std::string();
    return {text, full, cursor.Position};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    LONG capacity = input.ConsumeIntegralInRange<LONG>(1, 200);
    LONG start = input.ConsumeIntegralInRange<LONG>(0, capacity + 4);

    IO_STACK_LOCATION stack;
    std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(sizeof stack);
    raw.resize(sizeof stack, 0);
    memcpy(&stack, raw.data(), sizeof stack);
    IRP irp{};
    irp.StackCount = 1;
    irp.CurrentLocation = 1;
    irp.Tail.Overlay.CurrentStackLocation = &stack;

    Described whole = Describe(&irp, 4096, 0);
    if (whole.full) Fail("a description reported full with room to spare");
    if (memcmp(&stack, raw.data(), sizeof stack) != 0) Fail("the stack location was changed");

    Described cut = Describe(&irp, capacity, start);
    size_t room = start < capacity ? size_t(capacity - start) : 0;
    if (cut.text != whole.text.substr(0, std::min(room, whole.text.size())))
        Fail("a cut description is not the start of the whole one");
    if (cut.full != (whole.text.size() > room)) Fail("full flag differs from whether the description fitted");
    if (!cut.full && cut.position != start + LONG(whole.text.size())) Fail("position does not follow the text");
    return 0;
}
