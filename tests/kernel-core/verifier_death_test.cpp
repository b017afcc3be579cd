// The verifier rules: each broken rule stops the run with its bug check.
#include <host/io.h>
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr ULONG kTag = 0x206D6457;

class VerifierDeathTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
    wrk::ScopedKernelState kernel;
};

TEST_F(VerifierDeathTest, BugcheckNamesTheRuleAndDetails) {
    EXPECT_DEATH(wrk::Bugcheck("SOME_RULE", "what happened"), "\\*\\*\\* BUGCHECK: SOME_RULE: what happened");
}

TEST_F(VerifierDeathTest, FreeingTwiceIsCaught) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePool(block);
    EXPECT_DEATH(ExFreePool(block), "BAD_POOL_CALLER: pool block freed twice");
}

// A block whose address the pool gives out again is live once more: only
// its second free after that is the double one.
TEST_F(VerifierDeathTest, FreeingTwiceIsCaughtForAReusedAddress) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePool(block);
    PVOID again = nullptr;
    std::vector<PVOID> others;
    for (int i = 0; i < 64 && again != block; ++i) {
        again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        if (again != block) others.push_back(again);
    }
    for (PVOID other : others) ExFreePool(other);
    if (again != block) GTEST_SKIP() << "the allocator never gave the address out again";
    ExFreePool(again);
    EXPECT_DEATH(ExFreePool(again), "BAD_POOL_CALLER: pool block freed twice");
}

TEST_F(VerifierDeathTest, FreeingWhatPoolNeverGaveIsCaught) {
    static int notPool;
    EXPECT_DEATH(ExFreePool(&notPool), "BAD_POOL_CALLER: ExFreePool of memory not allocated from pool");
    EXPECT_DEATH(ExFreePool(nullptr), "BAD_POOL_CALLER: ExFreePool of a null pointer");
}

TEST_F(VerifierDeathTest, FreeingWithAnotherTagIsCaught) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_DEATH(ExFreePoolWithTag(block, 0x20707249), "BAD_POOL_CALLER: ExFreePoolWithTag with tag 'Irp '");
    ExFreePool(block);
}

TEST_F(VerifierDeathTest, PagedPoolAboveApcLevelIsCaught) {
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 8, kTag);
        },
        "IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag\\(PagedPool\\) called at IRQL 2");
}

TEST_F(VerifierDeathTest, WaitWithATimeOutAtDispatchLevelIsCaught) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER second;
    second.QuadPart = -10'000'000;
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &second);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION: KeWaitForSingleObject waits at IRQL 2 with a non-zero time-out");
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            KeDelayExecutionThread(KernelMode, FALSE, &second);
        },
        "KeDelayExecutionThread waits at IRQL 2");
}

TEST_F(VerifierDeathTest, WaitingOnOrSettingAnEventNeverInitializedIsCaught) {
    KEVENT event{};
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "INVALID_DATA_ACCESS_TRAP: KeWaitForSingleObject on an object never initialized");
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, FALSE),
                 "INVALID_DATA_ACCESS_TRAP: KeSetEvent on an object never initialized");
}

TEST_F(VerifierDeathTest, WaitingOnWhatIsNoDispatcherObjectIsCaught) {
    KEVENT notAnObject;
    KeInitializeEvent(&notAnObject, NotificationEvent, FALSE);
    notAnObject.Header.Type = 42;
    EXPECT_DEATH(KeWaitForSingleObject(&notAnObject, Executive, KernelMode, FALSE, nullptr),
                 "INVALID_DATA_ACCESS_TRAP: KeWaitForSingleObject on an object of unknown type 42");
}

TEST_F(VerifierDeathTest, DelayWithoutAnIntervalIsCaught) {
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, nullptr),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: KeDelayExecutionThread without an interval");
}

TEST_F(VerifierDeathTest, PollingAtDispatchLevelIsAllowed) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KfLowerIrql(old);
}

TEST_F(VerifierDeathTest, PollingAboveDispatchLevelIsCaught) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(
        {
            LARGE_INTEGER zero{};
            KfRaiseIrql(HIGH_LEVEL);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION: KeWaitForSingleObject waits at IRQL 31\n");
}

TEST_F(VerifierDeathTest, ReleasingASpinLockNotHeldIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KfReleaseSpinLock(&lock, PASSIVE_LEVEL), "SPIN_LOCK_NOT_OWNED");
}

TEST_F(VerifierDeathTest, ReleasingASpinLockToTheWrongIrqlIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KfAcquireSpinLock(&lock);
            KfReleaseSpinLock(&lock, APC_LEVEL);
        },
        "spin lock released to IRQL 1, acquired at IRQL 0");
}

TEST_F(VerifierDeathTest, AcquiringAHeldSpinLockAgainIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KfAcquireSpinLock(&lock);
            KfAcquireSpinLock(&lock);
        },
        "SPIN_LOCK_ALREADY_OWNED");
}

TEST_F(VerifierDeathTest, SpinLockTakenOrReleasedAboveDispatchLevelIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KfRaiseIrql(HIGH_LEVEL);
            KfAcquireSpinLock(&lock);
        },
        "IRQL_NOT_GREATER_OR_EQUAL: KfAcquireSpinLock called at IRQL 31");
    EXPECT_DEATH(
        {
            const KIRQL old = KfAcquireSpinLock(&lock);
            KfRaiseIrql(HIGH_LEVEL);
            KfReleaseSpinLock(&lock, old);
        },
        "IRQL_NOT_GREATER_OR_EQUAL: spin lock released at IRQL 31 instead of DISPATCH_LEVEL");
}

TEST_F(VerifierDeathTest, LoweringTheIrqlUnderAHeldSpinLockIsCaught) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KfAcquireSpinLock(&lock);
            KfLowerIrql(PASSIVE_LEVEL);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION: IRQL lowered to 0 while a spin lock is held");
}

TEST_F(VerifierDeathTest, IrqlMovesOnlyTheWayTheRoutineSays) {
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            KfRaiseIrql(APC_LEVEL);
        },
        "IRQL_NOT_GREATER_OR_EQUAL");
    EXPECT_DEATH(KfLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL");
}

void NeverRuns(PVOID) {}

TEST_F(VerifierDeathTest, ThreadCreationAbovePassiveLevelIsCaught) {
    EXPECT_DEATH(
        {
            KfRaiseIrql(APC_LEVEL);
            HANDLE thread;
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, NeverRuns, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL: PsCreateSystemThread called at IRQL 1");
}

TEST_F(VerifierDeathTest, ReferencingAnUnknownObjectIsCaught) {
    static int unknown;
    EXPECT_DEATH(ObfReferenceObject(&unknown), "BUGCHECK: INVALID_OBJECT_REFERENCE");
}

TEST_F(VerifierDeathTest, DereferencingAGoneObjectIsCaught) {
    static int unknown;
    EXPECT_DEATH(ObfDereferenceObject(&unknown), "REFERENCE_BY_POINTER");
}

TEST_F(VerifierDeathTest, TerminatingAThreadTheDriverDidNotCreateIsCaught) {
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "PsTerminateSystemThread called outside a system thread");
}

TEST_F(VerifierDeathTest, PriorityOutsideZeroToThirtyOneIsCaught) {
    EXPECT_DEATH(KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY + 1),
                 "INVALID_PARAMETER: KeSetPriorityThread to priority 32");
    EXPECT_DEATH(KeSetPriorityThread(KeGetCurrentThread(), LOW_PRIORITY - 1),
                 "INVALID_PARAMETER: KeSetPriorityThread to priority -1");
}

// Enough of a device for IoBuildDeviceIoControlRequest to size its IRP.
DEVICE_OBJECT* OneLocationDevice() {
    static DEVICE_OBJECT device{};
    device.StackSize = 1;
    return &device;
}

void BuildAndForget(PVOID) {
    static IO_STATUS_BLOCK iosb;
    IoBuildDeviceIoControlRequest(0, OneLocationDevice(), nullptr, 0, nullptr, 0, TRUE, nullptr, &iosb);
}

TEST_F(VerifierDeathTest, BuildingARequestAbovePassiveLevelIsCaught) {
    EXPECT_DEATH(
        {
            KfRaiseIrql(APC_LEVEL);
            BuildAndForget(nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL: IoBuildDeviceIoControlRequest called at IRQL 1");
}

TEST_F(VerifierDeathTest, ThreadEndingWithARequestItBuiltOutstandingIsCaught) {
    EXPECT_DEATH(
        {
            HANDLE thread;
            PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, BuildAndForget, nullptr);
            wrk::WaitForThreadsToEnd(std::chrono::seconds(10));
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION: system thread ended with 1 request\\(s\\) it built with "
        "IoBuildDeviceIoControlRequest still outstanding");
    EXPECT_DEATH(std::thread(BuildAndForget, nullptr).join(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: thread ended with 1 request");
}

TEST_F(VerifierDeathTest, ClosingAKernelHandleTwiceIsCaught) {
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, NeverRuns, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_DEATH(ZwClose(thread), "BUGCHECK: INVALID_KERNEL_HANDLE: ZwClose of the invalid kernel handle");
    ASSERT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
}

TEST_F(VerifierDeathTest, ClosingAHandleNobodyOpenedIsCaught) {
    EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x4)), "BUGCHECK: INVALID_KERNEL_HANDLE");
}

TEST_F(VerifierDeathTest, ReleasingASpinLockToPassiveWhileAnotherIsHeldIsCaught) {
    KSPIN_LOCK first;
    KSPIN_LOCK second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    EXPECT_DEATH(
        {
            const KIRQL old = KfAcquireSpinLock(&first);
            KfAcquireSpinLock(&second);
            KfReleaseSpinLock(&first, old);
        },
        "spin lock released to IRQL 0 while another spin lock is held");
}

void EndRaised(PVOID) { KfRaiseIrql(DISPATCH_LEVEL); }

void EndHoldingALock(PVOID lock) { KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(lock)); }

void StartAndWait(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE thread = nullptr;
    PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
    PVOID object = nullptr;
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(VerifierDeathTest, SystemThreadEndingRaisedIsCaught) {
    EXPECT_DEATH(StartAndWait(EndRaised, nullptr), "system thread ended at IRQL 2 holding 0 spin lock\\(s\\)");
}

TEST_F(VerifierDeathTest, SystemThreadEndingWithASpinLockHeldIsCaught) {
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(StartAndWait(EndHoldingALock, &lock), "system thread ended at IRQL 2 holding 1 spin lock\\(s\\)");
}

// Work items of a device that stays for the test's whole process.
PDEVICE_OBJECT WorkDevice() {
    static PDEVICE_OBJECT device = [] {
        PDEVICE_OBJECT created = nullptr;
        IoCreateDevice(wrk::CreateDriverObject(u"\\Driver\\Work"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                       &created);
        return created;
    }();
    return device;
}

void ReturnRaised(PDEVICE_OBJECT, PVOID) { KfRaiseIrql(DISPATCH_LEVEL); }

void WaitForEvent(PDEVICE_OBJECT, PVOID event) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(VerifierDeathTest, WorkItemReturningRaisedIsCaught) {
    EXPECT_DEATH(
        {
            IoQueueWorkItem(IoAllocateWorkItem(WorkDevice()), ReturnRaised, DelayedWorkQueue, nullptr);
            wrk::WaitForWorkItems();
        },
        "BUGCHECK: WORK_ITEM_RETURNED_AT_RAISED_IRQL");
}

// More blocked routines than the delayed queue has workers, so an item queued
// after them stays in the queue.
void OccupyDelayedWorkers(PKEVENT never) {
    for (int i = 0; i < 8; ++i) {
        IoQueueWorkItem(IoAllocateWorkItem(WorkDevice()), WaitForEvent, DelayedWorkQueue, never);
    }
}

TEST_F(VerifierDeathTest, WorkItemQueuedTwiceIsCaught) {
    EXPECT_DEATH(
        {
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            OccupyDelayedWorkers(&never);
            PIO_WORKITEM item = IoAllocateWorkItem(WorkDevice());
            IoQueueWorkItem(item, WaitForEvent, DelayedWorkQueue, &never);
            IoQueueWorkItem(item, WaitForEvent, DelayedWorkQueue, &never);
        },
        "BUGCHECK: WORK_ITEM_QUEUED_TWICE");
}

TEST_F(VerifierDeathTest, WorkItemFreedWhileQueuedIsCaught) {
    EXPECT_DEATH(
        {
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            OccupyDelayedWorkers(&never);
            PIO_WORKITEM item = IoAllocateWorkItem(WorkDevice());
            IoQueueWorkItem(item, WaitForEvent, DelayedWorkQueue, &never);
            IoFreeWorkItem(item);
        },
        "BUGCHECK: WORK_ITEM_FREED_WHILE_QUEUED");
}

TEST_F(VerifierDeathTest, WorkItemForAQueueThatDoesNotExistIsCaught) {
    EXPECT_DEATH(IoQueueWorkItem(IoAllocateWorkItem(WorkDevice()), ReturnRaised, static_cast<WORK_QUEUE_TYPE>(7), nullptr),
                 "BUGCHECK: INVALID_WORK_QUEUE_ITEM: IoQueueWorkItem to unknown queue 7");
}

NTSTATUS EntryLeavingAnIrp(PDRIVER_OBJECT, PUNICODE_STRING) {
    IoAllocateIrp(1, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS EntryLeavingADevice(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    PDEVICE_OBJECT device = nullptr;
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

TEST_F(VerifierDeathTest, UnloadWithAnIrpLeftIsCaught) {
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryLeavingAnIrp)->Unload(),
                 "driver unloaded leaving\n.*1 IRP\\(s\\) not freed");
}

TEST_F(VerifierDeathTest, UnloadWithADeviceLeftIsCaught) {
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryLeavingADevice)->Unload(),
                 "driver unloaded leaving\n.*1 device object\\(s\\) not deleted");
}

KEVENT gThreadGate;

void WaitForThreadGate(PVOID) {
    KeWaitForSingleObject(&gThreadGate, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void EndAtOnce(PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }

// Its thread waits for a gate never opened; its handle is closed.
NTSTATUS EntryLeavingAThreadRunning(PDRIVER_OBJECT, PUNICODE_STRING) {
    KeInitializeEvent(&gThreadGate, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForThreadGate,
                                           nullptr);
    if (NT_SUCCESS(status)) ZwClose(thread);
    return status;
}

// Its thread ends at once; its handle stays open.
NTSTATUS EntryLeavingAThreadHandle(PDRIVER_OBJECT, PUNICODE_STRING) {
    HANDLE thread = nullptr;
    return PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr);
}

TEST_F(VerifierDeathTest, UnloadWithAThreadRunningOrItsHandleOpenIsCaught) {
    wrk::SetTimeScale(0.01);  // unload's grace for threads on their way out: the shortest
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryLeavingAThreadRunning)->Unload(),
                 "driver unloaded leaving\n.*1 system thread\\(s\\) still running");
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryLeavingAThreadHandle)->Unload(),
                 "driver unloaded leaving\n.*thread handle 0x[0-9A-Fa-f]+ not closed");
}

NTSTATUS LeakingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    return STATUS_SUCCESS;
}

NTSTATUS EntryReturningAtDispatch(PDRIVER_OBJECT, PUNICODE_STRING) {
    KfRaiseIrql(DISPATCH_LEVEL);
    return STATUS_SUCCESS;
}

// A driver whose one device has a work item, queued at DriverEntry (when
// `gQueueWork`) to a routine that waits for `gWorkGate`, never set.
KEVENT gWorkGate;
bool gQueueWork = true;
PDEVICE_OBJECT gWorkDevice;

void WaitForGate(PDEVICE_OBJECT, PVOID) {
    KeWaitForSingleObject(&gWorkGate, Executive, KernelMode, FALSE, nullptr);
}

void DeleteWorkDevice(PDRIVER_OBJECT) {
    IoDeleteDevice(gWorkDevice);
}

NTSTATUS EntryWithWork(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = DeleteWorkDevice;
    KeInitializeEvent(&gWorkGate, NotificationEvent, FALSE);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gWorkDevice);
    gWorkDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    PIO_WORKITEM item = IoAllocateWorkItem(gWorkDevice);
    if (gQueueWork) IoQueueWorkItem(item, WaitForGate, DelayedWorkQueue, nullptr);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDeathTest, UnloadWithWorkRunningOrQueuedOrItsPoolLeftIsCaught) {
    wrk::SetTimeScale(0.01);  // unload's grace for work on its way out: the shortest
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryWithWork)->Unload(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded leaving\n.*1 work item routine\\(s\\) "
                 "still running");
    EXPECT_DEATH(
        {
            // Every delayed worker is held up by one more driver's item, so ours stays queued.
            for (int i = 0; i < 3; ++i) wrk::DriverImage::FromEntry(EntryWithWork).release();
            wrk::DriverImage::FromEntry(EntryWithWork)->Unload();
        },
        "driver unloaded leaving\n.*work item 0x[0-9a-f]+ still queued \\(pool 'IoWk'\\)");
    gQueueWork = false;
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryWithWork)->Unload(),
                 "driver unloaded leaving\n.*work item 0x[0-9a-f]+ not freed \\(pool 'IoWk'\\)");
    gQueueWork = true;
}

TEST_F(VerifierDeathTest, UnloadWithPoolLeftIsCaught) {
    EXPECT_DEATH(wrk::DriverImage::FromEntry(LeakingEntry)->Unload(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded leaving\n.*'Wdm ' NonPagedPool 24 bytes");
}

TEST_F(VerifierDeathTest, DriverEntryReturningAtRaisedIrqlIsCaught) {
    EXPECT_DEATH(wrk::DriverImage::FromEntry(EntryReturningAtDispatch), "IRQL_UNEXPECTED_VALUE: DriverEntry returned at IRQL 2");
}

}  // namespace
