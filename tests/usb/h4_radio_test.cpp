// The H4 radio's bulk OUT side: whatever way the transfers cut the byte
// stream, the controller gets each ACL packet whole, after its type byte.
#include <radios/h4_radio.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Acl(uint16_t handle, size_t length, uint8_t fill) {
    Bytes packet = {static_cast<uint8_t>(handle), static_cast<uint8_t>(0x20 | handle >> 8),
                    static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    packet.resize(packet.size() + length, fill);
    return packet;
}

class H4RadioOut : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        controller = fds[0];
        radio = std::make_unique<usbsim::H4Radio>(fds[1]);
    }
    void TearDown() override {
        radio.reset();
        ::close(controller);
    }

    void Out(const Bytes& bytes) {
        radio->bulkOut(usbsim::H4Radio::kAclOutEndpoint, bytes, usbsim::Completion(nullptr));
    }
    // What reached the controller's end, `length` bytes or what came within a second.
    Bytes AtController(size_t length) {
        Bytes got;
        while (got.size() < length) {
            pollfd p{controller, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) break;
            uint8_t buffer[4096];
            ssize_t n = ::recv(controller, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    int controller = -1;
    std::unique_ptr<usbsim::H4Radio> radio;
};

TEST_F(H4RadioOut, PacketsCutAcrossTransfersArriveWholeAndInOrder) {
    const Bytes a = Acl(0x2a, 40, 0xa1), b = Acl(0x2a, 3, 0xb2), c = Acl(0x2b, 600, 0xc3);
    Bytes stream = a;
    stream.insert(stream.end(), b.begin(), b.end());
    stream.insert(stream.end(), c.begin(), c.end());
    // Into a's header, then through the rest of a, all of b and into c's payload, then the rest.
    Out(Bytes(stream.begin(), stream.begin() + 3));
    Out(Bytes(stream.begin() + 3, stream.begin() + 60));
    Out(Bytes(stream.begin() + 60, stream.end()));

    Bytes expected;
    for (const Bytes* packet : {&a, &b, &c}) {
        expected.push_back(0x02);
        expected.insert(expected.end(), packet->begin(), packet->end());
    }
    EXPECT_EQ(AtController(expected.size()), expected);
}

TEST_F(H4RadioOut, WholePacketsInOneTransferGoOnEachAfterItsTypeByte) {
    const Bytes a = Acl(0x01, 0, 0), b = Acl(0x01, 17, 0x55);
    Bytes transfer = a;
    transfer.insert(transfer.end(), b.begin(), b.end());
    Out(transfer);
    Bytes expected = {0x02};
    expected.insert(expected.end(), a.begin(), a.end());
    expected.push_back(0x02);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(AtController(expected.size()), expected);
}

}  // namespace
