/*
 * The radio PDO's Plug and Play side: the identifiers by which the PnP
 * manager finds the driver package, its capabilities, and its start and
 * removal. The PDO is deleted only once it has been pulled off the bus.
 */
#include "bus.h"

static const WCHAR DeviceId[] = L"USB\\VID_0A12&PID_0001";
static const WCHAR HardwareIds[] = L"USB\\VID_0A12&PID_0001&REV_0100\0USB\\VID_0A12&PID_0001\0";
static const WCHAR CompatibleIds[] = L"USB\\Class_E0&SubClass_01&Prot_01\0USB\\Class_E0&SubClass_01\0USB\\Class_E0\0";
static const WCHAR InstanceId[] = L"1";
static const WCHAR Description[] = L"Wrenlok test radio";

/* The caller frees the copy; Size counts every character, the terminators included. */
static NTSTATUS AnswerWithText(PIRP Irp, const WCHAR *Text, ULONG Size)
{
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Size, TESTBUS_POOL_TAG);
    if (copy == NULL)
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlCopyMemory(copy, Text, Size);
    return CompleteIrp(Irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

static NTSTATUS QueryId(PIRP Irp, BUS_QUERY_ID_TYPE Type)
{
    switch (Type) {
    case BusQueryDeviceID:
        return AnswerWithText(Irp, DeviceId, sizeof(DeviceId));
    case BusQueryHardwareIDs:
        return AnswerWithText(Irp, HardwareIds, sizeof(HardwareIds));
    case BusQueryCompatibleIDs:
        return AnswerWithText(Irp, CompatibleIds, sizeof(CompatibleIds));
    case BusQueryInstanceID:
        return AnswerWithText(Irp, InstanceId, sizeof(InstanceId));
    default: {
        NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

static NTSTATUS QueryCapabilities(PIRP Irp)
{
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; state++)
        caps->DeviceState[state] = PowerDeviceD3;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = FALSE;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = FALSE;
    caps->Address = 1;
    caps->UINumber = 1;
    return CompleteIrp(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS Remove(PRADIO_EXTENSION Radio, PIRP Irp)
{
    RadioFailEverything(Radio);
    Radio->Started = FALSE;
    PBUS_EXTENSION bus = Radio->Bus;
    KIRQL irql;
    KeAcquireSpinLock(&BusLock, &irql);
    BOOLEAN pulled = !bus->RadioPresent;
    if (pulled)
        bus->Radio = NULL;
    KeReleaseSpinLock(&BusLock, irql);

    CompleteIrp(Irp, STATUS_SUCCESS, 0);
    if (pulled)
        IoDeleteDevice(Radio->Common.Self);
    return STATUS_SUCCESS;
}

NTSTATUS RadioPnp(PRADIO_EXTENSION Radio, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return QueryId(Irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
            return AnswerWithText(Irp, Description, sizeof(Description));
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS relations =
                (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), TESTBUS_POOL_TAG);
            if (relations == NULL)
                return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            ObReferenceObject(Radio->Common.Self);
            relations->Count = 1;
            relations->Objects[0] = Radio->Common.Self;
            return CompleteIrp(Irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        }
        break;
    case IRP_MN_START_DEVICE:
        Radio->Started = TRUE;
        Radio->Gone = FALSE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_STOP_DEVICE:
        Radio->Started = FALSE;
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_SURPRISE_REMOVAL:
        RadioFailEverything(Radio);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(Radio, Irp);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
