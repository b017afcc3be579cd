// Device creation and Plug and Play, on the loaded driver image: AddDevice,
// start and restart, the query/cancel protocol, capabilities and removal.
#include "driver_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace lifecycle_test {
namespace {

bool Contains(const std::vector<UCHAR>& minors, UCHAR minor) {
    return std::find(minors.begin(), minors.end(), minor) != minors.end();
}

void ExpectClean(DriverHarness& harness) {
    const std::vector<std::string> leaks = harness.RemoveAndUnload();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
}

// ------------------------------------------------------------------ AddDevice

TEST(AddDeviceTest, CreatesOneAttachedDeviceThatRefusesRequestsUntilStarted) {
    DriverHarness harness;
    ASSERT_EQ(harness.Add(), STATUS_SUCCESS);

    PDEVICE_OBJECT fdo = harness.Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(wrk::LowerDevice(fdo), harness.pdo);
    EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE), ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));

    PDEVICE_EXTENSION dx = harness.Extension();
    EXPECT_EQ(dx->fdo, fdo);
    EXPECT_EQ(dx->pdo, harness.pdo);
    EXPECT_EQ(dx->RefuseIo, 1);
    EXPECT_EQ(dx->Started, 0);
    EXPECT_EQ(dx->LockCount, 1);
    EXPECT_EQ(dx->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(dx->ReadOrder, READ_EVENT_FIRST);
    EXPECT_EQ(KeReadStateEvent(&dx->ThreadControlEvent), 1) << "the thread control is free";
    EXPECT_EQ(wrk::RecordedDevicePowerState(fdo), PowerDeviceD3);

    EXPECT_FALSE(wrk::SymbolicLinkTarget(kDosLinkName).has_value());
    EXPECT_EQ(wrk::DeviceInterfaces(kInterfaceGuid, false).size(), 1u);
    EXPECT_TRUE(wrk::DeviceInterfaces(kInterfaceGuid, true).empty());

    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(wrk::UserFile::Open(kDeviceName, file), STATUS_DEVICE_NOT_CONNECTED);
    ExpectClean(harness);
}

TEST(AddDeviceTest, SecondRadioIsRefusedAndTheFirstKeepsWorking) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_OBJECT secondPdo = harness.bus.Plug(harness.secondRadio);

    EXPECT_EQ(wrk::PnpAddDevice(harness.image->Object(), secondPdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugCount("TranspAddDevice: not supported multiple bluetooth devices\n"), 1u);
    EXPECT_EQ(wrk::DeviceCount(harness.image->Object()), 1u);

    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
    ExpectClean(harness);
}

TEST(AddDeviceTest, FailedCreationRefusesEveryLaterRadio) {
    DriverHarness harness;
    wrk::FailNextDeviceCreation(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(harness.Add(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wrk::DeviceCount(harness.image->Object()), 0u);

    EXPECT_EQ(harness.Add(), STATUS_UNSUCCESSFUL);
    PDEVICE_OBJECT secondPdo = harness.bus.Plug(harness.secondRadio);
    EXPECT_EQ(wrk::PnpAddDevice(harness.image->Object(), secondPdo), STATUS_UNSUCCESSFUL);
    ExpectClean(harness);
}

TEST(AddDeviceTest, NoDeviceToAttachToFailsCleanly) {
    DriverHarness harness;
    wrk::FailNextAttach();
    EXPECT_EQ(harness.Add(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(wrk::DeviceCount(harness.image->Object()), 0u);
    EXPECT_EQ(harness.Fdo(), nullptr);
    EXPECT_EQ(harness.Add(), STATUS_UNSUCCESSFUL);
    ExpectClean(harness);
}

// ----------------------------------------------------------------- start

TEST(StartTest, StartConfiguresRadioCreatesLinkAndEnablesInterface) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    PDEVICE_EXTENSION dx = harness.Extension();
    EXPECT_EQ(dx->Started, 1);
    EXPECT_EQ(dx->RefuseIo, 0);
    EXPECT_NE(dx->InterruptPipe, nullptr);
    EXPECT_NE(dx->BulkInPipe, nullptr);
    EXPECT_NE(dx->BulkOutPipe, nullptr);
    EXPECT_TRUE(harness.bus.Configured(harness.pdo));
    EXPECT_EQ(wrk::RecordedDevicePowerState(harness.Fdo()), PowerDeviceD0);
    EXPECT_EQ(wrk::SymbolicLinkTarget(kDosLinkName), std::u16string(kDeviceName));
    EXPECT_EQ(wrk::DeviceInterfaces(kInterfaceGuid, true).size(), 1u);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u) << "no handle open, no receive thread";
    ExpectClean(harness);
}

TEST(StartTest, DisabledPortIsResetOnceAndTheStartGoesOn) {
    DriverHarness harness;
    harness.radio.SetPort({{STATUS_SUCCESS, USBD_PORT_CONNECTED},
                           {STATUS_SUCCESS, USBD_PORT_CONNECTED | USBD_PORT_ENABLED},
                           STATUS_SUCCESS});
    EXPECT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(harness.radio.PortResets(), 1u);
    ExpectClean(harness);
}

TEST(StartTest, UnconnectedPortFailsTheStartAndTheRemovalStillDeletes) {
    DriverHarness harness;
    harness.radio.SetPort({{STATUS_SUCCESS, 0}, {STATUS_SUCCESS, 0}, STATUS_SUCCESS});
    ASSERT_EQ(harness.Add(), STATUS_SUCCESS);
    // The manager removes a device whose start failed.
    EXPECT_EQ(wrk::PnpStart(harness.pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(harness.radio.PortResets(), 0u);
    EXPECT_EQ(wrk::DebugCount("TranspPnp completed C000000E\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("Cannot destroy symbolic link.\n"), 1u) << "no link was created";
    EXPECT_EQ(wrk::DeviceCount(harness.image->Object()), 0u);
    EXPECT_FALSE(harness.bus.Configured(harness.pdo));
    ExpectClean(harness);
}

TEST(StartTest, RadioWithAMalformedConfigurationFailsTheStartUnconfigured) {
    DriverHarness harness;
    usbsim::Descriptors descriptors = usbsim::StandardBluetoothRadioDescriptors();
    descriptors.configurations[0][9 + 9] = 0;  // interface 0's first endpoint claims no length
    harness.radio.SetDescriptors(descriptors);
    ASSERT_EQ(harness.Add(), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpStart(harness.pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugCount("UsbSelectConfiguration: malformed configuration descriptor\n"), 1u);
    EXPECT_FALSE(harness.bus.Configured(harness.pdo));
    ExpectClean(harness);
}

TEST(StartTest, RestartAfterStopKeepsTheLinkOfTheFirstStart) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    ASSERT_EQ(wrk::PnpRequestStop(harness.pdo), STATUS_SUCCESS);
    EXPECT_EQ(harness.Extension()->Started, 0);
    EXPECT_EQ(harness.Extension()->RefuseIo, 1);
    EXPECT_FALSE(harness.bus.Configured(harness.pdo));

    EXPECT_EQ(wrk::PnpStart(harness.pdo), STATUS_SUCCESS);
    EXPECT_EQ(wrk::DebugCount("Cannot create symbolic link.\n"), 0u);
    EXPECT_EQ(wrk::SymbolicLinkTarget(kDosLinkName), std::u16string(kDeviceName));
    EXPECT_EQ(harness.Extension()->RefuseIo, 0);

    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
    ExpectClean(harness);
    EXPECT_FALSE(wrk::SymbolicLinkTarget(kDosLinkName).has_value());
}

TEST(StartTest, StopAndRestartWithHandleOpenStopsAndRestartsTheThreads) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);

    ASSERT_EQ(wrk::PnpQueryStop(harness.pdo), STATUS_SUCCESS) << "open handles do not matter to a stop";
    EXPECT_TRUE(Contains(harness.bus.PnpMinors(harness.pdo), IRP_MN_QUERY_STOP_DEVICE));
    ASSERT_EQ(wrk::PnpStop(harness.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
    uint8_t byte = 0;
    ULONG got = 0;
    EXPECT_EQ(file->Read(&byte, 1, &got), STATUS_DEVICE_NOT_CONNECTED);

    ASSERT_EQ(wrk::PnpStart(harness.pdo), STATUS_SUCCESS);
    EXPECT_EQ(wrk::LiveThreadCount(), 2u);
    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
    ExpectClean(harness);
}

// ------------------------------------------------------- query and cancel

TEST(QueryTest, QueryRemoveIsRefusedWithAHandleOpenAndPassedDownWithout) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);

    EXPECT_EQ(wrk::PnpQueryRemove(harness.pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugCount("PnpQueryRemoveDeviceHandler: 1 handles still open\n"), 1u);
    EXPECT_FALSE(Contains(harness.bus.PnpMinors(harness.pdo), IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_TRUE(ExchangeTraffic(harness, *file)) << "the refused query changed nothing";
    file->Close();

    ASSERT_EQ(wrk::PnpQueryRemove(harness.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(Contains(harness.bus.PnpMinors(harness.pdo), IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(harness.Open(file), STATUS_DEVICE_NOT_CONNECTED);

    ASSERT_EQ(wrk::PnpCancelRemove(harness.pdo), STATUS_SUCCESS);
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);
    file->Close();
    ExpectClean(harness);
}

TEST(QueryTest, QueryStopRefusesRequestsUntilCancelStop) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);

    ASSERT_EQ(wrk::PnpQueryStop(harness.pdo), STATUS_SUCCESS);
    const uint8_t reset[] = {HCI_COMMAND_PACKET, 0x03, 0x0C, 0x00};
    ULONG written = 0;
    EXPECT_EQ(file->Write(reset, sizeof(reset), &written), STATUS_DEVICE_NOT_CONNECTED);

    ASSERT_EQ(wrk::PnpCancelStop(harness.pdo), STATUS_SUCCESS);
    EXPECT_TRUE(ExchangeTraffic(harness, *file));
    file->Close();
    ExpectClean(harness);
}

TEST(QueryTest, CapabilitiesGoUpCorrected) {
    DriverHarness harness;
    DEVICE_CAPABILITIES fromBus = usbsim::Bus::DefaultCapabilities();
    fromBus.DeviceState[PowerSystemUnspecified] = PowerDeviceD2;
    fromBus.DeviceState[PowerSystemWorking] = PowerDeviceD3;
    fromBus.DeviceState[PowerSystemSleeping1] = PowerDeviceUnspecified;
    fromBus.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    fromBus.DeviceState[PowerSystemSleeping3] = PowerDeviceD1;
    fromBus.DeviceState[PowerSystemHibernate] = PowerDeviceMaximum;
    fromBus.DeviceState[PowerSystemShutdown] = PowerDeviceUnspecified;
    fromBus.Removable = 1;
    harness.bus.SetCapabilities(harness.pdo, fromBus);
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);

    DEVICE_CAPABILITIES answered{};
    ASSERT_EQ(wrk::PnpQueryCapabilities(harness.pdo, &answered), STATUS_SUCCESS);
    EXPECT_EQ(answered.DeviceState[PowerSystemUnspecified], PowerDeviceD2) << "entry 0 is not touched";
    EXPECT_EQ(answered.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(answered.DeviceState[PowerSystemSleeping1], PowerDeviceD3);
    EXPECT_EQ(answered.DeviceState[PowerSystemSleeping2], PowerDeviceD2);
    EXPECT_EQ(answered.DeviceState[PowerSystemSleeping3], PowerDeviceD1);
    EXPECT_EQ(answered.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    EXPECT_EQ(answered.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(answered.Removable, 0u);
    EXPECT_EQ(wrk::DebugCount("Capabilities from bus: DeviceState[1]=4\n"), 1u);
    ExpectClean(harness);
}

TEST(QueryTest, UnnamedMinorCodeIsPrintedAsUnknownAndPassedDown) {
    DriverHarness harness;
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(wrk::PnpSendRequest(harness.pdo, 0x0E), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(wrk::DebugCount("TranspPnp MinorFunction is IRP_MN_?????\n"), 1u);
    EXPECT_TRUE(Contains(harness.bus.PnpMinors(harness.pdo), 0x0E));
    ExpectClean(harness);
}

// ------------------------------------------------------- surprise removal

TEST(SurpriseRemovalTest, WaitsForTheWriteInFlightAndRemovalDoesNotWaitAgain) {
    DriverHarness harness;
    // Real time, so the write's own 5-second limit cannot end it before the test does.
    wrk::SetTimeScale(1.0);
    harness.radio.SetAclOutBehaviour(usbsim::ScriptedRadio::SendBehaviour::Stalls());
    ASSERT_EQ(harness.AddAndStart(), STATUS_SUCCESS);
    std::unique_ptr<wrk::UserFile> file;
    ASSERT_EQ(harness.Open(file), STATUS_SUCCESS);

    std::atomic<int> order{0};
    int writeFinished = 0;
    int removalFinished = 0;
    NTSTATUS writeStatus = STATUS_PENDING;
    std::thread writer([&] {
        const uint8_t acl[] = {HCI_ACL_PACKET, 0x01, 0x20, 0x01, 0x00, 0x55};
        ULONG written = 0;
        writeStatus = file->Write(acl, sizeof(acl), &written);
        writeFinished = ++order;
    });
    ASSERT_TRUE(harness.radio.WaitForAcl(1));

    std::thread removal([&] {
        EXPECT_EQ(wrk::PnpSurpriseRemoval(harness.pdo), STATUS_SUCCESS);
        removalFinished = ++order;
    });
    ASSERT_TRUE(wrk::WaitForDebugText("PnpSurpriseRemovalHandler\n"));
    EXPECT_EQ(harness.radio.CompleteStalledSends(), 1u);
    writer.join();
    removal.join();

    EXPECT_EQ(writeStatus, STATUS_SUCCESS);
    EXPECT_LT(writeFinished, removalFinished) << "the drain waited for the write";
    EXPECT_EQ(wrk::DebugCount("UnlockDevice: setting StoppingEvent flag\n"), 1u);
    EXPECT_NE(harness.Fdo(), nullptr) << "a surprise removal leaves the device for the remove";

    file->Close();  // the remove request follows the last close
    EXPECT_EQ(harness.Fdo(), nullptr);
    EXPECT_EQ(wrk::DebugCount("PnpStopDevice: All pending I/O completed\n"), 1u);
    ExpectClean(harness);
}

}  // namespace
}  // namespace lifecycle_test
