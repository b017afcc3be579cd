#include "echo_session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace wsim {
namespace {

constexpr std::uint16_t kSignallingChannel = 0x0001;
enum : std::uint8_t { kEchoRequest = 0x08, kEchoResponse = 0x09 };
constexpr std::uint8_t kScanInquiryAndPage = 0x03;
constexpr std::uint8_t kRemainPeripheral = 0x01;
constexpr std::uint8_t kRemoteUserTerminated = 0x13;

std::vector<std::uint8_t> Signal(std::uint8_t code, std::uint8_t identifier, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> s(4 + data.size());
    s[0] = code;
    s[1] = identifier;
    s[2] = static_cast<std::uint8_t>(data.size());
    s[3] = static_cast<std::uint8_t>(data.size() >> 8);
    std::copy(data.begin(), data.end(), s.begin() + 4);
    return s;
}

bool IsSignal(const L2capFrame& f, std::uint8_t code) {
    return f.channel == kSignallingChannel && f.payload.size() >= 4 && f.payload[0] == code &&
           hci::Get16(f.payload.data() + 2) == f.payload.size() - 4;
}

hci::BdAddr AddressAt(const std::uint8_t* p) {
    hci::BdAddr a;
    std::copy_n(p, 6, a.begin());
    return a;
}

std::uint16_t ConnectionHandle(HostStack& host, Millis timeout) {
    auto complete = host.WaitEvent(hci::ConnectionComplete, timeout);
    if (!complete || hci::EventParameterLength(*complete) < 11) throw HostError("no Connection Complete");
    if (std::uint8_t status = hci::EventParameters(*complete)[0]; status != 0)
        throw HostError("connection failed with status " + std::to_string(status));
    return hci::Get16(hci::EventParameters(*complete) + 1) & 0x0fff;
}

void AwaitDisconnection(HostStack& host, std::uint16_t handle, Millis timeout) {
    if (!host.WaitEvent(hci::DisconnectionComplete, timeout)) throw HostError("no Disconnection Complete");
    host.ForgetConnection(handle);
}

struct Found {
    hci::BdAddr address;
    std::uint8_t pageScanRepetitionMode;
};

std::optional<Found> Inquire(HostStack& host, const EchoOptions& options) {
    const std::uint8_t generalInquiry[] = {0x33, 0x8b, 0x9e, 0x01 /* 1.28 s */, 0x00 /* unlimited */};
    host.CommandOk(hci::Inquiry, generalInquiry);
    std::optional<Found> found;
    auto deadline = std::chrono::steady_clock::now() + Millis(10000);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) throw HostError("inquiry never completed");
        auto result = host.WaitEvent(hci::InquiryResult, Millis(0));
        if (result) {
            const std::uint8_t* e = hci::EventParameters(*result);
            std::size_t n = hci::EventParameterLength(*result);
            unsigned count = n >= 1 ? e[0] : 0;
            for (unsigned i = 0; i < count && 1 + 14u * count <= n; ++i) {
                hci::BdAddr address = AddressAt(e + 1 + 6 * i);
                if (!found && (!options.peer || *options.peer == address))
                    found = Found{address, e[1 + 6 * count + i]};
            }
            continue;
        }
        if (host.WaitEvent(hci::InquiryComplete, Millis(20))) return found;
        if (host.TransportClosed()) throw HostError("transport closed during inquiry");
    }
}

} // namespace

std::vector<std::uint8_t> EchoPattern(std::size_t size, unsigned sequence) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + sequence * 31 + (i >> 8));
    return data;
}

double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * samples.size()));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

void PrintSessionSummary(char role, const TrafficCounters& c, const EchoResult& r, const char* clock) {
    std::printf("%c summary: sent %llu packets, %llu bytes (ACL: %llu packets, %llu data bytes)\n", role,
                (unsigned long long)c.packetsSent, (unsigned long long)c.bytesSent,
                (unsigned long long)c.aclPacketsSent, (unsigned long long)c.aclBytesSent);
    std::printf("%c summary: received %llu packets, %llu bytes (ACL: %llu packets, %llu data bytes)\n", role,
                (unsigned long long)c.packetsReceived, (unsigned long long)c.bytesReceived,
                (unsigned long long)c.aclPacketsReceived, (unsigned long long)c.aclBytesReceived);
    if (role == 'A') {
        std::printf("A summary: %u echo requests answered\n", r.echoes);
    } else {
        std::printf("B summary: %u of %u echoes matched; round trip in %s: "
                    "p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    r.matched, r.echoes, clock, Percentile(r.roundTripMs, 50), Percentile(r.roundTripMs, 90),
                    Percentile(r.roundTripMs, 99), Percentile(r.roundTripMs, 100));
    }
}

EchoResult RunAcceptor(HostStack& host, const EchoOptions& options) {
    EchoResult result;
    result.controller = host.Initialize();
    const std::uint8_t scan[] = {kScanInquiryAndPage};
    host.CommandOk(hci::WriteScanEnable, scan);
    host.Log().Note("discoverable and connectable, waiting for a connection");

    auto request = host.WaitEvent(hci::ConnectionRequest, options.connectTimeout);
    if (!request || hci::EventParameterLength(*request) < 6) throw HostError("no Connection Request");
    result.peer = AddressAt(hci::EventParameters(*request));
    std::vector<std::uint8_t> accept(result.peer.begin(), result.peer.end());
    accept.push_back(kRemainPeripheral);
    host.CommandOk(hci::AcceptConnectionRequest, accept);
    result.handle = ConnectionHandle(host, options.connectTimeout);

    for (;;) {
        auto frame = host.ReceiveL2cap(options.connectTimeout);
        if (!frame) break;
        if (!IsSignal(*frame, kEchoRequest)) continue;
        std::span<const std::uint8_t> data(frame->payload.begin() + 4, frame->payload.end());
        host.SendL2cap(frame->handle, kSignallingChannel, Signal(kEchoResponse, frame->payload[1], data));
        ++result.echoes;
    }
    AwaitDisconnection(host, result.handle, Millis(0));
    return result;
}

EchoResult RunInitiator(HostStack& host, const EchoOptions& options, const MillisecondClock& clock) {
    EchoResult result;
    result.controller = host.Initialize();

    std::optional<Found> found;
    for (unsigned attempt = 0; attempt < options.inquiryAttempts && !found; ++attempt) found = Inquire(host, options);
    if (!found) throw HostError("inquiry found no peer");
    result.peer = found->address;
    host.Log().Note("found " + hci::ToString(result.peer) + ", connecting");

    std::vector<std::uint8_t> connect(result.peer.begin(), result.peer.end());
    const std::uint8_t rest[] = {0x18, 0xcc, found->pageScanRepetitionMode, 0x00, 0x00, 0x00, 0x01};
    connect.insert(connect.end(), std::begin(rest), std::end(rest));
    host.CommandOk(hci::CreateConnection, connect);
    result.handle = ConnectionHandle(host, options.connectTimeout);

    unsigned sequence = 0;
    for (std::size_t size : options.payloadSizes) {
        ++sequence;
        auto identifier = static_cast<std::uint8_t>(sequence % 255 + 1);
        auto data = EchoPattern(size, sequence);
        double start = clock();
        host.SendL2cap(result.handle, kSignallingChannel, Signal(kEchoRequest, identifier, data));
        std::optional<L2capFrame> reply;
        while ((reply = host.ReceiveL2cap(options.connectTimeout)) &&
               !(IsSignal(*reply, kEchoResponse) && reply->payload[1] == identifier)) {
        }
        if (!reply) throw HostError("no echo response for a payload of " + std::to_string(size) + " bytes");
        result.roundTripMs.push_back(clock() - start);
        ++result.echoes;
        bool same = std::equal(reply->payload.begin() + 4, reply->payload.end(), data.begin(), data.end());
        if (same) ++result.matched;
        host.Log().Note("echo of " + std::to_string(size) + " bytes " + (same ? "matches" : "DIFFERS"));
        if (options.onEcho) options.onEcho(sequence);
    }

    const std::uint8_t disconnect[] = {static_cast<std::uint8_t>(result.handle),
                                       static_cast<std::uint8_t>(result.handle >> 8), kRemoteUserTerminated};
    host.CommandOk(hci::Disconnect, disconnect);
    AwaitDisconnection(host, result.handle, options.connectTimeout);
    return result;
}

} // namespace wsim
