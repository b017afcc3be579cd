// Handles as Windows keeps them: a kernel table apart from each user
// process's, system threads created from a user request's thread, and the
// object types ObReferenceObjectByHandle checks.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using kio::Complete;
using kio::TestDriver;

constexpr ULONG kCheckThread = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS);

// The kernel exports the types' POBJECT_TYPE itself, which the headers import
// as a POBJECT_TYPE*: the imported value is the type.
POBJECT_TYPE ThreadType() { return reinterpret_cast<POBJECT_TYPE>(PsThreadType); }
POBJECT_TYPE EventType() { return reinterpret_cast<POBJECT_TYPE>(ExEventObjectType); }

bool IsKernelHandle(HANDLE handle) { return (reinterpret_cast<uintptr_t>(handle) & 0x80000000u) != 0; }

void WaitForStop(PVOID event) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// A driver that starts a system thread when it is opened, with the attributes
// the test chooses, and looks at its thread handle again on a device control.
struct ThreadStarter {
    TestDriver driver;
    KEVENT stop;
    ULONG attributes = 0;
    HANDLE handle = nullptr;
    NTSTATUS asThread = STATUS_PENDING;  // ObReferenceObjectByHandle for a thread
    NTSTATUS asAnything = STATUS_PENDING;  // and for any type
    UCHAR foundType = 0xFF;  // the dispatcher type of what the handle led to
    NTSTATUS closed = STATUS_PENDING;
    PDEVICE_OBJECT device = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); },
                                             u"\\Device\\Handles0");

    ThreadStarter() { KeInitializeEvent(&stop, NotificationEvent, FALSE); }
    ~ThreadStarter() {
        KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    }

    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_CREATE) {
            OBJECT_ATTRIBUTES objectAttributes;
            InitializeObjectAttributes(&objectAttributes, nullptr, attributes, nullptr, nullptr);
            return Complete(irp, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &objectAttributes, nullptr, nullptr,
                                                      WaitForStop, &stop));
        }
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            PVOID object = nullptr;
            asThread = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, ThreadType(), KernelMode, &object,
                                                 nullptr);
            if (NT_SUCCESS(asThread)) ObfDereferenceObject(object);
            PVOID found = nullptr;
            asAnything = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &found, nullptr);
            if (NT_SUCCESS(asAnything)) {
                foundType = static_cast<DISPATCHER_HEADER*>(found)->Type;
                ObfDereferenceObject(found);
            }
            closed = ZwClose(handle);
        }
        return Complete(irp, STATUS_SUCCESS);
    }

    void CheckAgain(wrk::UserFile& file) {
        ULONG returned = 0;
        EXPECT_EQ(file.DeviceIoControl(kCheckThread, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    }
};

class HandleTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    size_t handles = wrk::OpenHandleCount();
    void TearDown() override { EXPECT_EQ(wrk::OpenHandleCount(), handles); }
};

TEST_F(HandleTest, ThreadStartedFromAUserRequestWithoutKernelHandleLandsInTheCallersProcess) {
    ThreadStarter starter;
    wrk::UserProcess process;
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\Device\\Handles0", file, process), STATUS_SUCCESS);
    EXPECT_FALSE(IsKernelHandle(starter.handle));
    EXPECT_EQ(process.HandleCount(), 1u);
    // Outside the process the value names nothing.
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(starter.handle, 0, ThreadType(), KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);

    // Another thread of the process closes it and makes an event, which gets
    // the freed value.
    HANDLE event = nullptr;
    std::thread([&] {
        EXPECT_EQ(process.CloseHandle(starter.handle), STATUS_SUCCESS);
        event = process.CreateEvent();
    }).join();
    EXPECT_EQ(event, starter.handle);

    // The driver, back in the process, finds an event where its thread was.
    starter.CheckAgain(*file);
    EXPECT_EQ(starter.asThread, STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(starter.asAnything, STATUS_SUCCESS);
    EXPECT_EQ(starter.foundType, NotificationEvent);
    EXPECT_EQ(starter.closed, STATUS_SUCCESS) << "the driver closed the process's event";
    EXPECT_EQ(process.HandleCount(), 0u);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
}

TEST_F(HandleTest, AUserHandleClosedUnderTheDriverIsRefusedWithoutAStop) {
    ThreadStarter starter;
    wrk::UserProcess process;
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\Device\\Handles0", file, process), STATUS_SUCCESS);
    EXPECT_EQ(process.CloseHandle(starter.handle), STATUS_SUCCESS);
    starter.CheckAgain(*file);
    EXPECT_EQ(starter.asThread, STATUS_INVALID_HANDLE);
    EXPECT_EQ(starter.closed, STATUS_INVALID_HANDLE);
}

TEST_F(HandleTest, KernelHandleStaysOutOfTheProcessesReach) {
    ThreadStarter starter;
    starter.attributes = OBJ_KERNEL_HANDLE;
    wrk::UserProcess process;
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\Device\\Handles0", file, process), STATUS_SUCCESS);
    EXPECT_TRUE(IsKernelHandle(starter.handle));
    EXPECT_EQ(process.HandleCount(), 0u);
    EXPECT_EQ(process.CloseHandle(starter.handle), STATUS_INVALID_HANDLE);

    // Any thread in kernel mode reaches it; user mode does not.
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(starter.handle, 0, ThreadType(), UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(starter.handle, 0, ThreadType(), KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObfDereferenceObject(object);
    starter.CheckAgain(*file);
    EXPECT_EQ(starter.asThread, STATUS_SUCCESS);
    EXPECT_EQ(starter.closed, STATUS_SUCCESS);
}

TEST_F(HandleTest, ReferenceByHandleChecksTheTypeAskedFor) {
    HANDLE handle = nullptr;
    KEVENT stop;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForStop, &stop),
              STATUS_SUCCESS);
    EXPECT_TRUE(IsKernelHandle(handle)) << "created in the System process";
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, EventType(), KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    // Dereferenced once more, as code written for headers that import the
    // variable's address would do, the "type" is the type's first word.
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, ThreadType(), KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObfDereferenceObject(object);
}

TEST_F(HandleTest, AProcessThatEndsClosesWhatIsLeftInItsTable) {
    {
        wrk::UserProcess process;
        process.CreateEvent();
        process.CreateEvent();
        EXPECT_EQ(process.HandleCount(), 2u);
        EXPECT_EQ(wrk::OpenHandleCount(), handles + 2);
    }
    EXPECT_EQ(wrk::OpenHandleCount(), handles);
}

}  // namespace
