// Counted strings.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

UNICODE_STRING Init(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(UnicodeStringTest, InitCountsBytesWithoutAndWithTheTerminator) {
    UNICODE_STRING s = Init(u"DebugLevel");
    EXPECT_EQ(s.Length, 20);
    EXPECT_EQ(s.MaximumLength, 22);
    UNICODE_STRING empty = Init(nullptr);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 0);
    EXPECT_EQ(empty.Buffer, nullptr);
}

TEST(UnicodeStringTest, EqualityHonoursTheCaseFlag) {
    UNICODE_STRING upper = Init(u"\\DEVICE\\WRENLOK0");
    UNICODE_STRING lower = Init(u"\\device\\wrenlok0");
    UNICODE_STRING shorter = Init(u"\\device\\wrenlok");
    EXPECT_TRUE(RtlEqualUnicodeString(&upper, &lower, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&upper, &lower, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&lower, &shorter, TRUE));
    UNICODE_STRING latin1Upper = Init(u"\u00C9T\u00C9");
    UNICODE_STRING latin1Lower = Init(u"\u00E9t\u00E9");
    EXPECT_TRUE(RtlEqualUnicodeString(&latin1Upper, &latin1Lower, TRUE));
}

TEST(UnicodeStringTest, FreeReturnsThePoolBufferAndEmptiesTheString) {
    wrk::ScopedKernelState kernel;
    size_t before = wrk::PoolOutstandingBlocks();
    UNICODE_STRING s;
    s.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 8, 0x206D6457));
    std::memcpy(s.Buffer, u"abcd", 8);
    s.Length = 8;
    s.MaximumLength = 8;
    RtlFreeUnicodeString(&s);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), before);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
}

}  // namespace
