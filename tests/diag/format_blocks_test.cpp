// The formatter's block paths: literal runs and strings copied in blocks, digits
// stored in pairs, counted strings narrowed in groups. Whatever the capacity, the
// output is the start of the whole expansion, nothing lands past the capacity,
// and no string is read beyond what may be printed.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format_helpers.h"

namespace {

// Bytes placed right before an inaccessible page: a read past them faults.
class GuardedBytes {
public:
    explicit GuardedBytes(const void* bytes, size_t length) : page_(size_t(sysconf(_SC_PAGESIZE))) {
        size_t pages = (length + page_ - 1) / page_ + 1;
        size_ = pages * page_;
        void* mapped = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<char*>(mapped);
        char* guard = base_ + size_ - page_;
        mprotect(guard, page_, PROT_NONE);
        data_ = guard - length;
        memcpy(data_, bytes, length);
    }
    ~GuardedBytes() { munmap(base_, size_); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    template <typename T>
    const T* As() const { return reinterpret_cast<const T*>(data_); }

private:
    size_t page_;
    size_t size_ = 0;
    char* base_ = nullptr;
    char* data_ = nullptr;
};

UNICODE_STRING Counted(const char16_t* text, size_t characters) {
    UNICODE_STRING s;
    s.Length = USHORT(characters * 2);
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<char16_t*>(text);
    return s;
}

// Expands into a buffer of `capacity` bytes followed by a fence, and checks
// the fence; returns the text up to the terminator.
template <typename... Args>
std::string ExpandFenced(LONG capacity, const char* format, Args... args) {
    std::vector<char> buffer(size_t(capacity) + 32, '#');
    auto expand = [&](const char* f, ...) {
        va_list list;
        va_start(list, f);
        FormatDebugString(buffer.data(), capacity, f, list);
        va_end(list);
    };
    expand(format, args...);
    for (size_t i = size_t(capacity); i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], '#') << "byte " << i << " past capacity " << capacity << " for " << format;
    }
    EXPECT_EQ(buffer[size_t(capacity) - 1], '\0') << "not terminated at capacity " << capacity;
    return std::string(buffer.data(), strnlen(buffer.data(), size_t(capacity)));
}

// At every capacity from 1 to a little past the whole text, the output is the
// whole expansion cut to capacity - 1.
template <typename... Args>
void ExpectPrefixAtEveryCapacity(const char* format, Args... args) {
    std::string whole = ExpandFenced(4096, format, args...);
    for (LONG capacity = 1; capacity <= LONG(whole.size()) + 3; ++capacity) {
        std::string cut = ExpandFenced(capacity, format, args...);
        ASSERT_EQ(cut, whole.substr(0, size_t(capacity) - 1)) << format << " at capacity " << capacity;
    }
}

TEST(FormatBlocks, LiteralRunsCutAnywhere) {
    // Runs of 1, 2 to 3, 4 to 7, 8 and more characters, between directives.
    ExpectPrefixAtEveryCapacity("a%cbc%cdefg%chijklmnopqrstuvwxyz0123456789", 'X', 'Y', 'Z');
    ExpectPrefixAtEveryCapacity("0123456789ABCDEF0123456");
    ExpectPrefixAtEveryCapacity("%%a%%bc%%def%%");
}

TEST(FormatBlocks, StringsCutAnywhere) {
    ExpectPrefixAtEveryCapacity("<%s>", "IRP_MN_QUERY_CAPABILITIES");
    ExpectPrefixAtEveryCapacity("<%5s|%s>", "abcdefgh", "");
    ExpectPrefixAtEveryCapacity("<%S|%3S>", u"WideText", u"xyz0");
    const char16_t text[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok";
    UNICODE_STRING counted = Counted(text, sizeof text / 2 - 1);
    ExpectPrefixAtEveryCapacity("Path %T.", &counted);
}

TEST(FormatBlocks, NumbersCutAnywhere) {
    ExpectPrefixAtEveryCapacity("%u|%d|%d", 4294967295u, INT_MIN, 7);
    ExpectPrefixAtEveryCapacity("%D %D", LLONG_MIN, 1234567890123ll);
    ExpectPrefixAtEveryCapacity("%x %2x %3x %4x %7x", 0x89ABCDEFu, 0x81u, 0xFFFu, 0x409u, 0x1234567u);
    ExpectPrefixAtEveryCapacity("%L %10L %5L", 0xFEDCBA9876543210ull, 0x0000000100000002ull, 0xABCDEull);
}

TEST(FormatBlocks, DirectivesAfterTheBufferFilledReadNoArgument) {
    // The literal does not fit, so the %s after it must not touch its pointer:
    // reading it would fault on the guard page.
    GuardedBytes unreadable("", 0);
    EXPECT_EQ(ExpandFenced(4, "abcdef%s", unreadable.As<char>()), "abc");
    // Cut in the middle of a string: the next directive is not expanded either.
    EXPECT_EQ(ExpandFenced(6, "ab%s%s", "cdefgh", unreadable.As<char>()), "abcde");
    // Cut in the middle of hexadecimal digits.
    EXPECT_EQ(ExpandFenced(5, "ab%x%s", 0x12345678u, unreadable.As<char>()), "ab12");
}

TEST(FormatBlocks, StringsAreNotReadPastTheirMaximum) {
    GuardedBytes narrow("abc", 3);
    EXPECT_EQ(FORMAT("%3s|", narrow.As<char>()), "abc|");
    EXPECT_EQ(FORMAT("%2s|", narrow.As<char>()), "ab|");
    GuardedBytes wide(u"AB", 4);
    EXPECT_EQ(FORMAT("%*S|", 2, wide.As<char16_t>()), "AB|");
    EXPECT_EQ(FormatWithCapacity(3, "%*S", 2, wide.As<char16_t>()), "AB");
}

TEST(FormatBlocks, CountedStringsAreNotReadPastTheirLength) {
    // Lengths on either side of the narrowing groups, the last character at the
    // end of readable memory and no terminator after it.
    for (size_t characters : {1u, 7u, 15u, 16u, 17u, 31u, 32u, 33u, 70u}) {
        std::u16string text;
        for (size_t i = 0; i < characters; ++i) text += char16_t(u'a' + i % 26);
        GuardedBytes guarded(text.data(), characters * 2);
        UNICODE_STRING counted = Counted(guarded.As<char16_t>(), characters);
        std::string expected(text.begin(), text.end());
        EXPECT_EQ(FORMAT("%T|", &counted), expected + "|") << characters;
        for (LONG capacity = 1; capacity <= LONG(characters) + 2; ++capacity) {
            ASSERT_EQ(ExpandFenced(capacity, "%T", &counted), expected.substr(0, size_t(capacity) - 1))
                << characters << " characters at capacity " << capacity;
        }
    }
}

TEST(FormatBlocks, CountedStringStopsAtANulInAnyPlace) {
    for (size_t at = 0; at < 40; ++at) {
        std::u16string text(40, u'q');
        text[at] = 0;
        UNICODE_STRING counted = Counted(text.data(), text.size());
        EXPECT_EQ(FORMAT("%T|", &counted), std::string(at, 'q') + "|") << at;
    }
}

TEST(FormatBlocks, CharacterWithZeroLowByteIsNotANul) {
    // 0x0100 narrows to a zero byte but does not end the string.
    for (size_t at = 0; at < 40; ++at) {
        std::u16string text(40, u'q');
        text[at] = 0x0100;
        UNICODE_STRING counted = Counted(text.data(), text.size());
        std::vector<char> buffer(64, '#');
        auto expand = [&](const char* f, ...) {
            va_list list;
            va_start(list, f);
            FormatDebugString(buffer.data(), LONG(buffer.size()), f, list);
            va_end(list);
        };
        expand("%T|", &counted);
        std::string expected(40, 'q');
        expected[at] = '\0';
        EXPECT_EQ(std::string(buffer.data(), 41), expected + "|") << at;
    }
}

// The driver's directives against the C library's equivalents on many values:
// fixed-width hex is the masked value zero-padded in uppercase.
TEST(FormatBlocks, SameTextAsTheLibraryOnRandomValues) {
    std::mt19937_64 random(20261209);
    char library[128];
    for (int round = 0; round < 2000; ++round) {
        ULONG value = ULONG(random());
        ULONGLONG wide = random();
        LONG count = LONG(random() % 8) + 1;
        ULONG masked = count == 8 ? value : value & ((1u << (4 * count)) - 1);
        // Values of every length, not only the long ones a uniform draw gives.
        ULONG small = value >> (random() % 32);
        LONGLONG signedWide = LONGLONG(wide) >> (random() % 64);

        snprintf(library, sizeof library, "%08X|%0*X|%d|%u|%lld|%016llX", value, int(count), masked, LONG(small),
                 small, static_cast<long long>(signedWide), static_cast<unsigned long long>(wide));
        std::string driver = FORMAT("%x|%*x|%d|%u|%D|%L", value, count, value, LONG(small), small, signedWide, wide);
        ASSERT_EQ(driver, library) << "round " << round;
    }
}

}  // namespace
