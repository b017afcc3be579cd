// The USBD library: descriptor walks and the select-configuration request.
#include <gtest/gtest.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>
#include <usbdlib.h>

#include "descriptor_builder.h"

namespace {

using usbtest::AsConfig;
using usbtest::ConfigBuilder;

PUSB_INTERFACE_DESCRIPTOR Find(std::vector<uint8_t> &set, LONG number, LONG alternate = -1, LONG cls = -1) {
    return USBD_ParseConfigurationDescriptorEx(AsConfig(set), set.data(), number, alternate, cls, -1, -1);
}

TEST(UsbdParse, FindsInterfacesOfTheStandardRadioByEveryField) {
    std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0);
    PUSB_INTERFACE_DESCRIPTOR first = Find(set, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bNumEndpoints, 3);

    PUSB_INTERFACE_DESCRIPTOR alternate3 = Find(set, 1, 3);
    ASSERT_NE(alternate3, nullptr);
    EXPECT_EQ(alternate3->bAlternateSetting, 3);
    // With the alternate setting left open the first-listed one is taken.
    EXPECT_EQ(Find(set, 1)->bAlternateSetting, 0);
    EXPECT_EQ(Find(set, 1, 6), nullptr);
    EXPECT_EQ(Find(set, 0, -1, 0x03), nullptr);
    EXPECT_EQ(Find(set, -1, -1, 0xE0), first);
}

TEST(UsbdParse, StartPositionSkipsWhatLiesBeforeIt) {
    std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0);
    PUSB_INTERFACE_DESCRIPTOR first = Find(set, -1);
    PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
        AsConfig(set), reinterpret_cast<PUCHAR>(first) + first->bLength, -1, -1, -1, -1, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bInterfaceNumber, 1);
    EXPECT_EQ(next->bAlternateSetting, 0);
}

TEST(UsbdParse, InterfaceNumbersWithGapsAreFound) {
    std::vector<uint8_t> set = ConfigBuilder(2).Interface(0, 0, 0).Interface(2, 0, 0).Build();
    EXPECT_NE(Find(set, 0), nullptr);
    EXPECT_EQ(Find(set, 1), nullptr);
    ASSERT_NE(Find(set, 2), nullptr);
    EXPECT_EQ(Find(set, 2)->bInterfaceNumber, 2);
}

TEST(UsbdParse, NeverReadsPastTotalLengthOrLoopsOnDamagedDescriptors) {
    // Interface 1 lies beyond wTotalLength: it does not exist.
    std::vector<uint8_t> truncated = ConfigBuilder(2).Interface(0, 0, 0).Interface(1, 0, 0).Build(18);
    EXPECT_NE(Find(truncated, 0), nullptr);
    EXPECT_EQ(Find(truncated, 1), nullptr);

    // An interface cut off by wTotalLength is not matched either.
    std::vector<uint8_t> cut = ConfigBuilder(1).Interface(0, 0, 0).Build(15);
    EXPECT_EQ(Find(cut, 0), nullptr);

    // A descriptor of length 0 ends the walk instead of spinning on it.
    std::vector<uint8_t> zero = ConfigBuilder(2).Raw({0, 0x24, 0, 0}).Interface(0, 0, 0).Build();
    EXPECT_EQ(Find(zero, 0), nullptr);

    // A descriptor claiming more than is left ends the walk.
    std::vector<uint8_t> overlong = ConfigBuilder(1).Raw({200, 0x24}).Interface(0, 0, 0).Build();
    EXPECT_EQ(Find(overlong, 0), nullptr);
}

class UsbdRequest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
};

TEST_F(UsbdRequest, SelectRequestHasRoomForEveryPipeAndPointsTheListIntoIt) {
    std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0);
    USBD_INTERFACE_LIST_ENTRY list[3] = {{Find(set, 0), nullptr}, {Find(set, 1), nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(set), list);
    ASSERT_NE(urb, nullptr);

    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, AsConfig(set));

    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    PUSBD_INTERFACE_INFORMATION second = list[1].Interface;
    EXPECT_EQ(first, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(second), reinterpret_cast<PUCHAR>(first) + first->Length);
    EXPECT_EQ(first->Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(first->NumberOfPipes, 3u);
    EXPECT_EQ(second->InterfaceNumber, 1);
    EXPECT_EQ(second->AlternateSetting, 0);
    EXPECT_EQ(second->NumberOfPipes, 2u);
    EXPECT_LE(reinterpret_cast<PUCHAR>(second) + second->Length, reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length);
    for (ULONG pipe = 0; pipe < first->NumberOfPipes; ++pipe) {
        EXPECT_EQ(first->Pipes[pipe].MaximumTransferSize, 4096u);
        EXPECT_EQ(first->Pipes[pipe].PipeHandle, nullptr);
    }
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 1u);
    ExFreePool(urb);
}

TEST_F(UsbdRequest, RequestWithInterfacesWithoutEndpointsIsStillWholeRecord) {
    std::vector<uint8_t> set = ConfigBuilder(1).Interface(0, 0, 0).Build();
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Find(set, 0), nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(AsConfig(set), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_GE(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    ExFreePool(urb);
}

TEST_F(UsbdRequest, FailedAllocationGivesNull) {
    std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{Find(set, 0), nullptr}, {nullptr, nullptr}};
    wrk::PoolFailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfig(set), list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u);
}

TEST(UsbdVersion, ReportsWindows2000Values) {
    USBD_VERSION_INFORMATION version{};
    USBD_GetUSBDIVersion(&version);
    EXPECT_EQ(version.USBDI_Version, 0x300u);
    EXPECT_EQ(version.Supported_USB_Version, 0x110u);
}

}  // namespace
