#include <radios/h4_framing.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kStream = {
    0x04, 0x0e, 0x04, 0x01, 0x03, 0x0c, 0x00,             // Command Complete, Reset
    0x02, 0x2a, 0x20, 0x03, 0x00, 0xaa, 0xbb, 0xcc,       // ACL, 3 data bytes
    0x02, 0x2a, 0x20, 0x00, 0x00,                         // ACL, no data
    0x04, 0x13, 0x05, 0x01, 0x2a, 0x00, 0x01, 0x00,       // Number of Completed Packets
};

std::vector<Bytes> Assemble(const Bytes& stream, std::size_t chunk) {
    usbsim::h4::PacketAssembler assembler;
    std::vector<Bytes> packets;
    for (std::size_t i = 0; i < stream.size(); i += chunk) {
        std::size_t n = std::min(chunk, stream.size() - i);
        EXPECT_TRUE(assembler.Feed(stream.data() + i, n, [&](const Bytes& p) { packets.push_back(p); }));
    }
    return packets;
}

TEST(H4Framing, PacketsComeOutWholeHoweverTheStreamIsCut) {
    const std::vector<Bytes> expected = {Bytes(kStream.begin(), kStream.begin() + 7),
                                         Bytes(kStream.begin() + 7, kStream.begin() + 15),
                                         Bytes(kStream.begin() + 15, kStream.begin() + 20),
                                         Bytes(kStream.begin() + 20, kStream.end())};
    for (std::size_t chunk : {1u, 2u, 3u, 5u, 7u, 64u}) {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(Assemble(kStream, chunk), expected);
    }
}

TEST(H4Framing, PiecesNameTheirPacketAndItsEdges) {
    usbsim::h4::StreamCursor cursor;
    std::vector<usbsim::h4::StreamCursor::Piece> pieces;
    auto sink = [&](const usbsim::h4::StreamCursor::Piece& p) { pieces.push_back(p); };
    // An event cut after its header: the first piece starts it, the second ends it.
    ASSERT_TRUE(cursor.Feed(kStream.data(), 3, sink));
    EXPECT_TRUE(cursor.InPacket());
    ASSERT_TRUE(cursor.Feed(kStream.data() + 3, 12, sink));
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].type, usbsim::h4::Event);
    EXPECT_TRUE(pieces[0].packetStart);
    EXPECT_FALSE(pieces[0].packetEnd);
    EXPECT_EQ(pieces[0].length, 2u);
    EXPECT_FALSE(pieces[1].packetStart);
    EXPECT_TRUE(pieces[1].packetEnd);
    EXPECT_EQ(pieces[1].length, 4u);
    EXPECT_EQ(pieces[2].type, usbsim::h4::Acl);
    EXPECT_TRUE(pieces[2].packetStart && pieces[2].packetEnd);
    EXPECT_EQ(pieces[2].length, 7u);
    EXPECT_FALSE(cursor.InPacket());
}

TEST(H4Framing, AByteThatStartsNoPacketStopsTheStream) {
    usbsim::h4::PacketAssembler assembler;
    const Bytes bad = {0x04, 0x01, 0x01, 0x00, 0x07, 0x04, 0x01, 0x01, 0x00};
    std::vector<Bytes> packets;
    EXPECT_FALSE(assembler.Feed(bad.data(), bad.size(), [&](const Bytes& p) { packets.push_back(p); }));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], Bytes(bad.begin(), bad.begin() + 4));
}

} // namespace
