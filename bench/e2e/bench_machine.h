// One host stack in the benchmark's process, behind the driver on our
// emulation (its radio a controller on the given socket, on a bus of the
// given timing), straight on that socket, or straight with a relay thread's
// hand-over. `spin`: how long the host's receives keep looking before they
// sleep (not for the relayed path).
#pragma once

#include "driver_machine.h"
#include "driver_transport.h"
#include "host_stack.h"
#include "relay_transport.h"
#include "socket_transport.h"

#include <radios/h4_radio.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace wsim {

// A benchmark argument's path from the host to the emulator.
enum class HostPath : std::int64_t { Straight = 0, Driver = 1, Relayed = 2 };

inline std::string PathLabel(HostPath path) {
    switch (path) {
    case HostPath::Driver: return "through the driver";
    case HostPath::Relayed: return "straight with a relay thread";
    default: return "straight";
    }
}

class BenchMachine {
public:
    BenchMachine(const std::string& socketPath, HostPath path,
                 usbsim::CompletionTiming busTiming = usbsim::BusOptions{}.timing,
                 std::chrono::microseconds spin = {}) {
        if (path == HostPath::Relayed) {
            transport_ = std::make_unique<RelayTransport>(socketPath);
        } else if (path == HostPath::Driver) {
            radio_ = usbsim::H4Radio::Connect(socketPath);
            driver_ = std::make_unique<DriverMachine>(WRENLOK_DRIVER_PATH, 0, *radio_, usbsim::BusOptions{busTiming});
            file_ = driver_->Open();
            transport_ = std::make_unique<DriverTransport>(*file_, driver_->InTransfers(), spin);
        } else {
            transport_ = std::make_unique<SocketTransport>(socketPath, spin);
        }
        host_ = std::make_unique<HostStack>(*transport_, log_);
        host_->Initialize();
    }
    ~BenchMachine() {
        host_.reset();
        transport_.reset();
        if (driver_) {
            file_->Close();
            file_.reset();
            driver_->RequestRemoval();
            driver_->Unload();
            driver_.reset();
        }
    }
    HostStack& Host() { return *host_; }

private:
    PacketLog log_{"", nullptr};
    std::unique_ptr<usbsim::H4Radio> radio_;
    std::unique_ptr<DriverMachine> driver_;
    std::unique_ptr<wrk::UserFile> file_;
    std::unique_ptr<Transport> transport_;
    std::unique_ptr<HostStack> host_;
};

// B sends `count` frames to A on its connection `handle` while A takes them
// in on a thread of its own; says whether every one arrived.
inline bool SendFrames(HostStack& b, HostStack& a, std::uint16_t handle, std::uint16_t channel,
                       const std::vector<std::uint8_t>& frame, int count) {
    std::atomic<int> received{0};
    std::thread receiver([&] {
        while (received < count && a.ReceiveL2cap(Millis(10000))) ++received;
    });
    for (int i = 0; i < count; ++i) b.SendL2cap(handle, channel, frame);
    receiver.join();
    return received == count;
}

}  // namespace wsim
