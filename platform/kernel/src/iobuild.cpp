// Requests the I/O manager builds for a caller (IoBuildDeviceIoControlRequest)
// and the way it finishes them, with the buffers of their transfer method.
#include "apc.h"
#include "io_internal.h"
#include "irql.h"
#include "kthread.h"

#include <host/kernel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

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

namespace {

// Windows' IRP flag of the synchronous system services' own requests.
constexpr ULONG kIrpSynchronousApi = 0x00000004;

// Errors only (severity 3): warnings and informational statuses reach the
// caller's status block as successes do.
bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// What the requesting thread's completion needs to finish a built request.
struct ThreadedRequest {
    PIRP irp;
    PKTHREAD thread;
    PVOID systemBuffer;
    bool copyOut;
    PVOID outputBuffer;
    ULONG outputLength;
};

void QueueToThread(ThreadedRequest* request) {
    std::lock_guard guard(DispatcherLock());
    PLIST_ENTRY head = &request->thread->irps;
    PLIST_ENTRY entry = &request->irp->ThreadListEntry;
    entry->Flink = head->Flink;
    entry->Blink = head;
    head->Flink->Blink = entry;
    head->Flink = entry;
}

void UnqueueFromThread(PIRP irp) {
    std::lock_guard guard(DispatcherLock());
    PLIST_ENTRY entry = &irp->ThreadListEntry;
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
    entry->Flink = entry->Blink = entry;
    irp->Tail.Overlay.Thread = nullptr;
}

// The requesting thread's kernel APC: the request's last step, taken where
// the caller's buffers and stack live.
void FinishThreadedRequest(PVOID context) {
    auto* request = static_cast<ThreadedRequest*>(context);
    PIRP irp = request->irp;
    const NTSTATUS status = irp->IoStatus.Status;
    if (request->copyOut && !IsError(status))
        CopyBack(irp, request->outputBuffer, request->outputLength, request->systemBuffer);
    FreeSystemBuffer(request->systemBuffer);
    // A synchronous failure leaves the caller's block and event alone: the
    // caller has the status from IofCallDriver already.
    if (!IsError(status) || (irp->PendingReturned && (irp->Flags & kIrpSynchronousApi) == 0)) {
        if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
        if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    UnqueueFromThread(irp);
    IoFreeIrp(irp);
    delete request;
}

}  // namespace

namespace wrk::detail {

size_t OutstandingThreadedIrps(PKTHREAD thread) {
    std::lock_guard guard(DispatcherLock());
    size_t count = 0;
    for (PLIST_ENTRY e = thread->irps.Flink; e != &thread->irps; e = e->Flink) ++count;
    return count;
}

void EndThreadIo(PKTHREAD thread, const char* kind) {
    DeliverKernelApcs(thread);
    const size_t outstanding = OutstandingThreadedIrps(thread);
    if (outstanding != 0)
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 std::string(kind) + " ended with " + std::to_string(outstanding) +
                     " request(s) it built with IoBuildDeviceIoControlRequest still outstanding");
}

}  // namespace wrk::detail

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                              ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
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
    PKTHREAD thread = KeGetCurrentThread();
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(thread);

    auto* request = new ThreadedRequest{irp, thread, systemBuffer, copyOut, OutputBuffer, OutputBufferLength};
    QueueToThread(request);
    // Whichever thread completes the request, its last step runs in the
    // thread that asked for it.
    SetIrpFinish(irp, [request](PIRP) { QueueKernelApc(request->thread, FinishThreadedRequest, request); });
    return irp;
}
