/*
 * What a USB hub driver answers below a function driver: the port requests
 * and the URBs for descriptors, configuration, class requests and transfers.
 * The radio describes itself as a common USB 1.1 Bluetooth radio does.
 */
#include "bus.h"

NTSTATUS RadioCommand(PRADIO_EXTENSION Radio, PIRP Irp, struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *Request);
NTSTATUS RadioTransfer(PRADIO_EXTENSION Radio, PIRP Irp, ULONG Pipe);
void RadioFailTransfers(PRADIO_EXTENSION Radio);

static const UCHAR DeviceDescriptor[18] = {
    18, 1, 0x10, 0x01, 0xE0, 0x01, 0x01, 64, 0x12, 0x0A, 0x01, 0x00, 0x00, 0x01, 0, 0, 0, 1,
};

#define ISO_SETTING(alt, size) \
    9, 4, 1, alt, 2, 0xE0, 0x01, 0x01, 0, 7, 5, 0x83, 1, size, 0, 1, 7, 5, 0x03, 1, size, 0, 1

static const UCHAR ConfigurationDescriptor[] = {
    9, 2, 177, 0, 2, 1, 0, 0x80, 50,
    9, 4, 0, 0, 3, 0xE0, 0x01, 0x01, 0,
    7, 5, 0x81, 3, 16, 0, 1,
    7, 5, 0x82, 2, 64, 0, 0,
    7, 5, 0x02, 2, 64, 0, 0,
    ISO_SETTING(0, 0), ISO_SETTING(1, 9), ISO_SETTING(2, 17),
    ISO_SETTING(3, 25), ISO_SETTING(4, 33), ISO_SETTING(5, 49),
};

static const UCHAR LanguageList[4] = {4, 3, 0x09, 0x04};

static const WCHAR ControllerName[] = L"WrenlokTestBus";

/* Pipe handles are the pipes' numbers offset from 0x10; the isochronous ones are never used. */
#define PIPE_HANDLE(pipe) ((USBD_PIPE_HANDLE)(ULONG_PTR)(0x10 + (pipe)))
#define ISO_PIPE_HANDLE 0x20

static NTSTATUS AnswerUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UrbStatus)
{
    Urb->UrbHeader.Status = UrbStatus;
    return CompleteIrp(Irp, Status, 0);
}

static NTSTATUS GetDescriptor(PIRP Irp, PURB Urb)
{
    struct _URB_CONTROL_DESCRIPTOR_REQUEST *request = &Urb->UrbControlDescriptorRequest;
    const UCHAR *descriptor;
    ULONG length;
    switch (request->DescriptorType) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        descriptor = DeviceDescriptor;
        length = sizeof(DeviceDescriptor);
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (request->Index != 0)
            return AnswerUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        descriptor = ConfigurationDescriptor;
        length = sizeof(ConfigurationDescriptor);
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        /* The radio names nothing: only the language list exists. */
        if (request->Index != 0)
            return AnswerUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        descriptor = LanguageList;
        length = sizeof(LanguageList);
        break;
    default:
        return AnswerUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    if (request->TransferBuffer == NULL)
        return AnswerUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (length > request->TransferBufferLength)
        length = request->TransferBufferLength;
    RtlCopyMemory(request->TransferBuffer, descriptor, length);
    request->TransferBufferLength = length;
    return AnswerUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

static const USB_INTERFACE_DESCRIPTOR *FindInterface(UCHAR Number, UCHAR Alternate)
{
    ULONG offset = 0;
    while (offset + 2 <= sizeof(ConfigurationDescriptor)) {
        const USB_INTERFACE_DESCRIPTOR *candidate = (const USB_INTERFACE_DESCRIPTOR *)(ConfigurationDescriptor + offset);
        if (candidate->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && candidate->bInterfaceNumber == Number &&
            candidate->bAlternateSetting == Alternate)
            return candidate;
        offset += ConfigurationDescriptor[offset];
    }
    return NULL;
}

static ULONG PipeOf(const USB_ENDPOINT_DESCRIPTOR *Endpoint)
{
    if (Endpoint->bEndpointAddress == 0x81)
        return TESTBUS_PIPE_INTERRUPT;
    if (Endpoint->bEndpointAddress == 0x82)
        return TESTBUS_PIPE_BULK_IN;
    return TESTBUS_PIPE_BULK_OUT;
}

/* Fills one interface record of a select request from the descriptor of the setting it names. */
static BOOLEAN SelectInterface(PUSBD_INTERFACE_INFORMATION Interface)
{
    const USB_INTERFACE_DESCRIPTOR *descriptor = FindInterface(Interface->InterfaceNumber, Interface->AlternateSetting);
    if (descriptor == NULL)
        return FALSE;
    ULONG room = (Interface->Length - (sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION))) /
                 sizeof(USBD_PIPE_INFORMATION);
    if (descriptor->bNumEndpoints > room)
        return FALSE;
    Interface->Class = descriptor->bInterfaceClass;
    Interface->SubClass = descriptor->bInterfaceSubClass;
    Interface->Protocol = descriptor->bInterfaceProtocol;
    Interface->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x100 + Interface->InterfaceNumber);
    Interface->NumberOfPipes = descriptor->bNumEndpoints;
    const UCHAR *next = (const UCHAR *)descriptor + descriptor->bLength;
    for (ULONG i = 0; i < descriptor->bNumEndpoints; i++, next += next[0]) {
        const USB_ENDPOINT_DESCRIPTOR *endpoint = (const USB_ENDPOINT_DESCRIPTOR *)next;
        PUSBD_PIPE_INFORMATION pipe = &Interface->Pipes[i];
        pipe->MaximumPacketSize = endpoint->wMaxPacketSize;
        pipe->EndpointAddress = endpoint->bEndpointAddress;
        pipe->Interval = endpoint->bInterval;
        pipe->PipeType = (USBD_PIPE_TYPE)(endpoint->bmAttributes & 3);
        if (pipe->PipeType == UsbdPipeTypeIsochronous)
            pipe->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(ISO_PIPE_HANDLE + i);
        else
            pipe->PipeHandle = PIPE_HANDLE(PipeOf(endpoint));
        if (pipe->MaximumTransferSize == 0)
            pipe->MaximumTransferSize = 4096;
    }
    return TRUE;
}

static NTSTATUS SelectConfiguration(PRADIO_EXTENSION Radio, PIRP Irp, PURB Urb)
{
    struct _URB_SELECT_CONFIGURATION *select = &Urb->UrbSelectConfiguration;
    /* The null form takes the device back to its unconfigured state. */
    if (select->ConfigurationDescriptor == NULL) {
        RadioFailTransfers(Radio);
        return AnswerUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    PUCHAR end = (PUCHAR)Urb + select->Hdr.Length;
    PUSBD_INTERFACE_INFORMATION entry = &select->Interface;
    for (ULONG i = 0; i < select->ConfigurationDescriptor->bNumInterfaces; i++) {
        if ((PUCHAR)entry + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) > end ||
            entry->Length == 0 || !SelectInterface(entry))
            return AnswerUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        entry = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)entry + entry->Length);
    }
    select->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0x200;
    return AnswerUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

static NTSTATUS SubmitUrb(PRADIO_EXTENSION Radio, PIRP Irp, PURB Urb)
{
    if (Radio->Gone)
        return AnswerUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(Irp, Urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(Radio, Irp, Urb);
    case URB_FUNCTION_CLASS_DEVICE:
        return RadioCommand(Radio, Irp, &Urb->UrbControlVendorClassRequest);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        ULONG_PTR handle = (ULONG_PTR)Urb->UrbBulkOrInterruptTransfer.PipeHandle;
        if (handle < 0x10 + TESTBUS_PIPE_INTERRUPT || handle > 0x10 + TESTBUS_PIPE_BULK_OUT)
            return AnswerUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
        return RadioTransfer(Radio, Irp, (ULONG)(handle - 0x10));
    }
    default:
        return AnswerUrb(Irp, Urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS RadioInternalControl(PRADIO_EXTENSION Radio, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID argument1 = stack->Parameters.Others.Argument1;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(Radio, Irp, (PURB)argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        *(PULONG)argument1 = Radio->Gone ? 0 : (USBD_PORT_CONNECTED | (Radio->PortEnabled ? USBD_PORT_ENABLED : 0));
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        Radio->PortEnabled = TRUE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IOCTL_INTERNAL_USB_GET_BUS_INFO: {
        PUSB_BUS_NOTIFICATION bus = (PUSB_BUS_NOTIFICATION)argument1;
        bus->NotificationType = EnumerationFailure;
        bus->TotalBandwidth = 12000;
        bus->ConsumedBandwidth = 0;
        bus->ControllerNameLength = sizeof(ControllerName);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME: {
        PUSB_HUB_NAME name = (PUSB_HUB_NAME)argument1;
        /* Argument2 is the length announced in the bus information; the record has that room for the name. */
        ULONG room = (ULONG)(ULONG_PTR)stack->Parameters.Others.Argument2;
        if (room < sizeof(ControllerName))
            return CompleteIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0);
        /* In characters: the driver prints that many from the name. */
        name->ActualLength = sizeof(ControllerName) / sizeof(WCHAR) - 1;
        RtlCopyMemory(name->HubName, ControllerName, sizeof(ControllerName));
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    }
    default: {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}
