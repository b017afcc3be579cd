// The driver's formatter on formats and arguments made from the input: 8-bit,
// 16-bit and counted strings in allocations of exactly their size, IRPs with
// any stack location, numbers of every width, any capacity. Each run checks
// the rules the formatter must keep:
// - the buffer is terminated within its capacity and nothing is written past it;
// - its bytes are those of a plain character-by-character model of the
//   directive rules, to the last byte of the capacity;
// - no argument is used once the buffer is full: every string argument the
//   model did not reach points to poisoned memory, which ASan stops on.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "diag/format.h"

namespace {

constexpr size_t kSlots = 24;

enum class Slot { Int32, Int64, Narrow, Wide, Counted, Irp };

// The argument each directive letter takes, as the formatter reads it.
bool SlotOf(char letter, Slot& slot) {
    switch (letter) {
    case 'c': case 'C': case 'd': case 'i': case 'u': case 'x': slot = Slot::Int32; return true;
    case 'D': case 'l': case 'L': slot = Slot::Int64; return true;
    case 's': slot = Slot::Narrow; return true;
    case 'S': slot = Slot::Wide; return true;
    case 'T': slot = Slot::Counted; return true;
    case 'I': slot = Slot::Irp; return true;
    default: return false;
    }
}

// One argument slot of a format: what it holds, and for a string the width of
// its directive (a '*' width is the slot before).
struct SlotUse {
    Slot kind;
    long width = 0;
    bool starWidth = false;
};

// The argument slots a format takes, in order; the format is cut where it
// would take more than kSlots.
std::vector<SlotUse> SlotsOf(std::string& format) {
    std::vector<SlotUse> slots;
    for (size_t at = 0; at < format.size(); ++at) {
        if (format[at] != '%') continue;
        size_t directive = at;
        if (++at >= format.size()) break;
        long width = 0;
        bool star = false;
        if (format[at] == '*') {
            if (slots.size() + 2 > kSlots) { format.resize(directive); break; }
            slots.push_back({Slot::Int32});
            star = true;
            ++at;
        } else if (format[at] >= '1' && format[at] <= '9') {
            for (; at < format.size() && format[at] >= '0' && format[at] <= '9'; ++at)
                width = width > 100000 ? width : width * 10 + (format[at] - '0');
        }
        if (at >= format.size()) break;
        Slot slot;
        if (SlotOf(format[at], slot)) {
            if (slots.size() + 1 > kSlots) { format.resize(directive); break; }
            slots.push_back({slot, width, star});
        }
    }
    return slots;
}

// The formatter as its rules read, one character at a time, on a plain array of
// argument slots. Returns how many slots it used.
struct Model {
    std::vector<char>& buffer;
    long capacity;
    long position = 0;

    bool Put(char c) {
        if (position >= capacity) return true;
        buffer[size_t(position++)] = c;
        return false;
    }
    void Decimal(uint64_t value) {
        if (value == 0) { Put('0'); return; }
        int digits = 0;
        for (uint64_t rest = value; rest != 0; rest /= 10) ++digits;
        position += digits;
        long index = position;
        for (; value != 0; value /= 10)
            if (--index < capacity) buffer[size_t(index)] = char('0' + value % 10);
    }
    bool Signed(int64_t value, bool wide) {
        uint64_t magnitude = wide ? uint64_t(value) : uint64_t(uint32_t(int32_t(value)));
        if (value < 0) {
            if (Put('-')) return true;
            magnitude = wide ? 0 - uint64_t(value) : uint64_t(0u - uint32_t(int32_t(value)));
        }
        Decimal(magnitude);
        return false;
    }
    bool Hex(uint32_t value, long count) {
        if (count < 1 || count > 7) count = 8;
        for (long nibble = count - 1; nibble >= 0; --nibble)
            if (Put("0123456789ABCDEF"[(value >> (nibble * 4)) & 0xF])) return true;
        return false;
    }
    bool Text(const char* s, long maximum) {
        if (s == nullptr) return Text("(null)", 0);
        for (long count = 0; (maximum <= 0 || count < maximum) && s[count] != '\0'; ++count)
            if (Put(s[count])) return true;
        return false;
    }
    bool WideText(const WCHAR* s, long maximum) {
        if (s == nullptr) return Text("(null)", 0);
        for (long count = 0; (maximum <= 0 || count < maximum) && s[count] != 0; ++count)
            if (Put(char(s[count] & 0xFF))) return true;
        return false;
    }
    bool CountedText(const UNICODE_STRING* u) {
        if (u == nullptr || (u->Buffer == nullptr && u->Length != 0)) return Text("(null)", 0);
        for (size_t i = 0; i < u->Length / 2u && u->Buffer[i] != 0; ++i)
            if (Put(char(u->Buffer[i] & 0xFF))) return true;
        return false;
    }
    // The IRP's text comes from DescribeIrp itself (its own target checks it),
    // written into the model's buffer through a cursor of the model's state.
    bool Irp(PIRP irp) {
        if (irp == nullptr) return Text("(null)", 0);
        OutputCursor cursor{buffer.data(), LONG(capacity), LONG(position)};
        bool full = DescribeIrp(&cursor, irp);
        position = cursor.Position;
        return full;
    }

    size_t Run(const char* format, const uint64_t* slots) {
        size_t used = 0;
        const char* next = format;
        bool full = false;
        while (!full) {
            char c = *next++;
            if (c == '\0') { Put('\0'); break; }
            if (c != '%') { full = Put(c); continue; }
            long width = 0;
            c = *next++;
            if (c == '*') {
                int32_t given = int32_t(slots[used++]);
                width = given > 0 ? given : 0;
                c = *next++;
            } else if (c >= '1' && c <= '9') {
                width = c - '0';
                while (*next >= '0' && *next <= '9') {
                    width = width > (0x7FFFFFFF - (*next - '0')) / 10 ? 0x7FFFFFFF : width * 10 + (*next - '0');
                    ++next;
                }
                c = *next++;
            }
            if (c == '\0') { Put('\0'); break; }
            Slot slot;
            uint64_t value = SlotOf(c, slot) ? slots[used++] : 0;
            switch (c) {
            case 'c': case 'C': full = Put(char(value & 0xFF)); break;
            case 'd': case 'i': full = Signed(int64_t(int32_t(uint32_t(value))), false); break;
            case 'u': Decimal(uint32_t(value)); break;
            case 'D': full = Signed(int64_t(value), true); break;
            case 'x': full = Hex(uint32_t(value), width); break;
            case 'l': case 'L':
                if (width >= 1 && width <= 8) full = Hex(uint32_t(value), width);
                else full = Hex(uint32_t(value >> 32), width == 0 ? 8 : width - 8) || Hex(uint32_t(value), 8);
                break;
            case 's': full = Text(reinterpret_cast<const char*>(value), width); break;
            case 'S': full = WideText(reinterpret_cast<const WCHAR*>(value), width); break;
            case 'T': full = CountedText(reinterpret_cast<const UNICODE_STRING*>(value)); break;
            case 'I': full = Irp(reinterpret_cast<PIRP>(value)); break;
            default: full = Put(c); break;
            }
        }
        buffer[size_t(capacity - 1)] = '\0';
        return used;
    }
};

// Everything the arguments point to, each in an allocation of exactly its size
// so that a read one past it is an ASan report.
struct Objects {
    std::vector<std::unique_ptr<char[]>> narrow;
    std::vector<std::unique_ptr<WCHAR[]>> wide;
    std::vector<std::unique_ptr<UNICODE_STRING>> counted;
    std::vector<std::unique_ptr<IRP>> irps;
    std::vector<std::unique_ptr<IO_STACK_LOCATION>> stacks;
};

// A string need not be terminated when its directive's maximum stops the
// reading within it.
bool MayEndUnterminated(long maximum, size_t characters, FuzzedDataProvider& input) {
    return maximum > 0 && characters >= size_t(maximum) && input.ConsumeBool();
}

uint64_t MakeSlot(const SlotUse& use, long maximum, FuzzedDataProvider& input, Objects& objects) {
    switch (use.kind) {
    case Slot::Int32: return input.ConsumeIntegral<uint32_t>();
    case Slot::Int64: return input.ConsumeIntegral<uint64_t>();
    case Slot::Narrow: {
        if (input.ConsumeProbability<float>() < 0.05f) return 0;
        std::string text = input.ConsumeRandomLengthString(64);
        bool terminated = !MayEndUnterminated(maximum, text.size(), input);
        auto bytes = std::make_unique<char[]>(text.size() + (terminated ? 1 : 0));
        memcpy(bytes.get(), text.data(), text.size());
        if (terminated) bytes[text.size()] = '\0';
        objects.narrow.push_back(std::move(bytes));
        return reinterpret_cast<uint64_t>(objects.narrow.back().get());
    }
    case Slot::Wide: {
        if (input.ConsumeProbability<float>() < 0.05f) return 0;
        size_t characters = input.ConsumeIntegralInRange<size_t>(0, 40);
        std::vector<WCHAR> text;
        for (size_t i = 0; i < characters; ++i) {
            WCHAR c = input.ConsumeIntegral<uint16_t>();
            if (c == 0) break;
            text.push_back(c);
        }
        bool terminated = !MayEndUnterminated(maximum, text.size(), input);
        auto bytes = std::make_unique<WCHAR[]>(text.size() + (terminated ? 1 : 0));
        std::copy(text.begin(), text.end(), bytes.get());
        if (terminated) bytes[text.size()] = 0;
        objects.wide.push_back(std::move(bytes));
        return reinterpret_cast<uint64_t>(objects.wide.back().get());
    }
    case Slot::Counted: {
        if (input.ConsumeProbability<float>() < 0.05f) return 0;
        // Characters of any value (NUL and zero low bytes included), no
        // terminator after them, and a length in bytes that may be odd.
        size_t characters = input.ConsumeIntegralInRange<size_t>(0, 80);
        auto s = std::make_unique<UNICODE_STRING>();
        s->MaximumLength = input.ConsumeIntegral<USHORT>();
        if (characters > 0) {
            auto text = std::make_unique<WCHAR[]>(characters);
            for (size_t i = 0; i < characters; ++i) text[i] = input.ConsumeIntegral<uint16_t>();
            s->Buffer = text.get();
            s->Length = input.ConsumeIntegralInRange<USHORT>(0, USHORT(characters * 2));
            objects.wide.push_back(std::move(text));
        } else {
            s->Buffer = nullptr;
            s->Length = input.ConsumeBool() ? 0 : 2;  // a null buffer with a length prints "(null)"
        }
        objects.counted.push_back(std::move(s));
        return reinterpret_cast<uint64_t>(objects.counted.back().get());
    }
    case Slot::Irp: {
        if (input.ConsumeProbability<float>() < 0.05f) return 0;
        auto stack = std::make_unique<IO_STACK_LOCATION>();
        std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(sizeof(IO_STACK_LOCATION));
        std::copy(raw.begin(), raw.end(), reinterpret_cast<uint8_t*>(stack.get()));
        auto irp = std::make_unique<IRP>();
        irp->StackCount = 1;
        irp->CurrentLocation = 1;
        irp->Tail.Overlay.CurrentStackLocation = stack.get();
        objects.stacks.push_back(std::move(stack));
        objects.irps.push_back(std::move(irp));
        return reinterpret_cast<uint64_t>(objects.irps.back().get());
    }
    }
    return 0;
}

// Memory no argument may reach once the buffer is full.
char* Poisoned() {
    static char* block = [] {
        char* p = static_cast<char*>(malloc(64));
        ASAN_POISON_MEMORY_REGION(p, 64);
        return p;
    }();
    return block;
}

// Every slot is passed as a 64-bit value: a 32-bit argument is read back from
// the low half of its slot, as the x86-64 calling convention has it.
void Expand(char* buffer, LONG capacity, const char* format, const uint64_t* s) {
    auto call = [](char* b, LONG c, const char* f, ...) {
        va_list arguments;
        va_start(arguments, f);
        FormatDebugString(b, c, f, arguments);
        va_end(arguments);
    };
    call(buffer, capacity, format, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], s[8], s[9], s[10], s[11], s[12],
         s[13], s[14], s[15], s[16], s[17], s[18], s[19], s[20], s[21], s[22], s[23]);
}

[[noreturn]] void Fail(const char* what, const std::string& format, long capacity) {
    fprintf(stderr, "format fuzz: %s (capacity %ld, format \"%s\")\n", what, capacity, format.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    LONG capacity = input.ConsumeIntegralInRange<LONG>(1, 1100);
    std::string format = input.ConsumeRandomLengthString(256);
    std::vector<SlotUse> uses = SlotsOf(format);

    Objects objects;
    uint64_t slots[kSlots] = {};
    for (size_t i = 0; i < uses.size(); ++i) {
        long maximum = uses[i].starWidth ? std::max(0L, long(int32_t(uint32_t(slots[i - 1])))) : uses[i].width;
        slots[i] = MakeSlot(uses[i], maximum, input, objects);
    }

    constexpr size_t kFence = 32;
    std::vector<char> expected(size_t(capacity) + kFence, '#');
    Model model{expected, capacity};
    size_t used = model.Run(format.c_str(), slots);
    // What the model never reached the formatter must not touch either.
    for (size_t i = used; i < uses.size(); ++i)
        if (uses[i].kind != Slot::Int32 && uses[i].kind != Slot::Int64) slots[i] = reinterpret_cast<uint64_t>(Poisoned());

    std::unique_ptr<char[]> actual(new char[size_t(capacity) + kFence]);
    memset(actual.get(), '#', size_t(capacity) + kFence);
    Expand(actual.get(), capacity, format.c_str(), slots);

    if (memchr(actual.get(), '\0', size_t(capacity)) == nullptr) Fail("not terminated within the capacity", format, capacity);
    for (size_t i = size_t(capacity); i < size_t(capacity) + kFence; ++i)
        if (actual[i] != '#') Fail("byte written past the capacity", format, capacity);
    if (memcmp(actual.get(), expected.data(), size_t(capacity)) != 0) Fail("output differs from the model", format, capacity);
    return 0;
}
