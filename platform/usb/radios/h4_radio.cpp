#include "h4_radio.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace usbsim {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Endpoint(std::vector<uint8_t>& out, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
    out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes});
    Put16(out, maxPacket);
    out.push_back(interval);
}

void Interface(std::vector<uint8_t>& out, uint8_t number, uint8_t alternate, uint8_t endpoints) {
    out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, 0xE0, 0x01, 0x01, 0});
}

}  // namespace

Descriptors StandardBluetoothRadioDescriptors() {
    Descriptors d;
    d.device = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(d.device, 0x0110);                      // USB 1.1
    d.device.insert(d.device.end(), {0xE0, 0x01, 0x01, 64});
    Put16(d.device, 0xF055);                      // vendor
    Put16(d.device, 0x4834);                      // product
    Put16(d.device, 0x0100);                      // release
    d.device.insert(d.device.end(), {0, 0, 0, 1});

    std::vector<uint8_t> config = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50};
    Interface(config, 0, 0, 3);
    Endpoint(config, H4Radio::kEventEndpoint, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1);
    Endpoint(config, H4Radio::kAclInEndpoint, USB_ENDPOINT_TYPE_BULK, 64, 0);
    Endpoint(config, H4Radio::kAclOutEndpoint, USB_ENDPOINT_TYPE_BULK, 64, 0);
    const uint8_t isochronousSizes[] = {0, 9, 17, 25, 33, 49};
    for (uint8_t alternate = 0; alternate < 6; ++alternate) {
        Interface(config, 1, alternate, 2);
        Endpoint(config, 0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, isochronousSizes[alternate], 1);
        Endpoint(config, 0x03, USB_ENDPOINT_TYPE_ISOCHRONOUS, isochronousSizes[alternate], 1);
    }
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);
    d.configurations.push_back(std::move(config));
    d.strings[0] = {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};
    return d;
}

void H4Radio::InPipe::Append(const h4::StreamCursor::Piece& piece) {
    if (piece.packetStart || packets.empty()) packets.emplace_back();
    packets.back().insert(packets.back().end(), piece.data, piece.data + piece.length);
    lastOpen = !piece.packetEnd;
}

Receipt H4Radio::InPipe::Take(size_t maxLength) {
    if (packets.empty()) return Receipt::nothing();
    auto& front = packets.front();
    size_t available = front.size() - taken;
    if (available == 0 || maxLength == 0) return Receipt::nothing();
    size_t length = available < maxLength ? available : maxLength;
    std::vector<uint8_t> bytes(front.begin() + static_cast<std::ptrdiff_t>(taken),
                               front.begin() + static_cast<std::ptrdiff_t>(taken + length));
    taken += length;
    // A transfer never spans two packets, as a real radio ends each with a short packet.
    bool finished = taken == front.size() && (packets.size() > 1 || !lastOpen);
    if (finished) {
        packets.pop_front();
        taken = 0;
    }
    return Receipt::data(std::move(bytes));
}

std::unique_ptr<H4Radio> H4Radio::Connect(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) throw std::runtime_error("socket path too long: " + path);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        std::string reason = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot connect to " + path + ": " + reason);
    }
    return std::make_unique<H4Radio>(fd);
}

namespace {

int NewEventFd() {
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    return fd;
}

}  // namespace

H4Radio::H4Radio(int socket) : socket_(socket), kick_(NewEventFd()), reader_([this] { ReadLoop(); }) {}

H4Radio::~H4Radio() {
    // A radio destroyed while plugged in must not be polled any more.
    wrk::DisconnectInterruptLine(this);
    {
        std::lock_guard lock(hostMutex_);
        host_ = nullptr;
    }
    stopping_ = true;
    Kick();
    ::shutdown(socket_, SHUT_RDWR);
    reader_.join();
    ::close(socket_);
    ::close(kick_);
}

void H4Radio::Kick() {
    (void)::eventfd_write(kick_, 1);
}

void H4Radio::KernelPolls(bool polling) {
    kernelPolls_ = polling;
    Kick();
}

void H4Radio::Disconnect() { ::shutdown(socket_, SHUT_RDWR); }

void H4Radio::attach(RadioHost* host) {
    std::lock_guard lock(hostMutex_);
    host_ = host;
    if (host && closed_ && !unplugNotified_) {
        unplugNotified_ = true;
        host->unplugged();
    }
}

Descriptors H4Radio::descriptors() { return StandardBluetoothRadioDescriptors(); }

bool H4Radio::WritePacket(uint8_t type, std::span<const uint8_t> bytes) {
    // The type byte and the packet go from where they are, in one write.
    iovec pieces[2] = {{&type, 1}, {const_cast<uint8_t*>(bytes.data()), bytes.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    std::lock_guard lock(writeMutex_);
    size_t left = 1 + bytes.size();
    while (left > 0) {
        ssize_t n = ::sendmsg(socket_, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        left -= static_cast<size_t>(n);
        // A short write leaves the rest of the pieces for the next one.
        for (auto sent = static_cast<size_t>(n); sent > 0;) {
            size_t step = std::min(sent, message.msg_iov->iov_len);
            message.msg_iov->iov_base = static_cast<uint8_t*>(message.msg_iov->iov_base) + step;
            message.msg_iov->iov_len -= step;
            sent -= step;
            if (message.msg_iov->iov_len == 0) {
                ++message.msg_iov;
                --message.msg_iovlen;
            }
        }
    }
    return true;
}

void H4Radio::controlOut(const SetupPacket& setup, std::span<const uint8_t> data, Completion done) {
    // Only a whole command may go on: a malformed one would put the controller
    // out of step with every packet after it. A real radio stalls such a request.
    bool classRequest = (setup.bmRequestType & 0x60) == 0x20;
    bool wellFormed = classRequest && data.size() >= h4::HeaderLength(h4::Command) &&
                      data.size() == h4::HeaderLength(h4::Command) + h4::PayloadLength(h4::Command, data.data());
    if (!wellFormed) {
        done.complete(USBD_STATUS_STALL_PID);
        return;
    }
    done.complete(!closed_ && WritePacket(h4::Command, data) ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING);
}

void H4Radio::bulkOut(uint8_t endpoint, std::span<const uint8_t> data, Completion done) {
    if (endpoint != kAclOutEndpoint) {
        done.complete(USBD_STATUS_STALL_PID);
        return;
    }
    // Bulk OUT is a byte stream to the radio; only whole ACL packets go on.
    // A transfer that starts on a packet boundary, as the driver's do, goes
    // straight from its buffer; only what follows a partial one is gathered.
    std::vector<std::vector<uint8_t>> joined;
    std::span<const uint8_t> whole;
    {
        std::lock_guard lock(mutex_);
        std::span<const uint8_t> rest = data;
        const size_t header = h4::HeaderLength(h4::Acl);
        if (aclOut_.empty()) {
            size_t length = 0;
            while (rest.size() - length >= header &&
                   rest.size() - length >= header + h4::PayloadLength(h4::Acl, rest.data() + length))
                length += header + h4::PayloadLength(h4::Acl, rest.data() + length);
            whole = rest.first(length);
            rest = rest.subspan(length);
        }
        aclOut_.insert(aclOut_.end(), rest.begin(), rest.end());
        while (aclOut_.size() >= header) {
            size_t length = header + h4::PayloadLength(h4::Acl, aclOut_.data());
            if (aclOut_.size() < length) break;
            joined.emplace_back(aclOut_.begin(), aclOut_.begin() + static_cast<std::ptrdiff_t>(length));
            aclOut_.erase(aclOut_.begin(), aclOut_.begin() + static_cast<std::ptrdiff_t>(length));
        }
    }
    bool sent = !closed_;
    while (sent && !whole.empty()) {
        const size_t length = h4::HeaderLength(h4::Acl) + h4::PayloadLength(h4::Acl, whole.data());
        sent = WritePacket(h4::Acl, whole.first(length));
        whole = whole.subspan(length);
    }
    for (const auto& packet : joined) sent = sent && WritePacket(h4::Acl, packet);
    done.complete(sent ? USBD_STATUS_SUCCESS : USBD_STATUS_DEV_NOT_RESPONDING);
}

Receipt H4Radio::receive(uint8_t endpoint, USBD_PIPE_TYPE, size_t maxLength) {
    std::lock_guard lock(mutex_);
    InPipe* pipe = endpoint == kEventEndpoint ? &events_ : endpoint == kAclInEndpoint ? &acl_ : nullptr;
    if (!pipe) return Receipt::failed(USBD_STATUS_STALL_PID);
    Receipt receipt = pipe->Take(maxLength);
    if (receipt.kind == Receipt::Kind::Nothing && closed_) return Receipt::failed(USBD_STATUS_DEVICE_GONE);
    return receipt;
}

void H4Radio::ReadLoop() {
    pthread_setname_np(pthread_self(), "h4-reader");
    for (;;) {
        pollfd fds[2] = {{kick_, POLLIN, 0}, {socket_, POLLIN, 0}};
        const nfds_t count = kernelPolls_ ? 1 : 2;
        if (::poll(fds, count, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) {
            eventfd_t drained;
            (void)::eventfd_read(kick_, &drained);
        }
        if (stopping_) return;
        if (count == 2 && fds[1].revents != 0 && !ReadAvailable()) return;
    }
    Closed();
}

bool H4Radio::ReadAvailable() {
    std::lock_guard read(readMutex_);
    if (closed_) return false;
    uint8_t buffer[4096];
    bool fresh = false;
    bool open = true;
    for (;;) {
        ssize_t n = ::recv(socket_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            open = false;
            break;
        }
        bool inStep;
        {
            std::lock_guard lock(mutex_);
            inStep = cursor_.Feed(buffer, static_cast<size_t>(n), [&](const h4::StreamCursor::Piece& piece) {
                // Commands and SCO data from the controller have no pipe here.
                if (piece.type == h4::Event) events_.Append(piece);
                else if (piece.type == h4::Acl) acl_.Append(piece);
                else return;
                fresh = true;
            });
        }
        // A byte that starts no packet: nothing after it can be followed.
        if (!inStep) {
            open = false;
            break;
        }
        // A short read has emptied the socket: no second call to find that out.
        if (static_cast<size_t>(n) < sizeof(buffer)) break;
    }
    if (fresh) {
        std::lock_guard lock(hostMutex_);
        if (host_) host_->dataReady();
    }
    if (!open) Closed();
    return open;
}

void H4Radio::Closed() {
    std::lock_guard lock(hostMutex_);
    closed_ = true;
    if (host_ && !unplugNotified_) {
        unplugNotified_ = true;
        host_->unplugged();
    }
}

}  // namespace usbsim
