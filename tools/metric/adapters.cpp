/*
 * The walk over the network adapters and the registry values written for
 * each Bluetooth IP adapter.
 */
#include "metric.h"

#include <devguid.h>

/* Properties and the instance identifier are read into this many bytes. */
#define ADAPTER_TEXT_SIZE 1024
#define KEY_PATH_SIZE     1024
#define NAME_TEXT_SIZE    256

BOOL IsBluetoothIpAdapter(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    /* One zero byte past what the call may fill ends the first identifier whatever the list holds. */
    BYTE ids[ADAPTER_TEXT_SIZE + 1] = {0};

    if (!SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoData, SPDRP_HARDWAREID, NULL, ids,
                                           ADAPTER_TEXT_SIZE, NULL))
        return FALSE;
    return lstrcmpA((LPCSTR)ids, BLUETOOTH_IP_HARDWARE_ID) == 0;
}

/* Opens or creates a key under HKEY_LOCAL_MACHINE for writing. */
static BOOL CreateKey(LPCSTR Path, HKEY *Key)
{
    CHAR noClass[] = "";

    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path, 0, noClass, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                           Key, NULL) == ERROR_SUCCESS;
}

BOOL UpdateAdapterRegistry(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    CHAR classGuid[ADAPTER_TEXT_SIZE + 1] = {0};
    CHAR instanceId[ADAPTER_TEXT_SIZE + 1] = {0};
    CHAR connectionPath[KEY_PATH_SIZE];
    CHAR interfacePath[KEY_PATH_SIZE];
    CHAR name[NAME_TEXT_SIZE];
    DWORD size = ADAPTER_TEXT_SIZE;
    DWORD metric = BLUETOOTH_INTERFACE_METRIC;
    BOOL connectionNamed;
    HKEY driverKey;
    HKEY key;
    LONG status;

    if (!SetupDiGetDeviceRegistryPropertyA(DeviceInfoSet, DeviceInfoData, SPDRP_CLASSGUID, NULL, (PBYTE)classGuid,
                                           ADAPTER_TEXT_SIZE, NULL))
        return FALSE;
    driverKey = SetupDiOpenDevRegKey(DeviceInfoSet, DeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (driverKey == (HKEY)INVALID_HANDLE_VALUE)
        return FALSE;
    status = RegQueryValueExA(driverKey, "NetCfgInstanceId", NULL, NULL, (LPBYTE)instanceId, &size);
    RegCloseKey(driverKey);
    if (status != ERROR_SUCCESS)
        return FALSE;

    wsprintfA(connectionPath, CONNECTION_KEY_FORMAT, classGuid, instanceId);
    wsprintfA(interfacePath, INTERFACE_KEY_FORMAT, instanceId);

    connectionNamed = CreateKey(connectionPath, &key);
    if (connectionNamed) {
        lstrcpyA(name, BLUETOOTH_CONNECTION_NAME);
        RegSetValueExA(key, "Name", 0, REG_SZ, (const BYTE *)name, (DWORD)lstrlenA(name) + 1);
        RegCloseKey(key);
    }

    /* The metric is set even for a connection that could not be named. */
    if (!CreateKey(interfacePath, &key))
        return FALSE;
    RegSetValueExA(key, "InterfaceMetric", 0, REG_DWORD, (const BYTE *)&metric, sizeof metric);
    RegCloseKey(key);
    return connectionNamed;
}

BOOL UpdateBluetoothAdapters(void)
{
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    DWORD index;
    DWORD endError;
    BOOL found = FALSE;

    set = SetupDiGetClassDevsA(&GUID_DEVCLASS_NET, NULL, NULL, 0);
    if (set == INVALID_HANDLE_VALUE)
        return FALSE;

    for (index = 0;; ++index) {
        /* The record's own size: 28 bytes on x86, 32 on x64, where 28 would be refused. */
        device.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, index, &device))
            break;
        if (IsBluetoothIpAdapter(set, &device) && UpdateAdapterRegistry(set, &device))
            found = TRUE;
    }

    endError = GetLastError();
    if (!SetupDiDestroyDeviceInfoList(set))
        endError = GetLastError();
    if (found)
        return TRUE;
    SetLastError(endError);
    return FALSE;
}
