// The user-mode side of the I/O manager: a handle on a device and the IRPs
// that CreateFile, ReadFile, WriteFile, DeviceIoControl and CloseHandle become.
#include "io_internal.h"
#include "object.h"
#include "text.h"

#include <host/kernel.h>

#include <algorithm>
#include <cstring>

namespace wrk::detail {

void NoteHandleOpened(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    DeviceRecord(device)->openHandles++;
}

size_t StackHandleCountLocked(PDEVICE_OBJECT pdo) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice)
        count += DeviceRecord(device)->openHandles;
    return count;
}

void NoteHandleClosed(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT pdo;
    size_t remaining;
    {
        std::lock_guard guard(IoLock());
        DeviceRecord(device)->openHandles--;
        pdo = BottomOfStackLocked(device);
        remaining = StackHandleCountLocked(pdo);
    }
    if (remaining == 0) PnpLastHandleClosed(pdo);
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {
namespace {

constexpr CSHORT kIoTypeFile = 5;

// One request of a handle: what goes into the IRP and where its answer goes.
struct UserRequest {
    UCHAR major = IRP_MJ_CREATE;
    ULONG length = 0;         // read/write length
    ULONG code = 0;           // device control
    const void* in = nullptr;
    ULONG inLength = 0;
    void* out = nullptr;
    ULONG outLength = 0;
};

IO_STATUS_BLOCK Send(PFILE_OBJECT file, uint32_t process, const UserRequest& request) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        Bugcheck("USER_REQUEST_ABOVE_PASSIVE", "user-mode I/O issued from a thread above PASSIVE_LEVEL");
    // The drivers run in the caller's thread, in the caller's process.
    ProcessScope scope(process);
    PDEVICE_OBJECT target = TopOfStack(file->DeviceObject);
    Completion completion;
    IO_STATUS_BLOCK failed{};
    failed.Status = STATUS_INSUFFICIENT_RESOURCES;

    // Which buffers the driver gets: a system buffer for buffered I/O (reads
    // and writes by the device's flag, device control by the code's method),
    // the caller's own buffer otherwise. There are no MDLs: direct I/O is
    // served like neither I/O.
    bool buffered = false;
    ULONG systemLength = 0;
    switch (request.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
        buffered = (target->Flags & DO_BUFFERED_IO) != 0;
        systemLength = request.length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        buffered = (request.code & 3) == METHOD_BUFFERED;
        systemLength = std::max(request.inLength, request.outLength);
        break;
    default:
        break;
    }
    PVOID systemBuffer = nullptr;
    if (buffered && systemLength != 0) {
        systemBuffer = AllocateSystemBuffer(systemLength);
        if (systemBuffer == nullptr) return failed;
        if (request.major == IRP_MJ_WRITE && request.in != nullptr) std::memcpy(systemBuffer, request.in, request.length);
        if (request.major == IRP_MJ_DEVICE_CONTROL && request.in != nullptr)
            std::memcpy(systemBuffer, request.in, request.inLength);
    }
    void* copyTo = buffered && (request.major == IRP_MJ_READ || request.major == IRP_MJ_DEVICE_CONTROL)
                       ? request.out
                       : nullptr;
    const ULONG copyLength = request.major == IRP_MJ_READ ? request.length : request.outLength;

    // What the finish needs lives in this frame, which waits for it: one
    // pointer keeps the routine small enough to need no allocation of its own.
    struct Answer {
        Completion& completion;
        PVOID systemBuffer;
        void* copyTo;
        ULONG copyLength;
    } answer{completion, systemBuffer, copyTo, copyLength};
    PIRP irp = AllocateIrp(target->StackSize, [&answer](PIRP done) {
        if ((static_cast<ULONG>(done->IoStatus.Status) >> 30) != 3)
            CopyBack(done, answer.copyTo, answer.copyLength, answer.systemBuffer);
        FreeSystemBuffer(answer.systemBuffer);
        const IO_STATUS_BLOCK status = done->IoStatus;
        IoFreeIrp(done);
        // The last touch of this frame: the sender may return at once.
        answer.completion.Finish(status);
    });
    if (irp == nullptr) {
        FreeSystemBuffer(systemBuffer);
        return failed;
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    if (!buffered) irp->UserBuffer = request.major == IRP_MJ_WRITE ? const_cast<void*>(request.in) : request.out;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->FileObject = file;
    switch (request.major) {
    case IRP_MJ_READ:
        next->Parameters.Read.Length = request.length;
        break;
    case IRP_MJ_WRITE:
        next->Parameters.Write.Length = request.length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        next->Parameters.DeviceIoControl.IoControlCode = request.code;
        next->Parameters.DeviceIoControl.InputBufferLength = request.inLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = request.outLength;
        if ((request.code & 3) == METHOD_NEITHER)
            next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(request.in);
        break;
    default:
        break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return SendAndWait(target, irp, completion, false);
}

}  // namespace

struct UserFile::State {
    FILE_OBJECT file{};
    uint32_t process = 0;
    bool open = false;
};

UserProcess::UserProcess() : id_(CreateProcessTable()) {}

UserProcess::~UserProcess() {
    for (PVOID object : DeleteProcessTable(id_)) ObfDereferenceObject(object);
}

UserProcess& UserProcess::Default() {
    static auto* process = new UserProcess;  // lives as long as the kernel
    return *process;
}

NTSTATUS UserProcess::CloseHandle(HANDLE handle) {
    ProcessScope scope(id_);
    // A user process cannot touch the kernel table.
    if ((reinterpret_cast<uintptr_t>(handle) & 0x80000000u) != 0) return STATUS_INVALID_HANDLE;
    auto entry = RemoveHandle(handle);
    if (!entry) return STATUS_INVALID_HANDLE;
    if (entry->object != nullptr) ObfDereferenceObject(entry->object);
    return STATUS_SUCCESS;
}

HANDLE UserProcess::CreateEvent() {
    auto* event = new KEVENT;
    KeInitializeEvent(event, NotificationEvent, FALSE);
    RegisterObject(event, 1, [](PVOID object) { delete static_cast<PKEVENT>(object); });
    ProcessScope scope(id_);
    return InsertHandle(HandleKind::Event, nullptr, event);
}

size_t UserProcess::HandleCount() const { return ProcessHandleCount(id_); }

UserFile::UserFile() : state_(std::make_unique<State>()) {}

UserFile::~UserFile() {
    if (state_->open) Close();
}

NTSTATUS UserFile::Open(std::u16string name, std::unique_ptr<UserFile>& file, UserProcess& process) {
    file.reset();
    PDEVICE_OBJECT device;
    {
        std::lock_guard guard(IoLock());
        device = ResolveLocked(name);
        if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        device->ReferenceCount++;
    }
    std::unique_ptr<UserFile> opened(new UserFile);
    PFILE_OBJECT fileObject = &opened->state_->file;
    fileObject->Type = kIoTypeFile;
    fileObject->Size = sizeof(FILE_OBJECT);
    fileObject->DeviceObject = device;
    opened->state_->process = process.Id();

    UserRequest create;
    create.major = IRP_MJ_CREATE;
    const NTSTATUS status = Send(fileObject, process.Id(), create).Status;
    if (!NT_SUCCESS(status)) {
        DereferenceDevice(device);
        return status;
    }
    NoteHandleOpened(device);
    opened->state_->open = true;
    file = std::move(opened);
    return status;
}

NTSTATUS UserFile::Read(void* buffer, ULONG length, ULONG* transferred) {
    *transferred = 0;
    if (!state_->open) return STATUS_INVALID_HANDLE;
    UserRequest request;
    request.major = IRP_MJ_READ;
    request.length = length;
    request.out = buffer;
    const IO_STATUS_BLOCK result = Send(&state_->file, state_->process, request);
    if ((static_cast<ULONG>(result.Status) >> 30) != 3) *transferred = static_cast<ULONG>(result.Information);
    return result.Status;
}

NTSTATUS UserFile::Write(const void* buffer, ULONG length, ULONG* transferred) {
    *transferred = 0;
    if (!state_->open) return STATUS_INVALID_HANDLE;
    UserRequest request;
    request.major = IRP_MJ_WRITE;
    request.length = length;
    request.in = buffer;
    const IO_STATUS_BLOCK result = Send(&state_->file, state_->process, request);
    if ((static_cast<ULONG>(result.Status) >> 30) != 3) *transferred = static_cast<ULONG>(result.Information);
    return result.Status;
}

NTSTATUS UserFile::DeviceIoControl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                                   ULONG* returned) {
    *returned = 0;
    if (!state_->open) return STATUS_INVALID_HANDLE;
    UserRequest request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.code = code;
    request.in = in;
    request.inLength = inLength;
    request.out = out;
    request.outLength = outLength;
    const IO_STATUS_BLOCK result = Send(&state_->file, state_->process, request);
    if ((static_cast<ULONG>(result.Status) >> 30) != 3) *returned = static_cast<ULONG>(result.Information);
    return result.Status;
}

NTSTATUS UserFile::Close() {
    if (!state_->open) return STATUS_INVALID_HANDLE;
    state_->open = false;
    UserRequest request;
    // A driver without a cleanup routine fails IRP_MJ_CLEANUP through the
    // default dispatch; that answer means nothing to the caller.
    request.major = IRP_MJ_CLEANUP;
    Send(&state_->file, state_->process, request);
    request.major = IRP_MJ_CLOSE;
    const NTSTATUS close = Send(&state_->file, state_->process, request).Status;
    PDEVICE_OBJECT device = state_->file.DeviceObject;
    NoteHandleClosed(device);
    DereferenceDevice(device);
    return close;
}

size_t DeviceHandleCount(PDEVICE_OBJECT device) {
    std::lock_guard guard(IoLock());
    return StackHandleCountLocked(BottomOfStackLocked(device));
}

}  // namespace wrk
