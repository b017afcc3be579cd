// Plug and Play and power requests on a radio's PDO, answered as a USB hub's
// PDO does.
#include "port.h"

namespace usbsim {

NTSTATUS Port::DispatchPnp(PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    {
        std::lock_guard lock(mutex_);
        pnpMinors_.push_back(minor);
    }
    NTSTATUS status = irp->IoStatus.Status;
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        // The function driver is gone: whatever it left behind is aborted and
        // the device is unconfigured. The PDO itself stays until the bus goes.
        Unconfigure(USBD_STATUS_CANCELED);
        for (const HeldTransfer &held : Extract([](const HeldTransfer &) { return true; }))
            CompleteLater(held.irp, held.urb, USBD_STATUS_CANCELED);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        if (PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities) {
            const USHORT size = capabilities->Size;
            const USHORT version = capabilities->Version;
            std::lock_guard lock(mutex_);
            *capabilities = capabilities_;
            capabilities->Size = size;
            capabilities->Version = version;
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        break;
    default:
        break;  // not a bus matter: the status stays as it came
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Port::DispatchPower(PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    NTSTATUS status = irp->IoStatus.Status;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        {
            std::lock_guard lock(mutex_);
            powerRequests_.push_back({minor, stack->Parameters.Power.Type, stack->Parameters.Power.State});
        }
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
    } else if (minor == IRP_MN_WAIT_WAKE) {
        // The radio reports no wake capability, so a wait for wake is refused.
        status = STATUS_NOT_SUPPORTED;
    }
    irp->IoStatus.Status = status;
    KIRQL previous = PASSIVE_LEVEL;
    if (powerAtDispatch_) KeRaiseIrql(DISPATCH_LEVEL, &previous);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (powerAtDispatch_) KeLowerIrql(previous);
    return status;
}

void Port::SetTiming(CompletionTiming timing) {
    std::lock_guard lock(mutex_);
    timing_ = timing;
    answers_ = 0;
}

void Port::SetCapabilities(const DEVICE_CAPABILITIES &capabilities) {
    std::lock_guard lock(mutex_);
    capabilities_ = capabilities;
}

std::vector<UCHAR> Port::PnpMinors() const {
    std::lock_guard lock(mutex_);
    return pnpMinors_;
}

std::vector<PowerRequest> Port::PowerRequests() const {
    std::lock_guard lock(mutex_);
    return powerRequests_;
}

size_t Port::PendingTransfers() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

bool Port::Configured() const {
    std::lock_guard lock(mutex_);
    return configuration_ != nullptr;
}

}  // namespace usbsim
