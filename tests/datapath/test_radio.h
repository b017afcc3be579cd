// A radio for the data-path tests: records what the driver sends, answers with the
// events and ACL packets a test queues, and can be told to stall sends or fail its IN
// pipes.
#pragma once

#include <host/radio.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace datapath_test {

class TestRadio : public usbsim::Radio {
public:
    enum : uint8_t { kEventEndpoint = 0x81, kAclInEndpoint = 0x82, kAclOutEndpoint = 0x02 };

    struct Command {
        usbsim::SetupPacket setup;
        std::vector<uint8_t> bytes;
    };

    // An HCI event, handed out in transfers of at most 16 bytes (the interrupt pipe's
    // packet size) and at most what the transfer asks for.
    void QueueEvent(std::vector<uint8_t> event) { Queue(kEventEndpoint, std::move(event), 16); }
    // An ACL packet, handed out in transfers of at most what the transfer asks for.
    void QueueAcl(std::vector<uint8_t> packet) { Queue(kAclInEndpoint, std::move(packet), SIZE_MAX); }

    // Sends are held, never completed, while set.
    void StallSends(bool stall);
    // IN transfers on the endpoint fail with USBD_STATUS_STALL_PID while set.
    void FailIn(uint8_t endpoint, bool fail);

    std::vector<Command> Commands();
    std::vector<std::vector<uint8_t>> AclSent();
    // IN transfers the bus asked data for on an endpoint, answered or not.
    size_t ReceiveCalls(uint8_t endpoint);
    // Bytes queued on an endpoint that no transfer has taken yet.
    size_t BytesWaiting(uint8_t endpoint);
    // Waits (real time) until `count` IN transfers have asked for data on the endpoint.
    bool WaitForReceiveCalls(uint8_t endpoint, size_t count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits (real time) until nothing is left queued on the endpoint.
    bool WaitUntilDrained(uint8_t endpoint, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void attach(usbsim::RadioHost* host) override;
    usbsim::Descriptors descriptors() override;
    void controlOut(const usbsim::SetupPacket& setup, std::span<const uint8_t> data,
                    usbsim::Completion done) override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> data, usbsim::Completion done) override;
    usbsim::Receipt receive(uint8_t endpoint, USBD_PIPE_TYPE type, size_t maxLength) override;

private:
    struct Pending {
        std::vector<uint8_t> bytes;
        size_t taken = 0;
        size_t chunk = 0;
    };
    void Queue(uint8_t endpoint, std::vector<uint8_t> bytes, size_t chunk);
    void Notify();

    std::mutex mutex_;
    std::condition_variable changed_;
    usbsim::RadioHost* host_ = nullptr;
    bool stallSends_ = false;
    std::map<uint8_t, bool> failIn_;
    std::map<uint8_t, std::deque<Pending>> in_;
    std::map<uint8_t, size_t> receiveCalls_;
    std::vector<Command> commands_;
    std::vector<std::vector<uint8_t>> aclSent_;
};

}  // namespace datapath_test
