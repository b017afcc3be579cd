/*
 * Descriptor reads from the radio. What the bus delivers is taken at the
 * length it actually delivered: a descriptor that announces more than came
 * back is never read past the bytes received.
 */
#include "lifecycle/lifecycle.h"

/* The first read takes the configuration descriptor alone, to learn the size
 * of the whole set. */
#define BASIC_CONFIGURATION_BUFFER_SIZE 25
/* Zeroed room after the set, so a walk that steps onto its end finds
 * descriptor lengths of 0 rather than foreign memory. */
#define CONFIGURATION_SPARE_BYTES 16

static void BuildDescriptorRequest(PURB Urb, UCHAR Type, UCHAR Index, PVOID Buffer, ULONG Length)
{
    RtlZeroMemory(Urb, DESCRIPTOR_URB_SIZE);
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    request->Hdr.Length = (USHORT)DESCRIPTOR_URB_SIZE;
    request->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    request->TransferBuffer = Buffer;
    request->TransferBufferMDL = NULL;
    request->TransferBufferLength = Length;
    request->Index = Index;
    request->DescriptorType = Type;
    request->LanguageId = 0;
    request->UrbLink = NULL;
}

static BOOLEAN RequestFailed(NTSTATUS Status, PURB Urb)
{
    return !NT_SUCCESS(Status) || USBD_ERROR(Urb->UrbHeader.Status);
}

/* Bytes the bus says it delivered, never more than were asked for. */
static ULONG ReceivedLength(PURB Urb, ULONG Asked)
{
    ULONG received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    return received < Asked ? received : Asked;
}

NTSTATUS UsbGetConfigurationDescriptors(PDEVICE_EXTENSION DeviceExtension,
                                        PUSB_CONFIGURATION_DESCRIPTOR *Descriptors, UCHAR Index, PULONG Size)
{
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbGetConfigurationDescriptors: No URB memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PUCHAR basic = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BASIC_CONFIGURATION_BUFFER_SIZE, WRENLOK_POOL_TAG);
    if (basic == NULL) {
        DebugPrint("UsbGetConfigurationDescriptors: No initial descriptor memory\n");
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(basic, BASIC_CONFIGURATION_BUFFER_SIZE);

    DebugPrint("Getting basic configuration descriptor\n");
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, basic,
                           sizeof(USB_CONFIGURATION_DESCRIPTOR));
    NTSTATUS status = UsbCallSync(DeviceExtension, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, NULL);
    if (RequestFailed(status, urb) ||
        ReceivedLength(urb, sizeof(USB_CONFIGURATION_DESCRIPTOR)) < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        /* A short answer leaves wTotalLength unknown: nothing to size the set by. */
        DebugPrint("UsbGetConfigurationDescriptors: status %x URB status %x\n", status, urb->UrbHeader.Status);
        ExFreePool(basic);
        ExFreePool(urb);
        return STATUS_UNSUCCESSFUL;
    }

    PUSB_CONFIGURATION_DESCRIPTOR configuration = (PUSB_CONFIGURATION_DESCRIPTOR)basic;
    DebugPrint("Got basic config descr.  MaxPower %d units of 2mA\n", configuration->MaxPower);
    ULONG totalLength = configuration->wTotalLength;
    ExFreePool(basic);

    PUCHAR full = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, totalLength + CONFIGURATION_SPARE_BYTES,
                                                WRENLOK_POOL_TAG);
    if (full == NULL) {
        DebugPrint("No full descriptors memory\n");
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(full, totalLength + CONFIGURATION_SPARE_BYTES);

    DebugPrint("Getting full configuration descriptors\n");
    BuildDescriptorRequest(urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Index, full, totalLength);
    status = UsbCallSync(DeviceExtension, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, NULL);
    ULONG received = ReceivedLength(urb, totalLength);
    if (RequestFailed(status, urb) || received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        DebugPrint("UsbGetConfigurationDescriptors: status %x URB status %x\n", status, urb->UrbHeader.Status);
        ExFreePool(full);
        ExFreePool(urb);
        return STATUS_UNSUCCESSFUL;
    }
    ExFreePool(urb);

    /* Whoever walks the set goes by its wTotalLength: make that what arrived. */
    configuration = (PUSB_CONFIGURATION_DESCRIPTOR)full;
    if (configuration->wTotalLength > received) {
        configuration->wTotalLength = (USHORT)received;
    }

    *Descriptors = configuration;
    *Size = received;
    return STATUS_SUCCESS;
}

NTSTATUS UsbGetSpecifiedDescriptor(PDEVICE_EXTENSION DeviceExtension, PVOID *Descriptor, UCHAR Type, PULONG Size)
{
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbGetSpecifiedDescriptor: No URB memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG asked = *Size;
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, asked, WRENLOK_POOL_TAG);
    if (buffer == NULL) {
        ExFreePool(urb);
        DebugPrint("No descriptor memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(buffer, asked);

    BuildDescriptorRequest(urb, Type, 0, buffer, asked);
    DebugPrint("Getting descriptor type %2x\n", Type);
    NTSTATUS status = UsbCallSync(DeviceExtension, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, NULL);
    if (RequestFailed(status, urb)) {
        ExFreePool(buffer);
        ExFreePool(urb);
        return STATUS_UNSUCCESSFUL;
    }

    *Size = ReceivedLength(urb, asked);
    *Descriptor = buffer;
    ExFreePool(urb);
    return STATUS_SUCCESS;
}
