// The verifier's stops for drivers that break the I/O manager's rules.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <thread>

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

// A stack of `depth` devices, each forwarding in a location of its own,
// over a bottom device that completes; its top device returns `topReturns`.
PDEVICE_OBJECT DeepStack(TestDriver& driver, int depth, NTSTATUS topReturns) {
    PDEVICE_OBJECT below = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    for (int level = 2; level <= depth; ++level) {
        const bool top = level == depth;
        PDEVICE_OBJECT device = driver.AddDevice([below, top, topReturns](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            const NTSTATUS status = IofCallDriver(below, irp);
            return top ? topReturns : status;
        });
        device->StackSize = static_cast<CCHAR>(below->StackSize + 1);
        below = device;
    }
    return below;
}

TEST_F(VerifierDeathTest, ADeepStackIsJudgedAtEveryLocation) {
    {
        TestDriver driver;
        EXPECT_EQ(Send(DeepStack(driver, 12, STATUS_SUCCESS)), STATUS_SUCCESS);
    }
    EXPECT_DEATH(
        {
            TestDriver driver;
            Send(DeepStack(driver, 12, STATUS_PENDING));
        },
        "BUGCHECK: PENDING_RETURNED_WITHOUT_MARK.*location 12");
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

// What a completion routine does with its driver's IRP after freeing it there:
// the memory stays until the routine returns, and a use of it is caught.
struct UseAfterFree {
    void (*use)(PDEVICE_OBJECT device, PIRP irp);
    PDEVICE_OBJECT device;
};

NTSTATUS FreeThenUse(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    const auto* use = static_cast<const UseAfterFree*>(context);
    IoFreeIrp(irp);
    use->use(use->device, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void FreeInCompletionThenUse(void (*use)(PDEVICE_OBJECT, PIRP)) {
    TestDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
    UseAfterFree context{use, device};
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, FreeThenUse, &context, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
}

TEST_F(VerifierDeathTest, UsingAnIrpFreedInTheCompletionRoutineStillRunning) {
    EXPECT_DEATH(FreeInCompletionThenUse([](PDEVICE_OBJECT, PIRP irp) { IoFreeIrp(irp); }),
                 "BUGCHECK: IRP_FREED_TWICE: IoFreeIrp of an IRP already freed");
    EXPECT_DEATH(FreeInCompletionThenUse([](PDEVICE_OBJECT, PIRP irp) { IofCompleteRequest(irp, IO_NO_INCREMENT); }),
                 "BUGCHECK: IRP_COMPLETED_AFTER_FREE: IofCompleteRequest of a freed IRP");
    EXPECT_DEATH(FreeInCompletionThenUse([](PDEVICE_OBJECT device, PIRP irp) { IofCallDriver(device, irp); }),
                 "BUGCHECK: IRP_SENT_AFTER_FREE: IofCallDriver of a freed IRP");
    EXPECT_DEATH(FreeInCompletionThenUse([](PDEVICE_OBJECT, PIRP irp) { IoReuseIrp(irp, STATUS_SUCCESS); }),
                 "BUGCHECK: IRP_USED_AFTER_FREE: IoReuseIrp of a freed IRP");
    EXPECT_DEATH(FreeInCompletionThenUse([](PDEVICE_OBJECT, PIRP irp) { IoInitializeIrp(irp, IoSizeOfIrp(1), 1); }),
                 "BUGCHECK: IRP_USED_AFTER_FREE: IoInitializeIrp of a freed IRP");
}

TEST_F(VerifierDeathTest, SendingAnIrpWhoseCompletionReachedTheTop) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PIRP parked = nullptr;
            PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                parked = irp;
                return STATUS_PENDING;
            });
            PIRP irp = BuildThreadIrp(device);
            IofCallDriver(device, irp);
            // Completed on another thread, the request is over but not yet freed:
            // that waits until this thread, its owner, waits or drops to PASSIVE_LEVEL.
            std::thread([parked] { Complete(parked, STATUS_SUCCESS); }).join();
            IofCallDriver(device, irp);
        },
        "BUGCHECK: IRP_SENT_AFTER_COMPLETION");
}

NTSTATUS CompleteAgainAndContinue(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, CompletingAgainInACompletionRoutineWithoutKeepingIt) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, 0); });
            PDEVICE_OBJECT upper = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, CompleteAgainAndContinue, nullptr, TRUE, TRUE, TRUE);
                return IofCallDriver(lower, irp);
            });
            IoAttachDeviceToDeviceStack(upper, lower);
            // The owner keeps its IRP when it comes back, so the second walk ends there.
            PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, KeepIt, nullptr, TRUE, TRUE, TRUE);
            IofCallDriver(upper, irp);
        },
        "BUGCHECK: IRP_COMPLETED_TWICE: IRP completed again during its completion routine");
}

TEST_F(VerifierDeathTest, PassingWhatIsNoIrp) {
    EXPECT_DEATH(IofCompleteRequest(nullptr, IO_NO_INCREMENT), "BUGCHECK: INVALID_IRP: a null pointer is not an IRP");
    static IRP notAllocated{};
    EXPECT_DEATH(IoFreeIrp(&notAllocated), "BUGCHECK: INVALID_IRP: 0x[0-9a-f]+ is not an IRP");
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

TEST_F(VerifierDeathTest, ReusingOrInitializingAFreedIrp) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoReuseIrp(irp, STATUS_SUCCESS);
        },
        "BUGCHECK: IRP_USED_AFTER_FREE");
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoInitializeIrp(irp, IoSizeOfIrp(1), 1);
        },
        "BUGCHECK: IRP_USED_AFTER_FREE: IoInitializeIrp of a freed IRP");
}

TEST_F(VerifierDeathTest, InitializingAnIrpBeyondItsMemory) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
        },
        "BUGCHECK: IRP_INITIALIZED_BEYOND_ITS_MEMORY");
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

// ------------------------------------------- pending and status, judged later

TEST_F(VerifierDeathTest, ReturningPendingWithoutMarkingWhenTheCompletionComesLater) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PIRP parked = nullptr;
            PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
                parked = irp;
                return STATUS_PENDING;
            });
            Send(device);
            Complete(parked, STATUS_SUCCESS);
        },
        "BUGCHECK: PENDING_RETURNED_WITHOUT_MARK");
}

// An upper driver whose lower one hands the request to a thread of its own,
// whose completion is under way (held in the upper driver's routine) when
// the upper dispatch routine returns `upperReturns`.
void CompletionUnderWayWhenTheUpperReturns(bool upperMarks, NTSTATUS upperReturns) {
    static KEVENT entered;
    static KEVENT gate;
    // The routine carries the pending mark up only for an upper driver that pends.
    static bool propagate;
    propagate = upperMarks;
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    struct Routine {
        static NTSTATUS HoldAtGate(PDEVICE_OBJECT, PIRP irp, PVOID) {
            KeSetEvent(&entered, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
            if (irp->PendingReturned && propagate) IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        }
    };
    TestDriver driver;
    std::thread completer;
    PDEVICE_OBJECT lower = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] { Complete(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT upper = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        if (upperMarks) IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Routine::HoldAtGate, nullptr, TRUE, TRUE, TRUE);
        IofCallDriver(lower, irp);
        KeWaitForSingleObject(&entered, Executive, KernelMode, FALSE, nullptr);
        KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
        return upperReturns;
    });
    IoAttachDeviceToDeviceStack(upper, lower);
    Send(upper);
    completer.join();
}

TEST_F(VerifierDeathTest, MarkingPendingAndReturningAnotherStatusWhileTheCompletionIsUnderWay) {
    EXPECT_DEATH(CompletionUnderWayWhenTheUpperReturns(true, STATUS_SUCCESS),
                 "BUGCHECK: PENDING_MARKED_BUT_NOT_RETURNED");
}

TEST_F(VerifierDeathTest, ReturningAnotherStatusThanTheOneCompletedWhileTheCompletionIsUnderWay) {
    EXPECT_DEATH(CompletionUnderWayWhenTheUpperReturns(false, STATUS_UNSUCCESSFUL), "BUGCHECK: STATUS_MISMATCH");
}

// ------------------------------------------------------------------ devices

TEST_F(VerifierDeathTest, DeletingADeviceTwice) {
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver = wrk::CreateDriverObject(u"\\Driver\\Twice");
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            device->ReferenceCount++;  // an open file keeps the memory
            IoDeleteDevice(device);
            IoDeleteDevice(device);
        },
        "BUGCHECK: DEVICE_DELETED_TWICE");
}

TEST_F(VerifierDeathTest, DeletingADeviceStillAttached) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            PDEVICE_OBJECT lower = driver.AddDevice(nullptr);
            PDEVICE_OBJECT upper = driver.AddDevice(nullptr);
            IoAttachDeviceToDeviceStack(upper, lower);
            IoDeleteDevice(upper);
        },
        "BUGCHECK: DEVICE_DELETED_WHILE_ATTACHED");
}

TEST_F(VerifierDeathTest, DetachingADeviceWithNothingAttached) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            IoDetachDevice(driver.AddDevice(nullptr));
        },
        "BUGCHECK: DEVICE_NOT_ATTACHED");
}

TEST_F(VerifierDeathTest, DeletingADriverThatStillHasDevices) {
    EXPECT_DEATH(
        {
            PDRIVER_OBJECT driver = wrk::CreateDriverObject(u"\\Driver\\Owner");
            PDEVICE_OBJECT device = nullptr;
            IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
            wrk::DeleteDriverObject(driver);
        },
        "BUGCHECK: DRIVER_DELETED_WITH_DEVICES");
}

// --------------------------------------------------------------- user mode

TEST_F(VerifierDeathTest, UserRequestAbovePassiveLevel) {
    EXPECT_DEATH(
        {
            TestDriver driver;
            driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); },
                             u"\\Device\\Raised0");
            std::unique_ptr<wrk::UserFile> file;
            wrk::UserFile::Open(u"\\Device\\Raised0", file);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ULONG done = 0;
            file->Read(nullptr, 0, &done);
        },
        "BUGCHECK: USER_REQUEST_ABOVE_PASSIVE");
}

}  // namespace
