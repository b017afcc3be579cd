/*
 * Installation in the Wine machine. The bus is created the way Wine's own
 * boot creates its root-enumerated devices; the driver package is only made
 * known, so that the PnP manager finds it by the radio's compatible
 * identifier when the radio appears, as Windows does with an OEM INF.
 */
#include "client.h"

#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>

static const char BusInstance[] = "WrenlokTestBus"; /* becomes ROOT\WRENLOKTESTBUS\0000 */
static const char BusHardwareId[] = "root\\WrenlokTestBus\0";

static int Failed(const char *what)
{
    fprintf(stderr, "%s failed: %lu\n", what, (unsigned long)GetLastError());
    return 1;
}

int InstallBus(const char *infPath)
{
    static const GUID systemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&systemClass, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return Failed("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device = {sizeof(device)};
    if (!SetupDiCreateDeviceInfoA(set, BusInstance, &systemClass, NULL, NULL, DICD_GENERATE_ID, &device))
        return Failed("SetupDiCreateDeviceInfo");
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, (const BYTE *)BusHardwareId,
                                           sizeof(BusHardwareId)))
        return Failed("SetupDiSetDeviceRegistryProperty");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        return Failed("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);

    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, BusHardwareId, infPath, 0, &reboot))
        return Failed("UpdateDriverForPlugAndPlayDevices");
    printf("bus installed from %s\n", infPath);
    return 0;
}

int InstallDriver(const char *infPath)
{
    char installed[MAX_PATH];
    if (!SetupCopyOEMInfA(infPath, NULL, SPOST_PATH, 0, installed, sizeof(installed), NULL, NULL))
        return Failed("SetupCopyOEMInf");
    printf("driver package %s known as %s\n", infPath, installed);
    return 0;
}
