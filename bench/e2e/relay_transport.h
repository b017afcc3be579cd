// Straight over the emulator's socket, but with the one hand-over the driver's
// path cannot do without: a thread of its own takes each packet off the socket
// and wakes the host, as the driver's receive thread does, and the host waits
// for it the way it waits for the driver (one yield, then sleep). Nothing else
// of the driver is in the path, so its figures are the floor any driver with
// a receive thread stands on, on this machine.
#pragma once

#include "socket_transport.h"

#include <radios/h4_framing.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wsim {

class RelayTransport : public Transport {
public:
    explicit RelayTransport(const std::string& path) : fd_(ConnectUnixSocket(path)) {
        if (fd_ < 0) throw std::runtime_error("cannot connect to " + path + ": " + std::strerror(errno));
        relay_ = std::thread([this] { Relay(); });
    }
    ~RelayTransport() override {
        ::shutdown(fd_, SHUT_RDWR);
        relay_.join();
        ::close(fd_);
    }
    RelayTransport(const RelayTransport&) = delete;
    RelayTransport& operator=(const RelayTransport&) = delete;

    bool Send(const Packet& packet) override { return !closed_ && WriteAll(fd_, packet.data(), packet.size()); }

    std::optional<Packet> Receive(std::chrono::microseconds wait) override {
        std::unique_lock lock(mutex_);
        if (ready_.empty() && !closed_) {
            lock.unlock();
            sched_yield();
            lock.lock();
        }
        if (!arrived_.wait_for(lock, wait, [this] { return !ready_.empty() || closed_; }) || ready_.empty())
            return std::nullopt;
        Packet packet = std::move(ready_.front());
        ready_.pop_front();
        return packet;
    }

    bool Closed() const override { return closed_; }

private:
    void Relay() {
        usbsim::h4::PacketAssembler assembler;
        std::uint8_t buffer[4096];
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
            if (n < 0 && errno == EINTR) continue;
            std::unique_lock lock(mutex_);
            const std::size_t before = ready_.size();
            if (n <= 0 || !assembler.Feed(buffer, static_cast<std::size_t>(n),
                                          [this](const Packet& p) { ready_.push_back(p); })) {
                closed_ = true;
                arrived_.notify_all();
                return;
            }
            const bool arrived = ready_.size() != before;
            lock.unlock();
            if (arrived) arrived_.notify_one();
        }
    }

    int fd_;
    std::atomic<bool> closed_{false};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Packet> ready_;
    std::thread relay_;
};

}  // namespace wsim
