// The verifier's stops for drivers that break the I/O manager's rules.
#include "test_stack.h"

#include <gtest/gtest.h>

namespace {

using kio::Complete;
using kio::TestDriver;

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);

// Sends one device control request to `device` and returns what IofCallDriver did.
NTSTATUS Send(PDEVICE_OBJECT device) {
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    return IofCallDriver(device, irp);
}

// Runs one driver with `handler` as its dispatch routine, then sends it a request.
void SendTo(kio::Handler handler) {
    TestDriver driver;
    Send(driver.AddDevice(std::move(handler)));
}

class VerifierDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(VerifierDeathTest, CompletingTwice) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     irp->IoStatus.Status = STATUS_SUCCESS;
                     IofCompleteRequest(irp, IO_NO_INCREMENT);
                     IofCompleteRequest(irp, IO_NO_INCREMENT);
                     return STATUS_SUCCESS;
                 }),
                 "BUGCHECK: IRP_COMPLETED_TWICE");
}

TEST_F(VerifierDeathTest, CompletingWithPending) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); }),
                 "BUGCHECK: IRP_COMPLETED_WITH_PENDING");
}

void IgnoreCancel(PDEVICE_OBJECT, PIRP irp) { IoReleaseCancelSpinLock(irp->CancelIrql); }

TEST_F(VerifierDeathTest, CompletingWithACancelRoutineSet) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     IoSetCancelRoutine(irp, IgnoreCancel);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "BUGCHECK: IRP_COMPLETED_WITH_CANCEL_ROUTINE");
}

TEST_F(VerifierDeathTest, ReturningPendingWithoutMarking) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_SUCCESS);
                     return STATUS_PENDING;
                 }),
                 "BUGCHECK: PENDING_RETURNED_WITHOUT_MARK");
}

TEST_F(VerifierDeathTest, MarkingPendingAndReturningAnotherStatus) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "BUGCHECK: PENDING_MARKED_BUT_NOT_RETURNED");
}

TEST_F(VerifierDeathTest, ReturningAStatusOtherThanTheCompletedOne) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_UNSUCCESSFUL);
                     return STATUS_SUCCESS;
                 }),
                 "BUGCHECK: STATUS_MISMATCH");
}

TEST_F(VerifierDeathTest, ReturningAFinalStatusForAnIrpStillHeld) {
    static PIRP held;
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     held = irp;
                     return STATUS_SUCCESS;
                 }),
                 "BUGCHECK: STATUS_RETURNED_FOR_UNFINISHED_IRP");
}

TEST_F(VerifierDeathTest, ForwardingFromTheBottomOfTheStack) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            // A one-location IRP has nothing left to pass on with.
            PDEVICE_OBJECT device = driver.AddDevice([lower](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                return IofCallDriver(lower, irp);
            });
            Send(device);
        },
        "BUGCHECK: NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(VerifierDeathTest, ForwardingWithoutSkipOrCopy) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PDEVICE_OBJECT upper =
                driver.AddDevice([lower](PDEVICE_OBJECT, PIRP irp) { return IofCallDriver(lower, irp); });
            IoAttachDeviceToDeviceStack(upper, lower);
            Send(upper);
        },
        "BUGCHECK: IRP_FORWARDED_WITHOUT_STACK_LOCATION");
}

TEST_F(VerifierDeathTest, DispatchReturningAtAnotherIrql) {
    EXPECT_DEATH(SendTo([](PDEVICE_OBJECT, PIRP irp) {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "BUGCHECK: IRQL_CHANGED_BY_DISPATCH");
}

NTSTATUS RaiseAndContinue(PDEVICE_OBJECT, PIRP, PVOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, CompletionRoutineReturningAtAnotherIrql) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PDEVICE_OBJECT upper = driver.AddDevice([lower](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, RaiseAndContinue, nullptr, TRUE, TRUE, TRUE);
                return IofCallDriver(lower, irp);
            });
            IoAttachDeviceToDeviceStack(upper, lower);
            Send(upper);
        },
        "BUGCHECK: IRQL_CHANGED_BY_COMPLETION_ROUTINE");
}

TEST_F(VerifierDeathTest, DriverIrpCompletedPastItsOwner) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_COMPLETED_PAST_ITS_OWNER");
}

TEST_F(VerifierDeathTest, PowerIrpSentWithIofCallDriver) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
            IofCallDriver(device, irp);
        },
        "BUGCHECK: POWER_IRP_WITHOUT_POCALLDRIVER");
}

// ---------------------------------------------------------- IRP lifetime

PIRP BuildThreadIrp(PDEVICE_OBJECT device) {
    static KEVENT event;
    static IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
}

NTSTATUS KeepIt(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

TEST_F(VerifierDeathTest, FreeingAnIrpTwice) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "BUGCHECK: IRP_FREED_TWICE");
}

TEST_F(VerifierDeathTest, CompletingAFreedIrp) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        },
        "BUGCHECK: IRP_COMPLETED_AFTER_FREE");
}

TEST_F(VerifierDeathTest, SendingAFreedIrp) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_SENT_AFTER_FREE");
}

NTSTATUS FreeAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, FreeingAnIrpInItsCompletionRoutineWithoutKeepingIt) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, FreeAndContinue, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_FREED_IN_COMPLETION");
}

NTSTATUS FinishTwice(PDEVICE_OBJECT, PIRP irp, PVOID) {
    // Handed back at the top, the owner finishes it; a second time is one too many.
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(VerifierDeathTest, CompletingTwiceAtTheTop) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = BuildThreadIrp(device);
            IoSetCompletionRoutine(irp, FinishTwice, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_COMPLETED_TWICE");
}

TEST_F(VerifierDeathTest, FreeingAnIrpBuiltForAThread) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = BuildThreadIrp(device);
            IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(device, irp);
            IoFreeIrp(irp);  // the I/O manager's to free: the owner must complete it again
        },
        "BUGCHECK: THREAD_IRP_FREED");
}

TEST_F(VerifierDeathTest, ReusingAnIrpBuiltForAThread) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = BuildThreadIrp(device);
            IoReuseIrp(irp, STATUS_SUCCESS);
        },
        "BUGCHECK: THREAD_IRP_REUSED");
}

TEST_F(VerifierDeathTest, ReusingAnIrpWithACancelRoutineSet) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetCancelRoutine(irp, IgnoreCancel);
            IoReuseIrp(irp, STATUS_SUCCESS);
        },
        "BUGCHECK: IRP_REUSED_WITH_CANCEL_ROUTINE");
}

NTSTATUS ReuseAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, ReusingAnIrpInItsCompletionRoutineWithoutKeepingIt) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, ReuseAndContinue, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_REUSED_IN_COMPLETION");
}

TEST_F(VerifierDeathTest, InitializingMemoryThatIsNoIrp) {
    static unsigned char memory[512];
    EXPECT_DEATH(IoInitializeIrp(reinterpret_cast<PIRP>(memory + 256), IoSizeOfIrp(1), 1),
                 "BUGCHECK: INVALID_IRP: IoInitializeIrp of memory IoAllocateIrp did not give");
}

TEST_F(VerifierDeathTest, CancellingACompletedIrp) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = BuildThreadIrp(device);
            IofCallDriver(device, irp);  // completed to the top and freed by the I/O manager
            IoCancelIrp(irp);
        },
        "BUGCHECK: CANCEL_STATE_IN_COMPLETED_IRP");
}

TEST_F(VerifierDeathTest, CancellingAFreedIrp) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(device, irp);
            IoFreeIrp(irp);
            IoCancelIrp(irp);
        },
        "BUGCHECK: CANCEL_STATE_IN_COMPLETED_IRP");
}

}  // namespace
