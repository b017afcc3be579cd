// The formatter's directives, widths and buffer limits.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "format_helpers.h"

namespace {

UNICODE_STRING Counted(const char16_t* text, USHORT lengthInBytes) {
    UNICODE_STRING s;
    s.Length = lengthInBytes;
    s.MaximumLength = lengthInBytes;
    s.Buffer = const_cast<char16_t*>(text);
    return s;
}

TEST(FormatHex, WidthChoosesHowManyLowDigits) {
    EXPECT_EQ(FORMAT("%x", 0x1Fu), "0000001F");
    EXPECT_EQ(FORMAT("%2x", 0x1234u), "34");
    EXPECT_EQ(FORMAT("%4x", 0x409u), "0409");
    EXPECT_EQ(FORMAT("%12x", 0xABCDEF12u), "ABCDEF12");
    EXPECT_EQ(FORMAT("%1x", 0xFEu), "E");
    EXPECT_EQ(FORMAT("%*x", 3, 0x12345u), "345");
    EXPECT_EQ(FORMAT("%*x", -3, 0x12345u), "00012345");
}

TEST(FormatHex, SixtyFourBitSplitsIntoHalves) {
    const ULONGLONG value = 0x0000000100000002ull;
    EXPECT_EQ(FORMAT("%L", value), "0000000100000002");
    EXPECT_EQ(FORMAT("%l", value), "0000000100000002");
    EXPECT_EQ(FORMAT("%10L", value), "0100000002");
    EXPECT_EQ(FORMAT("%4L", value), "0002");
    EXPECT_EQ(FORMAT("%8L", 0xFEDCBA9876543210ull), "76543210");
    EXPECT_EQ(FORMAT("%9L", 0xFEDCBA9876543210ull), "876543210");
    EXPECT_EQ(FORMAT("%20L", 0xFEDCBA9876543210ull), "FEDCBA9876543210");
}

TEST(FormatHex, SixtyFourBitDirectiveEndsAtItsLetter) {
    EXPECT_EQ(FORMAT("%ld", 0xABull), "00000000000000ABd");
    // The argument after a 64-bit one is read from the right slot.
    EXPECT_EQ(FORMAT("%L %d", 0x1122334455667788ull, 7), "1122334455667788 7");
}

TEST(FormatDecimal, SignedAndUnsignedLimits) {
    EXPECT_EQ(FORMAT("%d", 0), "0");
    EXPECT_EQ(FORMAT("%d", -1), "-1");
    EXPECT_EQ(FORMAT("%i", INT_MIN), "-2147483648");
    EXPECT_EQ(FORMAT("%d", INT_MAX), "2147483647");
    EXPECT_EQ(FORMAT("%u", 0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(FORMAT("%u", 0u), "0");
    EXPECT_EQ(FORMAT("%5d", 42), "42");
}

TEST(FormatDecimal, SixtyFourBit) {
    EXPECT_EQ(FORMAT("%D", 0ll), "0");
    EXPECT_EQ(FORMAT("%D", LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(FORMAT("%D", LLONG_MAX), "9223372036854775807");
    EXPECT_EQ(FORMAT("%D %d", -5000000000ll, 3), "-5000000000 3");
}

TEST(FormatCharacters, LowEightBitsOnly) {
    EXPECT_EQ(FORMAT("%c%c", 'o', 0x14Bu), "oK");
    EXPECT_EQ(FORMAT("%C", 0x0141), "A");
}

TEST(FormatStrings, NarrowWithMaximum) {
    EXPECT_EQ(FORMAT("%s", "abcdef"), "abcdef");
    EXPECT_EQ(FORMAT("%3s", "abcdef"), "abc");
    EXPECT_EQ(FORMAT("%10s|", "abc"), "abc|");
    EXPECT_EQ(FORMAT("%*s", 2, "abc"), "ab");
}

TEST(FormatStrings, WideKeepsLowByte) {
    EXPECT_EQ(FORMAT("%S", u"AB"), "AB");
    EXPECT_EQ(FORMAT("%*S", -5, u"AB"), "AB");
    EXPECT_EQ(FORMAT("%*S", 1, u"AB"), "A");
    EXPECT_EQ(FORMAT("%S", u"\u0141x"), "Ax");
}

TEST(FormatStrings, CountedStopsAtLengthOrNul) {
    UNICODE_STRING odd = Counted(u"abcdef", 7);
    EXPECT_EQ(FORMAT("%T", &odd), "abc");
    UNICODE_STRING withNul = Counted(u"ab\0de", 10);
    EXPECT_EQ(FORMAT("%T|", &withNul), "ab|");
    UNICODE_STRING empty = Counted(nullptr, 0);
    EXPECT_EQ(FORMAT("[%T]", &empty), "[]");
}

TEST(FormatStrings, NullPointersPrintNullAndKeepTheirSlot) {
    EXPECT_EQ(FORMAT("%s %d", static_cast<const char*>(nullptr), 5), "(null) 5");
    EXPECT_EQ(FORMAT("%S %d", static_cast<const char16_t*>(nullptr), 6), "(null) 6");
    EXPECT_EQ(FORMAT("%T %d", static_cast<UNICODE_STRING*>(nullptr), 7), "(null) 7");
    EXPECT_EQ(FORMAT("%I %d", static_cast<PIRP>(nullptr), 8), "(null) 8");
    UNICODE_STRING broken = Counted(nullptr, 4);
    EXPECT_EQ(FORMAT("%T", &broken), "(null)");
}

TEST(FormatDirectives, UnknownLettersPrintThemselves) {
    EXPECT_EQ(FORMAT("100%%"), "100%");
    EXPECT_EQ(FORMAT("%5%"), "%");
    EXPECT_EQ(FORMAT("%q"), "q");
    // '0' is a directive letter of its own, so no argument is consumed.
    EXPECT_EQ(FORMAT("%0x %d", 9), "0x 9");
    // A '*' width takes its slot even when the letter is unknown.
    EXPECT_EQ(FORMAT("%*q %d", 4, 5), "q 5");
}

TEST(FormatDirectives, FormatEndingInsideADirective) {
    EXPECT_EQ(FORMAT("abc%"), "abc");
    EXPECT_EQ(FORMAT("abc%*", 3), "abc");
    EXPECT_EQ(FORMAT("abc%12"), "abc");
}

TEST(FormatDirectives, HugeWidthSaturates) {
    EXPECT_EQ(FORMAT("%99999999999999999999s", "abc"), "abc");
    EXPECT_EQ(FORMAT("%99999999999999999999x", 0x1Fu), "0000001F");
}

TEST(FormatLimits, LongExpansionKeepsFirst1023Characters) {
    std::string text(2000, 'z');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    std::string out = FORMAT("%s", text.c_str());
    EXPECT_EQ(out, text.substr(0, 1023));
    // Literal text is cut the same way.
    EXPECT_EQ(FORMAT(text.c_str()), text.substr(0, 1023));
}

TEST(FormatLimits, DecimalCrossingTheEndKeepsLeadingDigits) {
    std::string pad(1020, '.');
    std::string out = FORMAT("%s%u", pad.c_str(), 123456u);
    EXPECT_EQ(out, pad + "123");
    out = FORMAT("%s%D", pad.c_str(), 9876543210ll);
    EXPECT_EQ(out, pad + "987");
}

TEST(FormatLimits, NothingWrittenPastCapacity) {
    // Bytes after the capacity stay untouched and the result is terminated inside it.
    std::vector<char> buffer(16, '#');
    auto expand = [&](const char* format, ...) {
        va_list args;
        va_start(args, format);
        FormatDebugString(buffer.data(), 8, format, args);
        va_end(args);
    };
    expand("%s%x%u", "abcdef", 0x12345678u, 4000000000u);
    EXPECT_EQ(std::string(buffer.data()), "abcdef1");
    for (size_t i = 8; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << i;
    EXPECT_EQ(FormatWithCapacity(1, "abc"), "");
    EXPECT_EQ(FormatWithCapacity(4, "%d", -12345), "-12");
    EXPECT_EQ(FormatWithCapacity(1, "%d", -5), "");
}

TEST(FormatLimits, NoCapacityLeavesBufferAlone) {
    char buffer[4] = {'#', '#', '#', '#'};
    auto expand = [&](LONG capacity, const char* format, ...) {
        va_list args;
        va_start(args, format);
        char* result = FormatDebugString(buffer, capacity, format, args);
        va_end(args);
        return result;
    };
    EXPECT_EQ(expand(0, "abc"), buffer);
    EXPECT_EQ(expand(-1, "abc"), buffer);
    EXPECT_EQ(std::string(buffer, 4), "####");
}

}  // namespace
