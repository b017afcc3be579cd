// Bad traffic from the controller's side of the socket must not hurt the driver.
#include "machine_fixture.h"
#include "socket_transport.h"

#include <sys/socket.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<std::uint8_t>;

class RadioFaults : public e2e::MachineTest {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        controller = fds[0];
        Plug(std::make_unique<usbsim::H4Radio>(fds[1]));
    }
    void TearDown() override {
        MachineTest::TearDown();
        if (controller >= 0) ::close(controller);
    }

    void FromController(const Bytes& bytes) { ASSERT_TRUE(wsim::WriteAll(controller, bytes.data(), bytes.size())); }
    void ControllerLeaves() { ::shutdown(controller, SHUT_RDWR); }
    // What the radio passed on to the controller, `length` bytes of it.
    Bytes AtController(std::size_t length) {
        Bytes got(length);
        std::size_t have = 0;
        while (have < length) {
            ssize_t n = ::recv(controller, got.data() + have, length - have, 0);
            if (n <= 0) break;
            have += static_cast<std::size_t>(n);
        }
        got.resize(have);
        return got;
    }

    int controller = -1;
};

const Bytes kAcl = {0x02, 0x2a, 0x20, 0x03, 0x00, 0x10, 0x20, 0x30};

TEST_F(RadioFaults, AnEventThatNeverCompletesHoldsUpNothingElse) {
    FromController(kAcl);
    // The length byte promises 32 parameter bytes; five ever come.
    FromController({0x04, 0x0e, 0x20, 0x01, 0x03, 0x0c, 0x00, 0x00});
    auto first = e2e::ReadPacket(*file, *machine, std::chrono::seconds(10));
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.packet, kAcl);
    // The half event is never handed out as a packet...
    EXPECT_TRUE(e2e::ReadPacket(*file, *machine, std::chrono::milliseconds(200)).packet.empty());
    // ...and commands still go out whole.
    ULONG written = 0;
    const Bytes reset = {0x01, 0x03, 0x0c, 0x00};
    EXPECT_EQ(file->Write(reset.data(), reset.size(), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, reset.size());
    EXPECT_EQ(AtController(reset.size()), reset);
    ControllerLeaves();
    ExpectCleanExitAfterRadioLeft();
}

TEST_F(RadioFaults, AnAclPacketLargerThanTheRingIsNeverDeliveredInPart) {
    // 4,095 data bytes: with its header more than the 4,096-byte ACL ring holds.
    Bytes huge = {0x02, 0x2a, 0x20, 0xff, 0x0f};
    for (int i = 0; i < 0x0fff; ++i) huge.push_back(static_cast<std::uint8_t>(i));
    FromController(huge);
    auto outcome = e2e::ReadPacket(*file, *machine, std::chrono::milliseconds(300));
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_TRUE(outcome.packet.empty() || outcome.packet == huge);
    ControllerLeaves();
    ExpectCleanExitAfterRadioLeft();
}

TEST_F(RadioFaults, TheSocketClosingInsideAPacketIsTheRadioLeaving) {
    Bytes half = {0x02, 0x2a, 0x20, 0x64, 0x00};
    half.resize(half.size() + 10, 0x5a); // 10 of 100 data bytes
    FromController(half);
    ControllerLeaves();
    ExpectCleanExitAfterRadioLeft();
}

TEST_F(RadioFaults, AByteThatStartsNoPacketIsTheRadioFailing) {
    FromController({0x07, 0x01, 0x02});
    ExpectCleanExitAfterRadioLeft();
}

TEST_F(RadioFaults, OnlyWholeCommandsAndAclPacketsReachTheController) {
    ULONG written = 0;
    // A command whose length byte disagrees with what follows is refused by the radio.
    const Bytes badCommand = {0x01, 0x03, 0x0c, 0x05, 0x00};
    EXPECT_FALSE(NT_SUCCESS(file->Write(badCommand.data(), badCommand.size(), &written)));
    // An empty ACL write sends nothing; a whole packet goes in one piece.
    const Bytes empty = {0x02};
    EXPECT_EQ(file->Write(empty.data(), empty.size(), &written), STATUS_SUCCESS);
    EXPECT_EQ(file->Write(kAcl.data(), kAcl.size(), &written), STATUS_SUCCESS);
    EXPECT_EQ(written, kAcl.size());
    EXPECT_EQ(AtController(kAcl.size()), kAcl);
    ControllerLeaves();
    ExpectCleanExitAfterRadioLeft();
}

} // namespace
