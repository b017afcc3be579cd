#include "socket_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wsim {

int ConnectUnixSocket(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

SocketTransport::SocketTransport(const std::string& path, std::chrono::microseconds spin)
    : fd_(ConnectUnixSocket(path)), spin_(spin) {
    if (fd_ < 0) throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
}

SocketTransport::~SocketTransport() {
    if (fd_ >= 0) ::close(fd_);
}

bool SocketTransport::Send(const Packet& packet) {
    // The emulator loses step when a header is split over two writes, so the
    // whole packet goes in one write.
    if (closed_ || !WriteAll(fd_, packet.data(), packet.size())) {
        closed_ = true;
        return false;
    }
    return true;
}

std::optional<Packet> SocketTransport::Receive(std::chrono::microseconds wait) {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + wait;
    const auto spinUntil = start + std::min(spin_, wait);
    while (ready_.empty() && !closed_) {
        const auto now = std::chrono::steady_clock::now();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        pollfd p{fd_, POLLIN, 0};
        int timeout = now < spinUntil ? 0 : left.count() > 0 ? static_cast<int>(left.count()) : 0;
        int r = ::poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 && timeout == 0 && std::chrono::steady_clock::now() < spinUntil) continue;
        if (r <= 0) break;
        std::uint8_t buffer[4096];
        ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !assembler_.Feed(buffer, static_cast<std::size_t>(n),
                                       [&](const Packet& p) { ready_.push_back(p); })) {
            closed_ = true;
        }
    }
    if (ready_.empty()) return std::nullopt;
    Packet packet = std::move(ready_.front());
    ready_.pop_front();
    return packet;
}

} // namespace wsim
