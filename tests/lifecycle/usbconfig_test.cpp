// The USB configuration routines called directly on the scripted radio's PDO
// of the simulated bus: the port check, the descriptor reads and the
// configuration select.
#include "descriptor_builder.h"
#include "request_tap.h"

#include "lifecycle/lifecycle.h"

#include <host/bus.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>

#include <gtest/gtest.h>

namespace lifecycle_test {
namespace {

constexpr ULONG kConnectedEnabled = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;

size_t DriverPoolBlocks() {
    auto byTag = wrk::PoolOutstandingByTag();
    auto found = byTag.find(WRENLOK_POOL_TAG);
    return found == byTag.end() ? 0 : found->second;
}

// The first bytes of a set, as a radio sends them that stops short of the
// length it announces.
std::vector<uint8_t> FirstBytes(std::vector<uint8_t> set, size_t count) {
    set.resize(count);
    return set;
}

class UsbConfigTest : public ::testing::Test {
protected:
    UsbConfigTest() {
        RtlZeroMemory(&extension, sizeof(extension));
        extension.NextStackDevice = tap.Device();
        radio.SetDescriptors(descriptors);
    }
    ~UsbConfigTest() override { EXPECT_EQ(DriverPoolBlocks(), 0u) << wrk::PoolReport(); }

    // What the radio sends for configuration 0.
    void SetConfiguration(std::vector<uint8_t> set) {
        descriptors.configurations = {std::move(set)};
        radio.SetDescriptors(descriptors);
    }
    // Its string descriptor 0; empty: it has none.
    void SetLanguages(std::vector<uint8_t> list) {
        if (list.empty())
            descriptors.strings.erase(0);
        else
            descriptors.strings[0] = std::move(list);
        radio.SetDescriptors(descriptors);
    }
    // What the port reports before and after its first reset.
    void SetPort(ULONG beforeReset, ULONG afterReset) {
        usbsim::ScriptedRadio::PortBehaviour port;
        port.beforeReset.bits = beforeReset;
        port.afterReset.bits = afterReset;
        radio.SetPort(port);
    }

    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio radio;
    usbsim::Bus bus;
    PDEVICE_OBJECT pdo = bus.Plug(radio);
    RequestTap tap{pdo};
    usbsim::Descriptors descriptors{StandardDeviceDescriptor(), {StandardRadioConfiguration()}, {{0, LanguageList({0x0409})}}};
    DEVICE_EXTENSION extension;
};

// ------------------------------------------------------------------ port

TEST_F(UsbConfigTest, PortConnectedAndEnabledIsNotReset) {
    SetPort(kConnectedEnabled, kConnectedEnabled);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_SUCCESS);
    EXPECT_EQ(radio.PortResets(), 0u);
    EXPECT_EQ(radio.PortStatusReads(), 1u);
}

TEST_F(UsbConfigTest, PortConnectedButDisabledIsResetExactlyOnce) {
    SetPort(USBD_PORT_CONNECTED, kConnectedEnabled);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_SUCCESS);
    EXPECT_EQ(radio.PortResets(), 1u);
    EXPECT_EQ(radio.PortStatusReads(), 2u);
}

TEST_F(UsbConfigTest, PortStillDisabledAfterItsResetIsNoDevice) {
    SetPort(USBD_PORT_CONNECTED, USBD_PORT_CONNECTED);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(radio.PortResets(), 1u);
}

TEST_F(UsbConfigTest, PortNotConnectedIsNoDeviceWithoutReset) {
    SetPort(USBD_PORT_ENABLED, USBD_PORT_ENABLED);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(radio.PortResets(), 0u);
}

TEST_F(UsbConfigTest, FailingPortRequestsPassTheirStatusOn) {
    usbsim::ScriptedRadio::PortBehaviour port;
    port.beforeReset.status = STATUS_DEVICE_NOT_CONNECTED;
    radio.SetPort(port);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_DEVICE_NOT_CONNECTED);

    port.beforeReset = {STATUS_SUCCESS, USBD_PORT_CONNECTED};
    port.resetStatus = STATUS_CANCELLED;
    radio.SetPort(port);
    EXPECT_EQ(UsbCheckPort(&extension), STATUS_CANCELLED);
}

// --------------------------------------------------------- descriptor reads

TEST_F(UsbConfigTest, FullConfigurationReadAsksExactlyTotalLength) {
    const std::vector<uint8_t> whole = StandardRadioConfiguration();
    PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
    ULONG size = 0;
    ASSERT_EQ(UsbGetConfigurationDescriptors(&extension, &set, 0, &size), STATUS_SUCCESS);
    const auto reads = tap.DescriptorReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].asked, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    EXPECT_EQ(reads[1].asked, whole.size());
    EXPECT_EQ(reads[1].type, USB_CONFIGURATION_DESCRIPTOR_TYPE);
    EXPECT_EQ(size, whole.size());
    EXPECT_EQ(0, memcmp(set, whole.data(), size));
    ExFreePool(set);
}

TEST_F(UsbConfigTest, SetDeliveredShorterThanAnnouncedIsCutToWhatArrived) {
    // Ends inside interface 0's second endpoint.
    SetConfiguration(FirstBytes(StandardRadioConfiguration(), 9 + 9 + 7 + 3));
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
    SetConfiguration(FirstBytes(StandardRadioConfiguration(), 4));
    PUSB_CONFIGURATION_DESCRIPTOR set = nullptr;
    ULONG size = 0;
    EXPECT_EQ(UsbGetConfigurationDescriptors(&extension, &set, 0, &size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(tap.DescriptorReads().size(), 1u) << "no second read sized by a length never received";
    EXPECT_EQ(wrk::DebugCount("UsbGetConfigurationDescriptors: status "), 1u);
}

// ------------------------------------------------------------------ select

using Interfaces = std::vector<std::pair<uint8_t, uint8_t>>;

TEST_F(UsbConfigTest, SelectsEveryInterfaceInItsFirstSettingAndRecordsOnlyTheFirstInterfacesPipes) {
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(tap.SelectedInterfaces(), (Interfaces{{0, 0}, {1, 0}}));
    ASSERT_NE(tap.PipeHandle(0, 0x81), nullptr);
    EXPECT_EQ(extension.InterruptPipe, tap.PipeHandle(0, 0x81));
    EXPECT_EQ(extension.BulkInPipe, tap.PipeHandle(0, 0x82));
    EXPECT_EQ(extension.BulkOutPipe, tap.PipeHandle(0, 0x02));
    EXPECT_NE(extension.BulkInPipe, nullptr);
    EXPECT_NE(extension.BulkOutPipe, nullptr);
    EXPECT_EQ(wrk::DebugCount("Select configuration worked\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("interface Class 224 NumberOfPipes 3\n"), 1u);
}

TEST_F(UsbConfigTest, InterfaceNumbersWithGapsAreFound) {
    SetConfiguration(ConfigurationBuilder()
                         .Interface(0, 0, 0xE0,
                                    {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                     {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                     {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                         .Interface(2, 0, 0xE0, {{0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, 9, 1}})
                         .Build());
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(tap.SelectedInterfaces(), (Interfaces{{0, 0}, {2, 0}}));
}

TEST_F(UsbConfigTest, FirstInterfaceWithoutBulkOutFailsThoughConfigured) {
    SetConfiguration(ConfigurationBuilder()
                         .Interface(0, 0, 0xE0,
                                    {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                     {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                         .Interface(1, 0, 0xE0, {{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                         .Build());
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(bus.Configured(pdo));
    ASSERT_NE(tap.PipeHandle(1, 0x02), nullptr);
    EXPECT_EQ(extension.InterruptPipe, tap.PipeHandle(0, 0x81));
    EXPECT_EQ(extension.BulkInPipe, tap.PipeHandle(0, 0x82));
    EXPECT_NE(extension.BulkInPipe, nullptr);
    EXPECT_EQ(extension.BulkOutPipe, nullptr) << "the other interface's bulk-out is not used";
}

TEST_F(UsbConfigTest, InterruptPipeIsTakenWhateverItsDirection) {
    SetConfiguration(ConfigurationBuilder()
                         .Interface(0, 0, 0xE0,
                                    {{0x01, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                     {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                     {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                         .Build());
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    ASSERT_NE(tap.PipeHandle(0, 0x01), nullptr);
    EXPECT_EQ(extension.InterruptPipe, tap.PipeHandle(0, 0x01));
}

TEST_F(UsbConfigTest, MoreInterfacesAnnouncedThanHeldSelectsThoseFound) {
    SetConfiguration(ConfigurationBuilder()
                         .Interface(0, 0, 0xE0,
                                    {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                                     {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                                     {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
                         .AnnouncedInterfaces(4)
                         .Build());
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(tap.SelectedInterfaces(), (Interfaces{{0, 0}}));
}

TEST_F(UsbConfigTest, InterfacesAnnouncedButNoneHeldFailsWithoutSelecting) {
    SetConfiguration(ConfigurationBuilder().AnnouncedInterfaces(2).Build());
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(bus.Configured(pdo));
    EXPECT_TRUE(tap.SelectedInterfaces().empty());
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

// Interface 0 of the standard radio alone.
std::vector<uint8_t> FirstInterfaceOnly() {
    return ConfigurationBuilder()
        .Interface(0, 0, 0xE0,
                   {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                    {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                    {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}})
        .Build();
}

class HostileConfigurationTest : public UsbConfigTest {
protected:
    void ExpectRefusedBeforeTheSelect() {
        EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(wrk::DebugCount("UsbSelectConfiguration: malformed configuration descriptor\n"), 1u);
        EXPECT_FALSE(bus.Configured(pdo));
        EXPECT_TRUE(tap.SelectedInterfaces().empty()) << "the set reached the bus";
        EXPECT_EQ(extension.InterruptPipe, nullptr);
    }
    std::vector<uint8_t> set = StandardRadioConfiguration();
};

TEST_F(HostileConfigurationTest, DescriptorOfLengthZeroIsRefused) {
    set[kFirstEndpoint] = 0;
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, DescriptorOfLengthOneIsRefused) {
    set[kFirstEndpoint] = 1;
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, DescriptorRunningPastTheTotalLengthIsRefused) {
    set = FirstInterfaceOnly();
    set[kLastEndpointOfInterface0] = 7 + 16;  // into the zeroed spare bytes
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, MoreEndpointsAnnouncedThanFollowTheInterfaceIsRefused) {
    set[kInterface0 + 4] = 4;  // bNumEndpoints of interface 0, which has 3
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, LastInterfaceShortOfItsEndpointsIsRefused) {
    set = FirstInterfaceOnly();
    set.resize(set.size() - 7);
    SetTotalLength(set);
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, EndpointDescriptorShorterThanSevenBytesIsRefused) {
    // The bulk-out endpoint loses its bInterval byte and says so in its length.
    set[kLastEndpointOfInterface0] = 6;
    set.erase(set.begin() + std::ptrdiff_t(kLastEndpointOfInterface0 + 6));
    SetTotalLength(set);
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, ConfigurationDescriptorShorterThanNineBytesIsRefused) {
    set[0] = 2;
    SetConfiguration(set);
    ExpectRefusedBeforeTheSelect();
}

TEST_F(HostileConfigurationTest, ClassSpecificDescriptorBetweenInterfacesIsAccepted) {
    const uint8_t classSpecific[] = {5, 0x24, 0x01, 0x02, 0x03};
    set.insert(set.begin() + std::ptrdiff_t(kLastEndpointOfInterface0 + 7), std::begin(classSpecific), std::end(classSpecific));
    SetTotalLength(set);
    SetConfiguration(set);
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(wrk::DebugCount("malformed"), 0u);
}

TEST_F(UsbConfigTest, RefusedSelectFailsWithItsMessage) {
    radio.FailUrbFunction(URB_FUNCTION_SELECT_CONFIGURATION, USBD_STATUS_SET_CONFIG_FAILED);
    EXPECT_EQ(UsbSelectConfiguration(&extension), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugCount("UsbSelectConfiguration: status C0000001 URB status C0002000\n"), 1u);
    EXPECT_EQ(extension.InterruptPipe, nullptr);
}

TEST_F(UsbConfigTest, DeselectForgetsThePipesAndUnconfigures) {
    ASSERT_EQ(UsbSelectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(UsbDeselectConfiguration(&extension), STATUS_SUCCESS);
    EXPECT_EQ(tap.Deselects(), 1u);
    EXPECT_FALSE(bus.Configured(pdo));
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
    SetLanguages(LanguageList({0x0409, 0x0407}, 8));  // claims three identifiers, holds two
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("StringsLen 6 LangIds 3\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[0]=0409\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[1]=0407\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[2]"), 0u);
}

TEST_F(UsbConfigTest, LanguageListWithTinyLengthListsNothing) {
    SetLanguages(LanguageList({0x0409}, 1));
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("StringsLen 4 LangIds 0\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId["), 0u);
}

TEST_F(UsbConfigTest, ControllerNameIsPrintedWithinTheRecordWhateverItsLengthWord) {
    // The bus's length word counts the record's bytes: read as characters, it
    // says more than twice what the record holds.
    const char name[] = "\\Device\\USBPDO-0\\Controller\\Of\\The\\Radio";
    const std::u16string wide(std::begin(name), std::end(name) - 1);
    const ULONG recordLength = ULONG(sizeof(ULONG) + wide.size() * 2);
    radio.SetControllerName(wide);
    radio.SetBusInfo({0, 12000, 0, recordLength});
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(tap.ControllerNameLengths(), std::vector<ULONG>{recordLength});
    EXPECT_EQ(wrk::DebugCount(std::string("Controller name is ") + name + "\n"), 1u);
}

TEST_F(UsbConfigTest, AbsurdControllerNameLengthIsNotAllocated) {
    radio.SetBusInfo({0, 12000, 0, 0xFFFFFFF0});
    UsbDumpDeviceInfo(&extension);
    EXPECT_TRUE(tap.ControllerNameLengths().empty());
    EXPECT_EQ(wrk::DebugCount("Cannot get controller name\n"), 1u);
    EXPECT_EQ(wrk::DebugCount("LangId[0]=0409\n"), 1u) << "the dump goes on";
}

TEST_F(UsbConfigTest, MissingLanguageListIsReported) {
    SetLanguages({});
    UsbDumpDeviceInfo(&extension);
    EXPECT_EQ(wrk::DebugCount("No string descriptors\n"), 1u);
}

}  // namespace
}  // namespace lifecycle_test
