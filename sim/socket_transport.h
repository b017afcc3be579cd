// H4 straight over a Unix stream socket, as the controller emulator serves it.
#pragma once

#include "transport.h"

#include <radios/h4_framing.h>

#include <deque>
#include <string>

namespace wsim {

class SocketTransport : public Transport {
public:
    // Connects to the socket at `path`; throws std::runtime_error when it
    // cannot. A receive that finds nothing keeps looking for `spin` before
    // it sleeps in the socket.
    explicit SocketTransport(const std::string& path, std::chrono::microseconds spin = {});
    ~SocketTransport() override;
    SocketTransport(const SocketTransport&) = delete;
    SocketTransport& operator=(const SocketTransport&) = delete;

    bool Send(const Packet& packet) override;
    std::optional<Packet> Receive(std::chrono::microseconds wait) override;
    bool Closed() const override { return closed_; }

private:
    int fd_ = -1;
    std::chrono::microseconds spin_;
    bool closed_ = false;
    usbsim::h4::PacketAssembler assembler_;
    std::deque<Packet> ready_;
};

// Connects a stream socket to `path`; -1 (errno set) when that fails.
int ConnectUnixSocket(const std::string& path);

// Writes all of `length` bytes, riding out short writes; false on failure.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t length);

} // namespace wsim
