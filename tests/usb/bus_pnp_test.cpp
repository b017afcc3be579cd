// Plug and Play and power requests on a radio's PDO, and several radios on one bus.
#include "bus_fixture.h"

#include <host/io.h>

#include <atomic>

namespace usbtest {
namespace {

struct Seen {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = PASSIVE_LEVEL;
};

NTSTATUS Capture(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto seen = static_cast<Seen *>(context);
    seen->status = irp->IoStatus.Status;
    seen->irql = KeGetCurrentIrql();
    IoFreeIrp(irp);
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request of `major`/`minor` to the PDO as the manager would and
// returns how it completed.
Seen Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, const IO_STACK_LOCATION *parameters = nullptr) {
    Seen seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (parameters) next->Parameters = parameters->Parameters;
    next->MajorFunction = major;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(irp, Capture, &seen, TRUE, TRUE, TRUE);
    if (major == IRP_MJ_POWER)
        PoCallDriver(pdo, irp);
    else
        IofCallDriver(pdo, irp);
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    return seen;
}

using PdoTest = BusTest;

TEST_P(PdoTest, PnpRequestsAreAnsweredAsABusAnswersThemAndRecorded) {
    for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        EXPECT_EQ(Send(pdo, IRP_MJ_PNP, minor).status, STATUS_SUCCESS) << int(minor);
    // Requests that are not a bus matter keep the status they came with.
    EXPECT_EQ(Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(bus.PnpMinors(pdo), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                                       IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                       IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                                       IRP_MN_QUERY_INTERFACE}));
}

TEST_P(PdoTest, CapabilitiesComeFromTheBus) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    ASSERT_EQ(Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &parameters).status, STATUS_SUCCESS);
    EXPECT_EQ(capabilities.Removable, 1u);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(capabilities.Size, sizeof capabilities);

    DEVICE_CAPABILITIES custom = usbsim::Bus::DefaultCapabilities();
    custom.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    custom.Removable = 0;
    bus.SetCapabilities(pdo, custom);
    ASSERT_EQ(Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &parameters).status, STATUS_SUCCESS);
    EXPECT_EQ(capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD2);
    EXPECT_EQ(capabilities.Removable, 0u);
}

TEST_P(PdoTest, RemovalAbortsWhatTheFunctionDriverLeftBehind) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_EQ(Send(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
    EXPECT_FALSE(bus.Configured(pdo));
}

TEST_P(PdoTest, PowerRequestsSucceedAndAreRecorded) {
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.Power.Type = DevicePowerState;
    parameters.Parameters.Power.State.DeviceState = PowerDeviceD3;
    const Seen set = Send(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, &parameters);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.irql, PASSIVE_LEVEL);
    EXPECT_EQ(Send(pdo, IRP_MJ_POWER, IRP_MN_WAIT_WAKE).status, STATUS_NOT_SUPPORTED);
    const auto requests = bus.PowerRequests(pdo);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(requests[0].type, DevicePowerState);
    EXPECT_EQ(requests[0].state.DeviceState, PowerDeviceD3);
}

INSTANTIATE_TEST_SUITE_P(Timing, PdoTest, ::testing::Values(usbsim::CompletionTiming::Mixed));

TEST(BusPower, CanCompletePowerRequestsAtDispatchLevel) {
    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio radio;
    usbsim::BusOptions options;
    options.completePowerAtDispatch = true;
    usbsim::Bus bus(options);
    PDEVICE_OBJECT pdo = bus.Plug(radio);
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.Power.Type = SystemPowerState;
    parameters.Parameters.Power.State.SystemState = PowerSystemWorking;
    const Seen seen = Send(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, &parameters);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(BusPorts, SeveralRadiosGetPdosAndNamesOfTheirOwn) {
    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio first;
    usbsim::ScriptedRadio second;
    usbsim::Bus bus;
    PDEVICE_OBJECT one = bus.Plug(first);
    PDEVICE_OBJECT two = bus.Plug(second);
    EXPECT_NE(one, two);
    EXPECT_TRUE(first.Attached());
    EXPECT_TRUE(second.Attached());
    EXPECT_EQ(bus.HardwareId(one), bus.HardwareId(two));
    EXPECT_NE(bus.InstancePath(one), bus.InstancePath(two));
    EXPECT_EQ(bus.CompatibleIds(one).at(0), u"USB\\Class_E0&SubClass_01&Prot_01");

    // Unplugging one leaves the other working.
    bus.Unplug(one);
    ULONG bits = 0;
    EXPECT_EQ(Request(two, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
    EXPECT_EQ(Request(one, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bits, 0u);
}

TEST(BusLifetime, DestroyingTheBusFailsHeldTransfersAndDetachesTheRadio) {
    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio radio;
    radio.SetCommandBehaviour(usbsim::ScriptedRadio::SendBehaviour::Stalls());
    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB urb = CommandUrb(command, sizeof command);
    std::unique_ptr<Request> pending;
    {
        usbsim::Bus bus;
        PDEVICE_OBJECT pdo = bus.Plug(radio);
        pending = std::make_unique<Request>(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
        ASSERT_EQ(pending->returned, STATUS_PENDING);
    }
    EXPECT_EQ(pending->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(radio.Attached());
    EXPECT_EQ(wrk::LiveIrpCount(), 0u);
}

}  // namespace
}  // namespace usbtest
