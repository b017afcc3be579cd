#include "request_tap.h"

#include <host/io.h>

#include <stdexcept>

namespace lifecycle_test {

namespace {

// Calls `visit` for each interface record of a select request, as far as the
// request's length holds them; a zero Length ends the list.
template <typename Visit>
void ForEachInterface(PURB urb, Visit visit) {
    auto& select = urb->UrbSelectConfiguration;
    const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    auto position = reinterpret_cast<PUCHAR>(&select.Interface);
    while (end - position >= FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (info->Length == 0) break;
        visit(*info);
        position += info->Length;
    }
}

}  // namespace

RequestTap::RequestTap(PDEVICE_OBJECT pdo) {
    driver_ = wrk::CreateDriverObject(u"\\Driver\\RequestTap");
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &RequestTap::Dispatch;
    if (!NT_SUCCESS(IoCreateDevice(driver_, sizeof(RequestTap*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_)))
        throw std::runtime_error("RequestTap: no device");
    *static_cast<RequestTap**>(device_->DeviceExtension) = this;
    lower_ = IoAttachDeviceToDeviceStack(device_, pdo);
    if (lower_ == nullptr) throw std::runtime_error("RequestTap: not attached");
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

RequestTap::~RequestTap() {
    IoDetachDevice(lower_);
    IoDeleteDevice(device_);
    wrk::DeleteDriverObject(driver_);
}

NTSTATUS RequestTap::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    RequestTap* tap = *static_cast<RequestTap**>(device->DeviceExtension);
    tap->NoteRequest(IoGetCurrentIrpStackLocation(irp));
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &RequestTap::Completed, tap, TRUE, TRUE, TRUE);
    return IofCallDriver(tap->lower_, irp);
}

NTSTATUS RequestTap::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    static_cast<RequestTap*>(context)->NoteAnswer(IoGetCurrentIrpStackLocation(irp), irp->IoStatus.Status);
    return STATUS_SUCCESS;
}

void RequestTap::NoteRequest(PIO_STACK_LOCATION stack) {
    std::lock_guard lock(mutex_);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
        controllerNameLengths_.push_back(ULONG(reinterpret_cast<ULONG_PTR>(stack->Parameters.Others.Argument2)));
        break;
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        const PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
            const auto& request = urb->UrbControlDescriptorRequest;
            descriptorReads_.push_back({request.DescriptorType, request.Index, request.TransferBufferLength});
        } else if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
            if (urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) {
                deselects_++;
            } else {
                ForEachInterface(urb, [this](const USBD_INTERFACE_INFORMATION& info) {
                    selectedInterfaces_.emplace_back(info.InterfaceNumber, info.AlternateSetting);
                });
            }
        }
        break;
    }
    default:
        break;
    }
}

void RequestTap::NoteAnswer(PIO_STACK_LOCATION stack, NTSTATUS status) {
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return;
    const PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION) return;
    std::lock_guard lock(mutex_);
    if (urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) {
        pipes_.clear();
        return;
    }
    if (!NT_SUCCESS(status)) return;
    pipes_.clear();
    ForEachInterface(urb, [this](const USBD_INTERFACE_INFORMATION& info) {
        for (ULONG pipe = 0; pipe < info.NumberOfPipes; pipe++)
            pipes_[{info.InterfaceNumber, info.Pipes[pipe].EndpointAddress}] = info.Pipes[pipe].PipeHandle;
    });
}

std::vector<RequestTap::DescriptorRead> RequestTap::DescriptorReads() const {
    std::lock_guard lock(mutex_);
    return descriptorReads_;
}

std::vector<std::pair<uint8_t, uint8_t>> RequestTap::SelectedInterfaces() const {
    std::lock_guard lock(mutex_);
    return selectedInterfaces_;
}

size_t RequestTap::Deselects() const {
    std::lock_guard lock(mutex_);
    return deselects_;
}

USBD_PIPE_HANDLE RequestTap::PipeHandle(uint8_t interfaceNumber, uint8_t endpointAddress) const {
    std::lock_guard lock(mutex_);
    auto found = pipes_.find({interfaceNumber, endpointAddress});
    return found == pipes_.end() ? nullptr : found->second;
}

std::vector<ULONG> RequestTap::ControllerNameLengths() const {
    std::lock_guard lock(mutex_);
    return controllerNameLengths_;
}

}  // namespace lifecycle_test
