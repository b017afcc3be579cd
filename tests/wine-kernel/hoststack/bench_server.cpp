#include "bench_server.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace wsim {
namespace {

constexpr Millis kConnectTimeout{10000};
constexpr std::uint8_t kScanInquiryAndPage = 0x03;
constexpr std::uint8_t kRemainPeripheral = 0x01;

void Answer(std::FILE* answers, const std::string& line) {
    std::fprintf(answers, "%s\n", line.c_str());
    std::fflush(answers);
}

std::string TimedReadBdAddr(HostStack& host) {
    auto start = std::chrono::steady_clock::now();
    host.CommandOk(hci::ReadBdAddr);
    std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return "bdaddr " + std::to_string(elapsed.count());
}

void Accept(HostStack& host, std::FILE* answers) {
    const std::uint8_t scan[] = {kScanInquiryAndPage};
    host.CommandOk(hci::WriteScanEnable, scan);
    Answer(answers, "scanning " + hci::ToString(host.Info().address));
    auto request = host.WaitEvent(hci::ConnectionRequest, kConnectTimeout);
    if (!request || hci::EventParameterLength(*request) < 6) return Answer(answers, "failed no Connection Request");
    const std::uint8_t* peer = hci::EventParameters(*request);
    std::vector<std::uint8_t> accept(peer, peer + 6);
    accept.push_back(kRemainPeripheral);
    host.CommandOk(hci::AcceptConnectionRequest, accept);
    auto complete = host.WaitEvent(hci::ConnectionComplete, kConnectTimeout);
    if (!complete || hci::EventParameterLength(*complete) < 3 || hci::EventParameters(*complete)[0] != 0)
        return Answer(answers, "failed no Connection Complete");
    Answer(answers, "connected " + std::to_string(hci::Get16(hci::EventParameters(*complete) + 1) & 0x0fff));
}

std::string Receive(HostStack& host, unsigned long frames) {
    unsigned long received = 0;
    while (received < frames && host.ReceiveL2cap(kConnectTimeout)) ++received;
    return "received " + std::to_string(received);
}

} // namespace

void ServeBenchmark(HostStack& host, std::FILE* requests, std::FILE* answers) {
    char line[128];
    while (std::fgets(line, sizeof(line), requests)) {
        line[std::strcspn(line, "\r\n")] = 0;
        try {
            if (std::strcmp(line, "bdaddr") == 0) Answer(answers, TimedReadBdAddr(host));
            else if (std::strcmp(line, "accept") == 0) Accept(host, answers);
            else if (std::strncmp(line, "receive ", 8) == 0)
                Answer(answers, Receive(host, std::strtoul(line + 8, nullptr, 10)));
            else if (std::strcmp(line, "quit") == 0) return;
            else Answer(answers, std::string("failed unknown request ") + line);
        } catch (const HostError& e) {
            Answer(answers, std::string("failed ") + e.what());
        }
    }
}

} // namespace wsim
