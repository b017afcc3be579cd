// The radio behind the simulated USB bus: what the bus asks of a device and
// how the device answers. A radio is plugged in with usbsim::Bus (bus.h).
#pragma once

#include <usb.h>
#include <usbioctl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace wrk {
class InterruptLine;
}

namespace usbsim {

// The setup packet of a control transfer on the default pipe.
struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

// What the radio answers to GET_DESCRIPTOR, as the bytes it would send.
struct Descriptors {
    std::vector<uint8_t> device;                        // the device descriptor
    std::vector<std::vector<uint8_t>> configurations;   // one whole descriptor set per index
    std::map<uint8_t, std::vector<uint8_t>> strings;    // by index; 0 lists the languages
};

// One look at the hub port: the request's status and, on success, the
// USBD_PORT_ENABLED / USBD_PORT_CONNECTED bits.
struct PortStatus {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG bits = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
};

// What an IN transfer gets when the bus asks the radio for data.
struct Receipt {
    enum class Kind { Nothing, Data, Failed };
    Kind kind = Kind::Nothing;   // Nothing: the transfer stays pending
    std::vector<uint8_t> bytes;  // Data: at most the length the bus asked for
    USBD_STATUS status = USBD_STATUS_SUCCESS;  // Failed: the URB's status

    static Receipt nothing() { return {}; }
    static Receipt data(std::vector<uint8_t> bytes) { return {Kind::Data, std::move(bytes), USBD_STATUS_SUCCESS}; }
    static Receipt failed(USBD_STATUS status) { return {Kind::Failed, {}, status}; }
};

namespace detail {
struct SendTicket;
}

// The bus's hold on one send (control or bulk OUT) that the radio is given.
// The radio finishes the send by calling complete() or completeAfter() once,
// from any thread, at once or later; a send never completed stalls until the
// driver cancels it. Calls after the first, or after a cancel, are ignored.
class Completion {
public:
    explicit Completion(std::shared_ptr<detail::SendTicket> ticket) : ticket_(std::move(ticket)) {}

    void complete(USBD_STATUS status = USBD_STATUS_SUCCESS) const;
    // Completes when this much driver time (100 ns units, positive) has passed.
    void completeAfter(LONGLONG delay, USBD_STATUS status = USBD_STATUS_SUCCESS) const;

private:
    std::shared_ptr<detail::SendTicket> ticket_;
};

// The bus side, handed to the radio when it is plugged in.
class RadioHost {
public:
    // The radio has new IN data (or a changed mind about a pipe): the bus asks
    // receive() again for every transfer it holds.
    virtual void dataReady() = 0;
    // The radio is gone: transfers fail from now on and the device is reported
    // missing (surprise removal).
    virtual void unplugged() = 0;

protected:
    ~RadioHost() = default;
};

// A USB Bluetooth radio as the bus sees it. Calls come from the bus's
// dispatch routines, its own thread, and the radio's own thread (or a kernel
// thread serving its interrupt line) when it reports dataReady(); never with
// a bus lock held, so a radio may call back into the RadioHost or a
// Completion from inside them.
class Radio {
public:
    virtual ~Radio() = default;

    // Called on plug-in with the bus side and on unplug with null.
    virtual void attach(RadioHost *host) = 0;

    virtual Descriptors descriptors() = 0;

    // A class or vendor request on the default pipe (an HCI command).
    virtual void controlOut(const SetupPacket &setup, std::span<const uint8_t> data, Completion done) = 0;
    // Bytes on a bulk OUT endpoint (ACL data).
    virtual void bulkOut(uint8_t endpoint, std::span<const uint8_t> data, Completion done) = 0;
    // Data for one IN transfer on an interrupt or bulk endpoint: at most
    // maxLength bytes, the rest stays for the next transfer.
    virtual Receipt receive(uint8_t endpoint, USBD_PIPE_TYPE type, size_t maxLength) = 0;

    // The hub port; resetPort() is counted by the radio and changes what
    // portStatus() reports afterwards.
    virtual PortStatus portStatus() { return {}; }
    virtual NTSTATUS resetPort() { return STATUS_SUCCESS; }

    // A failure the radio imposes on every URB of this function (a
    // URB_FUNCTION_* value); USBD_STATUS_SUCCESS lets it through.
    virtual USBD_STATUS urbFault(USHORT function) { (void)function; return USBD_STATUS_SUCCESS; }

    // What the host controller says about itself. ControllerNameLength is the
    // size of the name record: a ULONG length, then the UTF-16 name.
    virtual std::u16string controllerName() { return u"\\Device\\USBPDO-0"; }
    virtual USB_BUS_NOTIFICATION busInfo() {
        return {0, 12000, 0, ULONG(sizeof(ULONG) + controllerName().size() * sizeof(char16_t))};
    }

    // The radio's input as an interrupt line the kernel's sleeping threads
    // may serve (host/kernel.h), or null when only the radio's own thread
    // reports data. The bus connects it while the radio is plugged in.
    virtual wrk::InterruptLine* interruptLine() { return nullptr; }
};

}  // namespace usbsim
