// The USB driver interface library that function drivers import: descriptor
// walks and the select-configuration request, over the pool of libntos.
#include <usbdlib.h>

namespace {

// Pool tag "USBD" as it reads in a pool dump.
constexpr ULONG UsbdPoolTag = 'D' << 24 | 'B' << 16 | 'S' << 8 | 'U';

bool Matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || wanted == actual;
}

}  // namespace

extern "C" void USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (VersionInformation == nullptr) return;
    // Windows 2000: USBDI 3.00 on a USB 1.1 stack.
    VersionInformation->USBDI_Version = 0x300;
    VersionInformation->Supported_USB_Version = 0x110;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const PUCHAR begin = reinterpret_cast<PUCHAR>(ConfigurationDescriptor);
    const PUCHAR end = begin + ConfigurationDescriptor->wTotalLength;
    PUCHAR position = StartPosition != nullptr ? static_cast<PUCHAR>(StartPosition) : begin;
    if (position < begin) position = begin;

    // Every step moves on by bLength; a descriptor claiming 0 bytes or running
    // past wTotalLength ends the walk, so a damaged set can neither loop nor
    // lead the walk out of the buffer.
    while (end - position >= 2) {
        const auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(position);
        if (common->bLength == 0 || common->bLength > end - position) break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
            if (Matches(InterfaceNumber, interface->bInterfaceNumber) &&
                Matches(AlternateSetting, interface->bAlternateSetting) &&
                Matches(InterfaceClass, interface->bInterfaceClass) &&
                Matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, interface->bInterfaceProtocol)) {
                return interface;
            }
        }
        position += common->bLength;
    }
    return nullptr;
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                  PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

    SIZE_T size = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    }
    // Interfaces without endpoints are shorter than the record; the request
    // itself never is.
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) size = sizeof(struct _URB_SELECT_CONFIGURATION);
    // Hdr.Length is 16 bits: a request that cannot say its own size is refused.
    if (size > 0xFFFF) return nullptr;

    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, UsbdPoolTag));
    if (urb == nullptr) return nullptr;
    RtlZeroMemory(urb, size);

    struct _URB_SELECT_CONFIGURATION &select = urb->UrbSelectConfiguration;
    select.Hdr.Length = static_cast<USHORT>(size);
    select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select.ConfigurationDescriptor = ConfigurationDescriptor;

    auto position = reinterpret_cast<PUCHAR>(&select.Interface);
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
        const PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        interface->InterfaceNumber = descriptor->bInterfaceNumber;
        interface->AlternateSetting = descriptor->bAlternateSetting;
        interface->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe) {
            interface->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry->Interface = interface;
        position += interface->Length;
    }
    return urb;
}
