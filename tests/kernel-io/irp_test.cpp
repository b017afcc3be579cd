// IRPs as drivers see them: stack locations, the completion walk, threaded
// requests and cancellation.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using kio::Complete;
using kio::TestDriver;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Trace {
    std::vector<std::string> events;
    std::vector<PDEVICE_OBJECT> devices;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context, const char* name, NTSTATUS result) {
    auto* trace = static_cast<Trace*>(context);
    trace->events.push_back(name);
    trace->devices.push_back(device);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return result;
}

NTSTATUS MiddleRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return Record(device, irp, context, "middle", STATUS_SUCCESS);
}
NTSTATUS TopRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return Record(device, irp, context, "top", STATUS_SUCCESS);
}
NTSTATUS HoldRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    return Record(device, irp, context, "hold", STATUS_MORE_PROCESSING_REQUIRED);
}

class IrpTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    size_t liveIrps = wrk::LiveIrpCount();
    void TearDown() override { EXPECT_EQ(wrk::LiveIrpCount(), liveIrps); }
};

TEST_F(IrpTest, NewIrpHasItsCurrentLocationOnePastTheLast) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    EXPECT_EQ(wrk::LiveIrpCount(), liveIrps + 1);
    IoFreeIrp(irp);
}

// Three drivers: the top and middle ones copy their location down with a
// completion routine, the bottom one completes.
struct ThreeLevels {
    TestDriver driver;
    Trace trace;
    PIO_COMPLETION_ROUTINE middleRoutine = MiddleRoutine;
    NTSTATUS bottomStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT bottom = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        trace.events.push_back("bottom");
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (NT_SUCCESS(bottomStatus)) {
            std::memset(irp->AssociatedIrp.SystemBuffer, 0x5A, stack->Parameters.DeviceIoControl.OutputBufferLength);
            return Complete(irp, bottomStatus, stack->Parameters.DeviceIoControl.OutputBufferLength);
        }
        return Complete(irp, bottomStatus);
    });
    PDEVICE_OBJECT middle = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, middleRoutine, &trace, TRUE, TRUE, TRUE);
        if (middleRoutine != HoldRoutine) return IofCallDriver(bottom, irp);
        // It keeps the request after the lower driver is done: pending.
        IoMarkIrpPending(irp);
        IofCallDriver(bottom, irp);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, TopRoutine, &trace, TRUE, TRUE, TRUE);
        return IofCallDriver(middle, irp);
    });
    ThreeLevels() {
        IoAttachDeviceToDeviceStack(middle, bottom);
        IoAttachDeviceToDeviceStack(top, middle);
    }
};

TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheUpperDevice) {
    ThreeLevels stack;
    EXPECT_EQ(stack.top->StackSize, 3);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR out[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.top, nullptr, 0, out, sizeof out, FALSE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_DEVICE_CONTROL);

    EXPECT_EQ(IofCallDriver(stack.top, irp), STATUS_SUCCESS);

    EXPECT_EQ(stack.trace.events, (std::vector<std::string>{"bottom", "middle", "top"}));
    // The routine a driver set runs with that driver's own device; the top
    // one has no device above it.
    EXPECT_EQ(stack.trace.devices, (std::vector<PDEVICE_OBJECT>{stack.middle, stack.top}));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof out);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    for (UCHAR byte : out) EXPECT_EQ(byte, 0x5A);
}

TEST_F(IrpTest, BuiltRequestsSystemBufferIsFreshPoolBeyondTheInput) {
    TestDriver driver;
    std::vector<UCHAR> arrived;
    PDEVICE_OBJECT device = driver.AddDevice([&arrived](PDEVICE_OBJECT, PIRP irp) {
        auto* bytes = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        arrived.assign(bytes, bytes + IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength);
        return Complete(irp, STATUS_SUCCESS);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR in[2] = {};
    UCHAR out[6] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, in, sizeof in, out, sizeof out, FALSE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
    ASSERT_EQ(arrived.size(), sizeof out);
    EXPECT_EQ(arrived[0], 0);
    EXPECT_EQ(arrived[1], 0);
    for (size_t i = sizeof in; i < arrived.size(); ++i) EXPECT_NE(arrived[i], 0) << "byte " << i;
}

TEST_F(IrpTest, MoreProcessingRequiredHandsTheIrpBackToItsOwner) {
    ThreeLevels stack;
    stack.middleRoutine = HoldRoutine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x1234;
    UCHAR out[4];
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.top, nullptr, 0, out, sizeof out, FALSE, &event,
                                             &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(stack.top, irp), STATUS_PENDING);

    EXPECT_EQ(stack.trace.events, (std::vector<std::string>{"bottom", "hold"}));
    EXPECT_EQ(iosb.Status, 0x1234);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    // The middle driver owns its location again and finishes the request.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, stack.middle);
    Complete(irp, STATUS_SUCCESS, 2);
    EXPECT_EQ(stack.trace.events, (std::vector<std::string>{"bottom", "hold", "top"}));
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(IrpTest, SynchronousFailureLeavesTheCallersBlockAndEventAlone) {
    ThreeLevels stack;
    stack.bottomStatus = STATUS_INVALID_PARAMETER;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x1234;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IofCallDriver(stack.top, irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Status, 0x1234);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    // Every routine that asked for errors still saw it.
    EXPECT_EQ(stack.trace.events, (std::vector<std::string>{"bottom", "middle", "top"}));
}

// A bottom driver that marks its requests pending and completes them when
// the test says so; an upper one that passes them down with a skip.
struct PendingStack {
    TestDriver driver;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT top = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return kio::SkipDown(bottom, irp); });
    PendingStack() { IoAttachDeviceToDeviceStack(top, bottom); }
};

TEST_F(IrpTest, PendedFailureReachesTheCallerThroughASkippingDriver) {
    PendingStack stack;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(stack.top, irp), STATUS_PENDING);
    ASSERT_EQ(stack.held, irp);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(IrpTest, PendingPropagatesThroughALocationWithoutRoutine) {
    TestDriver driver;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    // Copies without a routine: the I/O manager must carry the mark up.
    PDEVICE_OBJECT top = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IofCallDriver(bottom, irp);
    });
    IoAttachDeviceToDeviceStack(top, bottom);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(top, irp), STATUS_PENDING);
    Complete(held, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
}

TEST_F(IrpTest, BuildFailsWhenNoIrpCanBeAllocated) {
    TestDriver driver;
    PDEVICE_OBJECT device = driver.AddDevice([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    UCHAR buffer[4] = {};
    wrk::PoolFailNthAllocation(1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, device, buffer, 4, buffer, 4, FALSE, &event, &iosb),
              nullptr);
    // The system buffer is the second allocation: its failure frees the IRP.
    wrk::PoolFailNthAllocation(2);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, device, buffer, 4, buffer, 4, FALSE, &event, &iosb),
              nullptr);
    EXPECT_EQ(IoAllocateIrp(0, FALSE), nullptr);
}

TEST_F(IrpTest, NeitherMethodPassesTheCallersBuffers) {
    TestDriver driver;
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[4] = {};
    PDEVICE_OBJECT device = driver.AddDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, in);
        EXPECT_EQ(irp->UserBuffer, out);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        return Complete(irp, STATUS_SUCCESS);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    constexpr ULONG neither = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_NEITHER, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(neither, device, in, 4, out, 4, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_SUCCESS);
}

// A driver that parks its requests with a cancel routine.
struct CancelStack {
    TestDriver driver;
    PIRP parked = nullptr;
    KIRQL irqlInRoutine = PASSIVE_LEVEL;
    PDEVICE_OBJECT device = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        parked = irp;
        IoSetCancelRoutine(irp, CancelRoutine);
        return STATUS_PENDING;
    });
    static CancelStack* current;
    static void CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
        current->irqlInRoutine = KeGetCurrentIrql();
        IoReleaseCancelSpinLock(irp->CancelIrql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    CancelStack() { current = this; }
};
CancelStack* CancelStack::current = nullptr;

TEST_F(IrpTest, CancelCallsTheRoutineUnderTheCancelLock) {
    CancelStack stack;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, stack.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(stack.device, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(stack.irqlInRoutine, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(IrpTest, CancelWithoutRoutineOnlyMarksTheIrp) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, DefaultDispatchRefusesUnsetMajorFunctions) {
    PDRIVER_OBJECT bus = wrk::CreateDriverObject(u"\\Driver\\Bus");
    EXPECT_EQ(bus->MajorFunction[IRP_MJ_READ], wrk::DefaultDispatch);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IofCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    wrk::DeleteDriverObject(bus);
}

}  // namespace

namespace {

// A lower driver that sees each request as it arrives and completes it, and
// the owner's routine that takes the IRP back after every trip.
struct OwnedIrpStack {
    TestDriver driver;
    std::vector<IO_STACK_LOCATION> seen;
    NTSTATUS answer = STATUS_SUCCESS;
    PDEVICE_OBJECT lower = driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) {
        seen.push_back(*IoGetCurrentIrpStackLocation(irp));
        return Complete(irp, answer);
    });
    static NTSTATUS TakeBack(PDEVICE_OBJECT, PIRP, PVOID context) {
        ++*static_cast<int*>(context);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

constexpr ULONG kInternalCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

void SetUpInternalRequest(PIRP irp, PVOID argument, int* returns) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 7;
    next->Parameters.DeviceIoControl.IoControlCode = kInternalCode;
    next->Parameters.Others.Argument1 = argument;
    IoSetCompletionRoutine(irp, OwnedIrpStack::TakeBack, returns, TRUE, TRUE, TRUE);
}

TEST_F(IrpTest, TheWalkClearsEveryLocationItLeaves) {
    OwnedIrpStack stack;
    stack.answer = STATUS_DEVICE_NOT_CONNECTED;
    int returns = 0;
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    SetUpInternalRequest(irp, &returns, &returns);
    EXPECT_EQ(IofCallDriver(stack.lower, irp), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(returns, 1);

    // Only the major function, the device and the error mark are left.
    const IO_STACK_LOCATION& left = *reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(left.MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(left.DeviceObject, stack.lower);
    EXPECT_EQ(left.MinorFunction, 0);
    EXPECT_EQ(left.Flags, 0);
    EXPECT_EQ(left.Control, SL_ERROR_RETURNED);
    EXPECT_EQ(left.Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(left.Parameters.DeviceIoControl.IoControlCode, 0u);
    EXPECT_EQ(left.CompletionRoutine, nullptr);
    EXPECT_EQ(left.Context, nullptr);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, SuccessLeavesNoErrorMark) {
    OwnedIrpStack stack;
    int returns = 0;
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    SetUpInternalRequest(irp, &returns, &returns);
    EXPECT_EQ(IofCallDriver(stack.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)->Control, 0);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, AnIrpSentAgainWithoutSetUpArrivesEmptied) {
    OwnedIrpStack stack;
    int returns = 0;
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    SetUpInternalRequest(irp, &returns, &returns);
    EXPECT_EQ(IofCallDriver(stack.lower, irp), STATUS_SUCCESS);
    // Windows lets an owner send its IRP again; what it did not set up again
    // is gone, and so is its completion routine.
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnedIrpStack::TakeBack, &returns, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(stack.lower, irp), STATUS_SUCCESS);
    ASSERT_EQ(stack.seen.size(), 2u);
    EXPECT_EQ(stack.seen[0].MinorFunction, 7);
    EXPECT_EQ(stack.seen[0].Parameters.Others.Argument1, &returns);
    EXPECT_EQ(stack.seen[1].MinorFunction, 0);
    EXPECT_EQ(stack.seen[1].Parameters.Others.Argument1, nullptr);
    EXPECT_EQ(returns, 2);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, ReuseStartsTheIrpAfresh) {
    OwnedIrpStack stack;
    int returns = 0;
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    SetUpInternalRequest(irp, &returns, &returns);
    irp->AllocationFlags = 0x5;
    IofCallDriver(stack.lower, irp);
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->AllocationFlags, 0x5);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, 0);
    EXPECT_FALSE(irp->Cancel);
    // Set up and sent once more, it completes as a new request would.
    SetUpInternalRequest(irp, nullptr, &returns);
    EXPECT_EQ(IofCallDriver(stack.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(returns, 2);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, InitializeSetsUpAFreshIrpOfTheGivenSize) {
    PIRP irp = IoAllocateIrp(4, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->Cancel = TRUE;
    IoInitializeIrp(irp, IoSizeOfIrp(2), 2);
    EXPECT_EQ(irp->Size, IoSizeOfIrp(2));
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_EQ(irp->ThreadListEntry.Flink, &irp->ThreadListEntry);
    IoFreeIrp(irp);
}

// A routine that sends its IRP once more from inside its completion, as a
// driver retrying a transfer does.
struct Retry {
    PDEVICE_OBJECT lower;
    int attempts = 0;
    static NTSTATUS Again(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* retry = static_cast<Retry*>(context);
        if (++retry->attempts < 3) {
            IoReuseIrp(irp, STATUS_SUCCESS);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, Again, retry, TRUE, TRUE, TRUE);
            IofCallDriver(retry->lower, irp);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST_F(IrpTest, ReusedFromItsCompletionRoutineTheIrpGoesDownAgain) {
    OwnedIrpStack stack;
    Retry retry{stack.lower};
    PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Retry::Again, &retry, TRUE, TRUE, TRUE);
    IofCallDriver(stack.lower, irp);
    EXPECT_EQ(retry.attempts, 3);
    EXPECT_EQ(stack.seen.size(), 3u);
    IoFreeIrp(irp);
}

}  // namespace
