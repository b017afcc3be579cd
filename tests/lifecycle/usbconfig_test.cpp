// The USB configuration routines called directly on a scripted lower device:
// the port check, the descriptor reads and the configuration select.
#include "descriptor_builder.h"
#include "fake_hub.h"

#include "lifecycle/lifecycle.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

namespace lifecycle_test {
namespace {

constexpr ULONG kConnectedEnabled = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;

size_t DriverPoolBlocks() {
    auto byTag = wrk::PoolOutstandingByTag();
    auto found = byTag.find(WRENLOK_POOL_TAG);
    return found == byTag.end() ? 0 : found->second;
}

class UsbConfigTest : public ::testing::Test {
protected:
    UsbConfigTest() {
        RtlZeroMemory(&extension, sizeof(extension));
        extension.NextStackDevice = hub.Device();
        hub.configuration = StandardRadioConfiguration();
        hub.languages = LanguageList({0x0409});
    }
    ~UsbConfigTest() override { EXPECT_EQ(DriverPoolBlocks(), 0u) << wrk::PoolReport(); }

    wrk::ScopedKernelState kernel;
    FakeHub hub;
    DEVICE_EXTENSION extension;
};

// ------------------------------------------------------------------ port

TEST_F(UsbConfigTest, PortConnectedAndEnabledIsNotReset) {
    hub.portStatuses = {kConnectedEnabled};
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_SUCCESS);
    EXPECT_EQ(hub.resets, 0);
    EXPECT_EQ(hub.portStatusReads, 1);
}

TEST_F(UsbConfigTest, PortConnectedButDisabledIsResetExactlyOnce) {
    hub.portStatuses = {USBD_PORT_CONNECTED, kConnectedEnabled};
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_SUCCESS);
    EXPECT_EQ(hub.resets, 1);
    EXPECT_EQ(hub.portStatusReads, 2);
}

TEST_F(UsbConfigTest, PortStillDisabledAfterItsResetIsNoDevice) {
    hub.portStatuses = {USBD_PORT_CONNECTED};
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hub.resets, 1);
}

TEST_F(UsbConfigTest, PortNotConnectedIsNoDeviceWithoutReset) {
    hub.portStatuses = {USBD_PORT_ENABLED};
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hub.resets, 0);
}

TEST_F(UsbConfigTest, FailingPortRequestsPassTheirStatusOn) {
    hub.portStatusRequestStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_DEVICE_NOT_CONNECTED);

    hub.portStatusRequestStatus = STATUS_SUCCESS;
    hub.portStatuses = {USBD_PORT_CONNECTED};
    hub.resetRequestStatus = STATUS_CANCELLED;
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_CANCELLED);
}

// --------------------------------------------------------- descriptor reads

TEST_F(UsbConfigTest, FullConfigurationReadAsksExactlyTotalLength) {
    PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
    ULONG size = 0;
    ASSERT_EQ(UsbGetConfigurationDescriptors(&extension, &set, 0, &size), STATUS_SUCCESS);
    ASSERT_EQ(hub.descriptorReads.size(), 2u);
    EXPECT_EQ(hub.descriptorReads[0].asked, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(hub.descriptorReads[1].asked, hub.configuration.size());
    EXPECT_EQ(hub.descriptorReads[1].type, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(size, hub.configuration.size());
    EXPECT_EQ(0, memcmp(set, hub.configuration.data(), size));
    ExFreePool(set);
}

TEST_F(UsbConfigTest, SetDeliveredShorterThanAnnouncedIsCutToWhatArrived) {
    hub.configurationDeliveryLimit = 9 + 9 + 7 + 3;  // ends inside interface 0's second endpoint
    PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
    ULONG size = 0;
    ASSERT_EQ(UsbGetConfigurationDescriptors(&extension, &set, 0, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 28u);
    EXPECT_EQ(set->wTotalLength, 28u);
    ExFreePool(set);

    // Selecting from what arrived must not read past it; the pipes are missing.
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(extension.BulkOutPipe, nullptr);
}

TEST_F(UsbConfigTest, ConfigurationDescriptorItselfCutShortFailsTheRead) {
    hub.configurationDeliveryLimit = 4;
    PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
    ULONG size = 0;
    EXPECT_EQ(UsbGetConfigurationDescriptors(&extension, &set, 0, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hub.descriptorReads.size(), 1u) << "no second read sized by a length never received";
    EXPECT_EQ(wrk::DebugCount("UsbGetConfigurationDescriptors: status "), 1u);
}

// ------------------------------------------------------------------ select

TEST_F(UsbConfigTest, SelectsEveryInterfaceInItsFirstSettingAndRecordsOnlyTheFirstInterfacesPipes) {
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    const std::vector<std::pair<uint8_t, uint8_t>> expected = {{0, 0}, {1, 0}};
    EXPECT_EQ(hub.selectedInterfaces, expected);
    EXPECT_EQ(extension.InterruptPipe, FakeHub::HandleFor(0, 0x81));
    EXPECT_EQ(extension.BulkInPipe, FakeHub::HandleFor(0, 0x82));
    EXPECT_EQ(extension.BulkOutPipe, FakeHub::HandleFor(0, 0x02));
    EXPECT_EQ(wrk::DebugCount("Select configuration worked\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("interface Class 224 NumberOfPipes 3\n"), 1u);
}

TEST_F(UsbConfigTest, InterfaceNumbersWithGapsAreFound) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Interface(2, 0, 0xE0, {{0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, 9, 1}})
                            .Build();
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    const std::vector<std::pair<uint8_t, uint8_t>> expected = {{0, 0}, {2, 0}};
    EXPECT_EQ(hub.selectedInterfaces, expected);
}

TEST_F(UsbConfigTest, FirstInterfaceWithoutBulkOutFailsThoughConfigured) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Interface(1, 0, 0xE0, {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Build();
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(hub.configured);
    EXPECT_EQ(extension.InterruptPipe, FakeHub::HandleFor(0, 0x81));
    EXPECT_EQ(extension.BulkInPipe, FakeHub::HandleFor(0, 0x82));
    EXPECT_EQ(extension.BulkOutPipe, nullptr) << "the other interface's bulk-out is not used";
}

TEST_F(UsbConfigTest, InterruptPipeIsTakenWhateverItsDirection) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x01, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Build();
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(extension.InterruptPipe, FakeHub::HandleFor(0, 0x01));
}

TEST_F(UsbConfigTest, MoreInterfacesAnnouncedThanHeldSelectsThoseFound) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .AnnouncedInterfaces(4)
                            .Build();
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    const std::vector<std::pair<uint8_t, uint8_t>> expected = {{0, 0}};
    EXPECT_EQ(hub.selectedInterfaces, expected);
}

TEST_F(UsbConfigTest, InterfacesAnnouncedButNoneHeldFailsWithoutSelecting) {
    hub.configuration = ConfigurationBuilder().AnnouncedInterfaces(2).Build();
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(hub.configured);
    EXPECT_TRUE(hub.selectedInterfaces.empty());
}

// ------------------------------------------------- hostile descriptor sets

// Offsets in the standard radio's set: the configuration descriptor, then
// interface 0 and its three endpoints.
constexpr size_t kInterface0 = 9;
constexpr size_t kFirstEndpoint = kInterface0 + 9;
constexpr size_t kLastEndpointOfInterface0 = kFirstEndpoint + 2 * 7;

void SetTotalLength(std::vector<uint8_t>& set) {
    set[2] = uint8_t(set.size() & 0xFF);
    set[3] = uint8_t(set.size() >> 8);
}

class HostileConfigurationTest : public UsbConfigTest {
protected:
    void ExpectRefusedBeforeTheSelect() {
        EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(wrk::DebugCount("UsbSelectConfiguration: malformed configuration descriptor\n"), 1u);
        EXPECT_FALSE(hub.configured);
        EXPECT_TRUE(hub.selectedInterfaces.empty()) << "the set reached the bus";
        EXPECT_EQ(extension.InterruptPipe, nullptr);
    }
};

TEST_F(HostileConfigurationTest, DescriptorOfLengthZeroIsRefused) {
    hub.configuration[kFirstEndpoint] = 0;
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, DescriptorOfLengthOneIsRefused) {
    hub.configuration[kFirstEndpoint] = 1;
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, DescriptorRunningPastTheTotalLengthIsRefused) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Build();
    hub.configuration[kLastEndpointOfInterface0] = 7 + 16;  // into the zeroed spare bytes
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, MoreEndpointsAnnouncedThanFollowTheInterfaceIsRefused) {
    hub.configuration[kInterface0 + 4] = 4;  // bNumEndpoints of interface 0, which has 3
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, LastInterfaceShortOfItsEndpointsIsRefused) {
    hub.configuration = ConfigurationBuilder()
                            .Interface(0, 0, 0xE0,
                                       {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                        {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                        {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                            .Build();
    hub.configuration.resize(hub.configuration.size() - 7);
    SetTotalLength(hub.configuration);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, EndpointDescriptorShorterThanSevenBytesIsRefused) {
    // The bulk-out endpoint loses its bInterval byte and says so in its length.
    hub.configuration[kLastEndpointOfInterface0] = 6;
    hub.configuration.erase(hub.configuration.begin() + std::ptrdiff_t(kLastEndpointOfInterface0 + 6));
    SetTotalLength(hub.configuration);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, ConfigurationDescriptorShorterThanNineBytesIsRefused) {
    hub.configuration[0] = 2;
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, ClassSpecificDescriptorBetweenInterfacesIsAccepted) {
    std::vector<uint8_t>& set = hub.configuration;
    const uint8_t classSpecific[] = {5, 0x24, 0x01, 0x02, 0x03};
    set.insert(set.begin() + std::ptrdiff_t(kLastEndpointOfInterface0 + 7), std::begin(classSpecific), std::end(classSpecific));
    SetTotalLength(set);
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(wrk::DebugCount("malformed"), 0u);
}

TEST_F(UsbConfigTest, RefusedSelectFailsWithItsMessage) {
    hub.selectUrbStatus = USBD_STATUS_SET_CONFIG_FAILED;
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugCount("UsbSelectConfiguration: status C0000001 URB status C0002000\n"), 1u);
    EXPECT_EQ(extension.InterruptPipe, nullptr);
}

TEST_F(UsbConfigTest, DeselectForgetsThePipesAndUnconfigures) {
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(UsbDeselectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(hub.deselects, 1);
    EXPECT_FALSE(hub.configured);
    EXPECT_EQ(extension.InterruptPipe, nullptr);
    EXPECT_EQ(extension.BulkInPipe, nullptr);
    EXPECT_EQ(extension.BulkOutPipe, nullptr);
}

TEST_F(UsbConfigTest, EveryAllocationFailureOfTheSelectFailsCleanly) {
    for (uint64_t n = 1;; n++) {
        wrk::ClearDebugMessages();
        const uint64_t before = wrk::PoolAllocationCount();
        wrk::PoolFailNthAllocation(n);
        const NTSTATUS status = UsbSelectConfiguration(&extension);
        wrk::PoolClearFaults();
        const bool faultHit = wrk::PoolAllocationCount() - before >= n;
        EXPECT_EQ(DriverPoolBlocks(), 0u) << "allocation " << n;
        if (!faultHit) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_GE(n, 4u) << "descriptor URB, two buffers, list and select URB";
            break;
        }
        // A failed diagnostic buffer only loses its message; any other failed
        // allocation fails the select.
        if (NT_SUCCESS(status)) {
            EXPECT_NE(extension.BulkOutPipe, nullptr) << "allocation " << n;
        }
        UsbDeselectConfiguration(&extension);
    }
}

// ------------------------------------------------------------------ dump

TEST_F(UsbConfigTest, LanguageListShorterThanItsLengthListsOnlyWhatArrived) {
    hub.languages = LanguageList({0x0409, 0x0407}, 8);  // claims three identifiers, holds two
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("StringsLen 6 LangIds 3\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[0]=0409\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[1]=0407\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[2]"), 0u);
}

TEST_F(UsbConfigTest, LanguageListWithTinyLengthListsNothing) {
    hub.languages = LanguageList({0x0409}, 1);
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("StringsLen 4 LangIds 0\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId["), 0u);
}

TEST_F(UsbConfigTest, ControllerNameIsPrintedWithinTheRecordWhateverItsLengthWord) {
    hub.controllerName = u"\\Device\\USBPDO-0";
    hub.busInfo.ControllerNameLength = ULONG(sizeof(ULONG) + hub.controllerName.size() * 2);
    hub.controllerNameLengthWord = 100000;
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(hub.controllerNameBufferLength, hub.busInfo.ControllerNameLength);
    EXPECT_EQ(wrk::DebugCount("Controller name is \\Device\\USBPDO-0\n"), 1u);
}

TEST_F(UsbConfigTest, AbsurdControllerNameLengthIsNotAllocated) {
    hub.busInfo.ControllerNameLength = 0xFFFFFFF0;
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(hub.controllerNameBufferLength, 0u);
    EXPECT_EQ(wrk::DebugCount("Cannot get controller name\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[0]=0409\n"), 1u) << "the dump goes on";
}

TEST_F(UsbConfigTest, MissingLanguageListIsReported) {
    hub.languages.clear();
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("No string descriptors\n"), 1u);
}

}  // namespace
}  // namespace lifecycle_test
