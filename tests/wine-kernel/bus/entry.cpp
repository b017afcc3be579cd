/*
 * Driver entry and request routing. Three kinds of device share the dispatch
 * table: the control device the test client opens, the bus's functional
 * device on the root PDO, and the radio PDO the bus reports as its child.
 */
#include "bus.h"

PBUS_EXTENSION TheBus;
KSPIN_LOCK BusLock;

static PDEVICE_OBJECT ControlDevice;

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static PRADIO_EXTENSION PluggedRadio(void)
{
    if (TheBus == NULL || TheBus->Radio == NULL)
        return NULL;
    return (PRADIO_EXTENSION)TheBus->Radio->DeviceExtension;
}

static NTSTATUS UnloadDriver(const WCHAR *Service, ULONG Length)
{
    static const WCHAR services[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    WCHAR path[sizeof(services) / sizeof(WCHAR) + 64];
    ULONG prefix = sizeof(services) - sizeof(WCHAR);
    if (Length == 0 || Length % sizeof(WCHAR) != 0 || prefix + Length >= sizeof(path))
        return STATUS_INVALID_PARAMETER;
    RtlCopyMemory(path, services, prefix);
    RtlCopyMemory((PUCHAR)path + prefix, Service, Length);
    UNICODE_STRING name;
    name.Buffer = path;
    name.Length = (USHORT)(prefix + Length);
    name.MaximumLength = (USHORT)sizeof(path);
    return ZwUnloadDriver(&name);
}

static NTSTATUS ControlRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PRADIO_EXTENSION radio = PluggedRadio();

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTBUS_PLUG:
        return CompleteIrp(Irp, BusPlugRadio(), 0);
    case IOCTL_TESTBUS_UNPLUG:
        return CompleteIrp(Irp, BusUnplugRadio(), 0);
    case IOCTL_TESTBUS_SET_MODE: {
        if (radio == NULL || inLength < sizeof(TESTBUS_PIPE_MODE))
            return CompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        TESTBUS_PIPE_MODE *mode = (TESTBUS_PIPE_MODE *)buffer;
        return CompleteIrp(Irp, RadioSetMode(radio, mode->Pipe, mode->Mode), 0);
    }
    case IOCTL_TESTBUS_QUEUE_EVENT:
    case IOCTL_TESTBUS_QUEUE_ACL: {
        if (radio == NULL)
            return CompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        ULONG pipe = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_TESTBUS_QUEUE_EVENT
                         ? TESTBUS_PIPE_INTERRUPT
                         : TESTBUS_PIPE_BULK_IN;
        return CompleteIrp(Irp, RadioQueue(radio, pipe, (const UCHAR *)buffer, inLength), 0);
    }
    case IOCTL_TESTBUS_UNLOAD_DRIVER:
        return CompleteIrp(Irp, UnloadDriver((const WCHAR *)buffer, inLength), 0);
    case IOCTL_TESTBUS_BRIDGE:
        if (radio == NULL)
            return CompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        BridgeStart(radio);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IOCTL_TESTBUS_TAKE_OUTGOING:
        return BridgeTake(Irp);
    case IOCTL_TESTBUS_STATISTICS:
        if (radio == NULL || outLength < sizeof(TESTBUS_STATISTICS))
            return CompleteIrp(Irp, STATUS_INVALID_DEVICE_STATE, 0);
        RadioStatistics(radio, (TESTBUS_STATISTICS *)buffer);
        return CompleteIrp(Irp, STATUS_SUCCESS, sizeof(TESTBUS_STATISTICS));
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PTESTBUS_EXTENSION common = (PTESTBUS_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (common->Role) {
    case RoleControl:
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
            return ControlRequest(Irp);
        if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
            stack->MajorFunction == IRP_MJ_CLEANUP)
            return CompleteIrp(Irp, STATUS_SUCCESS, 0);
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);

    case RoleBus: {
        PBUS_EXTENSION bus = (PBUS_EXTENSION)common;
        if (stack->MajorFunction == IRP_MJ_PNP)
            return BusPnp(bus, Irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(bus->LowerDevice, Irp);
        }
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(bus->LowerDevice, Irp);
    }

    case RoleRadio: {
        PRADIO_EXTENSION radio = (PRADIO_EXTENSION)common;
        if (stack->MajorFunction == IRP_MJ_PNP)
            return RadioPnp(radio, Irp);
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            return RadioInternalControl(radio, Irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(Irp);
            return CompleteIrp(Irp, STATUS_SUCCESS, 0);
        }
        /* A PDO completes what it does not understand with the status it came with. */
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
    return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (ControlDevice != NULL)
        IoDeleteDevice(ControlDevice);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    KeInitializeSpinLock(&BusLock);
    BridgeInitialize();

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, TESTBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, TESTBUS_LINK_NAME);
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TESTBUS_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &ControlDevice);
    if (!NT_SUCCESS(status))
        return status;
    PTESTBUS_EXTENSION common = (PTESTBUS_EXTENSION)ControlDevice->DeviceExtension;
    common->Role = RoleControl;
    common->Self = ControlDevice;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(ControlDevice);
        return status;
    }
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = Dispatch;
    DriverObject->DriverExtension->AddDevice = BusAddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
