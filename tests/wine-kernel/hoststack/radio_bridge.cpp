#include "radio_bridge.h"

#include <radios/h4_framing.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace wsim {
namespace {

bool Control(HANDLE bus, DWORD code, const void* in, DWORD inLength, void* out = nullptr, DWORD outLength = 0,
             DWORD* returned = nullptr) {
    DWORD ignored = 0;
    return DeviceIoControl(bus, code, const_cast<void*>(in), inLength, out, outLength, returned ? returned : &ignored,
                           nullptr) != 0;
}

bool SendAll(SOCKET socket, const std::uint8_t* data, DWORD length) {
    while (length > 0) {
        int sent = send(socket, reinterpret_cast<const char*>(data), static_cast<int>(length), 0);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<DWORD>(sent);
    }
    return true;
}

} // namespace

RadioBridge::RadioBridge(unsigned short port) {
    WSADATA winsock;
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0) throw std::runtime_error("no Winsock");
    socket_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_port = htons(port);
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ == INVALID_SOCKET || connect(socket_, reinterpret_cast<sockaddr*>(&relay), sizeof(relay)) != 0)
        throw std::runtime_error("the relay does not answer on port " + std::to_string(port));
    BOOL noDelay = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));

    bus_ = CreateFileA(TESTBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus_ == INVALID_HANDLE_VALUE) throw std::runtime_error("the test bus is not installed");
    if (!Control(bus_, IOCTL_TESTBUS_PLUG, nullptr, 0) || !Control(bus_, IOCTL_TESTBUS_BRIDGE, nullptr, 0))
        throw std::runtime_error("the radio cannot be plugged into the test bus");
    threads_[0] = CreateThread(nullptr, 0, CarryOutgoing, this, 0, nullptr);
    threads_[1] = CreateThread(nullptr, 0, CarryIncoming, this, 0, nullptr);
}

RadioBridge::~RadioBridge() {
    Pull();
    WaitForMultipleObjects(2, threads_, TRUE, INFINITE);
    CloseHandle(threads_[0]);
    CloseHandle(threads_[1]);
    CloseHandle(bus_);
    WSACleanup();
}

void RadioBridge::Pull() {
    if (InterlockedExchange(&pulled_, 1) != 0) return;
    shutdown(socket_, SD_BOTH);
    closesocket(socket_);
    Control(bus_, IOCTL_TESTBUS_UNPLUG, nullptr, 0);
}

// Each packet the driver sends, one at a time as the bus hands them over.
DWORD WINAPI RadioBridge::CarryOutgoing(void* self) {
    auto* bridge = static_cast<RadioBridge*>(self);
    std::vector<std::uint8_t> packet(TESTBUS_TAKE_BYTES);
    for (;;) {
        DWORD length = 0;
        if (!Control(bridge->bus_, IOCTL_TESTBUS_TAKE_OUTGOING, nullptr, 0, packet.data(),
                     static_cast<DWORD>(packet.size()), &length))
            break; // the radio was pulled
        if (!SendAll(bridge->socket_, packet.data(), length)) break;
    }
    return 0;
}

// The controller's stream, cut into whole packets for the interrupt and bulk-in pipes.
DWORD WINAPI RadioBridge::CarryIncoming(void* self) {
    auto* bridge = static_cast<RadioBridge*>(self);
    usbsim::h4::PacketAssembler assembler;
    std::uint8_t buffer[8192];
    for (;;) {
        int received = recv(bridge->socket_, reinterpret_cast<char*>(buffer), sizeof(buffer), 0);
        bool whole = received > 0 && assembler.Feed(buffer, static_cast<std::size_t>(received), [&](const auto& p) {
            DWORD code = p[0] == usbsim::h4::Event ? IOCTL_TESTBUS_QUEUE_EVENT : IOCTL_TESTBUS_QUEUE_ACL;
            // A full queue means the driver has stopped taking in; the packet is lost, and said so.
            if ((p[0] == usbsim::h4::Event || p[0] == usbsim::h4::Acl) &&
                !Control(bridge->bus_, code, p.data() + 1, static_cast<DWORD>(p.size() - 1)))
                std::fprintf(stderr, "wrenlok-sim: the test bus refused a %s packet of %u bytes from the controller "
                                     "(error %lu); it is lost\n",
                             p[0] == usbsim::h4::Event ? "event" : "ACL", static_cast<unsigned>(p.size() - 1),
                             GetLastError());
        });
        if (!whole) break;
    }
    // The controller went away: to the driver that is the radio leaving.
    bridge->Pull();
    return 0;
}

} // namespace wsim
