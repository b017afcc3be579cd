// URBs and port requests against the scripted radio, in every completion timing.
#include "bus_fixture.h"
#include "descriptor_builder.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace usbtest {
namespace {

using usbsim::CompletionTiming;
using usbsim::ScriptedRadio;
using Bytes = std::vector<uint8_t>;

TEST_P(BusTest, DescriptorReadsCopyAtMostWhatWasAskedFor) {
    UCHAR buffer[300];
    std::memset(buffer, 0xEE, sizeof buffer);
    URB header = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer, 9);
    ASSERT_EQ(Submit(header), STATUS_SUCCESS);
    EXPECT_EQ(header.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(header.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(buffer[9], 0xEE);
    const ULONG total = buffer[2] | buffer[3] << 8;

    URB whole = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    ASSERT_EQ(Submit(whole), STATUS_SUCCESS);
    EXPECT_EQ(whole.UrbControlDescriptorRequest.TransferBufferLength, total);
    EXPECT_EQ(Bytes(buffer, buffer + total), radio.descriptors().configurations[0]);

    URB device = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    ASSERT_EQ(Submit(device), STATUS_SUCCESS);
    EXPECT_EQ(device.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(buffer[4], 0xE0);
    EXPECT_EQ(buffer[7], 64);

    URB languages = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 0, buffer, 50);
    ASSERT_EQ(Submit(languages), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{4, 3, 0x09, 0x04}));
}

TEST_P(BusTest, MissingDescriptorOrFailingFunctionFailsTheUrb) {
    UCHAR buffer[64];
    URB secondConfig = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, buffer, sizeof buffer);
    EXPECT_EQ(Submit(secondConfig), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(USBD_ERROR(secondConfig.UrbHeader.Status));
    EXPECT_EQ(secondConfig.UrbControlDescriptorRequest.TransferBufferLength, 0u);

    radio.FailUrbFunction(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, USBD_STATUS_DEV_NOT_RESPONDING);
    URB device = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    EXPECT_EQ(Submit(device), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
}

TEST_P(BusTest, SelectFillsPipesOfEveryInterface) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_TRUE(bus.Configured(pdo));
    EXPECT_NE(configurationHandle, nullptr);
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0].Class, 0xE0);
    EXPECT_EQ(selected[0].SubClass, 0x01);
    EXPECT_EQ(selected[0].Protocol, 0x01);
    EXPECT_NE(selected[0].InterfaceHandle, nullptr);

    ASSERT_EQ(firstInterfacePipes.size(), 3u);
    EXPECT_EQ(firstInterfacePipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(firstInterfacePipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(firstInterfacePipes[0].MaximumPacketSize, 16);
    EXPECT_EQ(firstInterfacePipes[0].Interval, 1);
    EXPECT_EQ(firstInterfacePipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(firstInterfacePipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(firstInterfacePipes[1].MaximumPacketSize, 64);
    EXPECT_EQ(firstInterfacePipes[2].EndpointAddress, 0x02);
    EXPECT_EQ(firstInterfacePipes[2].MaximumTransferSize, 4096u);
    ASSERT_EQ(secondInterfacePipes.size(), 2u);
    EXPECT_EQ(secondInterfacePipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(secondInterfacePipes[0].MaximumPacketSize, 0);

    EXPECT_NE(interruptPipe, nullptr);
    EXPECT_NE(bulkInPipe, nullptr);
    EXPECT_NE(bulkOutPipe, nullptr);
    EXPECT_NE(interruptPipe, bulkInPipe);
    EXPECT_NE(bulkInPipe, bulkOutPipe);
}

TEST_P(BusTest, SelectGoesOnWithFewerInterfacesThanTheConfigurationClaims) {
    // bNumInterfaces says 3; only interfaces 0 and 2 exist.
    std::vector<uint8_t> set = ConfigBuilder(3)
                                   .Interface(0, 0, 1)
                                   .Endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1)
                                   .Interface(2, 0, 1)
                                   .Endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 64)
                                   .Build();
    ASSERT_EQ(Configure(set), STATUS_SUCCESS);
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[1].InterfaceNumber, 2);
    EXPECT_NE(interruptPipe, nullptr);
}

TEST_P(BusTest, SelectOfAnInterfaceTheDescriptorsLackFails) {
    std::vector<uint8_t> set = usbsim::StandardBluetoothRadioDescriptors().configurations.at(0);
    auto config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
    USBD_INTERFACE_LIST_ENTRY list[2] = {{USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1)},
                                         {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    list[0].Interface->InterfaceNumber = 7;
    EXPECT_EQ(Submit(*urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    EXPECT_FALSE(bus.Configured(pdo));
    ExFreePool(urb);
}

TEST_P(BusTest, DeselectInvalidatesEveryPipeHandle) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    UCHAR buffer[16];
    URB waiting = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(waiting);
    ASSERT_EQ(pending->returned, STATUS_PENDING);

    URB deselect{};
    deselect.UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    deselect.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    ASSERT_EQ(Submit(deselect), STATUS_SUCCESS);
    EXPECT_FALSE(bus.Configured(pdo));
    // What was outstanding on the old pipes is aborted.
    EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(waiting.UrbHeader.Status, USBD_STATUS_CANCELED);

    radio.QueueEvent({0x0E, 0x01, 0x01});
    URB stale = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    EXPECT_EQ(Submit(stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(radio.QueuedInBytes(ScriptedRadio::kEventEndpoint), 3u);
}

TEST_P(BusTest, CommandGoesOutAsClassRequestOnTheDefaultPipe) {
    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB urb = CommandUrb(command, sizeof command);
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    auto commands = radio.Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].setup.bmRequestType, 0x20);
    EXPECT_EQ(commands[0].setup.bRequest, 0);
    EXPECT_EQ(commands[0].setup.wValue, 0);
    EXPECT_EQ(commands[0].setup.wIndex, 0);
    EXPECT_EQ(commands[0].setup.wLength, 3);
    EXPECT_EQ(commands[0].bytes, Bytes(command, command + 3));
}

TEST_P(BusTest, FailingSendReportsTheRadiosStatus) {
    radio.SetCommandBehaviour(ScriptedRadio::SendBehaviour::Fails(USBD_STATUS_STALL_PID));
    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB urb = CommandUrb(command, sizeof command);
    EXPECT_EQ(Submit(urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_P(BusTest, AclOutReachesTheRadio) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    UCHAR acl[] = {0x01, 0x20, 0x02, 0x00, 0xAA, 0xBB};
    URB urb = BulkUrb(bulkOutPipe, 0, acl, sizeof acl);
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, sizeof acl);
    ASSERT_EQ(radio.AclReceived().size(), 1u);
    EXPECT_EQ(radio.AclReceived()[0], Bytes(acl, acl + sizeof acl));

    // A transfer against the pipe's direction is refused without reaching the radio.
    URB wrongWay = BulkUrb(bulkOutPipe, kIn, acl, sizeof acl);
    EXPECT_EQ(Submit(wrongWay), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(radio.AclReceived().size(), 1u);
}

TEST_P(BusTest, InDataArrivesSplitAtTheTransferLength) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    Bytes event(20);
    for (size_t i = 0; i < event.size(); ++i) event[i] = uint8_t(i);
    radio.QueueEvent(event);
    Bytes acl(600, 0x5A);
    radio.QueueAcl(acl);

    UCHAR buffer[512];
    URB first = BulkUrb(interruptPipe, kIn, buffer, 16);
    ASSERT_EQ(Submit(first), STATUS_SUCCESS);
    EXPECT_EQ(first.UrbBulkOrInterruptTransfer.TransferBufferLength, 16u);
    EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(event.begin(), event.begin() + 16));
    URB rest = BulkUrb(interruptPipe, kIn, buffer, 16);
    ASSERT_EQ(Submit(rest), STATUS_SUCCESS);
    EXPECT_EQ(rest.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
    EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(event.begin() + 16, event.end()));

    URB bulk1 = BulkUrb(bulkInPipe, kIn, buffer, 512);
    ASSERT_EQ(Submit(bulk1), STATUS_SUCCESS);
    EXPECT_EQ(bulk1.UrbBulkOrInterruptTransfer.TransferBufferLength, 512u);
    URB bulk2 = BulkUrb(bulkInPipe, kIn, buffer, 512);
    ASSERT_EQ(Submit(bulk2), STATUS_SUCCESS);
    EXPECT_EQ(bulk2.UrbBulkOrInterruptTransfer.TransferBufferLength, 88u);
}

TEST_P(BusTest, ShortPacketWithoutShortTransferOkFails) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    radio.SetInChunk(ScriptedRadio::kEventEndpoint, 3);
    radio.QueueEvent({0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00});
    UCHAR buffer[16];
    URB strict = BulkUrb(interruptPipe, USBD_TRANSFER_DIRECTION_IN, buffer, sizeof buffer);
    EXPECT_EQ(Submit(strict), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(strict.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(strict.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);

    URB lenient = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    ASSERT_EQ(Submit(lenient), STATUS_SUCCESS);
    EXPECT_EQ(lenient.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x03, 0x0C, 0x00}));
}

TEST_P(BusTest, FailingInPipeFailsItsTransfers) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    radio.FailIn(ScriptedRadio::kAclInEndpoint, USBD_STATUS_DEV_NOT_RESPONDING);
    UCHAR buffer[512];
    URB urb = BulkUrb(bulkInPipe, kIn, buffer, sizeof buffer);
    EXPECT_EQ(Submit(urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
}

TEST_P(BusTest, PendingInCompletesWhenTheRadioHasData) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_EQ(bus.PendingTransfers(pdo), 1u);

    radio.QueueEvent({0x0F, 0x04, 0x00, 0x01, 0x05, 0x04});
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 6u);
    EXPECT_EQ(buffer[0], 0x0F);
    EXPECT_EQ(bus.PendingTransfers(pdo), 0u);
}

TEST_P(BusTest, InTransferWatchMovesWithEachInSubmissionAndWakesItsWaiter) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    const auto watch = bus.InTransfers(pdo);
    const uint32_t before = watch->Submitted();
    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB commandUrb = CommandUrb(command, sizeof command);
    ASSERT_EQ(Submit(commandUrb), STATUS_SUCCESS);
    EXPECT_EQ(watch->Submitted(), before);
    EXPECT_FALSE(watch->WaitForMore(before, std::chrono::microseconds(1000)));

    // A waiter is woken by the submission itself, whether the transfer is
    // answered at once or held.
    bool woken = false;
    std::thread waiter([&] { woken = watch->WaitForMore(before, std::chrono::seconds(10)); });
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    waiter.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(watch->Submitted(), before + 1);
    radio.QueueEvent({0x0E, 0x01, 0x01});
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
}

TEST_P(BusTest, CancelledInTransferCompletesCancelled) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    UCHAR buffer[512];
    URB urb = BulkUrb(bulkInPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(pending->irp));
    EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(bus.PendingTransfers(pdo), 0u);

    // Data that comes later goes to the next transfer, not the cancelled one.
    radio.QueueAcl({1, 2, 3});
    URB next = BulkUrb(bulkInPipe, kIn, buffer, sizeof buffer);
    ASSERT_EQ(Submit(next), STATUS_SUCCESS);
    EXPECT_EQ(next.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST_P(BusTest, StalledInPipeHoldsItsTransferUntilReleased) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    radio.StallIn(ScriptedRadio::kEventEndpoint, true);
    radio.QueueEvent({0x0E, 0x01, 0x01});
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_FALSE(pending->Done());
    radio.StallIn(ScriptedRadio::kEventEndpoint, false);
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
}

TEST_P(BusTest, StalledSendStaysUntilCancelled) {
    radio.SetCommandBehaviour(ScriptedRadio::SendBehaviour::Stalls());
    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB urb = CommandUrb(command, sizeof command);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_EQ(bus.PendingTransfers(pdo), 1u);
    EXPECT_TRUE(IoCancelIrp(pending->irp));
    EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    // The radio finishing it afterwards changes nothing.
    EXPECT_EQ(radio.CompleteStalledSends(), 1u);
    EXPECT_EQ(bus.PendingTransfers(pdo), 0u);
}

TEST_P(BusTest, DelayedSendCompletesAfterItsDriverTime) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    radio.SetAclOutBehaviour(ScriptedRadio::SendBehaviour::CompletesAfter(2 * 10'000'000));
    UCHAR acl[] = {0x01, 0x20, 0x00, 0x00};
    URB urb = BulkUrb(bulkOutPipe, 0, acl, sizeof acl);
    const double before = wrk::DriverTimeSeconds();
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
    EXPECT_GE(wrk::DriverTimeSeconds() - before, 2.0);
}

TEST_P(BusTest, PortResetChangesWhatThePortReports) {
    ScriptedRadio::PortBehaviour port;
    port.beforeReset.bits = USBD_PORT_CONNECTED;
    port.afterReset.bits = USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    radio.SetPort(port);

    ULONG bits = 0xFFFF;
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED));
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(radio.PortResets(), 1u);
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));
}

TEST_P(BusTest, FailingPortRequestsReturnTheirStatus) {
    ScriptedRadio::PortBehaviour port;
    port.beforeReset.status = STATUS_DEVICE_NOT_CONNECTED;
    port.resetStatus = STATUS_UNSUCCESSFUL;
    radio.SetPort(port);
    ULONG bits = 0;
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).Wait(), STATUS_UNSUCCESSFUL);
}

TEST_P(BusTest, PortStatusReadsAreCountedFailedOrNot) {
    ScriptedRadio::PortBehaviour port;
    port.beforeReset.status = STATUS_DEVICE_NOT_CONNECTED;
    radio.SetPort(port);
    ULONG bits = 0;
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(radio.PortStatusReads(), 2u) << "a reset is no read";
}

TEST_P(BusTest, InTransfersAskingForDataAreCountedAndAwaited) {
    using namespace std::chrono_literals;
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_FALSE(radio.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1, 10ms));

    // Nothing queued: the transfer asks, gets nothing and is held.
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_TRUE(radio.WaitForReceiveCalls(ScriptedRadio::kEventEndpoint, 1));
    EXPECT_EQ(radio.ReceiveCalls(ScriptedRadio::kEventEndpoint), 1u);
    EXPECT_EQ(radio.ReceiveCalls(ScriptedRadio::kAclInEndpoint), 0u);

    radio.QueueEvent({0x0E, 0x01, 0x01});
    EXPECT_EQ(pending->Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(radio.WaitUntilDrained(ScriptedRadio::kEventEndpoint));
    EXPECT_EQ(radio.ReceiveCalls(ScriptedRadio::kEventEndpoint), 2u) << "the held transfer asked again";

    radio.QueueAcl({1, 2, 3});
    EXPECT_FALSE(radio.WaitUntilDrained(ScriptedRadio::kAclInEndpoint, 10ms)) << "no transfer took it";
    EXPECT_EQ(radio.QueuedInBytes(ScriptedRadio::kAclInEndpoint), 3u);
}

TEST_P(BusTest, BusInfoAndControllerName) {
    USB_BUS_NOTIFICATION info{};
    ASSERT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_BUS_INFO, &info).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(info.TotalBandwidth, 12000u);
    const std::u16string name = u"\\Device\\USBPDO-0";
    EXPECT_EQ(info.ControllerNameLength, sizeof(ULONG) + name.size() * 2);

    UCHAR buffer[100];
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, buffer, reinterpret_cast<PVOID>(ULONG_PTR(
                                                                              info.ControllerNameLength)))
                  .Wait(),
              STATUS_SUCCESS);
    ULONG length;
    std::memcpy(&length, buffer, sizeof length);
    EXPECT_EQ(length, info.ControllerNameLength);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + 4), name.size()), name);
    EXPECT_EQ(buffer[info.ControllerNameLength], 0xEE);

    // A short buffer gets the length it needs and as much of the name as fits.
    std::memset(buffer, 0xEE, sizeof buffer);
    ASSERT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, buffer, reinterpret_cast<PVOID>(ULONG_PTR(8)))
                  .Wait(),
              STATUS_SUCCESS);
    std::memcpy(&length, buffer, sizeof length);
    EXPECT_EQ(length, info.ControllerNameLength);
    EXPECT_EQ(buffer[4], '\\');
    EXPECT_EQ(buffer[8], 0xEE);
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, buffer, reinterpret_cast<PVOID>(ULONG_PTR(2)))
                  .Wait(),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_P(BusTest, UnpluggedRadioFailsOutstandingAndNewTransfers) {
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    std::atomic<PDEVICE_OBJECT> reported{nullptr};
    KEVENT told;
    KeInitializeEvent(&told, NotificationEvent, FALSE);
    bus.SetUnplugHandler([&](PDEVICE_OBJECT gone) {
        reported = gone;
        KeSetEvent(&told, IO_NO_INCREMENT, FALSE);
    });
    UCHAR buffer[16];
    URB urb = BulkUrb(interruptPipe, kIn, buffer, sizeof buffer);
    auto pending = Start(urb);
    ASSERT_EQ(pending->returned, STATUS_PENDING);

    radio.Unplug();
    EXPECT_EQ(pending->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    KeWaitForSingleObject(&told, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(reported.load(), pdo);

    UCHAR command[] = {0x03, 0x0C, 0x00};
    URB later = CommandUrb(command, sizeof command);
    EXPECT_EQ(Submit(later), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(radio.Commands().empty());
    ULONG bits = 0xFF;
    EXPECT_EQ(Request(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bits, 0u);
}

TEST_P(BusTest, TimingDecidesWhetherAnswersArePended) {
    UCHAR buffer[18];
    URB first = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    Request one(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &first);
    URB second = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    Request two(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &second);
    EXPECT_EQ(one.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(two.Wait(), STATUS_SUCCESS);
    switch (GetParam()) {
    case CompletionTiming::Synchronous:
        EXPECT_EQ(one.returned, STATUS_SUCCESS);
        EXPECT_EQ(two.returned, STATUS_SUCCESS);
        break;
    case CompletionTiming::Deferred:
        EXPECT_EQ(one.returned, STATUS_PENDING);
        EXPECT_EQ(two.returned, STATUS_PENDING);
        break;
    case CompletionTiming::Mixed:
        EXPECT_NE(one.returned, two.returned);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Timing, BusTest,
                         ::testing::Values(CompletionTiming::Synchronous, CompletionTiming::Deferred,
                                           CompletionTiming::Mixed),
                         [](const auto &info) {
                             switch (info.param) {
                             case CompletionTiming::Synchronous: return "Synchronous";
                             case CompletionTiming::Deferred: return "Deferred";
                             default: return "Mixed";
                             }
                         });

}  // namespace
}  // namespace usbtest
