// A radio that tests drive by hand: they queue what it sends, read back what
// it received, and choose how its pipes and port misbehave.
#pragma once

#include <host/radio.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace usbsim {

// The descriptors of a common USB 1.1 Bluetooth radio: class E0/01/01, one
// configuration with interface 0 (interrupt-in 0x81 of 16 bytes, bulk-in 0x82
// and bulk-out 0x02 of 64) and interface 1 in alternate settings 0 to 5
// (isochronous 0x83 and 0x03), string descriptor 0 listing language 0x0409.
Descriptors StandardBluetoothRadioDescriptors();

class ScriptedRadio : public Radio {
public:
    enum : uint8_t { kEventEndpoint = 0x81, kAclInEndpoint = 0x82, kAclOutEndpoint = 0x02 };

    // How the radio ends the sends of one kind (commands, or bulk OUT data).
    struct SendBehaviour {
        enum class Mode { Complete, Stall, Delay };
        Mode mode = Mode::Complete;
        USBD_STATUS status = USBD_STATUS_SUCCESS;  // the URB's status when it ends
        LONGLONG delay = 0;                        // driver time, 100 ns units

        static SendBehaviour Completes() { return {}; }
        static SendBehaviour Fails(USBD_STATUS status) { return {Mode::Complete, status, 0}; }
        // Never completes: the request stays until it is cancelled.
        static SendBehaviour Stalls() { return {Mode::Stall, USBD_STATUS_SUCCESS, 0}; }
        static SendBehaviour CompletesAfter(LONGLONG delay, USBD_STATUS status = USBD_STATUS_SUCCESS) {
            return {Mode::Delay, status, delay};
        }
    };

    // The hub port: what it reports before and after the first reset, and
    // what the reset request returns.
    struct PortBehaviour {
        PortStatus beforeReset;
        PortStatus afterReset;
        NTSTATUS resetStatus = STATUS_SUCCESS;
    };

    struct Command {
        SetupPacket setup;
        std::vector<uint8_t> bytes;
    };

    explicit ScriptedRadio(Descriptors descriptors = StandardBluetoothRadioDescriptors());
    ~ScriptedRadio() override;
    ScriptedRadio(const ScriptedRadio &) = delete;
    ScriptedRadio &operator=(const ScriptedRadio &) = delete;

    // ---- what the radio sends: each queued message is handed out in
    // transfers of at most the URB's length (and the chunk size, if set); a
    // transfer never spans two messages.
    void QueueEvent(std::vector<uint8_t> bytes) { QueueIn(kEventEndpoint, std::move(bytes)); }
    void QueueAcl(std::vector<uint8_t> bytes) { QueueIn(kAclInEndpoint, std::move(bytes)); }
    void QueueIn(uint8_t endpoint, std::vector<uint8_t> bytes);
    // Hands at most this many bytes per transfer on the endpoint (0: no limit),
    // so that transfers end short.
    void SetInChunk(uint8_t endpoint, size_t bytes);
    // IN transfers on the endpoint fail with this URB status; success heals it.
    void FailIn(uint8_t endpoint, USBD_STATUS status);
    // Holds back the endpoint's data: its transfers stay pending until released.
    void StallIn(uint8_t endpoint, bool stall);
    // Bytes queued on the endpoint and not yet handed out.
    size_t QueuedInBytes(uint8_t endpoint) const;
    // IN transfers the bus asked the endpoint for data, answered or not.
    size_t ReceiveCalls(uint8_t endpoint) const;
    // Wait (real time) until `count` IN transfers asked the endpoint for
    // data, or until nothing is left queued on it; false on time-out.
    bool WaitForReceiveCalls(uint8_t endpoint, size_t count,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitUntilDrained(uint8_t endpoint, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // ---- how sends end
    void SetCommandBehaviour(SendBehaviour behaviour);
    void SetAclOutBehaviour(SendBehaviour behaviour);
    // Ends every stalled send with this status; returns how many there were.
    size_t CompleteStalledSends(USBD_STATUS status = USBD_STATUS_SUCCESS);

    // ---- what the radio received, in order
    std::vector<Command> Commands() const;
    std::vector<std::vector<uint8_t>> AclReceived() const;
    // Wait (real time) until at least `count` arrived; false on time-out.
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitForAcl(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // ---- what the radio and its bus say about themselves
    void SetDescriptors(Descriptors descriptors);
    void SetPort(PortBehaviour behaviour);
    size_t PortResets() const;
    // Port status requests the bus asked the port, failed or not.
    size_t PortStatusReads() const;
    // Every URB of this function fails with the status (success heals it).
    void FailUrbFunction(USHORT function, USBD_STATUS status);
    void SetBusInfo(USB_BUS_NOTIFICATION info);
    void SetControllerName(std::u16string name);

    // Pulls the radio out of its port: the bus fails its transfers and
    // reports the device gone.
    void Unplug();
    bool Attached() const;

    // Radio
    void attach(RadioHost *host) override;
    Descriptors descriptors() override;
    void controlOut(const SetupPacket &setup, std::span<const uint8_t> data, Completion done) override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> data, Completion done) override;
    Receipt receive(uint8_t endpoint, USBD_PIPE_TYPE type, size_t maxLength) override;
    PortStatus portStatus() override;
    NTSTATUS resetPort() override;
    USBD_STATUS urbFault(USHORT function) override;
    USB_BUS_NOTIFICATION busInfo() override;
    std::u16string controllerName() override;

private:
    struct InPipe {
        std::deque<std::vector<uint8_t>> messages;
        size_t taken = 0;  // bytes of the front message already handed out
        size_t chunk = 0;
        USBD_STATUS failure = USBD_STATUS_SUCCESS;
        bool stalled = false;
        size_t receiveCalls = 0;
    };

    // The next transfer's bytes from the endpoint's queue.
    Receipt Take(uint8_t endpoint, size_t maxLength);
    // With mutex_ held: a stalled send is kept before anyone can see that it
    // came, so that whoever waits for it may complete it at once.
    bool HoldIfStalledLocked(const SendBehaviour &behaviour, Completion &done);
    // Ends a send that is not held, as its behaviour says.
    void End(const SendBehaviour &behaviour, Completion done);
    // Tells the bus that an IN pipe may have something now.
    void NotifyData();

    // Held across every call into the bus, so that a detach waits for a call
    // in flight; recursive because the bus may call back in from inside one.
    mutable std::recursive_mutex hostMutex_;
    RadioHost *host_ = nullptr;

    mutable std::mutex mutex_;
    // Told of every send that arrives and every IN transfer that asks for data.
    mutable std::condition_variable changed_;
    Descriptors descriptors_;
    std::map<uint8_t, InPipe> in_;
    SendBehaviour commandBehaviour_;
    SendBehaviour aclOutBehaviour_;
    std::vector<Completion> stalled_;
    std::vector<Command> commands_;
    std::vector<std::vector<uint8_t>> aclReceived_;
    PortBehaviour port_;
    size_t resets_ = 0;
    size_t portStatusReads_ = 0;
    std::map<USHORT, USBD_STATUS> urbFaults_;
    std::optional<USB_BUS_NOTIFICATION> busInfo_;
    std::optional<std::u16string> controllerName_;
};

}  // namespace usbsim
