// A radio whose controller sits at the far end of an H4 stream socket, such as
// the ones the controller emulator serves: commands on the default pipe and
// ACL data on bulk OUT go into the socket, events come back on the interrupt
// pipe and ACL data on bulk IN, each transfer taking what the URB has room for.
// The socket closing is the radio leaving the bus. The socket is the radio's
// interrupt line: a driver thread asleep in the kernel reads it itself, and
// the radio's own thread reads it only while none does.
#pragma once

#include <host/kernel.h>
#include <host/radio.h>
#include <radios/h4_framing.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbsim {

class H4Radio : public Radio, private wrk::InterruptLine {
public:
    enum : uint8_t { kEventEndpoint = 0x81, kAclInEndpoint = 0x82, kAclOutEndpoint = 0x02 };

    // Connects to the socket at `path`; throws std::runtime_error when it cannot.
    static std::unique_ptr<H4Radio> Connect(const std::string& path);
    // Takes over a connected stream socket.
    explicit H4Radio(int socket);
    ~H4Radio() override;
    H4Radio(const H4Radio&) = delete;
    H4Radio& operator=(const H4Radio&) = delete;

    // Closes the radio's end of the socket, as pulling the radio out would.
    void Disconnect();
    bool Connected() const { return !closed_; }

    void attach(RadioHost* host) override;
    Descriptors descriptors() override;
    void controlOut(const SetupPacket& setup, std::span<const uint8_t> data, Completion done) override;
    void bulkOut(uint8_t endpoint, std::span<const uint8_t> data, Completion done) override;
    Receipt receive(uint8_t endpoint, USBD_PIPE_TYPE type, size_t maxLength) override;
    wrk::InterruptLine* interruptLine() override { return this; }

private:
    // Packets of one kind from the controller, kept as they arrive: the last
    // one may still be growing.
    struct InPipe {
        std::deque<std::vector<uint8_t>> packets;
        size_t taken = 0;       // bytes of the front packet already handed out
        bool lastOpen = false;  // the back packet has not ended yet
        void Append(const h4::StreamCursor::Piece& piece);
        Receipt Take(size_t maxLength);
    };

    int Fd() override { return closed_ ? -1 : socket_; }
    void Service() override { ReadAvailable(); }
    void KernelPolls(bool polling) override;

    void ReadLoop();
    // Takes in what the socket holds without waiting and tells the bus;
    // false once the stream has ended.
    bool ReadAvailable();
    void Kick();
    // One whole H4 packet in one write: the emulator loses step when a header
    // arrives split over two.
    bool WritePacket(uint8_t type, std::span<const uint8_t> bytes);
    void Closed();

    int socket_;
    std::atomic<bool> closed_{false};
    // Held across every call into the bus, so that detaching waits for a call
    // in flight; recursive because the bus may detach from inside one.
    std::recursive_mutex hostMutex_;
    RadioHost* host_ = nullptr;    // hostMutex_
    bool unplugNotified_ = false;  // hostMutex_
    std::mutex mutex_;             // the IN pipes and the ACL OUT buffer
    InPipe events_;
    InPipe acl_;
    std::vector<uint8_t> aclOut_;  // bulk OUT bytes not yet a whole ACL packet
    std::mutex writeMutex_;
    std::mutex readMutex_;         // one reader of the socket at a time
    h4::StreamCursor cursor_;      // readMutex_
    std::atomic<bool> kernelPolls_{false};  // a kernel thread reads the socket
    std::atomic<bool> stopping_{false};
    int kick_;                     // an eventfd that makes the reader thread look again
    std::thread reader_;
};

// The descriptors of a common USB 1.1 Bluetooth radio.
Descriptors StandardBluetoothRadioDescriptors();

}  // namespace usbsim
