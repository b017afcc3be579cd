/*
 * The registry side of a removal: the installed version value, the
 * package's folder in "DevicePath" and the upgrade marker.
 */
#include "remover.h"

#include "setup_common.h"

#define CLEANUP_VALUE_SIZE 16

static BOOL ReadSmallValue(HKEY Key, LPCSTR Name)
{
    BYTE data[CLEANUP_VALUE_SIZE] = {0};
    DWORD size = sizeof data;

    return RegQueryValueExA(Key, Name, NULL, NULL, data, &size) == ERROR_SUCCESS;
}

/* Rewrites "DevicePath" without the package's folder, in the value's own type. */
static void CleanDevicePath(HKEY Key)
{
    DWORD size = 0;
    DWORD type = REG_NONE;
    DWORD read;
    CHAR *text;

    if (RegQueryValueExA(Key, "DevicePath", NULL, NULL, NULL, &size) != ERROR_SUCCESS)
        return;
    /* One zero byte past the data ends the text even when the data lacks its terminator. */
    text = (CHAR *)LocalAlloc(LPTR, size + 1);
    if (!text)
        return;
    read = size;
    if (RegQueryValueExA(Key, "DevicePath", NULL, &type, (LPBYTE)text, &read) != ERROR_SUCCESS) {
        LocalFree(text);
        return;
    }
    RemovePackageSearchPath(text);
    RegSetValueExA(Key, "DevicePath", 0, type, (const BYTE *)text, (DWORD)lstrlenA(text) + 1);
    LocalFree(text);
}

int CleanUpRegistry(LPCSTR VersionValueName)
{
    HKEY key;
    int result = CLEANUP_DONE;

    if (!VersionValueName)
        return CLEANUP_NOT_INSTALLED;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, INSTALLED_SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return CLEANUP_NOT_INSTALLED;
    if (!ReadSmallValue(key, VersionValueName)) {
        RegCloseKey(key);
        return CLEANUP_NOT_INSTALLED;
    }
    RegDeleteValueA(key, VersionValueName);
    CleanDevicePath(key);
    if (ReadSmallValue(key, "upgrade")) {
        RegDeleteValueA(key, "upgrade");
        result = CLEANUP_UPGRADE;
    }
    RegCloseKey(key);
    return result;
}
