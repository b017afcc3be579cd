// User-mode handles: the IRPs CreateFile, ReadFile, WriteFile,
// DeviceIoControl and CloseHandle become, and their buffers.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using kio::Complete;
using kio::TestDriver;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A named bottom device with a buffered filter on top; the filter answers
// every request itself.
class UserFileTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    TestDriver driver;
    std::vector<UCHAR> majors;
    std::vector<PFILE_OBJECT> files;
    NTSTATUS createStatus = STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::vector<UCHAR> written;
    std::vector<UCHAR> arrived;  // the system buffer as the driver got it
    PDEVICE_OBJECT named = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); },
                                            u"\\Device\\UserFile0");
    PDEVICE_OBJECT top = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        IoAttachDeviceToDeviceStack(top, named);
        top->Flags |= DO_BUFFERED_IO;
        UNICODE_STRING link = kio::Unicode(u"\\DosDevices\\UserFile0");
        UNICODE_STRING target = kio::Unicode(u"\\Device\\UserFile0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    void TearDown() override {
        UNICODE_STRING link = kio::Unicode(u"\\DosDevices\\UserFile0");
        IoDeleteSymbolicLink(&link);
    }

    void Arrived(PIRP irp, ULONG length) {
        auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        arrived.assign(bytes, bytes + length);
    }

    NTSTATUS Answer(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        majors.push_back(stack->MajorFunction);
        files.push_back(stack->FileObject);
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            return Complete(irp, createStatus);
        case IRP_MJ_READ:
            Arrived(irp, stack->Parameters.Read.Length);
            std::memset(irp->AssociatedIrp.SystemBuffer, 0x77, stack->Parameters.Read.Length);
            return Complete(irp, status, information);
        case IRP_MJ_WRITE: {
            auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            written.assign(bytes, bytes + stack->Parameters.Write.Length);
            return Complete(irp, status, stack->Parameters.Write.Length);
        }
        case IRP_MJ_DEVICE_CONTROL: {
            Arrived(irp, std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                                  stack->Parameters.DeviceIoControl.OutputBufferLength));
            auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            written.assign(bytes, bytes + stack->Parameters.DeviceIoControl.InputBufferLength);
            for (ULONG i = 0; i < stack->Parameters.DeviceIoControl.OutputBufferLength; ++i) bytes[i] = UCHAR(i + 1);
            return Complete(irp, status, information);
        }
        default:
            return Complete(irp, STATUS_SUCCESS);
        }
    }
};

TEST_F(UserFileTest, OpenThroughTheLinkReachesTheTopOfTheStack) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\DosDevices\\UserFile0", file), STATUS_SUCCESS);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(majors, std::vector<UCHAR>{IRP_MJ_CREATE});
    ASSERT_NE(files[0], nullptr);
    EXPECT_EQ(files[0]->DeviceObject, named);
    EXPECT_EQ(wrk::DeviceHandleCount(named), 1u);

    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(files[2], files[0]);
    EXPECT_EQ(wrk::DeviceHandleCount(named), 0u);
    EXPECT_EQ(file->Close(), STATUS_INVALID_HANDLE);
    ULONG transferred = 9;
    EXPECT_EQ(file->Read(nullptr, 0, &transferred), STATUS_INVALID_HANDLE);
    EXPECT_EQ(transferred, 0u);
}

TEST_F(UserFileTest, FailedCreateLeavesNoHandle) {
    createStatus = STATUS_DEVICE_NOT_CONNECTED;
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(wrk::UserFile::Open(u"\\DosDevices\\UserFile0", file), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(majors, std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(wrk::DeviceHandleCount(named), 0u);
    EXPECT_EQ(wrk::UserFile::Open(u"\\DosDevices\\Nowhere", file), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(UserFileTest, ReadCopiesBackOnlyTheBytesReported) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\??\\UserFile0", file), STATUS_SUCCESS);
    UCHAR buffer[8];
    std::memset(buffer, 0, sizeof buffer);
    information = 3;
    ULONG transferred = 0;
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 3u);
    EXPECT_EQ(buffer[2], 0x77);
    EXPECT_EQ(buffer[3], 0);

    // A failed read copies nothing.
    std::memset(buffer, 0, sizeof buffer);
    status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &transferred), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(UserFileTest, WriteAndDeviceControlCarryTheCallersBytesIn) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\??\\UserFile0", file), STATUS_SUCCESS);
    const UCHAR packet[] = {0x01, 0x03, 0x0C, 0x00};
    ULONG transferred = 0;
    EXPECT_EQ(file->Write(packet, sizeof packet, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, sizeof packet);
    EXPECT_EQ(written, std::vector<UCHAR>(packet, packet + sizeof packet));

    const UCHAR in[] = {9, 8};
    UCHAR out[4] = {};
    information = 4;
    ULONG returned = 0;
    EXPECT_EQ(file->DeviceIoControl(kBufferedCode, in, sizeof in, out, sizeof out, &returned), STATUS_SUCCESS);
    EXPECT_EQ(written, std::vector<UCHAR>(in, in + sizeof in));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[3], 4);
}

// As on Windows, the I/O manager clears no system buffer: a driver that reads
// one before it writes it, or reports bytes it never wrote, finds what the
// pool held, which here is never zeros that could pass for data.
TEST_F(UserFileTest, SystemBufferIsFreshPoolBeyondTheCallersInput) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\??\\UserFile0", file), STATUS_SUCCESS);
    UCHAR buffer[8] = {};
    ULONG transferred = 0;
    EXPECT_EQ(file->Read(buffer, sizeof buffer, &transferred), STATUS_SUCCESS);
    ASSERT_EQ(arrived.size(), sizeof buffer);
    for (UCHAR byte : arrived) EXPECT_NE(byte, 0);

    const UCHAR in[] = {0, 0};
    UCHAR out[6] = {};
    ULONG returned = 0;
    EXPECT_EQ(file->DeviceIoControl(kBufferedCode, in, sizeof in, out, sizeof out, &returned), STATUS_SUCCESS);
    ASSERT_EQ(arrived.size(), sizeof out);
    EXPECT_EQ(arrived[0], 0);
    EXPECT_EQ(arrived[1], 0);
    for (size_t i = sizeof in; i < arrived.size(); ++i) EXPECT_NE(arrived[i], 0) << "byte " << i;
}

TEST_F(UserFileTest, DriverClaimingMoreBytesThanTheBufferIsStopped) {
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\??\\UserFile0", file), STATUS_SUCCESS);
    information = 64;
    UCHAR buffer[8];
    ULONG transferred = 0;
    EXPECT_DEATH(file->Read(buffer, sizeof buffer, &transferred), "BUGCHECK: IRP_INFORMATION_EXCEEDS_BUFFER");
}

}  // namespace
