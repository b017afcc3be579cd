// A scripted radio plugged into a bus, and requests to its PDO built the way
// a function driver builds them.
#pragma once

#include <gtest/gtest.h>
#include <host/bus.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <memory>
#include <vector>

namespace usbtest {

// One internal request in flight: returned is what IofCallDriver gave back.
struct Request {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    NTSTATUS returned = STATUS_PENDING;

    Request(PDEVICE_OBJECT target, ULONG code, PVOID argument1, PVOID argument2 = nullptr) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->Parameters.Others.Argument1 = argument1;
        next->Parameters.Others.Argument2 = argument2;
        returned = IofCallDriver(target, irp);
    }
    // The final status; a synchronous answer leaves the status block untouched.
    NTSTATUS Wait() {
        if (returned != STATUS_PENDING) return returned;
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
    // True once a pending request has completed.
    bool Done() { return returned != STATUS_PENDING || KeReadStateEvent(&event) != 0; }
};

inline URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void *buffer, ULONG length) {
    URB urb{};
    auto &transfer = urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(transfer);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = flags;
    transfer.TransferBuffer = buffer;
    transfer.TransferBufferLength = length;
    return urb;
}

inline URB DescriptorUrb(UCHAR type, UCHAR index, void *buffer, ULONG length) {
    URB urb{};
    auto &request = urb.UrbControlDescriptorRequest;
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request.DescriptorType = type;
    request.Index = index;
    request.TransferBuffer = buffer;
    request.TransferBufferLength = length;
    return urb;
}

inline URB CommandUrb(void *bytes, ULONG length) {
    URB urb{};
    auto &request = urb.UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(request);
    request.Hdr.Function = URB_FUNCTION_CLASS_DEVICE;
    request.RequestTypeReservedBits = 0x20;
    request.TransferBuffer = bytes;
    request.TransferBufferLength = length;
    return urb;
}

class BusTest : public ::testing::TestWithParam<usbsim::CompletionTiming> {
protected:
    static constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

    // One second of driver time takes 10 ms.
    wrk::ScopedKernelState kernel{0.01};
    usbsim::ScriptedRadio radio;
    usbsim::Bus bus{usbsim::BusOptions{GetParam()}};
    PDEVICE_OBJECT pdo = bus.Plug(radio);

    USBD_PIPE_HANDLE interruptPipe = nullptr;
    USBD_PIPE_HANDLE bulkInPipe = nullptr;
    USBD_PIPE_HANDLE bulkOutPipe = nullptr;

    NTSTATUS Submit(URB &urb) { return Request(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).Wait(); }
    std::unique_ptr<Request> Start(URB &urb) {
        return std::make_unique<Request>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
    }

    // Selects configuration 0 with every interface in its first alternate
    // setting, records interface 0's pipes and returns the select status.
    NTSTATUS Configure(std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0)) {
        auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (LONG number = 0; number < 256 && list.size() < config->bNumInterfaces; ++number) {
            if (auto found = USBD_ParseConfigurationDescriptorEx(config, config, number, -1, -1, -1, -1))
                list.push_back({found, nullptr});
        }
        list.push_back({nullptr, nullptr});
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        const NTSTATUS status = Submit(*urb);
        selected.clear();
        if (NT_SUCCESS(status)) {
            for (size_t i = 0; i + 1 < list.size(); ++i) selected.push_back(*list[i].Interface);
            configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
            PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
            for (ULONG pipe = 0; pipe < first->NumberOfPipes; ++pipe) {
                const USBD_PIPE_INFORMATION &info = first->Pipes[pipe];
                if (info.PipeType == UsbdPipeTypeInterrupt) interruptPipe = info.PipeHandle;
                if (info.PipeType == UsbdPipeTypeBulk && (info.EndpointAddress & 0x80)) bulkInPipe = info.PipeHandle;
                if (info.PipeType == UsbdPipeTypeBulk && !(info.EndpointAddress & 0x80)) bulkOutPipe = info.PipeHandle;
            }
            firstInterfacePipes.assign(first->Pipes, first->Pipes + first->NumberOfPipes);
            secondInterfacePipes.clear();
            if (list.size() > 2)
                secondInterfacePipes.assign(list[1].Interface->Pipes,
                                            list[1].Interface->Pipes + list[1].Interface->NumberOfPipes);
        }
        ExFreePool(urb);
        return status;
    }

    // Copies of the interface records (their pipes are kept apart).
    std::vector<USBD_INTERFACE_INFORMATION> selected;
    std::vector<USBD_PIPE_INFORMATION> firstInterfacePipes;
    std::vector<USBD_PIPE_INFORMATION> secondInterfacePipes;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
};

}  // namespace usbtest
