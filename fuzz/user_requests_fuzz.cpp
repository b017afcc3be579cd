// The user side of an open device: a sequence of writes of any length and
// content, reads of any length, device controls, and whole events and ACL
// packets the radio hands up, all chosen by the input. Checks on every step:
// a read returns no more than it was given room for, and only whole packets
// the radio sent, in their order; a successful command or ACL write reaches
// the radio byte for byte and completes with its whole length. Then the close
// and the removal, which must leave nothing behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <host/scripted_radio.h>

#include <deque>

#include "device_session.h"

namespace {

constexpr char kTarget[] = "user_requests";

using Packet = std::vector<uint8_t>;

// Packets the radio sent that a read may still return, per type; the driver
// may drop one it can never complete, never change or reorder them.
struct Expected {
    std::deque<Packet> events;
    std::deque<Packet> acl;

    void Check(const Packet& read) {
        std::deque<Packet>& queue = read[0] == 0x04 ? events : acl;
        while (!queue.empty()) {
            Packet next = queue.front();
            queue.pop_front();
            if (next == read) return;
        }
        fuzzdriver::Fail(kTarget, "a read returned a packet the radio never sent");
    }
};

void Write(wrk::UserFile& file, usbsim::ScriptedRadio& radio, FuzzedDataProvider& input) {
    Packet bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
    if (!bytes.empty() && input.ConsumeBool()) bytes[0] = input.ConsumeBool() ? 0x01 : 0x02;
    size_t commands = radio.Commands().size();
    size_t acl = radio.AclReceived().size();
    ULONG written = 0;
    NTSTATUS status = file.Write(bytes.data(), ULONG(bytes.size()), &written);
    if (!NT_SUCCESS(status) || bytes.empty() || (bytes[0] != 0x01 && bytes[0] != 0x02)) return;
    if (written != bytes.size()) fuzzdriver::Fail(kTarget, "a successful write did not complete with its length");
    Packet sent(bytes.begin() + 1, bytes.end());
    if (bytes[0] == 0x01) {
        std::vector<usbsim::ScriptedRadio::Command> got = radio.Commands();
        if (got.size() != commands + 1 || got.back().bytes != sent)
            fuzzdriver::Fail(kTarget, "a written command reached the radio changed");
    } else {
        std::vector<Packet> got = radio.AclReceived();
        if (got.size() != acl + 1 || got.back() != sent)
            fuzzdriver::Fail(kTarget, "written ACL data reached the radio changed");
    }
}

void Read(wrk::UserFile& file, Expected& expected, FuzzedDataProvider& input) {
    ULONG length = input.ConsumeIntegralInRange<ULONG>(0, 2100);
    Packet buffer(length + 16, 0xEE);
    ULONG got = 0;
    NTSTATUS status = file.Read(buffer.data(), length, &got);
    if (got > length) fuzzdriver::Fail(kTarget, "a read returned more than its length");
    for (size_t i = length; i < buffer.size(); ++i)
        if (buffer[i] != 0xEE) fuzzdriver::Fail(kTarget, "a read wrote past its buffer");
    if (!NT_SUCCESS(status) || got == 0) return;
    if (buffer[0] != 0x04 && buffer[0] != 0x02) fuzzdriver::Fail(kTarget, "a read returned an unknown packet type");
    expected.Check(Packet(buffer.begin(), buffer.begin() + got));
}

void Send(usbsim::ScriptedRadio& radio, Expected& expected, FuzzedDataProvider& input) {
    if (input.ConsumeBool()) {
        Packet event{input.ConsumeIntegral<uint8_t>(), input.ConsumeIntegral<uint8_t>()};
        Packet parameters = input.ConsumeBytes<uint8_t>(event[1]);
        parameters.resize(event[1], 0);
        event.insert(event.end(), parameters.begin(), parameters.end());
        radio.QueueEvent(event);
        event.insert(event.begin(), 0x04);
        expected.events.push_back(event);
    } else {
        uint16_t handle = input.ConsumeIntegral<uint16_t>();
        uint16_t dataLength = input.ConsumeIntegralInRange<uint16_t>(0, 1100);
        Packet acl{uint8_t(handle), uint8_t(handle >> 8), uint8_t(dataLength), uint8_t(dataLength >> 8)};
        Packet payload = input.ConsumeBytes<uint8_t>(dataLength);
        payload.resize(dataLength, 0x5A);
        acl.insert(acl.end(), payload.begin(), payload.end());
        radio.QueueAcl(acl);
        acl.insert(acl.begin(), 0x02);
        expected.acl.push_back(acl);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    usbsim::ScriptedRadio radio;
    fuzzdriver::DeviceSession session(radio, 0.002);
    if (!NT_SUCCESS(session.AddAndStart())) fuzzdriver::Fail(kTarget, "the standard radio did not start");
    std::unique_ptr<wrk::UserFile> file;
    if (!NT_SUCCESS(session.Open(file))) fuzzdriver::Fail(kTarget, "the started device did not open");

    Expected expected;
    for (int step = 0; step < 32 && input.remaining_bytes() > 0; ++step) {
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: Write(*file, radio, input); break;
        case 1: Read(*file, expected, input); break;
        case 2: Send(radio, expected, input); break;
        case 3: {
            ULONG code = input.ConsumeIntegral<ULONG>();
            Packet in = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 64));
            Packet out(input.ConsumeIntegralInRange<size_t>(0, 64));
            ULONG returned = 0;
            file->DeviceIoControl(code, in.data(), ULONG(in.size()), out.data(), ULONG(out.size()), &returned);
            if (returned > out.size()) fuzzdriver::Fail(kTarget, "a device control returned more than its room");
            break;
        }
        }
    }
    file->Close();
    session.RemoveAndUnload(kTarget);
    return 0;
}
