/*
 * The device lock counts the requests being worked on, so that a stop can refuse new
 * ones and wait until those in flight are done. It never blocks a request.
 */
#include "wrenlok.h"

BOOLEAN LockDevice(PDEVICE_EXTENSION DeviceExtension)
{
    /* Count ourselves in before looking at Stopping: a drain that set Stopping first
       either sees this reference and waits for it, or is seen by us here. */
    InterlockedIncrement(&DeviceExtension->LockCount);
    if (!ReadFlag(&DeviceExtension->Stopping))
        return TRUE;

    if (InterlockedDecrement(&DeviceExtension->LockCount) == 0)
        KeSetEvent(&DeviceExtension->StoppingEvent, IO_NO_INCREMENT, FALSE);
    return FALSE;
}

void UnlockDevice(PDEVICE_EXTENSION DeviceExtension)
{
    if (InterlockedDecrement(&DeviceExtension->LockCount) == 0) {
        DebugPrint("UnlockDevice: setting StoppingEvent flag\n");
        KeSetEvent(&DeviceExtension->StoppingEvent, IO_NO_INCREMENT, FALSE);
    }
}
