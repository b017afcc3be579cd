/*
 * The driver's one device object: created for the radio's USB device,
 * registered as a device interface, attached on top of the USB stack, and
 * reachable by its fixed name and DOS-device link.
 */
#include "wrenlok.h"

/* {D2CE5E85-7EDA-4581-8117-10E0FBE62634}, how user mode finds the radio. */
static const GUID TranspInterfaceGuid = {0xD2CE5E85, 0x7EDA, 0x4581,
                                         {0x81, 0x17, 0x10, 0xE0, 0xFB, 0xE6, 0x26, 0x34}};

/* Set by the first AddDevice and never cleared: the fixed names allow only one
 * device per load, and a failed attempt may have left them half claimed. */
ULONG DeviceAdded = 0;

/* The link lives from the first successful start to the removal, across stops
 * and restarts; with one device per load this flag is that device's. */
static BOOLEAN DosLinkCreated = FALSE;

static const WCHAR DeviceName[] = L"\\Device\\Wrenlok0";
static const WCHAR DosLinkName[] = L"\\DosDevices\\Wrenlok0";

static void GiveStartingValues(PDEVICE_EXTENSION DeviceExtension, PDEVICE_OBJECT DeviceObject,
                               PDEVICE_OBJECT PhysicalDeviceObject)
{
    RtlZeroMemory(DeviceExtension, sizeof(DEVICE_EXTENSION));
    DeviceExtension->fdo = DeviceObject;
    DeviceExtension->pdo = PhysicalDeviceObject;
    DeviceExtension->Started = 0;
    DeviceExtension->RefuseIo = 1;
    DeviceExtension->OpenHandles = 0;
    DeviceExtension->LockCount = 1;
    DeviceExtension->Stopping = 0;
    KeInitializeEvent(&DeviceExtension->StoppingEvent, NotificationEvent, FALSE);
    DeviceExtension->DevicePowerState = PowerDeviceD3;
    DeviceExtension->InterruptPipe = NULL;
    DeviceExtension->BulkInPipe = NULL;
    DeviceExtension->BulkOutPipe = NULL;
    InitializeReceiveThread(DeviceExtension, &DeviceExtension->EventThread);
    InitializeReceiveThread(DeviceExtension, &DeviceExtension->AclThread);
    /* One for the device, free: starts and stops of the pair take it in turn. */
    KeInitializeEvent(&DeviceExtension->ThreadControlEvent, SynchronizationEvent, TRUE);
    DeviceExtension->ReadOrder = READ_EVENT_FIRST;
}

NTSTATUS NTAPI TranspAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DebugPrint("TranspAddDevice: DriverObject is %x, pdo is %x\n", (ULONG)(ULONG_PTR)DriverObject,
               (ULONG)(ULONG_PTR)PhysicalDeviceObject);

    if (DeviceAdded) {
        DebugPrint("TranspAddDevice: not supported multiple bluetooth devices\n");
        return STATUS_UNSUCCESSFUL;
    }
    DeviceAdded = 1;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DeviceName);
    PDEVICE_OBJECT fdo = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PDEVICE_EXTENSION dx = (PDEVICE_EXTENSION)fdo->DeviceExtension;
    GiveStartingValues(dx, fdo, PhysicalDeviceObject);
    DebugPrint("fdo is %x\n", (ULONG)(ULONG_PTR)fdo);

    POWER_STATE state;
    state.DeviceState = dx->DevicePowerState;
    PoSetPowerState(fdo, DevicePowerState, state);

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &TranspInterfaceGuid, NULL, &dx->SymbolicLinkName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    DebugPrint("Symbolic Link Name is %T\n", &dx->SymbolicLinkName);

    dx->NextStackDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (dx->NextStackDevice == NULL) {
        /* Without a stack below there is nothing to send a request to. */
        DebugPrint("TranspAddDevice: cannot attach to the device stack\n");
        RtlFreeUnicodeString(&dx->SymbolicLinkName);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }

    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS CreateDosLink(PDEVICE_EXTENSION DeviceExtension)
{
    /* A restart after a stop finds the link of the first start still there. */
    if (DosLinkCreated) {
        return STATUS_SUCCESS;
    }

    UNICODE_STRING link;
    UNICODE_STRING device;
    RtlInitUnicodeString(&link, DosLinkName);
    RtlInitUnicodeString(&device, DeviceName);
    NTSTATUS status = IoCreateSymbolicLink(&link, &device);
    if (!NT_SUCCESS(status)) {
        DebugPrint("Cannot create symbolic link.\n");
        return status;
    }
    DosLinkCreated = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteDosLink(PDEVICE_EXTENSION DeviceExtension)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, DosLinkName);
    DosLinkCreated = FALSE;
    NTSTATUS status = IoDeleteSymbolicLink(&link);
    if (!NT_SUCCESS(status)) {
        DebugPrint("Cannot destroy symbolic link.\n");
        return status;
    }
    return STATUS_SUCCESS;
}
