#include "test_radio.h"

#include <radios/h4_radio.h>

#include <algorithm>

namespace datapath_test {

void TestRadio::Queue(uint8_t endpoint, std::vector<uint8_t> bytes, size_t chunk) {
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].push_back({std::move(bytes), 0, chunk});
    }
    Notify();
}

// Told outside our lock: the bus asks receive() again from inside dataReady().
void TestRadio::Notify() {
    usbsim::RadioHost* host;
    {
        std::lock_guard lock(mutex_);
        host = host_;
    }
    if (host != nullptr)
        host->dataReady();
}

void TestRadio::StallSends(bool stall) {
    std::lock_guard lock(mutex_);
    stallSends_ = stall;
}

void TestRadio::FailIn(uint8_t endpoint, bool fail) {
    {
        std::lock_guard lock(mutex_);
        failIn_[endpoint] = fail;
    }
    Notify();
}

std::vector<TestRadio::Command> TestRadio::Commands() {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<std::vector<uint8_t>> TestRadio::AclSent() {
    std::lock_guard lock(mutex_);
    return aclSent_;
}

size_t TestRadio::ReceiveCalls(uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    return receiveCalls_[endpoint];
}

size_t TestRadio::BytesWaiting(uint8_t endpoint) {
    std::lock_guard lock(mutex_);
    size_t total = 0;
    for (const Pending& p : in_[endpoint])
        total += p.bytes.size() - p.taken;
    return total;
}

bool TestRadio::WaitForReceiveCalls(uint8_t endpoint, size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return receiveCalls_[endpoint] >= count; });
}

bool TestRadio::WaitUntilDrained(uint8_t endpoint, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return in_[endpoint].empty(); });
}

void TestRadio::attach(usbsim::RadioHost* host) {
    std::lock_guard lock(mutex_);
    host_ = host;
}

usbsim::Descriptors TestRadio::descriptors() { return usbsim::StandardBluetoothRadioDescriptors(); }

void TestRadio::controlOut(const usbsim::SetupPacket& setup, std::span<const uint8_t> data,
                           usbsim::Completion done) {
    bool stall;
    {
        std::lock_guard lock(mutex_);
        commands_.push_back({setup, {data.begin(), data.end()}});
        stall = stallSends_;
    }
    changed_.notify_all();
    if (!stall)
        done.complete();
}

void TestRadio::bulkOut(uint8_t endpoint, std::span<const uint8_t> data, usbsim::Completion done) {
    bool stall;
    {
        std::lock_guard lock(mutex_);
        aclSent_.emplace_back(data.begin(), data.end());
        stall = stallSends_;
    }
    changed_.notify_all();
    if (!stall)
        done.complete();
}

usbsim::Receipt TestRadio::receive(uint8_t endpoint, USBD_PIPE_TYPE, size_t maxLength) {
    usbsim::Receipt receipt;
    {
        std::lock_guard lock(mutex_);
        receiveCalls_[endpoint]++;
        if (failIn_[endpoint]) {
            receipt = usbsim::Receipt::failed(USBD_STATUS_STALL_PID);
        } else {
            auto& queue = in_[endpoint];
            if (!queue.empty()) {
                Pending& front = queue.front();
                const size_t n = std::min({maxLength, front.chunk, front.bytes.size() - front.taken});
                receipt = usbsim::Receipt::data(
                    {front.bytes.begin() + front.taken, front.bytes.begin() + front.taken + n});
                front.taken += n;
                if (front.taken == front.bytes.size())
                    queue.pop_front();
            }
        }
    }
    changed_.notify_all();
    return receipt;
}

}  // namespace datapath_test
