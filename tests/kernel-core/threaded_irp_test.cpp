// Requests built with IoBuildDeviceIoControlRequest belong to the thread that
// built them: wherever they complete, their status block, event and release
// come in that thread, when it waits or drops below APC_LEVEL.
#include <host/io.h>
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

// What the one device of the test driver does with a request.
struct Behaviour {
    NTSTATUS status = STATUS_SUCCESS;
    bool pend = false;  // keep it for the test to complete later
    PIRP held = nullptr;
};

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* behaviour = *static_cast<Behaviour**>(device->DeviceExtension);
    if (behaviour->pend) {
        IoMarkIrpPending(irp);
        behaviour->held = irp;
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = behaviour->status;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return behaviour->status;
}

void Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 7;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

class ThreadedIrpTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    size_t liveIrps = wrk::LiveIrpCount();
    PDRIVER_OBJECT driver = wrk::CreateDriverObject(u"\\Driver\\Threaded");
    PDEVICE_OBJECT device = nullptr;
    Behaviour behaviour;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};

    void SetUp() override {
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
        ASSERT_EQ(IoCreateDevice(driver, sizeof(Behaviour*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        *static_cast<Behaviour**>(device->DeviceExtension) = &behaviour;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = 0x1234;
    }
    void TearDown() override {
        EXPECT_EQ(wrk::LiveIrpCount(), liveIrps);
        IoDeleteDevice(device);
        wrk::DeleteDriverObject(driver);
    }

    NTSTATUS Send() {
        PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        EXPECT_NE(irp, nullptr);
        return IofCallDriver(device, irp);
    }
    // Completes the held request on a thread of its own and waits for that
    // thread to be done (a host join, not a kernel wait).
    void CompleteElsewhere(NTSTATUS status) {
        std::thread([&] { Complete(behaviour.held, status); }).join();
    }
};

TEST_F(ThreadedIrpTest, CompletedElsewhereItIsFinishedOnlyWhenItsThreadWaits) {
    behaviour.pend = true;
    ASSERT_EQ(Send(), STATUS_PENDING);
    CompleteElsewhere(STATUS_SUCCESS);
    // The completing thread left the last step to this one.
    EXPECT_EQ(iosb.Status, 0x1234);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(wrk::LiveIrpCount(), liveIrps + 1);

    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 7u);
    EXPECT_EQ(wrk::LiveIrpCount(), liveIrps);
}

TEST_F(ThreadedIrpTest, CompletionDuringTheWaitInterruptsItAndTheWaitEndsOnTheEvent) {
    behaviour.pend = true;
    ASSERT_EQ(Send(), STATUS_PENDING);
    PKTHREAD requester = KeGetCurrentThread();
    const uint64_t wakeUps = wrk::ThreadWakeUps(requester);
    std::thread completer([&] {
        ASSERT_TRUE(wrk::WaitForWaiters(&event, 1));
        Complete(behaviour.held, STATUS_SUCCESS);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    // Woken once, by the APC; the event it set satisfied the wait it resumed.
    EXPECT_EQ(wrk::ThreadWakeUps(requester) - wakeUps, 1u);
}

TEST_F(ThreadedIrpTest, RaisedIrqlHoldsTheFinishUntilItDropsBelowApcLevel) {
    behaviour.pend = true;
    ASSERT_EQ(Send(), STATUS_PENDING);
    KIRQL old = KfRaiseIrql(APC_LEVEL);
    CompleteElsewhere(STATUS_SUCCESS);
    KfRaiseIrql(DISPATCH_LEVEL);
    KfLowerIrql(APC_LEVEL);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KfLowerIrql(old);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(ThreadedIrpTest, CompletedInItsOwnThreadItIsFinishedBeforeTheCallReturns) {
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(wrk::LiveIrpCount(), liveIrps);
}

TEST_F(ThreadedIrpTest, SynchronousErrorLeavesStatusBlockAndEventAlone) {
    behaviour.status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(Send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(iosb.Status, 0x1234);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(ThreadedIrpTest, PendedErrorReachesStatusBlockAndEvent) {
    behaviour.pend = true;
    ASSERT_EQ(Send(), STATUS_PENDING);
    CompleteElsewhere(STATUS_CANCELLED);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(ThreadedIrpTest, SynchronousWarningIsReportedLikeASuccess) {
    behaviour.status = STATUS_BUFFER_OVERFLOW;
    EXPECT_EQ(Send(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

}  // namespace
