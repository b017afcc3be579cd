#include <host/scripted_radio.h>

#include <algorithm>

namespace usbsim {

ScriptedRadio::ScriptedRadio(Descriptors descriptors) : descriptors_(std::move(descriptors)) {}

ScriptedRadio::~ScriptedRadio() = default;

void ScriptedRadio::NotifyData() {
    std::lock_guard host(hostMutex_);
    if (host_ != nullptr) host_->dataReady();
}

void ScriptedRadio::QueueIn(uint8_t endpoint, std::vector<uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].messages.push_back(std::move(bytes));
    }
    NotifyData();
}

void ScriptedRadio::SetInChunk(uint8_t endpoint, size_t bytes) {
    std::lock_guard lock(mutex_);
    in_[endpoint].chunk = bytes;
}

void ScriptedRadio::FailIn(uint8_t endpoint, USBD_STATUS status) {
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].failure = status;
    }
    NotifyData();
}

void ScriptedRadio::StallIn(uint8_t endpoint, bool stall) {
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].stalled = stall;
    }
    NotifyData();
}

size_t ScriptedRadio::QueuedInBytes(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    auto pipe = in_.find(endpoint);
    if (pipe == in_.end()) return 0;
    size_t bytes = 0;
    for (const auto &message : pipe->second.messages) bytes += message.size();
    return bytes - pipe->second.taken;
}

Receipt ScriptedRadio::receive(uint8_t endpoint, USBD_PIPE_TYPE, size_t maxLength) {
    Receipt receipt = Take(endpoint, maxLength);
    changed_.notify_all();
    return receipt;
}

Receipt ScriptedRadio::Take(uint8_t endpoint, size_t maxLength) {
    std::lock_guard lock(mutex_);
    InPipe &pipe = in_[endpoint];
    ++pipe.receiveCalls;
    if (pipe.stalled) return Receipt::nothing();
    if (USBD_ERROR(pipe.failure)) return Receipt::failed(pipe.failure);
    if (pipe.messages.empty()) return Receipt::nothing();
    const std::vector<uint8_t> &front = pipe.messages.front();
    size_t length = std::min(front.size() - pipe.taken, maxLength);
    if (pipe.chunk != 0) length = std::min(length, pipe.chunk);
    std::vector<uint8_t> bytes(front.begin() + static_cast<ptrdiff_t>(pipe.taken),
                               front.begin() + static_cast<ptrdiff_t>(pipe.taken + length));
    pipe.taken += length;
    if (pipe.taken == front.size()) {
        pipe.messages.pop_front();
        pipe.taken = 0;
    }
    return Receipt::data(std::move(bytes));
}

size_t ScriptedRadio::ReceiveCalls(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    auto pipe = in_.find(endpoint);
    return pipe == in_.end() ? 0 : pipe->second.receiveCalls;
}

bool ScriptedRadio::WaitForReceiveCalls(uint8_t endpoint, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        auto pipe = in_.find(endpoint);
        return pipe != in_.end() && pipe->second.receiveCalls >= count;
    });
}

bool ScriptedRadio::WaitUntilDrained(uint8_t endpoint, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        auto pipe = in_.find(endpoint);
        return pipe == in_.end() || pipe->second.messages.empty();
    });
}

void ScriptedRadio::SetCommandBehaviour(SendBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    commandBehaviour_ = behaviour;
}

void ScriptedRadio::SetAclOutBehaviour(SendBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    aclOutBehaviour_ = behaviour;
}

size_t ScriptedRadio::CompleteStalledSends(USBD_STATUS status) {
    std::vector<Completion> stalled;
    {
        std::lock_guard lock(mutex_);
        stalled.swap(stalled_);
    }
    for (const Completion &done : stalled) done.complete(status);
    return stalled.size();
}

bool ScriptedRadio::HoldIfStalledLocked(const SendBehaviour &behaviour, Completion &done) {
    if (behaviour.mode != SendBehaviour::Mode::Stall) return false;
    stalled_.push_back(std::move(done));
    return true;
}

void ScriptedRadio::End(const SendBehaviour &behaviour, Completion done) {
    if (behaviour.mode == SendBehaviour::Mode::Delay) done.completeAfter(behaviour.delay, behaviour.status);
    else done.complete(behaviour.status);
}

void ScriptedRadio::controlOut(const SetupPacket &setup, std::span<const uint8_t> data, Completion done) {
    SendBehaviour behaviour;
    bool held;
    {
        std::lock_guard lock(mutex_);
        commands_.push_back({setup, std::vector<uint8_t>(data.begin(), data.end())});
        behaviour = commandBehaviour_;
        held = HoldIfStalledLocked(behaviour, done);
    }
    changed_.notify_all();
    if (!held) End(behaviour, std::move(done));
}

void ScriptedRadio::bulkOut(uint8_t, std::span<const uint8_t> data, Completion done) {
    SendBehaviour behaviour;
    bool held;
    {
        std::lock_guard lock(mutex_);
        aclReceived_.emplace_back(data.begin(), data.end());
        behaviour = aclOutBehaviour_;
        held = HoldIfStalledLocked(behaviour, done);
    }
    changed_.notify_all();
    if (!held) End(behaviour, std::move(done));
}

std::vector<ScriptedRadio::Command> ScriptedRadio::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<std::vector<uint8_t>> ScriptedRadio::AclReceived() const {
    std::lock_guard lock(mutex_);
    return aclReceived_;
}

bool ScriptedRadio::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return commands_.size() >= count; });
}

bool ScriptedRadio::WaitForAcl(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return aclReceived_.size() >= count; });
}

void ScriptedRadio::SetDescriptors(Descriptors descriptors) {
    std::lock_guard lock(mutex_);
    descriptors_ = std::move(descriptors);
}

Descriptors ScriptedRadio::descriptors() {
    std::lock_guard lock(mutex_);
    return descriptors_;
}

void ScriptedRadio::SetPort(PortBehaviour behaviour) {
    std::lock_guard lock(mutex_);
    port_ = behaviour;
}

size_t ScriptedRadio::PortResets() const {
    std::lock_guard lock(mutex_);
    return resets_;
}

size_t ScriptedRadio::PortStatusReads() const {
    std::lock_guard lock(mutex_);
    return portStatusReads_;
}

PortStatus ScriptedRadio::portStatus() {
    std::lock_guard lock(mutex_);
    ++portStatusReads_;
    return resets_ == 0 ? port_.beforeReset : port_.afterReset;
}

NTSTATUS ScriptedRadio::resetPort() {
    std::lock_guard lock(mutex_);
    ++resets_;
    return port_.resetStatus;
}

void ScriptedRadio::FailUrbFunction(USHORT function, USBD_STATUS status) {
    std::lock_guard lock(mutex_);
    urbFaults_[function] = status;
}

USBD_STATUS ScriptedRadio::urbFault(USHORT function) {
    std::lock_guard lock(mutex_);
    auto fault = urbFaults_.find(function);
    return fault == urbFaults_.end() ? USBD_STATUS_SUCCESS : fault->second;
}

void ScriptedRadio::SetBusInfo(USB_BUS_NOTIFICATION info) {
    std::lock_guard lock(mutex_);
    busInfo_ = info;
}

USB_BUS_NOTIFICATION ScriptedRadio::busInfo() {
    {
        std::lock_guard lock(mutex_);
        if (busInfo_) return *busInfo_;
    }
    return Radio::busInfo();
}

void ScriptedRadio::SetControllerName(std::u16string name) {
    std::lock_guard lock(mutex_);
    controllerName_ = std::move(name);
}

std::u16string ScriptedRadio::controllerName() {
    {
        std::lock_guard lock(mutex_);
        if (controllerName_) return *controllerName_;
    }
    return Radio::controllerName();
}

void ScriptedRadio::attach(RadioHost *host) {
    std::lock_guard lock(hostMutex_);
    host_ = host;
}

bool ScriptedRadio::Attached() const {
    std::lock_guard lock(hostMutex_);
    return host_ != nullptr;
}

void ScriptedRadio::Unplug() {
    std::lock_guard host(hostMutex_);
    if (host_ != nullptr) host_->unplugged();
}

}  // namespace usbsim
