// Requests the I/O manager builds for a caller (IoBuildDeviceIoControlRequest)
// and the way it finishes them, with the buffers of their transfer method.
#include "io_internal.h"

#include <host/kernel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace wrk::detail {

namespace {
constexpr ULONG kSystemBufferTag = 0x62536f49;  // "IoSb"
}

void Completion::Finish(const IO_STATUS_BLOCK& ioStatus) {
    std::lock_guard guard(lock);
    status = ioStatus;
    finished = true;
    done.notify_all();
}

IO_STATUS_BLOCK Completion::Wait() {
    std::unique_lock guard(lock);
    done.wait(guard, [this] { return finished; });
    return status;
}

IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, Completion& completion, bool dispatchLevel) {
    const bool power = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
    KIRQL old = PASSIVE_LEVEL;
    if (dispatchLevel) old = KfRaiseIrql(DISPATCH_LEVEL);
    if (power)
        PoCallDriver(device, irp);
    else
        IofCallDriver(device, irp);
    if (dispatchLevel) KfLowerIrql(old);
    return completion.Wait();
}

// Copies what a buffered request returned into the caller's buffer; a driver
// claiming more bytes than the caller offered is stopped, not obeyed.
void CopyBack(PIRP irp, void* out, ULONG outLength, const void* systemBuffer) {
    if (out == nullptr || systemBuffer == nullptr) return;
    if (irp->IoStatus.Information > outLength) {
        char text[96];
        std::snprintf(text, sizeof text, "IoStatus.Information %lu exceeds the caller's buffer of %lu bytes",
                      static_cast<unsigned long>(irp->IoStatus.Information), static_cast<unsigned long>(outLength));
        Bugcheck("IRP_INFORMATION_EXCEEDS_BUFFER", text);
    }
    std::memcpy(out, systemBuffer, irp->IoStatus.Information);
}

PVOID AllocateSystemBuffer(ULONG length) {
    return length == 0 ? nullptr : ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
}

void FreeSystemBuffer(PVOID buffer) {
    if (buffer != nullptr) ExFreePoolWithTag(buffer, kSystemBufferTag);
}

}  // namespace wrk::detail

using namespace wrk::detail;

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = AllocateIrp(DeviceObject->StackSize, nullptr);
    if (irp == nullptr) return nullptr;
    const ULONG method = IoControlCode & 3;
    PVOID systemBuffer = nullptr;
    bool copyOut = false;
    if (method == METHOD_BUFFERED || method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        // No MDLs here: direct methods get their input buffered and their
        // output buffer as it is.
        const ULONG length =
            method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength) : InputBufferLength;
        if (length != 0) {
            systemBuffer = AllocateSystemBuffer(length);
            if (systemBuffer == nullptr) {
                IoFreeIrp(irp);
                return nullptr;
            }
            std::memset(systemBuffer, 0, length);
            if (InputBuffer != nullptr) std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        copyOut = method == METHOD_BUFFERED;
    }
    if (method != METHOD_BUFFERED) irp->UserBuffer = OutputBuffer;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (method == METHOD_NEITHER) next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;

    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());

    SetIrpFinish(irp, [systemBuffer, copyOut, OutputBuffer, OutputBufferLength](PIRP done) {
        const NTSTATUS status = done->IoStatus.Status;
        // A synchronous failure leaves the caller's block and event alone:
        // the caller has the status from IofCallDriver already.
        PKEVENT signal = nullptr;
        if (NT_SUCCESS(status) || done->PendingReturned) {
            if (copyOut && (static_cast<ULONG>(status) >> 30) != 3)
                CopyBack(done, OutputBuffer, OutputBufferLength, systemBuffer);
            if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
            signal = done->UserEvent;
        }
        FreeSystemBuffer(systemBuffer);
        IoFreeIrp(done);
        // Windows finishes a threaded IRP in the requesting thread's APC, so the
        // waiter never runs on while its request still exists.
        if (signal != nullptr) KeSetEvent(signal, IO_NO_INCREMENT, FALSE);
    });
    return irp;
}
