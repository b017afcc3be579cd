// The PnP and power managers against a bus driver and a function driver
// written here, and the verifier's stops for function drivers that break
// their rules.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using kio::Complete;
using kio::TestDriver;

// What the function driver does wrong, one fault at a time.
enum class Fault { None, LeaveInitializing, FailRemove, KeepStop, DeleteAtSurprise, KeepDeviceAtRemove,
                   NoStartNextPower, StartNextPowerTwice, NotPageable, FailRemoveBelow, RaiseInAddDevice };

struct World {
    Fault fault = Fault::None;
    std::vector<UCHAR> pdoMinors;          // PnP requests that reached the PDO
    std::vector<NTSTATUS> fdoFirstStatus;  // IoStatus.Status of each PnP request as it reached the FDO
    std::vector<KIRQL> pdoPowerIrql;
    std::vector<POWER_STATE_TYPE> pdoPowerTypes;
    std::vector<UCHAR> pdoPowerMinors;
    std::vector<SYSTEM_POWER_STATE> pdoSystemStates;
    NTSTATUS failQuery = STATUS_SUCCESS;   // the FDO's answer to QUERY_STOP and QUERY_REMOVE
    NTSTATUS failPowerQuery = STATUS_SUCCESS;  // the FDO's answer to a system IRP_MN_QUERY_POWER
    bool pageable = true;                  // DO_POWER_PAGABLE on the bus's PDO and on the FDO
    bool holdDevicePower = false;          // the FDO keeps the next device power IRP pending
    PIRP heldPower = nullptr;
    int fdoPowerIrps = 0;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
};
World* g_world;

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        g_world->pdoPowerIrql.push_back(KeGetCurrentIrql());
        g_world->pdoPowerTypes.push_back(stack->Parameters.Power.Type);
        g_world->pdoPowerMinors.push_back(stack->MinorFunction);
        if (stack->Parameters.Power.Type == SystemPowerState)
            g_world->pdoSystemStates.push_back(stack->Parameters.Power.State.SystemState);
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    }
    g_world->pdoMinors.push_back(stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = 1;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD3;
        return Complete(irp, STATUS_SUCCESS);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(g_world->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
    World& world = *g_world;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    world.fdoFirstStatus.push_back(irp->IoStatus.Status);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Complete(irp, ForwardAndWait(irp));
    case IRP_MN_QUERY_CAPABILITIES: {
        const NTSTATUS status = ForwardAndWait(irp);
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->Removable = 0;
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (!NT_SUCCESS(world.failQuery)) return Complete(irp, world.failQuery);
        break;
    case IRP_MN_STOP_DEVICE:
        if (world.fault == Fault::KeepStop) return Complete(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        if (world.fault == Fault::DeleteAtSurprise) {
            const NTSTATUS status = kio::SkipDown(world.lower, irp);
            IoDetachDevice(world.lower);
            IoDeleteDevice(device);
            return status;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        if (world.fault == Fault::FailRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
        if (world.fault == Fault::FailRemoveBelow) {
            // Passed down, then failed on the way back up.
            ForwardAndWait(irp);
            IoDetachDevice(world.lower);
            IoDeleteDevice(device);
            return Complete(irp, STATUS_UNSUCCESSFUL);
        }
        const NTSTATUS status = kio::SkipDown(world.lower, irp);
        if (world.fault != Fault::KeepDeviceAtRemove) {
            IoDetachDevice(world.lower);
            IoDeleteDevice(device);
        }
        return status;
    }
    default:
        break;
    }
    return kio::SkipDown(world.lower, irp);
}

NTSTATUS FunctionPower(PDEVICE_OBJECT, PIRP irp) {
    World& world = *g_world;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    world.fdoPowerIrps++;
    if (world.holdDevicePower && stack->Parameters.Power.Type == DevicePowerState) {
        world.holdDevicePower = false;
        world.heldPower = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_QUERY_POWER && stack->Parameters.Power.Type == SystemPowerState &&
        !NT_SUCCESS(world.failPowerQuery)) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, world.failPowerQuery);
    }
    if (g_world->fault != Fault::NoStartNextPower) PoStartNextPowerIrp(irp);
    if (g_world->fault == Fault::StartNextPowerTwice) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(g_world->lower, irp);
}

NTSTATUS FunctionCreateClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }

NTSTATUS FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING name = kio::Unicode(u"\\Device\\PnpTest0");
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    g_world->fdo = fdo;
    g_world->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (g_world->pageable && g_world->fault != Fault::NotPageable) fdo->Flags |= DO_POWER_PAGABLE;
    if (g_world->fault != Fault::LeaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    if (g_world->fault == Fault::RaiseInAddDevice) KfRaiseIrql(DISPATCH_LEVEL);
    return STATUS_SUCCESS;
}

class PnpTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    World world;
    PDRIVER_OBJECT bus = wrk::CreateDriverObject(u"\\Driver\\TestBus");
    PDRIVER_OBJECT function = wrk::CreateDriverObject(u"\\Driver\\TestFunction");
    PDEVICE_OBJECT pdo = nullptr;

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        g_world = &world;
        bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
        bus->MajorFunction[IRP_MJ_POWER] = BusDispatch;
        function->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
        function->MajorFunction[IRP_MJ_POWER] = FunctionPower;
        function->MajorFunction[IRP_MJ_CREATE] = FunctionCreateClose;
        function->MajorFunction[IRP_MJ_CLEANUP] = FunctionCreateClose;
        function->MajorFunction[IRP_MJ_CLOSE] = FunctionCreateClose;
        function->DriverExtension->AddDevice = FunctionAddDevice;
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        pdo->Flags |= DO_POWER_PAGABLE;
    }
    void TearDown() override {
        if (pdo->AttachedDevice != nullptr) {
            world.fault = Fault::None;
            if (wrk::PnpDeviceState(pdo) == wrk::PnpState::RemovePending) wrk::PnpRemove(pdo);
            else wrk::PnpSurpriseRemoval(pdo);
        }
        IoDeleteDevice(pdo);
        wrk::DeleteDriverObject(bus);
        wrk::DeleteDriverObject(function);
    }
    void AddAndStart() {
        ASSERT_EQ(wrk::PnpAddDevice(function, pdo), STATUS_SUCCESS);
        ASSERT_EQ(wrk::PnpStart(pdo), STATUS_SUCCESS);
    }
};

TEST_F(PnpTest, LifeCycleRunsInTheManagersOrder) {
    EXPECT_EQ(wrk::PnpStart(pdo), STATUS_INVALID_DEVICE_REQUEST);
    AddAndStart();
    EXPECT_EQ(wrk::PnpStop(pdo), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(wrk::PnpRequestStop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpDeviceState(pdo), wrk::PnpState::Stopped);
    EXPECT_EQ(wrk::PnpStart(pdo), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpRequestRemoval(pdo), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpDeviceState(pdo), wrk::PnpState::Removed);
    EXPECT_EQ(world.pdoMinors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                                   IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                   IRP_MN_REMOVE_DEVICE}));
    for (NTSTATUS status : world.fdoFirstStatus) EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(wrk::DeviceCount(function), 0u);
}

TEST_F(PnpTest, RefusedQueriesAreFollowedByTheirCancel) {
    AddAndStart();
    world.failQuery = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(wrk::PnpRequestStop(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::PnpRequestRemoval(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::PnpDeviceState(pdo), wrk::PnpState::Started);
    EXPECT_EQ(world.pdoMinors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                                   IRP_MN_CANCEL_REMOVE_DEVICE}));
}

TEST_F(PnpTest, SurpriseRemovalWaitsForTheLastHandleBeforeRemoving) {
    AddAndStart();
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\Device\\PnpTest0", file), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpSurpriseRemoval(pdo), STATUS_SUCCESS);
    EXPECT_EQ(world.pdoMinors.back(), IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(wrk::DeviceCount(function), 1u);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    EXPECT_EQ(world.pdoMinors.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(wrk::PnpDeviceState(pdo), wrk::PnpState::Removed);
    EXPECT_EQ(wrk::DeviceCount(function), 0u);
}

TEST_F(PnpTest, CapabilitiesComeBackAsTheFunctionDriverCorrectedThem) {
    AddAndStart();
    DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(wrk::PnpQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof caps);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.Removable, 0u);
}

TEST_F(PnpTest, SystemPowerReachesAPageableStackAtPassiveLevel) {
    AddAndStart();
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_EQ(world.pdoPowerIrql.size(), 1u);
    EXPECT_EQ(world.pdoPowerIrql[0], PASSIVE_LEVEL);
    EXPECT_EQ(world.pdoPowerTypes[0], SystemPowerState);
}

TEST_F(PnpTest, SystemPowerReachesAStackThatCannotPageAtDispatchLevel) {
    pdo->Flags &= ~DO_POWER_PAGABLE;
    world.pageable = false;
    AddAndStart();
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_EQ(world.pdoPowerIrql.size(), 1u);
    EXPECT_EQ(world.pdoPowerIrql[0], DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(PnpTest, SleepIsQueriedFirstAndWakingIsNot) {
    AddAndStart();
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(world.pdoPowerMinors, (std::vector<UCHAR>{IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, IRP_MN_SET_POWER}));
    EXPECT_EQ(world.pdoSystemStates,
              (std::vector<SYSTEM_POWER_STATE>{PowerSystemSleeping3, PowerSystemSleeping3, PowerSystemWorking}));
}

TEST_F(PnpTest, RefusedQueryKeepsTheStackInTheStateItIsIn) {
    AddAndStart();
    world.failPowerQuery = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(wrk::SetSystemPowerState(PowerSystemHibernate), STATUS_UNSUCCESSFUL);
    // The bus never saw the query the FDO refused, only the state confirmed.
    EXPECT_EQ(world.pdoPowerMinors, std::vector<UCHAR>{IRP_MN_SET_POWER});
    EXPECT_EQ(world.pdoSystemStates, std::vector<SYSTEM_POWER_STATE>{PowerSystemWorking});
}

struct PowerCallback {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
};

void OnPowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
    auto* callback = static_cast<PowerCallback*>(context);
    callback->calls++;
    callback->device = device;
    callback->minor = minor;
    callback->state = state.DeviceState;
    callback->status = status->Status;
}

TEST_F(PnpTest, RequestedDevicePowerIrpCallsBackAndIsFreed) {
    AddAndStart();
    const size_t irps = wrk::LiveIrpCount();
    PowerCallback callback;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, OnPowerDone, &callback, nullptr), STATUS_PENDING);
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(callback.device, pdo);
    EXPECT_EQ(callback.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(callback.state, PowerDeviceD3);
    EXPECT_EQ(callback.status, STATUS_SUCCESS);
    EXPECT_EQ(world.pdoPowerTypes, std::vector<POWER_STATE_TYPE>{DevicePowerState});
    EXPECT_EQ(wrk::LiveIrpCount(), irps);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_POWER_SEQUENCE, d3, OnPowerDone, &callback, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(PnpTest, PoSetPowerStateReturnsThePreviousState) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, state).DeviceState, PowerDeviceUnspecified);
    state.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoSetPowerState(pdo, DevicePowerState, state).DeviceState, PowerDeviceD3);
    EXPECT_EQ(wrk::RecordedDevicePowerState(pdo), PowerDeviceD0);
}

TEST_F(PnpTest, APowerIrpOfTheSameKindWaitsForStartNextOfTheOneInProgress) {
    AddAndStart();
    world.holdDevicePower = true;
    PowerCallback first;
    PowerCallback second;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d3, OnPowerDone, &first, nullptr), STATUS_PENDING);
    ASSERT_NE(world.heldPower, nullptr);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_QUERY_POWER, d3, OnPowerDone, &second, nullptr), STATUS_PENDING);
    EXPECT_EQ(world.fdoPowerIrps, 1) << "the query waits in the power manager";
    // A system power IRP is of the other kind and goes through.
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(world.fdoPowerIrps, 2);

    // Start-next lets the query go at once, on the power manager's thread,
    // ahead of the IRP the FDO still holds.
    PIRP held = world.heldPower;
    PoStartNextPowerIrp(held);
    ASSERT_TRUE(wrk::WaitForWorkItems());
    EXPECT_EQ(world.fdoPowerIrps, 3);
    EXPECT_EQ(second.calls, 1);
    EXPECT_EQ(second.minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(first.calls, 0);

    IoCopyCurrentIrpStackLocationToNext(held);
    PoCallDriver(world.lower, held);
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(world.pdoPowerMinors, (std::vector<UCHAR>{IRP_MN_SET_POWER, IRP_MN_QUERY_POWER, IRP_MN_SET_POWER}));
}

using PnpDeathTest = PnpTest;

TEST_F(PnpDeathTest, StackDisagreeingOnPowerPaging) {
    world.fault = Fault::NotPageable;
    AddAndStart();
    EXPECT_DEATH(wrk::SetSystemPowerState(pdo, PowerSystemWorking), "BUGCHECK: POWER_PAGABLE_MISMATCH");
    // Taken away without power requests, so the teardown meets no stop.
}

TEST_F(PnpDeathTest, StartNextForAPowerIrpNoDriverHolds) {
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
            IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_SET_POWER;
            PoStartNextPowerIrp(irp);
        },
        "BUGCHECK: PO_START_NEXT_POWER_IRP_MISPLACED: PoStartNextPowerIrp for a power IRP no driver holds");
}

NTSTATUS StartNextForAnyRequest(PDEVICE_OBJECT, PIRP irp) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
}

TEST_F(PnpDeathTest, StartNextForAnIrpThatIsNoPowerIrp) {
    function->MajorFunction[IRP_MJ_CREATE] = StartNextForAnyRequest;
    AddAndStart();
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_DEATH(wrk::UserFile::Open(u"\\Device\\PnpTest0", file),
                 "BUGCHECK: PO_START_NEXT_POWER_IRP_MISPLACED: PoStartNextPowerIrp for an IRP that is not a power IRP");
}

TEST_F(PnpDeathTest, AddDeviceLeavingInitializingSet) {
    world.fault = Fault::LeaveInitializing;
    EXPECT_DEATH(wrk::PnpAddDevice(function, pdo), "BUGCHECK: DO_DEVICE_INITIALIZING_LEFT_SET");
    world.fault = Fault::None;
}

TEST_F(PnpDeathTest, RemoveFailedAndNotPassedDown) {
    AddAndStart();
    world.fault = Fault::FailRemove;
    EXPECT_DEATH(wrk::PnpRequestRemoval(pdo), "BUGCHECK: PNP_REQUEST_NOT_PASSED_DOWN");
}

TEST_F(PnpDeathTest, StopNotPassedDown) {
    AddAndStart();
    world.fault = Fault::KeepStop;
    EXPECT_DEATH(wrk::PnpRequestStop(pdo), "BUGCHECK: PNP_REQUEST_NOT_PASSED_DOWN");
}

TEST_F(PnpDeathTest, DeviceDeletedAtSurpriseRemoval) {
    AddAndStart();
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(wrk::UserFile::Open(u"\\Device\\PnpTest0", file), STATUS_SUCCESS);
    world.fault = Fault::DeleteAtSurprise;
    EXPECT_DEATH(wrk::PnpSurpriseRemoval(pdo), "BUGCHECK: PNP_DEVICE_REMOVED_EARLY");
}

TEST_F(PnpDeathTest, DeviceKeptAfterRemoval) {
    AddAndStart();
    world.fault = Fault::KeepDeviceAtRemove;
    EXPECT_DEATH(wrk::PnpRequestRemoval(pdo), "BUGCHECK: PNP_DEVICE_NOT_DELETED_AT_REMOVAL");
}

TEST_F(PnpDeathTest, PowerIrpWithoutStartNext) {
    AddAndStart();
    world.fault = Fault::NoStartNextPower;
    EXPECT_DEATH(wrk::SetSystemPowerState(pdo, PowerSystemSleeping1), "BUGCHECK: PO_START_NEXT_POWER_IRP_MISSING");
}

TEST_F(PnpDeathTest, StartNextPowerCalledTwice) {
    AddAndStart();
    world.fault = Fault::StartNextPowerTwice;
    EXPECT_DEATH(wrk::SetSystemPowerState(pdo, PowerSystemSleeping1), "BUGCHECK: PO_START_NEXT_POWER_IRP_TWICE");
}

TEST_F(PnpDeathTest, RemovePassedDownButFailed) {
    AddAndStart();
    world.fault = Fault::FailRemoveBelow;
    EXPECT_DEATH(wrk::PnpRequestRemoval(pdo), "BUGCHECK: PNP_REQUEST_FAILED: IRP_MN_REMOVE_DEVICE failed with 0xC0000001");
}

TEST_F(PnpDeathTest, AddDeviceReturningAtAnotherIrql) {
    world.fault = Fault::RaiseInAddDevice;
    EXPECT_DEATH(wrk::PnpAddDevice(function, pdo), "BUGCHECK: IRQL_CHANGED_BY_ADD_DEVICE");
    world.fault = Fault::None;
}

TEST_F(PnpDeathTest, PnpRequestAbovePassiveLevel) {
    ASSERT_EQ(wrk::PnpAddDevice(function, pdo), STATUS_SUCCESS);
    EXPECT_DEATH(
        {
            KfRaiseIrql(DISPATCH_LEVEL);
            wrk::PnpStart(pdo);
        },
        "BUGCHECK: PNP_REQUEST_ABOVE_PASSIVE");
}

}  // namespace
