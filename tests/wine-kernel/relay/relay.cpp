// wrenlok-wine-relay: a private controller emulator, and a loopback TCP port
// through which a Windows machine under Wine reaches it (Wine's Winsock has no
// Unix sockets). Prints "socket PATH" and "port N", then carries one TCP
// session: each whole H4 packet from Wine goes to the emulator in one write, as
// its controllers expect, and the emulator's bytes go back as they come.
// Runs until SIGTERM or SIGINT; the emulator ends with it.
#include "btvirt.h"
#include "socket_transport.h"

#include <radios/h4_framing.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

int Listen(unsigned short& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

// Waits for the fds; false once a stop was requested.
bool WaitFor(pollfd* fds, nfds_t count) {
    while (!stopRequested) {
        int ready = ::poll(fds, count, 200);
        if (ready > 0) return true;
    }
    return false;
}

// One session: until either side closes or a stop is requested.
void Carry(int tcp, int controller) {
    int noDelay = 1;
    ::setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
    usbsim::h4::PacketAssembler fromWine;
    std::uint8_t buffer[8192];
    for (;;) {
        pollfd fds[2] = {{tcp, POLLIN, 0}, {controller, POLLIN, 0}};
        if (!WaitFor(fds, 2)) return;
        if (fds[0].revents) {
            ssize_t n = ::recv(tcp, buffer, sizeof(buffer), 0);
            bool whole = n > 0 && fromWine.Feed(buffer, static_cast<std::size_t>(n), [&](const wsim::Packet& p) {
                wsim::WriteAll(controller, p.data(), p.size());
            });
            if (!whole) return;
        }
        if (fds[1].revents) {
            ssize_t n = ::recv(controller, buffer, sizeof(buffer), 0);
            if (n <= 0 || !wsim::WriteAll(tcp, buffer, static_cast<std::size_t>(n))) return;
        }
    }
}

} // namespace

int main() {
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        auto btvirt = wsim::Btvirt::Start();
        unsigned short port = 0;
        int listener = Listen(port);
        if (listener < 0) throw std::runtime_error("no loopback port to listen on");
        std::printf("socket %s\nport %u\n", btvirt->SocketPath().c_str(), port);
        std::fflush(stdout);

        pollfd waiting{listener, POLLIN, 0};
        if (WaitFor(&waiting, 1)) {
            int tcp = ::accept(listener, nullptr, nullptr);
            int controller = wsim::ConnectUnixSocket(btvirt->SocketPath());
            if (tcp >= 0 && controller >= 0) Carry(tcp, controller);
            // The controller's socket closing is the radio leaving, on both sides.
            if (tcp >= 0) ::close(tcp);
            if (controller >= 0) ::close(controller);
        }
        ::close(listener);
        while (!stopRequested) ::poll(nullptr, 0, 200);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wrenlok-wine-relay: %s\n", e.what());
        return 1;
    }
    return 0;
}
