/*
 * A diagnostic picture of the bus, its controller, the radio's languages and
 * the selected interface. Nothing learnt here is kept, and nothing here can
 * fail a start.
 */
#include "lifecycle/lifecycle.h"

/* Room the controller-name record gets beyond the length the bus announced. */
#define CONTROLLER_NAME_SPARE_BYTES 50
/* A name record longer than this is not believed. */
#define CONTROLLER_NAME_MAX_LENGTH 0xFFFF
#define LANGUAGE_LIST_REQUEST_SIZE 50

static void DumpBusAndController(PDEVICE_EXTENSION DeviceExtension)
{
    USB_BUS_NOTIFICATION bus;
    RtlZeroMemory(&bus, sizeof(bus));

    DebugPrint("Getting bus info\n");
    UsbCallSync(DeviceExtension, &bus, IOCTL_INTERNAL_USB_GET_BUS_INFO, NULL);
    DebugPrint("Bus info: TotalBandwidth %d, ConsumedBandwidth %d and ControllerNameLength %d\n", bus.TotalBandwidth,
               bus.ConsumedBandwidth, bus.ControllerNameLength);
    if (bus.ControllerNameLength > CONTROLLER_NAME_MAX_LENGTH) {
        DebugPrint("Cannot get controller name\n");
        return;
    }

    ULONG size = bus.ControllerNameLength + CONTROLLER_NAME_SPARE_BYTES;
    PUCHAR record = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, size, WRENLOK_POOL_TAG);
    if (record == NULL) {
        return;
    }
    RtlZeroMemory(record, size);

    NTSTATUS status = UsbCallSync(DeviceExtension, record, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME,
                                  (PVOID)(ULONG_PTR)bus.ControllerNameLength);
    if (NT_SUCCESS(status)) {
        /* The length word comes from the bus: print no more characters than
         * the record holds, and keep its last character a terminator. */
        PWCHAR name = (PWCHAR)(record + sizeof(ULONG));
        ULONG capacity = (size - sizeof(ULONG)) / sizeof(WCHAR);
        name[capacity - 1] = 0;
        ULONG length = *(PULONG)record;
        if (length > capacity - 1) {
            length = capacity - 1;
        }
        DebugPrint("Controller name is %*S\n", (LONG)length, name);
    } else {
        DebugPrint("Cannot get controller name\n");
    }
    ExFreePool(record);
}

static void DumpLanguages(PDEVICE_EXTENSION DeviceExtension)
{
    PVOID descriptor = NULL;
    ULONG received = LANGUAGE_LIST_REQUEST_SIZE;
    NTSTATUS status = UsbGetSpecifiedDescriptor(DeviceExtension, &descriptor, USB_STRING_DESCRIPTOR_TYPE, &received);
    if (!NT_SUCCESS(status)) {
        DebugPrint("No string descriptors\n");
        return;
    }

    PUCHAR bytes = (PUCHAR)descriptor;
    if (received >= 1) {
        ULONG announced = bytes[0] >= 2 ? (bytes[0] - 2) / 2 : 0;
        DebugPrint("StringsLen %d LangIds %d\n", received, announced);
        /* A descriptor shorter than its bLength lists only what arrived. */
        for (ULONG i = 0; i < announced && 2 + 2 * i + 2 <= received; i++) {
            USHORT language = (USHORT)(bytes[2 + 2 * i] | (bytes[3 + 2 * i] << 8));
            DebugPrint("LangId[%d]=%4x\n", i, language);
        }
    }
    ExFreePool(descriptor);
}

void UsbDumpDeviceInfo(PDEVICE_EXTENSION DeviceExtension)
{
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    DebugPrint("USBDI version %x Supported version %x\n", version.USBDI_Version, version.Supported_USB_Version);

    DumpBusAndController(DeviceExtension);
    DumpLanguages(DeviceExtension);
}

static const char BulkInPipeFormat[] =
    "BulkInPipe:\n    PipeHandle = %x, EndpointAddress %2x, Interval %dms, MaximumTransferSize %d\n";
static const char BulkOutPipeFormat[] =
    "BulkOutPipe:\n    PipeHandle = %x, EndpointAddress %2x, Interval %dms, MaximumTransferSize %d\n";
static const char InterruptPipeFormat[] =
    "InterruptPipe:\n    PipeHandle = %x, EndpointAddress %2x, Interval %dms, MaximumTransferSize %d\n";

static void DumpPipe(const char *Format, PUSBD_PIPE_INFORMATION Pipe)
{
    DebugPrint(Format, (ULONG)(ULONG_PTR)Pipe->PipeHandle, Pipe->EndpointAddress, Pipe->Interval,
               Pipe->MaximumTransferSize);
}

void UsbDumpInterface(PUSBD_INTERFACE_INFORMATION Interface)
{
    DebugPrint("interface Class %d NumberOfPipes %d\n", Interface->Class, Interface->NumberOfPipes);
    for (ULONG i = 0; i < Interface->NumberOfPipes; i++) {
        PUSBD_PIPE_INFORMATION pipe = &Interface->Pipes[i];
        if (pipe->PipeType == UsbdPipeTypeBulk) {
            DumpPipe(USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) ? BulkInPipeFormat : BulkOutPipeFormat, pipe);
        } else if (pipe->PipeType == UsbdPipeTypeInterrupt) {
            DumpPipe(InterruptPipeFormat, pipe);
        }
    }
}
