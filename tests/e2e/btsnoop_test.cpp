#include "btsnoop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Big32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

TEST(Btsnoop, HeaderAndRecordsFollowTheFormat) {
    auto path = (std::filesystem::temp_directory_path() / ("btsnoop_test_" + std::to_string(::getpid()))).string();
    {
        wsim::BtsnoopWriter writer(path);
        writer.Write(wsim::Direction::Sent, {0x01, 0x03, 0x0c, 0x00});
        writer.Write(wsim::Direction::Received, {0x02, 0x2a, 0x20, 0x01, 0x00, 0x55});
    }
    auto bytes = ReadFile(path);
    std::filesystem::remove(path);
    ASSERT_EQ(bytes.size(), 16u + 24 + 4 + 24 + 6);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), std::string("btsnoop\0", 8));
    EXPECT_EQ(Big32(&bytes[8]), 1u);     // version
    EXPECT_EQ(Big32(&bytes[12]), 1002u); // H4
    const std::uint8_t* command = &bytes[16];
    EXPECT_EQ(Big32(command), 4u);
    EXPECT_EQ(Big32(command + 4), 4u);
    EXPECT_EQ(Big32(command + 8), 2u); // sent, command
    const std::uint8_t* acl = command + 24 + 4;
    EXPECT_EQ(Big32(acl), 6u);
    EXPECT_EQ(Big32(acl + 8), 1u); // received, data
    EXPECT_EQ(acl[24], 0x02);
    // Timestamps are microseconds since year 0: far beyond 1970's offset.
    std::uint64_t stamp = std::uint64_t(Big32(acl + 16)) << 32 | Big32(acl + 20);
    EXPECT_GT(stamp, 0x00dcddb30f2f8000ULL);
}

} // namespace
