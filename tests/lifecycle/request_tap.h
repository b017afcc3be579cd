// A device between the driver's USB configuration routines and the radio's
// PDO: it passes every internal request on to the bus untouched and notes
// what the driver asked for and what the bus gave back, which the radio
// itself never sees (lengths asked, the interfaces of a select, pipe handles).
#pragma once

#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace lifecycle_test {

class RequestTap {
public:
    // Attaches above `pdo`, which must outlive the tap.
    explicit RequestTap(PDEVICE_OBJECT pdo);
    ~RequestTap();
    RequestTap(const RequestTap&) = delete;
    RequestTap& operator=(const RequestTap&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }

    struct DescriptorRead {
        uint8_t type;
        uint8_t index;
        ULONG asked;
    };
    std::vector<DescriptorRead> DescriptorReads() const;
    // Every interface of the select requests sent, as number and alternate setting.
    std::vector<std::pair<uint8_t, uint8_t>> SelectedInterfaces() const;
    size_t Deselects() const;
    // The handle the bus gave an endpoint of an interface in the last select
    // that succeeded; null when it gave none.
    USBD_PIPE_HANDLE PipeHandle(uint8_t interfaceNumber, uint8_t endpointAddress) const;
    // The buffer length (Argument2) of every controller-name request.
    std::vector<ULONG> ControllerNameLengths() const;

private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    void NoteRequest(PIO_STACK_LOCATION stack);
    void NoteAnswer(PIO_STACK_LOCATION stack, NTSTATUS status);

    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;

    // Answers come from the bus's thread.
    mutable std::mutex mutex_;
    std::vector<DescriptorRead> descriptorReads_;
    std::vector<std::pair<uint8_t, uint8_t>> selectedInterfaces_;
    size_t deselects_ = 0;
    std::map<std::pair<uint8_t, uint8_t>, USBD_PIPE_HANDLE> pipes_;
    std::vector<ULONG> controllerNameLengths_;
};

}  // namespace lifecycle_test
