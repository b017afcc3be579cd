#include "host_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>

namespace {

using wsim::Packet;

// A controller played by the test: answers each packet it is sent with
// whatever `respond` queues.
class ScriptedController : public wsim::Transport {
public:
    std::function<void(const Packet&)> respond = [](const Packet&) {};
    std::function<void(const Packet&)> onReceive = [](const Packet&) {};
    std::vector<Packet> sent;
    std::deque<Packet> inbox;

    bool Send(const Packet& packet) override {
        sent.push_back(packet);
        respond(packet);
        return true;
    }
    std::optional<Packet> Receive(std::chrono::microseconds) override {
        if (inbox.empty()) return std::nullopt;
        Packet p = inbox.front();
        inbox.pop_front();
        onReceive(p);
        return p;
    }
    bool Closed() const override { return false; }
};

Packet CommandComplete(std::uint16_t opcode, std::vector<std::uint8_t> ret) {
    Packet p(6 + ret.size());
    p[0] = 0x04;
    p[1] = 0x0e;
    p[2] = static_cast<std::uint8_t>(3 + ret.size());
    p[3] = 0x01;
    p[4] = static_cast<std::uint8_t>(opcode);
    p[5] = static_cast<std::uint8_t>(opcode >> 8);
    std::copy(ret.begin(), ret.end(), p.begin() + 6);
    return p;
}

Packet Completed(std::uint16_t handle) {
    return {0x04, 0x13, 0x05, 0x01, static_cast<std::uint8_t>(handle), static_cast<std::uint8_t>(handle >> 8), 0x01, 0x00};
}

std::uint16_t OpcodeOf(const Packet& p) { return wsim::hci::Get16(p.data() + 1); }

// Answers the start-up commands as a controller with one 192-byte ACL buffer.
void AnswerStartUp(ScriptedController& c, const Packet& p) {
    if (p[0] != 0x01) return;
    switch (OpcodeOf(p)) {
    case wsim::hci::ReadBdAddr: c.inbox.push_back(CommandComplete(OpcodeOf(p), {0, 1, 2, 3, 4, 5, 6})); break;
    case wsim::hci::ReadLocalVersion: c.inbox.push_back(CommandComplete(OpcodeOf(p), {0, 5, 0, 0, 5, 0xf1, 5, 0, 0})); break;
    case wsim::hci::ReadBufferSize: c.inbox.push_back(CommandComplete(OpcodeOf(p), {0, 192, 0, 0, 1, 0, 0, 0})); break;
    default: c.inbox.push_back(CommandComplete(OpcodeOf(p), {0})); break;
    }
}

class HostStackTest : public ::testing::Test {
protected:
    ScriptedController controller;
    wsim::PacketLog log{"T", nullptr};
    wsim::HostStack host{controller, log};
};

TEST_F(HostStackTest, CommandTakesItsOwnAnswerAndLeavesOtherEventsQueued) {
    controller.respond = [&](const Packet& p) {
        controller.inbox.push_back({0x04, 0x04, 0x0a, 1, 2, 3, 4, 5, 6, 0, 0, 0, 1}); // Connection Request first
        AnswerStartUp(controller, p);
    };
    Packet reply = host.Command(wsim::hci::WriteScanEnable, std::vector<std::uint8_t>{0x03});
    EXPECT_EQ(wsim::hci::Get16(reply.data() + 4), wsim::hci::WriteScanEnable);
    auto request = host.WaitEvent(wsim::hci::ConnectionRequest, wsim::Millis(0));
    ASSERT_TRUE(request);
    EXPECT_EQ((*request)[3], 1);
}

TEST_F(HostStackTest, FailedStatusAndMissingAnswerAreErrors) {
    controller.respond = [&](const Packet& p) {
        if (OpcodeOf(p) == wsim::hci::Inquiry) controller.inbox.push_back({0x04, 0x0f, 0x04, 0x0c, 0x01, 0x01, 0x04});
    };
    EXPECT_THROW(host.CommandOk(wsim::hci::Inquiry), wsim::HostError);
    EXPECT_THROW(host.Command(wsim::hci::Reset, {}, wsim::Millis(1)), wsim::HostError);
}

TEST_F(HostStackTest, FramesAreSplitToTheBufferSizeAndSentOnlyWithCredit) {
    // One buffer: an ACL packet sent before the host has read the credit of
    // the one before would overrun the controller.
    unsigned outstanding = 0;
    bool overrun = false;
    controller.respond = [&](const Packet& p) {
        AnswerStartUp(controller, p);
        if (p[0] != 0x02) return;
        if (outstanding++ > 0) overrun = true;
        controller.inbox.push_back(Completed(42));
    };
    controller.onReceive = [&](const Packet& p) {
        if (wsim::hci::IsEvent(p, wsim::hci::NumberOfCompletedPackets)) --outstanding;
    };
    host.Initialize();
    std::vector<std::uint8_t> payload(1021 + 8);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    host.SendL2cap(42, 0x0001, payload);
    EXPECT_FALSE(overrun);

    std::vector<Packet> acl;
    for (const auto& p : controller.sent)
        if (p[0] == 0x02) acl.push_back(p);
    ASSERT_EQ(acl.size(), 6u); // 1033 bytes of frame in 192-byte fragments
    std::vector<std::uint8_t> joined;
    for (std::size_t i = 0; i < acl.size(); ++i) {
        EXPECT_LE(acl[i].size() - 5, 192u);
        EXPECT_EQ(wsim::hci::AclBoundary(acl[i]), i == 0 ? wsim::hci::AclFirstFlushable : wsim::hci::AclContinuing);
        EXPECT_EQ(wsim::hci::AclHandle(acl[i]), 42);
        auto data = wsim::hci::AclData(acl[i]);
        joined.insert(joined.end(), data.begin(), data.end());
    }
    ASSERT_EQ(joined.size(), payload.size() + 4);
    EXPECT_EQ(wsim::hci::Get16(joined.data()), payload.size());
    EXPECT_EQ(wsim::hci::Get16(joined.data() + 2), 0x0001);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), joined.begin() + 4));
}

TEST_F(HostStackTest, NoCreditNoSend) {
    controller.respond = [&](const Packet& p) { AnswerStartUp(controller, p); };
    host.Initialize();
    host.SendL2cap(42, 0x0001, std::vector<std::uint8_t>(10));
    // The one buffer is taken and no Number of Completed Packets comes.
    EXPECT_THROW(host.SendL2cap(42, 0x0001, std::vector<std::uint8_t>(10), wsim::Millis(1)), wsim::HostError);
    EXPECT_EQ(std::count_if(controller.sent.begin(), controller.sent.end(), [](const Packet& p) { return p[0] == 0x02; }), 1);
    // A disconnection gives the connection's buffers back.
    host.ForgetConnection(42);
    EXPECT_NO_THROW(host.SendL2cap(42, 0x0001, std::vector<std::uint8_t>(10), wsim::Millis(1)));
}

TEST_F(HostStackTest, FragmentsAreJoinedIntoFrames) {
    const std::vector<std::uint8_t> frame = {6, 0, 0x01, 0x00, 9, 7, 2, 0, 0xaa, 0xbb};
    // A stray continuation first: it belongs to nothing and is dropped.
    controller.inbox.push_back(wsim::hci::MakeAcl(42, wsim::hci::AclContinuing, std::vector<std::uint8_t>{1, 2}));
    controller.inbox.push_back(wsim::hci::MakeAcl(42, wsim::hci::AclFirstFlushable, std::span(frame).first(3)));
    controller.inbox.push_back(wsim::hci::MakeAcl(42, wsim::hci::AclContinuing, std::span(frame).subspan(3)));
    auto received = host.ReceiveL2cap(wsim::Millis(100));
    ASSERT_TRUE(received);
    EXPECT_EQ(received->handle, 42);
    EXPECT_EQ(received->channel, 1);
    EXPECT_EQ(received->payload, std::vector<std::uint8_t>(frame.begin() + 4, frame.end()));
    EXPECT_EQ(host.Counters().aclPacketsReceived, 3u);
}

TEST_F(HostStackTest, ReceivingStopsWhenTheLinkGoesDown) {
    controller.inbox.push_back({0x04, 0x05, 0x04, 0x00, 42, 0x00, 0x13});
    EXPECT_FALSE(host.ReceiveL2cap(wsim::Millis(10000)));
    EXPECT_TRUE(host.WaitEvent(wsim::hci::DisconnectionComplete, wsim::Millis(0)));
}

} // namespace
