/*
 * The two Plug and Play requests handled on the way back up: the start, which
 * configures the radio and makes the device reachable, and the capabilities
 * query, whose answer from the bus is corrected before it goes up.
 */
#include "lifecycle/lifecycle.h"

/* Puts back what this start set up before it failed, threads first. */
static void UndoStart(PDEVICE_EXTENSION DeviceExtension, BOOLEAN ThreadsStarted)
{
    if (ThreadsStarted) {
        StopReceiveThreads(DeviceExtension);
    }
    UsbDeselectConfiguration(DeviceExtension);
}

NTSTATUS PnpStartDeviceHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("PnpStartDeviceHandler\n");
    NTSTATUS status = ForwardIrpAndWait(DeviceExtension->fdo, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, Irp->IoStatus.Information);
    }

    SetPowerState(DeviceExtension, PowerDeviceD0);

    status = UsbCheckPort(DeviceExtension);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }

    status = UsbSelectConfiguration(DeviceExtension);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    UsbDumpDeviceInfo(DeviceExtension);

    /* A restart while handles are open: their threads stopped with the stop. */
    BOOLEAN threadsStarted = FALSE;
    if (DeviceExtension->OpenHandles != 0) {
        status = StartReceiveThreads(DeviceExtension);
        if (!NT_SUCCESS(status)) {
            UsbDeselectConfiguration(DeviceExtension);
            return CompleteRequest(Irp, status, 0);
        }
        threadsStarted = TRUE;
    }

    WriteFlag(&DeviceExtension->Started, 1);
    WriteFlag(&DeviceExtension->RefuseIo, 0);

    status = CreateDosLink(DeviceExtension);
    if (!NT_SUCCESS(status)) {
        /* The device is unconfigured again: it must not look started or take
         * requests it could only send to an unconfigured radio. */
        UndoStart(DeviceExtension, threadsStarted);
        WriteFlag(&DeviceExtension->RefuseIo, 1);
        WriteFlag(&DeviceExtension->Started, 0);
        return CompleteRequest(Irp, status, 0);
    }

    IoSetDeviceInterfaceState(&DeviceExtension->SymbolicLinkName, TRUE);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS PnpQueryCapabilitiesHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DebugPrint("PnpQueryCapabilitiesHandler\n");
    NTSTATUS status = ForwardIrpAndWait(DeviceExtension->fdo, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, Irp->IoStatus.Information);
    }

    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    for (int state = PowerSystemWorking; state <= PowerSystemShutdown; state++) {
        DebugPrint("Capabilities from bus: DeviceState[%d]=%d\n", state, capabilities->DeviceState[state]);
    }

    /* The radio works only in D0 and the driver never asks for D1 or D2, so
     * every sleeping state the bus leaves open becomes D3. */
    if (capabilities->DeviceState[PowerSystemWorking] != PowerDeviceD0) {
        capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    }
    for (int state = PowerSystemSleeping1; state <= PowerSystemShutdown; state++) {
        DEVICE_POWER_STATE mapped = capabilities->DeviceState[state];
        if (mapped == PowerDeviceUnspecified || mapped > PowerDeviceD3) {
            capabilities->DeviceState[state] = PowerDeviceD3;
        }
    }
    capabilities->Removable = 0;

    return CompleteRequest(Irp, status, Irp->IoStatus.Information);
}
