// Device objects, device stacks, names, symbolic links and device interfaces.
#include "test_stack.h"

#include <gtest/gtest.h>

namespace {

using kio::TestDriver;
using kio::Unicode;

class NamespaceTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    TestDriver driver;
    void TearDown() override { wrk::ClearIoFaults(); }
};

TEST_F(NamespaceTest, NewDeviceIsInitializingWithAZeroedExtension) {
    UNICODE_STRING name = Unicode(u"\\Device\\Fresh0");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), 64, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DriverObject, driver.Object());
    EXPECT_EQ(driver.Object()->DeviceObject, device);
    const auto* extension = static_cast<const UCHAR*>(device->DeviceExtension);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(extension[i], 0);
    EXPECT_EQ(wrk::LookupDevice(u"\\device\\FRESH0"), device);
    EXPECT_EQ(wrk::DeviceCount(driver.Object()), 1u);
}

TEST_F(NamespaceTest, DeviceNamesCollideUntilDeleted) {
    UNICODE_STRING name = Unicode(u"\\Device\\Taken0");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);
    IoDeleteDevice(first);
    EXPECT_EQ(wrk::LookupDevice(u"\\Device\\Taken0"), nullptr);
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, InjectedCreationFailureCreatesNothing) {
    wrk::FailNextDeviceCreation(STATUS_INSUFFICIENT_RESOURCES);
    UNICODE_STRING name = Unicode(u"\\Device\\Failed0");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(wrk::DeviceCount(driver.Object()), 0u);
    EXPECT_EQ(IoCreateDevice(driver.Object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
}

TEST_F(NamespaceTest, DosDevicesAndQuestionMarksAreOneDirectory) {
    PDEVICE_OBJECT device = driver.AddDevice(nullptr, u"\\Device\\Linked0");
    UNICODE_STRING link = Unicode(u"\\DosDevices\\Linked0");
    UNICODE_STRING sameLink = Unicode(u"\\??\\LINKED0");
    UNICODE_STRING target = Unicode(u"\\Device\\Linked0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(wrk::LookupDevice(u"\\??\\Linked0"), device);
    EXPECT_EQ(wrk::SymbolicLinkTarget(u"\\??\\Linked0"), std::u16string(u"\\Device\\Linked0"));
    EXPECT_EQ(IoDeleteSymbolicLink(&sameLink), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(wrk::LookupDevice(u"\\DosDevices\\Linked0"), nullptr);
}

TEST_F(NamespaceTest, AttachReturnsThePreviousTopAndGrowsTheStack) {
    PDEVICE_OBJECT bottom = driver.AddDevice(nullptr);
    PDEVICE_OBJECT middle = driver.AddDevice(nullptr);
    PDEVICE_OBJECT top = driver.AddDevice(nullptr);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    // Attaching to the bottom of a stack lands on its top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(wrk::TopOfStack(bottom), top);
    EXPECT_EQ(wrk::LowerDevice(top), middle);

    IoDetachDevice(middle);
    EXPECT_EQ(wrk::TopOfStack(bottom), middle);
    EXPECT_EQ(wrk::LowerDevice(top), nullptr);

    PDEVICE_OBJECT refused = driver.AddDevice(nullptr);
    wrk::FailNextAttach();
    EXPECT_EQ(IoAttachDeviceToDeviceStack(refused, bottom), nullptr);
    EXPECT_EQ(wrk::TopOfStack(bottom), middle);
    EXPECT_EQ(refused->StackSize, 1);
}

DEFINE_GUID(kTestInterface, 0xD2CE5E85, 0x7EDA, 0x4581, 0x81, 0x17, 0x10, 0xE0, 0xFB, 0xE6, 0x26, 0x34);

TEST_F(NamespaceTest, InterfaceLinkIsNamedAfterTheInstancePath) {
    PDEVICE_OBJECT pdo = driver.AddDevice(nullptr);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);

    wrk::SetDeviceInstancePath(pdo, u"USB\\VID_0A12&PID_0001\\5&1&1");
    const size_t poolBlocks = wrk::PoolOutstandingBlocks();
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_SUCCESS);
    const std::u16string name(link.Buffer, link.Length / sizeof(WCHAR));
    EXPECT_EQ(name, u"\\??\\USB#VID_0A12&PID_0001#5&1&1#{d2ce5e85-7eda-4581-8117-10e0fbe62634}");
    EXPECT_EQ(wrk::DeviceInterfaceEnabled(name), false);
    EXPECT_EQ(wrk::LookupDevice(name), nullptr);

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(wrk::DeviceInterfaceEnabled(name), true);
    EXPECT_EQ(wrk::LookupDevice(name), pdo);
    EXPECT_EQ(wrk::DeviceInterfaces(kTestInterface, true), std::vector<std::u16string>{name});
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(wrk::LookupDevice(name), nullptr);

    // The name is the caller's to free, from pool.
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), poolBlocks + 1);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), poolBlocks);
    UNICODE_STRING unknown = Unicode(u"\\??\\Nothing#{d2ce5e85-7eda-4581-8117-10e0fbe62634}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
