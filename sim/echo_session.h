// The two machines' parts of the session: A makes itself discoverable, accepts
// the connection and sends every L2CAP echo request back as a response; B finds
// A, connects, sends echo requests of several sizes and checks what comes back.
#pragma once

#include "host_stack.h"

#include <functional>
#include <optional>
#include <vector>

namespace wsim {

// Milliseconds on whatever clock the round trips are measured by.
using MillisecondClock = std::function<double()>;

struct EchoOptions {
    std::vector<std::size_t> payloadSizes{1, 16, 100, 184, 185, 400, 700, 1021};
    Millis connectTimeout{30000};
    unsigned inquiryAttempts = 10;
    std::optional<hci::BdAddr> peer; // B: connect to this address rather than the first found
    std::function<void(unsigned sequence)> onEcho; // B: progress, after each echo that came back
};

struct EchoResult {
    ControllerInfo controller;
    hci::BdAddr peer{};
    std::uint16_t handle = 0;
    unsigned echoes = 0;         // A: requests answered; B: responses received
    unsigned matched = 0;        // B: responses equal to their request
    std::vector<double> roundTripMs;
};

// Reset and the controller's facts, then the role's session; throws HostError.
EchoResult RunAcceptor(HostStack& host, const EchoOptions& options);
EchoResult RunInitiator(HostStack& host, const EchoOptions& options, const MillisecondClock& clock);

// The echo data B sends for a payload of `size` bytes.
std::vector<std::uint8_t> EchoPattern(std::size_t size, unsigned sequence);

// p-th percentile (0..100) by nearest rank; 0 for no samples.
double Percentile(std::vector<double> samples, double p);

// The summary lines on a machine's traffic and its part of the session;
// `clock` names what B's round trips were measured by.
void PrintSessionSummary(char role, const TrafficCounters& traffic, const EchoResult& result, const char* clock);

} // namespace wsim
