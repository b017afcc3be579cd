/*
 * The radio's USB configuration: the hub port checked, configuration 0
 * selected with every interface in its first-listed alternate setting, and
 * the three pipes of the first interface recorded for the data path.
 */
#include "lifecycle/lifecycle.h"

/* Interface numbers are 8 bits: the walk ends here at the latest. */
#define LAST_INTERFACE_NUMBER 255

static NTSTATUS ReadPortStatus(PDEVICE_EXTENSION DeviceExtension, PULONG PortStatus)
{
    *PortStatus = 0;
    return UsbCallSync(DeviceExtension, PortStatus, IOCTL_INTERNAL_USB_GET_PORT_STATUS, NULL);
}

NTSTATUS UsbCheckPort(PDEVICE_EXTENSION DeviceExtension)
{
    ULONG portStatus;
    NTSTATUS status = ReadPortStatus(DeviceExtension, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!(portStatus & USBD_PORT_CONNECTED)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (portStatus & USBD_PORT_ENABLED) {
        return status;
    }

    /* Connected but disabled: one reset, then it must be both. */
    status = UsbCallSync(DeviceExtension, NULL, IOCTL_INTERNAL_USB_RESET_PORT, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReadPortStatus(DeviceExtension, &portStatus);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((portStatus & (USBD_PORT_CONNECTED | USBD_PORT_ENABLED)) != (USBD_PORT_CONNECTED | USBD_PORT_ENABLED)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    return status;
}

/* Smallest whole descriptors: a length byte and a type byte; the records whose
 * fields USBD and the bus driver read. */
#define DESCRIPTOR_HEADER_LENGTH 2
#define CONFIGURATION_DESCRIPTOR_LENGTH 9
#define INTERFACE_DESCRIPTOR_LENGTH 9
#define ENDPOINT_DESCRIPTOR_LENGTH 7

/* USBD and the bus driver walk the set by each descriptor's own length and
 * take an interface's pipes from the endpoint descriptors after it, trusting
 * whatever the radio sent. The set is walked once here before either sees it:
 * every descriptor at least 2 bytes and ending within the set, interface and
 * endpoint descriptors whole, and as many endpoint descriptors after each
 * interface as its bNumEndpoints says. */
static BOOLEAN ConfigurationIsWellFormed(PUSB_CONFIGURATION_DESCRIPTOR Configuration)
{
    const UCHAR *set = (const UCHAR *)Configuration;
    ULONG total = Configuration->wTotalLength;
    if (Configuration->bLength < CONFIGURATION_DESCRIPTOR_LENGTH || Configuration->bLength > total) {
        return FALSE;
    }

    ULONG endpointsMissing = 0;
    for (ULONG offset = Configuration->bLength; offset < total;) {
        ULONG left = total - offset;
        if (left < DESCRIPTOR_HEADER_LENGTH) {
            return FALSE;
        }
        ULONG length = set[offset];
        UCHAR type = set[offset + 1];
        if (length < DESCRIPTOR_HEADER_LENGTH || length > left) {
            return FALSE;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (endpointsMissing != 0 || length < INTERFACE_DESCRIPTOR_LENGTH) {
                return FALSE;
            }
            endpointsMissing = ((PUSB_INTERFACE_DESCRIPTOR)(set + offset))->bNumEndpoints;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < ENDPOINT_DESCRIPTOR_LENGTH) {
                return FALSE;
            }
            if (endpointsMissing != 0) {
                endpointsMissing--;
            }
        }
        offset += length;
    }
    return endpointsMissing == 0;
}

/* Fills the list with the first-listed setting of each interface, lowest
 * number first, and ends it with an empty entry. Returns how many were found:
 * fewer than the configuration announces when it holds fewer. */
static ULONG ListInterfaces(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSBD_INTERFACE_LIST_ENTRY List,
                            ULONG Announced)
{
    ULONG found = 0;
    for (LONG number = 0; number <= LAST_INTERFACE_NUMBER && found < Announced; number++) {
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            USBD_ParseConfigurationDescriptorEx(Configuration, Configuration, number, -1, -1, -1, -1);
        if (descriptor != NULL) {
            List[found].InterfaceDescriptor = descriptor;
            List[found].Interface = NULL;
            found++;
        }
    }
    List[found].InterfaceDescriptor = NULL;
    List[found].Interface = NULL;
    return found;
}

/* Only the first interface's pipes carry HCI traffic; the last pipe of a kind wins. */
static void RecordPipes(PDEVICE_EXTENSION DeviceExtension, PUSBD_INTERFACE_INFORMATION Interface)
{
    for (ULONG i = 0; i < Interface->NumberOfPipes; i++) {
        PUSBD_PIPE_INFORMATION pipe = &Interface->Pipes[i];
        if (pipe->PipeType == UsbdPipeTypeBulk) {
            if (USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress)) {
                DeviceExtension->BulkInPipe = pipe->PipeHandle;
            } else {
                DeviceExtension->BulkOutPipe = pipe->PipeHandle;
            }
        } else if (pipe->PipeType == UsbdPipeTypeInterrupt) {
            DeviceExtension->InterruptPipe = pipe->PipeHandle;
        }
    }
}

NTSTATUS UsbSelectConfiguration(PDEVICE_EXTENSION DeviceExtension)
{
    DeviceExtension->InterruptPipe = NULL;
    DeviceExtension->BulkInPipe = NULL;
    DeviceExtension->BulkOutPipe = NULL;

    PUSB_CONFIGURATION_DESCRIPTOR configuration = NULL;
    ULONG size = 0;
    NTSTATUS status = UsbGetConfigurationDescriptors(DeviceExtension, &configuration, 0, &size);
    if (!NT_SUCCESS(status)) {
        DebugPrint("UsbSelectConfiguration: UsbGetConfigurationDescriptors failed %x\n", status);
        return status;
    }

    if (!ConfigurationIsWellFormed(configuration)) {
        DebugPrint("UsbSelectConfiguration: malformed configuration descriptor\n");
        ExFreePool(configuration);
        return STATUS_UNSUCCESSFUL;
    }

    ULONG announced = configuration->bNumInterfaces;
    PUSBD_INTERFACE_LIST_ENTRY list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(
        NonPagedPool, (announced + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), WRENLOK_POOL_TAG);
    if (list == NULL) {
        DebugPrint("UsbSelectConfiguration: No InterfaceList(ilist) memory\n");
        ExFreePool(configuration);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (ListInterfaces(configuration, list, announced) == 0) {
        DebugPrint("UsbSelectConfiguration: no interface descriptor found\n");
        ExFreePool(list);
        ExFreePool(configuration);
        return STATUS_UNSUCCESSFUL;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    if (urb == NULL) {
        DebugPrint("UsbSelectConfiguration: No URB memory\n");
        ExFreePool(list);
        ExFreePool(configuration);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    DebugPrint("Selecting configuration\n");
    status = UsbCallSync(DeviceExtension, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, NULL);
    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        DebugPrint("UsbSelectConfiguration: status %x URB status %x\n", status, urb->UrbHeader.Status);
        status = STATUS_UNSUCCESSFUL;
    } else {
        DebugPrint("Select configuration worked\n");
        PUSBD_INTERFACE_INFORMATION first = &urb->UrbSelectConfiguration.Interface;
        UsbDumpInterface(first);
        RecordPipes(DeviceExtension, first);
        if (DeviceExtension->InterruptPipe == NULL || DeviceExtension->BulkInPipe == NULL ||
            DeviceExtension->BulkOutPipe == NULL) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = STATUS_SUCCESS;
        }
    }

    ExFreePool(list);
    ExFreePool(urb);
    ExFreePool(configuration);
    return status;
}

NTSTATUS UsbDeselectConfiguration(PDEVICE_EXTENSION DeviceExtension)
{
    DeviceExtension->InterruptPipe = NULL;
    DeviceExtension->BulkInPipe = NULL;
    DeviceExtension->BulkOutPipe = NULL;

    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_SIZE, WRENLOK_POOL_TAG);
    if (urb == NULL) {
        DebugPrint("UsbDeselectConfiguration: No URB memory\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    /* A select of no configuration returns the radio to the unconfigured state. */
    RtlZeroMemory(urb, DESCRIPTOR_URB_SIZE);
    urb->UrbHeader.Length = (USHORT)DESCRIPTOR_URB_SIZE;
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = NULL;

    DebugPrint("Deselecting configuration\n");
    NTSTATUS status = UsbCallSync(DeviceExtension, urb, IOCTL_INTERNAL_USB_SUBMIT_URB, NULL);
    if (!NT_SUCCESS(status) || USBD_ERROR(urb->UrbHeader.Status)) {
        DebugPrint("UsbDeselectConfiguration: status %x URB status %x\n", status, urb->UrbHeader.Status);
        status = STATUS_UNSUCCESSFUL;
    }
    ExFreePool(urb);
    return status;
}
