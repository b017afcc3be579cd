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
                   NoStartNextPower, StartNextPowerTwice };

struct World {
    Fault fault = Fault::None;
    std::vector<UCHAR> pdoMinors;          // PnP requests that reached the PDO
    std::vector<NTSTATUS> fdoFirstStatus;  // IoStatus.Status of each PnP request as it reached the FDO
    std::vector<KIRQL> pdoPowerIrql;
    std::vector<POWER_STATE_TYPE> pdoPowerTypes;
    NTSTATUS failQuery = STATUS_SUCCESS;   // the FDO's answer to QUERY_STOP and QUERY_REMOVE
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
};
World* g_world;

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        g_world->pdoPowerIrql.push_back(KeGetCurrentIrql());
        g_world->pdoPowerTypes.push_back(stack->Parameters.Power.Type);
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
    fdo->Flags |= DO_POWER_PAGABLE;
    if (g_world->fault != Fault::LeaveInitializing) fdo->Flags &= ~DO_DEVICE_INITIALIZING;
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

TEST_F(PnpTest, SystemPowerReachesTheBusAtTheLevelTheStackAllows) {
    AddAndStart();
    EXPECT_EQ(wrk::SetSystemPowerState(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    // The FDO is pageable: its IRP came at PASSIVE_LEVEL; PoCallDriver to the
    // bus's non-pageable PDO raised to DISPATCH_LEVEL.
    ASSERT_EQ(world.pdoPowerIrql.size(), 1u);
    EXPECT_EQ(world.pdoPowerIrql[0], DISPATCH_LEVEL);
    EXPECT_EQ(world.pdoPowerTypes[0], SystemPowerState);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
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

using PnpDeathTest = PnpTest;

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

}  // namespace
