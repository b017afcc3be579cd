// The radio side: a byte stream from the controller, the input's, written into
// the far end of the H4 radio's socket while the device is open, and carried
// by the radio's transfers and the receive threads into the rings; reads of
// the lengths the input chooses take it out, then reads with room for any
// packet drain what is left. Checks: every packet read back is one the stream
// held whole, of its type and in its order (the driver may drop a packet that
// can never complete, never alter one or lose step after it); the last small
// packet of each kind does come out while the radio stays; a read never
// returns more than its room.
// Then the close and the removal, which must leave nothing behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <radios/h4_radio.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <thread>

#include "device_session.h"

namespace {

constexpr char kTarget[] = "radio";
// Small enough for its ring whatever else the ring holds.
constexpr size_t kSurelyDelivered = 300;

using Packet = std::vector<uint8_t>;

struct Expected {
    std::deque<Packet> events, acl;
    Packet lastSmallEvent, lastSmallAcl;
    bool lastSmallEventRead = false, lastSmallAclRead = false;

    void Check(const Packet& read) {
        bool event = read[0] == usbsim::h4::Event;
        std::deque<Packet>& queue = event ? events : acl;
        while (!queue.empty()) {
            Packet next = std::move(queue.front());
            queue.pop_front();
            if (next == read) {
                if (queue.empty()) (event ? lastSmallEventRead : lastSmallAclRead) = true;
                return;
            }
        }
        fuzzdriver::Fail(kTarget, "a read returned a packet the stream did not hold");
    }
    bool Drained() const { return events.empty() && acl.empty(); }
};

// The whole events and ACL packets of the stream, as far as it can be followed.
Expected PacketsOf(const Packet& stream) {
    Expected expected;
    usbsim::h4::PacketAssembler assembler;
    bool inStep = assembler.Feed(stream.data(), stream.size(), [&](const Packet& packet) {
        if (packet[0] == usbsim::h4::Event) expected.events.push_back(packet);
        if (packet[0] == usbsim::h4::Acl) expected.acl.push_back(packet);
    });
    // A byte that starts no packet makes the radio leave the bus, and what it
    // had not handed on yet goes with it. Otherwise only the last packet of a
    // kind has nothing behind it that could stall its ring.
    if (!inStep) return expected;
    if (!expected.events.empty() && expected.events.back().size() <= kSurelyDelivered)
        expected.lastSmallEvent = expected.events.back();
    if (!expected.acl.empty() && expected.acl.back().size() <= kSurelyDelivered)
        expected.lastSmallAcl = expected.acl.back();
    return expected;
}

// True when a packet came.
bool Read(wrk::UserFile& file, ULONG length, Expected& expected) {
    Packet buffer(length);
    ULONG got = 0;
    NTSTATUS status = file.Read(buffer.data(), length, &got);
    if (got > length) fuzzdriver::Fail(kTarget, "a read returned more than its length");
    if (!NT_SUCCESS(status) || got == 0) return false;
    buffer.resize(got);
    expected.Check(buffer);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<ULONG> lengths;
    for (size_t n = input.ConsumeIntegralInRange<size_t>(0, 16); n > 0; --n)
        lengths.push_back(input.ConsumeIntegralInRange<ULONG>(0, 600));
    Packet stream = input.ConsumeRemainingBytes<uint8_t>();
    Expected expected = PacketsOf(stream);

    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fuzzdriver::Fail(kTarget, "no socket pair");
    {
        usbsim::H4Radio radio(ends[0]);
        fuzzdriver::DeviceSession session(radio, 0.002);
        if (!NT_SUCCESS(session.AddAndStart())) fuzzdriver::Fail(kTarget, "the H4 radio did not start");
        std::unique_ptr<wrk::UserFile> file;
        if (!NT_SUCCESS(session.Open(file))) fuzzdriver::Fail(kTarget, "the started device did not open");

        for (size_t at = 0; at < stream.size();) {
            ssize_t sent = send(ends[1], stream.data() + at, stream.size() - at, MSG_NOSIGNAL);
            if (sent <= 0) break;
            at += size_t(sent);
        }
        for (ULONG length : lengths) Read(*file, length, expected);
        // Then room for any packet, until the stream is drained or nothing more comes.
        auto quietSince = std::chrono::steady_clock::now();
        while (!expected.Drained() && std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(300)) {
            if (Read(*file, 70000, expected)) quietSince = std::chrono::steady_clock::now();
            else std::this_thread::yield();
        }
        if (!expected.lastSmallEvent.empty() && !expected.lastSmallEventRead)
            fuzzdriver::Fail(kTarget, "the stream's last event never came out");
        if (!expected.lastSmallAcl.empty() && !expected.lastSmallAclRead)
            fuzzdriver::Fail(kTarget, "the stream's last ACL packet never came out");
        file->Close();
        session.RemoveAndUnload(kTarget);
    }
    close(ends[1]);
    return 0;
}
