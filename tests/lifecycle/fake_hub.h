// A lower device that answers the internal USB requests of the configuration
// code from a script and records what it was asked, so the driver's USB
// configuration routines can be called directly and watched exactly.
#pragma once

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lifecycle_test {

class FakeHub {
public:
    FakeHub();
    ~FakeHub();
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }

    // ---- the script
    std::vector<uint8_t> configuration;
    std::vector<uint8_t> languages;
    // Delivers at most this many bytes of any configuration read.
    std::optional<size_t> configurationDeliveryLimit;
    // Each port-status read takes the front entry; the last one stays.
    std::deque<ULONG> portStatuses{USBD_PORT_CONNECTED | USBD_PORT_ENABLED};
    NTSTATUS portStatusRequestStatus = STATUS_SUCCESS;
    NTSTATUS resetRequestStatus = STATUS_SUCCESS;
    USBD_STATUS selectUrbStatus = USBD_STATUS_SUCCESS;
    USB_BUS_NOTIFICATION busInfo{0, 12000, 0, 0};
    // The controller-name record the hub writes: its length word and name.
    ULONG controllerNameLengthWord = 0;
    std::u16string controllerName;

    // ---- what happened
    struct DescriptorRead {
        uint8_t type;
        uint8_t index;
        ULONG asked;
    };
    std::vector<DescriptorRead> descriptorReads;
    std::vector<std::pair<uint8_t, uint8_t>> selectedInterfaces;  // number, alternate setting
    int portStatusReads = 0;
    int resets = 0;
    int deselects = 0;
    bool configured = false;
    ULONG controllerNameBufferLength = 0;  // Argument2 of the name request

    // The pipe handle the hub gives an endpoint of an interface.
    static USBD_PIPE_HANDLE HandleFor(uint8_t interfaceNumber, uint8_t endpointAddress);

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Serve(ULONG code, PVOID argument1, PVOID argument2);
    USBD_STATUS ServeUrb(PURB urb);
    USBD_STATUS Select(PURB urb);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace lifecycle_test
