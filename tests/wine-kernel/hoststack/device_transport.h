// The host stack's transport on Windows: whole packets written to and read
// from "\\.\Wrenlok0". Reads never wait in the driver, so Receive polls, as the
// Linux transport does. With no driver time to read on Windows, the transport
// also times each command to its answer in real time.
#pragma once

#include "transport.h"

#include <windows.h>

#include <vector>

namespace wsim {

class DeviceTransport : public Transport {
public:
    explicit DeviceTransport(HANDLE device) : device_(device) {}
    bool Send(const Packet& packet) override;
    std::optional<Packet> Receive(std::chrono::microseconds wait) override;
    bool Closed() const override { return failure_ != 0; }
    DWORD Failure() const { return failure_; }

    // Milliseconds from each command's write to the read of its Command Complete or Command Status.
    const std::vector<double>& CommandRoundTripsMs() const { return commandRoundTripsMs_; }

private:
    void TimeAnswer(const Packet& event);

    HANDLE device_;
    DWORD failure_ = 0; // the Win32 error of the call that failed
    int pendingOpcode_ = -1; // the command whose answer has not been read yet
    std::chrono::steady_clock::time_point sentAt_;
    std::vector<double> commandRoundTripsMs_;
};

} // namespace wsim
