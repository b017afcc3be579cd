/*
 * Presence and deletion of values of the installed-settings key. Values
 * with more than 16 bytes of data count as absent.
 */
#include "setup_common.h"

#define INSTALLED_VALUE_SIZE 16

/* Reads the value into 16 bytes: TRUE when it is there and fits. */
static BOOL ReadInstalledValue(HKEY Key, LPCSTR ValueName)
{
    BYTE data[INSTALLED_VALUE_SIZE] = {0};
    DWORD size = sizeof data;

    return RegQueryValueExA(Key, ValueName, NULL, NULL, data, &size) == ERROR_SUCCESS;
}

BOOL InstalledValueExists(LPCSTR ValueName)
{
    HKEY key;
    BOOL present;

    if (!ValueName)
        return FALSE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, INSTALLED_SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    present = ReadInstalledValue(key, ValueName);
    RegCloseKey(key);
    return present;
}

void DeleteInstalledValue(LPCSTR ValueName)
{
    HKEY key;

    if (!ValueName)
        return;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, INSTALLED_SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    if (ReadInstalledValue(key, ValueName))
        RegDeleteValueA(key, ValueName);
    RegCloseKey(key);
}
