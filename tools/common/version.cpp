/*
 * The package version from the version file and its comparison with the
 * installed version value.
 */
#include "setup_common.h"

/* The current directory, a separator and the file name must fit here, terminator included. */
#define VERSION_PATH_SIZE 256

/* A drive root such as C:\ already ends in its separator. */
#define DRIVE_ROOT_LENGTH 3

void ReadPackageVersion(LPCSTR FileName, LPCSTR KeyName, CHAR Version[PACKAGE_VERSION_SIZE])
{
    CHAR path[VERSION_PATH_SIZE] = {0};
    DWORD length;
    int needed;
    int i;

    for (i = 0; i < PACKAGE_VERSION_SIZE; ++i)
        Version[i] = 0;
    if (!FileName || !KeyName)
        return;

    length = GetCurrentDirectoryA(VERSION_PATH_SIZE, path);
    needed = (int)length + (length == DRIVE_ROOT_LENGTH ? 0 : 1) + lstrlenA(FileName) + 1;
    if (length == 0 || length >= VERSION_PATH_SIZE || needed > VERSION_PATH_SIZE) {
        /* A path that does not fit is never cut short: the version counts as missing. */
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    if (length != DRIVE_ROOT_LENGTH)
        lstrcatA(path, "\\");
    lstrcatA(path, FileName);

    GetPrivateProfileStringA("Version", KeyName, NULL, Version, PACKAGE_VERSION_SIZE, path);
}

/* Byte by byte, each byte a signed 8-bit number, as the versions were always compared. */
static int CompareVersionByte(CHAR Package, CHAR Installed)
{
    if ((signed char)Package < (signed char)Installed)
        return VERSION_LOWER_OR_EQUAL;
    if ((signed char)Package > (signed char)Installed)
        return VERSION_HIGHER;
    return -1;
}

int CompareInstalledVersion(const SETUP_TOOL_PROFILE *Profile, const CHAR *PackageVersion, LPCSTR ValueName)
{
    CHAR installed[LARGEST_INSTALLED_VERSION_SIZE] = {0};
    DWORD size = Profile->InstalledVersionSize;
    HKEY key;
    LONG status;
    int outcome;

    if (!ValueName)
        return VERSION_NOT_INSTALLED;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, INSTALLED_SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return VERSION_NOT_INSTALLED;

    status = RegQueryValueExA(key, ValueName, NULL, NULL, (LPBYTE)installed, &size);
    if (status != ERROR_SUCCESS) {
        outcome = VERSION_NOT_INSTALLED;
    } else {
        outcome = CompareVersionByte(PackageVersion[0], installed[0]);
        if (outcome < 0)
            outcome = CompareVersionByte(PackageVersion[1], installed[1]);
        if (outcome < 0)
            outcome = Profile->EqualVersionsOutcome;
    }
    RegCloseKey(key);
    return outcome;
}
