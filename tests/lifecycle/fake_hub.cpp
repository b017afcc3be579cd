#include "fake_hub.h"

#include <host/io.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace lifecycle_test {

FakeHub::FakeHub() {
    driver_ = wrk::CreateDriverObject(u"\\Driver\\FakeHub");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &FakeHub::Dispatch;
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(FakeHub*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_)))
        throw std::runtime_error("FakeHub: no device");
    *static_cast<FakeHub**>(device_->DeviceExtension) = this;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

FakeHub::~FakeHub() {
    IoDeleteDevice(device_);
    wrk::DeleteDriverObject(driver_);
}

USBD_PIPE_HANDLE FakeHub::HandleFor(uint8_t interfaceNumber, uint8_t endpointAddress) {
    return reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x10000) + (uintptr_t(interfaceNumber) << 8) + endpointAddress);
}

NTSTATUS FakeHub::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FakeHub* hub = *static_cast<FakeHub**>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const NTSTATUS status = hub->Serve(stack->Parameters.DeviceIoControl.IoControlCode,
                                       stack->Parameters.Others.Argument1, stack->Parameters.Others.Argument2);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakeHub::Serve(ULONG code, PVOID argument1, PVOID argument2) {
    switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        portStatusReads++;
        if (!NT_SUCCESS(portStatusRequestStatus)) return portStatusRequestStatus;
        *static_cast<PULONG>(argument1) = portStatuses.front();
        if (portStatuses.size() > 1) portStatuses.pop_front();
        return STATUS_SUCCESS;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        resets++;
        return resetRequestStatus;
    case IOCTL_INTERNAL_USB_GET_BUS_INFO:
        *static_cast<PUSB_BUS_NOTIFICATION>(argument1) = busInfo;
        return STATUS_SUCCESS;
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME: {
        controllerNameBufferLength = ULONG(uintptr_t(argument2));
        auto record = static_cast<PUCHAR>(argument1);
        std::memcpy(record, &controllerNameLengthWord, sizeof(ULONG));
        std::memcpy(record + sizeof(ULONG), controllerName.data(), controllerName.size() * sizeof(char16_t));
        return STATUS_SUCCESS;
    }
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        const PURB urb = static_cast<PURB>(argument1);
        urb->UrbHeader.Status = ServeUrb(urb);
        return USBD_ERROR(urb->UrbHeader.Status) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

USBD_STATUS FakeHub::ServeUrb(PURB urb) {
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) return Select(urb);
    if (urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return USBD_STATUS_INVALID_URB_FUNCTION;

    auto& request = urb->UrbControlDescriptorRequest;
    descriptorReads.push_back({request.DescriptorType, request.Index, request.TransferBufferLength});
    const std::vector<uint8_t>* source = nullptr;
    size_t available = 0;
    if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        source = &configuration;
        available = std::min(configuration.size(), configurationDeliveryLimit.value_or(configuration.size()));
    } else if (request.DescriptorType == USB_STRING_DESCRIPTOR_TYPE && request.Index == 0 && !languages.empty()) {
        source = &languages;
        available = languages.size();
    }
    if (source == nullptr) {
        request.TransferBufferLength = 0;
        return USBD_STATUS_STALL_PID;
    }
    const size_t count = std::min<size_t>(request.TransferBufferLength, available);
    std::memcpy(request.TransferBuffer, source->data(), count);
    request.TransferBufferLength = ULONG(count);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS FakeHub::Select(PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) {
        deselects++;
        configured = false;
        return USBD_STATUS_SUCCESS;
    }
    if (USBD_ERROR(selectUrbStatus)) return selectUrbStatus;

    const PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    const PUCHAR configEnd = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
    const PUCHAR urbEnd = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    auto position = reinterpret_cast<PUCHAR>(&select.Interface);
    while (urbEnd - position >= FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (info->Length == 0) break;
        const PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (descriptor == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
        selectedInterfaces.emplace_back(info->InterfaceNumber, info->AlternateSetting);
        info->Class = descriptor->bInterfaceClass;

        ULONG pipe = 0;
        PUCHAR walk = reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
        while (pipe < info->NumberOfPipes && configEnd - walk >= 7 && walk[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            const auto endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(walk);
            USBD_PIPE_INFORMATION& out = info->Pipes[pipe++];
            out.EndpointAddress = endpoint->bEndpointAddress;
            out.Interval = endpoint->bInterval;
            out.MaximumPacketSize = endpoint->wMaxPacketSize;
            out.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            out.PipeHandle = HandleFor(info->InterfaceNumber, endpoint->bEndpointAddress);
            walk += walk[0];
        }
        position += info->Length;
    }
    configured = true;
    return USBD_STATUS_SUCCESS;
}

}  // namespace lifecycle_test
