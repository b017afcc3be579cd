/*
 * Entry points whose own files have not landed yet. Each refuses its request
 * so the driver image links and loads; remove a routine when its file arrives.
 */
#include "../wrenlok.h"

ULONG DeviceAdded = 0;

NTSTATUS TranspAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS TranspCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS TranspPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}
