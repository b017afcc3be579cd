// CompleteRequest stores the status and information, completes the request
// and hands the status back so a dispatch routine can end in one step.
#include <gtest/gtest.h>

#include "loaded_driver.h"

namespace {

NTSTATUS gStatusToComplete;
NTSTATUS gReturnedByCompleteRequest;

NTSTATUS CompletingDispatch(PDEVICE_OBJECT, PIRP irp) {
    gReturnedByCompleteRequest = CompleteRequest(irp, gStatusToComplete, 42);
    return gReturnedByCompleteRequest;
}

class CompleteRequestTest : public ::testing::Test {
protected:
    void SetUp() override {
        driver_ = wrk::CreateDriverObject(u"\\Driver\\CompleteProbe");
        driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompletingDispatch;
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
    }
    void TearDown() override {
        IoDeleteDevice(device_);
        wrk::DeleteDriverObject(driver_);
    }
    NTSTATUS Send(NTSTATUS status) {
        gStatusToComplete = status;
        ioStatus_.Status = 0x7777;
        ioStatus_.Information = 0;
        PIRP irp = IoBuildDeviceIoControlRequest(1, device_, nullptr, 0, nullptr, 0, FALSE, &event_, &ioStatus_);
        return IoCallDriver(device_, irp);
    }
    wrk::ScopedKernelState kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    KEVENT event_;
    IO_STATUS_BLOCK ioStatus_{};
};

TEST_F(CompleteRequestTest, SuccessReachesTheCaller) {
    EXPECT_EQ(Send(STATUS_SUCCESS), STATUS_SUCCESS);
    EXPECT_EQ(gReturnedByCompleteRequest, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus_.Status, STATUS_SUCCESS);
    EXPECT_EQ(ioStatus_.Information, 42u);
    EXPECT_EQ(KeReadStateEvent(&event_), 1);
    EXPECT_EQ(wrk::LiveIrpCount(), 0u);
}

TEST_F(CompleteRequestTest, FailureIsReturnedAsStored) {
    EXPECT_EQ(Send(STATUS_DEVICE_NOT_CONNECTED), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(gReturnedByCompleteRequest, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(wrk::LiveIrpCount(), 0u);
}

}  // namespace
