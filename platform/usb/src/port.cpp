#include "port.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace usbsim {

NTSTATUS NtStatusForUsbd(USBD_STATUS status) {
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    default: return USBD_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

PVOID NewHandle() {
    static std::atomic<uintptr_t> issued{0};
    return reinterpret_cast<PVOID>(0x5B000000u + ++issued * 0x10);
}

namespace {

// IoCancelIrp sets Cancel in the cancelling thread, holding none of the bus's
// locks, so the bus reads it as the atomic flag it is.
bool CancelRequested(PIRP irp) {
    return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
}

// A failed transfer moved no bytes, except a short one, which reports what came.
void NoteTransferOutcome(PURB urb, USBD_STATUS usbd) {
    if (!USBD_ERROR(usbd) || usbd == USBD_STATUS_ERROR_SHORT_TRANSFER) return;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    else if (urb->UrbHeader.Function == URB_FUNCTION_CLASS_DEVICE)
        urb->UrbControlVendorClassRequest.TransferBufferLength = 0;
}

NTSTATUS Complete(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status, bool atDispatch) {
    if (urb != nullptr) {
        NoteTransferOutcome(urb, usbd);
        urb->UrbHeader.Status = usbd;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    KIRQL previous = PASSIVE_LEVEL;
    if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &previous);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (atDispatch) KeLowerIrql(previous);
    return status;
}

bool IsIn(const HeldTransfer &held) {
    return held.kind == HeldTransfer::Kind::In;
}

// Whether this thread is inside the bus: in one of its dispatch routines, a
// cancel routine, or serving held receives.
[[gnu::tls_model("initial-exec")]] thread_local int tBusDepth = 0;

struct InsideBus {
    InsideBus() { ++tBusDepth; }
    ~InsideBus() { --tBusDepth; }
    InsideBus(const InsideBus &) = delete;
    InsideBus &operator=(const InsideBus &) = delete;
};

}  // namespace

Port::Port(Radio &radio, std::shared_ptr<BusWorker> worker, CompletionTiming timing, bool urbsAtDispatch,
           bool powerAtDispatch)
    : radio(radio),
      worker_(std::move(worker)),
      urbsAtDispatch_(urbsAtDispatch),
      powerAtDispatch_(powerAtDispatch),
      timing_(timing),
      capabilities_(Bus::DefaultCapabilities()) {}

Port *Port::FromDevice(PDEVICE_OBJECT device) {
    return *static_cast<Port **>(device->DeviceExtension);
}

// ------------------------------------------------------------ answering

bool Port::AnswerNow() {
    std::lock_guard lock(mutex_);
    switch (timing_) {
    case CompletionTiming::Synchronous: return true;
    case CompletionTiming::Deferred: return false;
    case CompletionTiming::Mixed: break;
    }
    return answers_++ % 2 == 0;
}

NTSTATUS Port::Answer(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    if (AnswerNow()) return Complete(irp, urb, usbd, status, false);
    IoMarkIrpPending(irp);
    CompleteLater(irp, urb, usbd, status);
    return STATUS_PENDING;
}

NTSTATUS Port::AnswerUrb(PIRP irp, PURB urb, USBD_STATUS usbd) {
    return Answer(irp, urb, usbd, NtStatusForUsbd(usbd));
}

void Port::CompleteLater(PIRP irp, PURB urb, USBD_STATUS usbd) {
    CompleteLater(irp, urb, usbd, NtStatusForUsbd(usbd));
}

void Port::CompleteLater(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    worker_->PostCompletion([irp, urb, usbd, status, atDispatch = urbsAtDispatch_] {
        Complete(irp, urb, usbd, status, atDispatch);
    });
}

std::list<HeldTransfer>::iterator Port::Hold(const HeldTransfer &transfer) {
    if (spareHeld_.empty()) return held_.insert(held_.end(), transfer);
    const auto held = spareHeld_.begin();
    *held = transfer;
    held_.splice(held_.end(), spareHeld_, held);
    return held;
}

std::list<HeldTransfer>::iterator Port::Drop(std::list<HeldTransfer>::iterator held) {
    const auto next = std::next(held);
    spareHeld_.splice(spareHeld_.begin(), held_, held);
    return next;
}

NTSTATUS Port::Arm(std::unique_lock<std::mutex> &lock, std::list<HeldTransfer>::iterator held) {
    PIRP irp = held->irp;
    PURB urb = held->urb;
    if (gone_ && !held->early) held->early = USBD_STATUS_DEVICE_GONE;
    if (held->early) {
        const USBD_STATUS status = *held->early;
        Drop(held);
        lock.unlock();
        return AnswerUrb(irp, urb, status);
    }
    IoMarkIrpPending(irp);
    held->armed = true;
    IoSetCancelRoutine(irp, &Port::CancelTransfer);
    if (CancelRequested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        Drop(held);
        lock.unlock();
        CompleteLater(irp, urb, USBD_STATUS_CANCELED);
    }
    return STATUS_PENDING;
}

void Port::CancelTransfer(PDEVICE_OBJECT device, PIRP irp) {
    InsideBus inside;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Port *port = FromDevice(device);
    std::unique_lock lock(port->mutex_);
    auto held = std::find_if(port->held_.begin(), port->held_.end(),
                             [irp](const HeldTransfer &h) { return h.irp == irp; });
    if (held == port->held_.end()) return;
    const PURB urb = held->urb;
    const USBD_PIPE_HANDLE pipe = held->pipe;
    const bool in = IsIn(*held);
    port->Drop(held);
    // The next transfer in line may be served by data that already waits.
    const bool more = in && std::any_of(port->held_.begin(), port->held_.end(),
                                        [pipe](const HeldTransfer &h) { return IsIn(h) && h.pipe == pipe; });
    lock.unlock();
    if (more) port->dataReady();
    Complete(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, false);
}

std::vector<HeldTransfer> Port::Extract(const std::function<bool(const HeldTransfer &)> &which) {
    std::lock_guard lock(mutex_);
    return ExtractLocked(which);
}

std::vector<HeldTransfer> Port::ExtractLocked(const std::function<bool(const HeldTransfer &)> &which) {
    // Requests still in a dispatch routine, being served, or being cancelled
    // are finished by whoever has them.
    std::vector<HeldTransfer> taken;
    for (auto held = held_.begin(); held != held_.end();) {
        if (held->armed && !held->claimed && which(*held) && IoSetCancelRoutine(held->irp, nullptr) != nullptr) {
            taken.push_back(*held);
            held = Drop(held);
        } else {
            ++held;
        }
    }
    return taken;
}

// ------------------------------------------------------------ the radio's side

void Port::SendFinished(uint64_t ticket, USBD_STATUS status) {
    std::unique_lock lock(mutex_);
    auto held = std::find_if(held_.begin(), held_.end(), [ticket](const HeldTransfer &h) {
        return h.kind == HeldTransfer::Kind::Send && h.ticket == ticket;
    });
    if (held == held_.end()) return;
    if (!held->armed) {
        held->early = status;
        return;
    }
    if (IoSetCancelRoutine(held->irp, nullptr) == nullptr) return;
    const PIRP irp = held->irp;
    const PURB urb = held->urb;
    Drop(held);
    lock.unlock();
    CompleteLater(irp, urb, status);
}

void Port::SendFinishedAfter(uint64_t ticket, LONGLONG delay, USBD_STATUS status) {
    worker_->After(delay, [weak = weak_from_this(), ticket, status] {
        if (auto port = weak.lock()) port->SendFinished(ticket, status);
    });
}

void Port::dataReady() {
    // Told from a radio's own thread, the bus serves its held transfers at
    // once, saving the hand-over to the bus thread. From inside the bus, which
    // may hold what serving takes, the bus thread does it.
    if (tBusDepth == 0) {
        ServeHeldReceives();
        return;
    }
    worker_->Post([weak = weak_from_this()] {
        if (auto port = weak.lock()) port->ServeHeldReceives();
    });
}

void Port::unplugged() {
    if (!Unplug()) return;
    // The PnP manager's surprise removal waits for transfers that the bus
    // thread completes: it runs in a thread of its own.
    worker_->Detach([self = shared_from_this()] {
        if (self->onGone) self->onGone(self->pdo);
    });
}

bool Port::Unplug() {
    {
        std::lock_guard lock(mutex_);
        if (gone_) return false;
        gone_ = true;
    }
    for (const HeldTransfer &held : Extract([](const HeldTransfer &) { return true; }))
        CompleteLater(held.irp, held.urb, USBD_STATUS_DEVICE_GONE);
    worker_->Post([self = shared_from_this()] { self->Detach(); });
    return true;
}

void Port::FailAll(USBD_STATUS status) {
    {
        std::lock_guard lock(mutex_);
        gone_ = true;
    }
    for (const HeldTransfer &held : Extract([](const HeldTransfer &) { return true; }))
        Complete(held.irp, held.urb, status, NtStatusForUsbd(status), false);
}

void Port::Detach() {
    {
        std::lock_guard lock(mutex_);
        if (detached_) return;
        detached_ = true;
    }
    if (wrk::InterruptLine* line = radio.interruptLine()) wrk::DisconnectInterruptLine(line);
    radio.attach(nullptr);
}

// ------------------------------------------------------------ requests

NTSTATUS Port::DispatchInternalControl(PIRP irp) {
    InsideBus inside;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return PortStatusRequest(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPortRequest(irp);
    case IOCTL_INTERNAL_USB_GET_BUS_INFO: return BusInfoRequest(irp);
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME: return ControllerNameRequest(irp);
    default: return Complete(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, false);
    }
}

NTSTATUS Port::SubmitUrb(PIRP irp, PURB urb) {
    if (urb == nullptr || urb->UrbHeader.Length < sizeof(struct _URB_HEADER))
        return Complete(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER, false);
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = gone_;
    }
    if (gone) return AnswerUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    const USBD_STATUS fault = radio.urbFault(urb->UrbHeader.Function);
    if (USBD_ERROR(fault)) return AnswerUrb(irp, urb, fault);

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_CLASS_DEVICE: return ClassRequest(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return Transfer(irp, urb);
    default: return AnswerUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS Port::GetDescriptor(PIRP irp, PURB urb) {
    auto &request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(request) ||
        (request.TransferBufferLength != 0 && request.TransferBuffer == nullptr))
        return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);

    const Descriptors descriptors = radio.descriptors();
    const std::vector<uint8_t> *found = nullptr;
    switch (request.DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        if (request.Index == 0 && !descriptors.device.empty()) found = &descriptors.device;
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (request.Index < descriptors.configurations.size()) found = &descriptors.configurations[request.Index];
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        if (auto string = descriptors.strings.find(request.Index); string != descriptors.strings.end())
            found = &string->second;
        break;
    }
    if (found == nullptr) {
        // A device stalls a request for a descriptor it does not have.
        request.TransferBufferLength = 0;
        return AnswerUrb(irp, urb, USBD_STATUS_STALL_PID);
    }
    const ULONG count = std::min<ULONG>(request.TransferBufferLength, found->size());
    if (count != 0) std::memcpy(request.TransferBuffer, found->data(), count);
    request.TransferBufferLength = count;
    return AnswerUrb(irp, urb, USBD_STATUS_SUCCESS);
}

void Port::Unconfigure(USBD_STATUS abortStatus) {
    std::vector<HeldTransfer> aborted;
    {
        std::lock_guard lock(mutex_);
        pipes_.clear();
        configuration_ = nullptr;
        aborted = ExtractLocked([](const HeldTransfer &held) { return held.pipe != nullptr; });
    }
    for (const HeldTransfer &held : aborted) CompleteLater(held.irp, held.urb, abortStatus);
}

NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb) {
    auto &select = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface))
        return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (select.ConfigurationDescriptor == nullptr) {
        // Back to the unconfigured state: every pipe handle dies with it.
        Unconfigure(USBD_STATUS_CANCELED);
        return AnswerUrb(irp, urb, USBD_STATUS_SUCCESS);
    }
    const PUSB_CONFIGURATION_DESCRIPTOR config = select.ConfigurationDescriptor;
    if (config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        config->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);

    const PUCHAR configEnd = reinterpret_cast<PUCHAR>(config) + config->wTotalLength;
    const PUCHAR urbEnd = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    auto position = reinterpret_cast<PUCHAR>(&select.Interface);
    const auto interfaceHeader = static_cast<ULONG>(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes));
    std::map<USBD_PIPE_HANDLE, Pipe> pipes;

    // The request holds as many interfaces as fit in its length, at most
    // bNumInterfaces; a zero Length ends the list early.
    for (ULONG index = 0; index < config->bNumInterfaces; ++index) {
        if (urbEnd - position < static_cast<ptrdiff_t>(interfaceHeader)) break;
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (info->Length == 0) break;
        const PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (descriptor == nullptr) return AnswerUrb(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        if (info->NumberOfPipes != descriptor->bNumEndpoints ||
            info->Length < GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints) || info->Length > urbEnd - position)
            return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);

        // The interface's endpoints follow it, up to the next interface.
        ULONG pipe = 0;
        PUCHAR walk = reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
        while (pipe < info->NumberOfPipes && configEnd - walk >= 2 && walk[0] != 0 && walk[0] <= configEnd - walk &&
               walk[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (walk[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && walk[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                const auto endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(walk);
                USBD_PIPE_INFORMATION &out = info->Pipes[pipe++];
                out.MaximumPacketSize = endpoint->wMaxPacketSize;
                out.EndpointAddress = endpoint->bEndpointAddress;
                out.Interval = endpoint->bInterval;
                out.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
                out.PipeHandle = NewHandle();
                pipes[out.PipeHandle] = Pipe{out.EndpointAddress, out.PipeType, out.MaximumPacketSize,
                                             out.MaximumTransferSize};
            }
            walk += walk[0];
        }
        if (pipe != info->NumberOfPipes) return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        info->Class = descriptor->bInterfaceClass;
        info->SubClass = descriptor->bInterfaceSubClass;
        info->Protocol = descriptor->bInterfaceProtocol;
        info->InterfaceHandle = NewHandle();
        position += info->Length;
    }

    Unconfigure(USBD_STATUS_CANCELED);
    {
        std::lock_guard lock(mutex_);
        pipes_ = std::move(pipes);
        configuration_ = NewHandle();
        select.ConfigurationHandle = configuration_;
    }
    return AnswerUrb(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::ClassRequest(PIRP irp, PURB urb) {
    auto &request = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(request) || request.TransferBufferLength > 0xFFFF ||
        (request.TransferBufferLength != 0 && request.TransferBuffer == nullptr))
        return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    // The radio takes class requests host to device only; one asking for data
    // is stalled.
    if (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) return AnswerUrb(irp, urb, USBD_STATUS_STALL_PID);

    // The stack builds bmRequestType from the URB function: class, to the
    // device, host to device.
    SetupPacket setup;
    setup.bmRequestType = 0x20;
    setup.bRequest = request.Request;
    setup.wValue = request.Value;
    setup.wIndex = request.Index;
    setup.wLength = static_cast<uint16_t>(request.TransferBufferLength);
    const std::span<const uint8_t> bytes(static_cast<const uint8_t *>(request.TransferBuffer),
                                         request.TransferBufferLength);
    return Send(irp, urb, nullptr, [&](Completion done) { radio.controlOut(setup, bytes, std::move(done)); });
}

NTSTATUS Port::Transfer(PIRP irp, PURB urb) {
    auto &transfer = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(transfer)) return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    std::optional<Pipe> open;
    {
        std::lock_guard lock(mutex_);
        if (auto found = pipes_.find(transfer.PipeHandle); found != pipes_.end()) open = found->second;
    }
    if (!open) return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    const Pipe pipe = *open;
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe.endpoint);
    if ((pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) ||
        in != ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) ||
        (transfer.TransferBufferLength != 0 && transfer.TransferBuffer == nullptr) ||
        transfer.TransferBufferLength > pipe.maximumTransferSize)
        return AnswerUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (in) return Receive(irp, urb, transfer.PipeHandle, pipe);

    const std::span<const uint8_t> bytes(static_cast<const uint8_t *>(transfer.TransferBuffer),
                                         transfer.TransferBufferLength);
    return Send(irp, urb, transfer.PipeHandle,
                [&](Completion done) { radio.bulkOut(pipe.endpoint, bytes, std::move(done)); });
}

NTSTATUS Port::Send(PIRP irp, PURB urb, USBD_PIPE_HANDLE pipe, const std::function<void(Completion)> &deliver) {
    std::unique_lock lock(mutex_);
    HeldTransfer transfer;
    transfer.kind = HeldTransfer::Kind::Send;
    transfer.irp = irp;
    transfer.urb = urb;
    transfer.pipe = pipe;
    transfer.ticket = nextTicket_++;
    const auto held = Hold(transfer);
    lock.unlock();

    auto ticket = std::make_shared<detail::SendTicket>();
    ticket->port = weak_from_this();
    ticket->id = transfer.ticket;
    deliver(Completion(std::move(ticket)));

    lock.lock();
    return Arm(lock, held);
}

USBD_STATUS Port::ApplyReceipt(PURB urb, Receipt &receipt) {
    auto &transfer = urb->UrbBulkOrInterruptTransfer;
    if (receipt.kind == Receipt::Kind::Failed) {
        transfer.TransferBufferLength = 0;
        return USBD_ERROR(receipt.status) ? receipt.status : USBD_STATUS_DEV_NOT_RESPONDING;
    }
    const ULONG asked = transfer.TransferBufferLength;
    // More than was asked for is babble: the host controller drops the transfer.
    if (receipt.bytes.size() > asked) {
        transfer.TransferBufferLength = 0;
        return USBD_STATUS_BUFFER_OVERRUN;
    }
    if (!receipt.bytes.empty()) std::memcpy(transfer.TransferBuffer, receipt.bytes.data(), receipt.bytes.size());
    transfer.TransferBufferLength = static_cast<ULONG>(receipt.bytes.size());
    if (transfer.TransferBufferLength < asked && !(transfer.TransferFlags & USBD_SHORT_TRANSFER_OK))
        return USBD_STATUS_ERROR_SHORT_TRANSFER;
    return USBD_STATUS_SUCCESS;
}

NTSTATUS Port::Receive(PIRP irp, PURB urb, USBD_PIPE_HANDLE pipe, const Pipe &info) {
    inTransfers_->Count();
    std::unique_lock serve(serve_);
    std::unique_lock lock(mutex_);
    if (gone_) {
        lock.unlock();
        return AnswerUrb(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    // Transfers on one pipe take the radio's bytes in the order they came.
    const bool waiting = std::any_of(held_.begin(), held_.end(),
                                     [pipe](const HeldTransfer &h) { return IsIn(h) && h.pipe == pipe; });
    HeldTransfer transfer;
    transfer.kind = HeldTransfer::Kind::In;
    transfer.irp = irp;
    transfer.urb = urb;
    transfer.pipe = pipe;
    const auto held = Hold(transfer);
    if (waiting) return Arm(lock, held);
    lock.unlock();

    Receipt receipt = radio.receive(info.endpoint, info.type, urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
    lock.lock();
    if (receipt.kind == Receipt::Kind::Nothing) return Arm(lock, held);
    Drop(held);
    lock.unlock();
    serve.unlock();
    const USBD_STATUS status = ApplyReceipt(urb, receipt);
    return AnswerUrb(irp, urb, status);
}

void Port::ServeHeldReceives() {
    InsideBus inside;
    struct Finished {
        PIRP irp;
        PURB urb;
        USBD_STATUS status;
    };
    std::vector<Finished> finished;
    {
        std::lock_guard serve(serve_);
        idlePipes_.clear();
        const auto idle = [this](USBD_PIPE_HANDLE pipe) {
            return std::find(idlePipes_.begin(), idlePipes_.end(), pipe) != idlePipes_.end();
        };
        for (;;) {
            std::unique_lock lock(mutex_);
            // The head of each pipe's queue, the first IN transfer held for it.
            auto head = held_.end();
            for (auto held = held_.begin(); held != held_.end(); ++held) {
                if (!IsIn(*held)) continue;
                const bool first = std::none_of(held_.begin(), held, [pipe = held->pipe](const HeldTransfer &h) {
                    return IsIn(h) && h.pipe == pipe;
                });
                if (first && held->armed && !idle(held->pipe)) {
                    head = held;
                    break;
                }
            }
            if (head == held_.end()) break;
            if (IoSetCancelRoutine(head->irp, nullptr) == nullptr) {
                // Being cancelled: its cancel routine serves the next one.
                idlePipes_.push_back(head->pipe);
                continue;
            }
            auto pipe = pipes_.find(head->pipe);
            if (gone_ || pipe == pipes_.end()) {
                finished.push_back({head->irp, head->urb, gone_ ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED});
                Drop(head);
                continue;
            }
            const Pipe info = pipe->second;
            head->claimed = true;
            lock.unlock();

            Receipt receipt = radio.receive(info.endpoint, info.type,
                                            head->urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
            lock.lock();
            head->claimed = false;
            if (receipt.kind == Receipt::Kind::Nothing) {
                if (gone_) {
                    finished.push_back({head->irp, head->urb, USBD_STATUS_DEVICE_GONE});
                    Drop(head);
                    continue;
                }
                IoSetCancelRoutine(head->irp, &Port::CancelTransfer);
                if (CancelRequested(head->irp) && IoSetCancelRoutine(head->irp, nullptr) != nullptr) {
                    finished.push_back({head->irp, head->urb, USBD_STATUS_CANCELED});
                    Drop(head);
                    continue;
                }
                idlePipes_.push_back(head->pipe);
                continue;
            }
            const PIRP irp = head->irp;
            const PURB urb = head->urb;
            Drop(head);
            lock.unlock();
            finished.push_back({irp, urb, ApplyReceipt(urb, receipt)});
        }
    }
    for (const Finished &done : finished)
        Complete(done.irp, done.urb, done.status, NtStatusForUsbd(done.status), urbsAtDispatch_);
}

NTSTATUS Port::PortStatusRequest(PIRP irp) {
    const auto bits = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (bits == nullptr) return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER);
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = gone_;
    }
    if (gone) {
        *bits = 0;  // an empty port
        return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    const PortStatus port = radio.portStatus();
    if (NT_SUCCESS(port.status)) *bits = port.bits;
    return Answer(irp, nullptr, USBD_STATUS_SUCCESS, port.status);
}

NTSTATUS Port::ResetPortRequest(PIRP irp) {
    bool gone;
    {
        std::lock_guard lock(mutex_);
        gone = gone_;
    }
    const NTSTATUS status = gone ? STATUS_DEVICE_NOT_CONNECTED : radio.resetPort();
    return Answer(irp, nullptr, USBD_STATUS_SUCCESS, status);
}

NTSTATUS Port::BusInfoRequest(PIRP irp) {
    const auto info = static_cast<PUSB_BUS_NOTIFICATION>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (info == nullptr) return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER);
    *info = radio.busInfo();
    return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS Port::ControllerNameRequest(PIRP irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto buffer = static_cast<PUCHAR>(stack->Parameters.Others.Argument1);
    const auto length = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(stack->Parameters.Others.Argument2));
    if (buffer == nullptr) return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER);
    if (length < sizeof(ULONG)) return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL);
    // The record is the length it needs in full, then as much of the name as fits.
    const std::u16string name = radio.controllerName();
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
    const ULONG needed = sizeof(ULONG) + nameBytes;
    std::memcpy(buffer, &needed, sizeof needed);
    std::memcpy(buffer + sizeof(ULONG), name.data(), std::min(nameBytes, length - ULONG(sizeof(ULONG))));
    return Answer(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

}  // namespace usbsim
