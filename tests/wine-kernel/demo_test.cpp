// The two-machine session with machine A the x86 product on Wine's kernel and
// machine B on our emulation, as `make demo-windows` runs it. Besides the
// machines' own verdicts, the captures are read back: what A received is what
// B sent and the other way round, and every echo A sent carries its request's
// data, so a payload bent on either side of the bridge cannot pass unseen.
#include "run_command.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using wtest::Count;
using wtest::RunCommand;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t Big32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The ACL data of one direction of a capture, headers left out: the L2CAP
// stream as the host stack cut it up, whatever the fragments were.
struct AclStreams {
    std::vector<std::uint8_t> sent, received;
    bool readable = false;
};

AclStreams ReadAclStreams(const std::string& path) {
    constexpr std::size_t kFileHeader = 16, kRecordHeader = 24, kAclHeader = 1 + 4;
    std::string file = ReadText(path);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
    AclStreams streams;
    if (file.size() < kFileHeader || file.compare(0, 8, std::string("btsnoop\0", 8)) != 0) return streams;
    std::size_t at = kFileHeader;
    while (at + kRecordHeader <= file.size()) {
        std::uint32_t length = Big32(bytes + at + 4);
        bool received = Big32(bytes + at + 8) & 1;
        at += kRecordHeader;
        if (at + length > file.size()) return streams;
        if (length > kAclHeader && bytes[at] == 0x02) {
            auto& stream = received ? streams.received : streams.sent;
            stream.insert(stream.end(), bytes + at + kAclHeader, bytes + at + length);
        }
        at += length;
    }
    streams.readable = at == file.size();
    return streams;
}

struct Echo {
    std::uint8_t code, identifier;
    std::vector<std::uint8_t> data;
};

// The signalling frames of an L2CAP stream.
std::vector<Echo> Signals(const std::vector<std::uint8_t>& stream) {
    std::vector<Echo> signals;
    for (std::size_t at = 0; at + 4 <= stream.size();) {
        std::size_t length = stream[at] | stream[at + 1] << 8;
        const std::uint8_t* payload = stream.data() + at + 4;
        if (at + 4 + length > stream.size() || length < 4) break;
        signals.push_back({payload[0], payload[1], std::vector<std::uint8_t>(payload + 4, payload + length)});
        at += 4 + length;
    }
    return signals;
}

TEST(WindowsMachineDemo, EveryEchoMatchesOnBothSidesAndWineStaysWhole) {
    const std::string work = WRENLOK_DEMO_WORK;
    auto demo = RunCommand(std::string(WRENLOK_DEMO_SCRIPT) + " " + WRENLOK_HOST_BUILD + " " + WRENLOK_PRISTINE + " " +
                           work);
    ASSERT_EQ(demo.exitCode, 0) << demo.text;
    EXPECT_NE(demo.text.find("B summary: 8 of 8 echoes matched"), std::string::npos) << demo.text;
    EXPECT_EQ(Count(demo.text, "B * echo of "), 8u) << demo.text;
    EXPECT_EQ(Count(demo.text, " bytes matches"), 8u) << demo.text;
    EXPECT_NE(demo.text.find("A summary: 8 echo requests answered"), std::string::npos) << demo.text;
    // Wine refuses a handle whose device is gone without asking the driver.
    EXPECT_NE(demo.text.find("A * read on the open handle after removal: error 5"), std::string::npos) << demo.text;
    EXPECT_NE(demo.text.find("B summary: pool left at unload: 0 block(s) with the driver's tag, nothing else left "
                             "behind"),
              std::string::npos);

    std::string wineLog = ReadText(work + "/wine.log");
    EXPECT_FALSE(wineLog.empty());
    for (const char* crash : {"Unhandled exception", "Unhandled page fault", "Unhandled stack overflow",
                              "wine: Unhandled", "err:seh"})
        EXPECT_EQ(wineLog.find(crash), std::string::npos) << crash;

    for (const char* name : {"/a.btsnoop", "/b.btsnoop"}) {
        SCOPED_TRACE(name);
        auto decoded = RunCommand("btmon -r " + work + name);
        ASSERT_EQ(decoded.exitCode, 0) << decoded.text;
        EXPECT_EQ(Count(decoded.text, "L2CAP: Echo Request"), 8u);
        EXPECT_EQ(Count(decoded.text, "L2CAP: Echo Response"), 8u);
        for (const char* complaint : {"invalid", "Invalid", "malformed", "Malformed", "too short", "truncated"})
            EXPECT_EQ(decoded.text.find(complaint), std::string::npos) << complaint << "\n" << decoded.text;
    }

    AclStreams a = ReadAclStreams(work + "/a.btsnoop");
    AclStreams b = ReadAclStreams(work + "/b.btsnoop");
    ASSERT_TRUE(a.readable && b.readable);
    EXPECT_EQ(a.received, b.sent);
    EXPECT_EQ(a.sent, b.received);
    auto requests = Signals(a.received);
    auto responses = Signals(a.sent);
    const std::vector<std::size_t> sizes{1, 16, 100, 184, 185, 400, 700, 1021};
    ASSERT_EQ(requests.size(), sizes.size());
    ASSERT_EQ(responses.size(), sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].code, 0x08);
        EXPECT_EQ(requests[i].data.size(), sizes[i]);
        EXPECT_EQ(responses[i].code, 0x09);
        EXPECT_EQ(responses[i].identifier, requests[i].identifier);
        EXPECT_EQ(responses[i].data, requests[i].data);
    }
}

} // namespace
