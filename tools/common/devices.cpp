/*
 * Finding and removing device instances by hardware identifier. Every
 * device the database records is looked at, of every class and present or
 * not, so radios that are unplugged but still recorded go too.
 */
#include "setup_common.h"

#include <setupapi.h>

typedef enum _HARDWARE_ID_READ {
    HardwareIdsRead,     /* List holds the device's identifiers */
    HardwareIdsSkipped,  /* no identifiers to look at: go on with the next device */
    HardwareIdsFailed    /* the search ends */
} HARDWARE_ID_READ;

/* A required size that cannot grow by the zero byte the buffer keeps past the data. */
#define UNREADABLE_REQUIRED_SIZE 0xFFFFFFFF

/*
 * Reads the device's SPDRP_HARDWAREID list into a buffer from LocalAlloc,
 * grown to what the device asks for. The buffer keeps one zero byte past
 * the data, so a list whose last identifier lacks its terminator still ends.
 * The system answers a buffer of no bytes with ERROR_INSUFFICIENT_BUFFER even
 * for an empty list; a device asking for no more than the buffer already has
 * carries no identifiers, and asking again would never end.
 */
static HARDWARE_ID_READ ReadHardwareIds(const SETUP_TOOL_PROFILE *Profile, HDEVINFO Set, PSP_DEVINFO_DATA Element,
                                        CHAR **List, DWORD *DataSize)
{
    DWORD bufferSize = 0;
    DWORD required = 0;

    *List = NULL;
    while (!SetupDiGetDeviceRegistryPropertyA(Set, Element, SPDRP_HARDWAREID, NULL, (PBYTE)*List, bufferSize,
                                              &required)) {
        DWORD error = GetLastError();
        if (*List)
            LocalFree(*List);
        *List = NULL;
        if (error == ERROR_INVALID_DATA)
            return HardwareIdsSkipped;
        if (error != ERROR_INSUFFICIENT_BUFFER || required == UNREADABLE_REQUIRED_SIZE) {
            ReportFailure(Profile, "GetDeviceRegistryProperty");
            return HardwareIdsFailed;
        }
        if (required <= bufferSize)
            return HardwareIdsSkipped;
        *List = (CHAR *)LocalAlloc(LPTR, required + 1);
        if (!*List) {
            /* One device too large to read does not hide the devices after it. */
            ReportFailure(Profile, "GetDeviceRegistryProperty");
            return HardwareIdsSkipped;
        }
        bufferSize = required;
    }
    *DataSize = required;
    return HardwareIdsRead;
}

/* Looks at the identifiers that begin inside the returned data, up to the closing empty one. */
static BOOL HardwareIdListHolds(const CHAR *List, DWORD DataSize, LPCSTR Wanted)
{
    const CHAR *end = List + DataSize;
    const CHAR *id;

    if (!List)
        return FALSE;
    for (id = List; id < end && *id; id += lstrlenA(id) + 1) {
        if (lstrcmpiA(id, Wanted) == 0)
            return TRUE;
    }
    return FALSE;
}

/* The loop both operations share: stops at the first match unless RemoveEvery. */
static BOOL SearchDevices(const SETUP_TOOL_PROFILE *Profile, LPCSTR HardwareId, BOOL RemoveEvery)
{
    HDEVINFO set;
    SP_DEVINFO_DATA element;
    DWORD index;
    DWORD endError;
    BOOL found = FALSE;

    set = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        if (RemoveEvery)
            ReportFailure(Profile, "GetClassDevs(All Present Devices)");
        return FALSE;
    }

    for (index = 0;; ++index) {
        CHAR *list;
        DWORD dataSize = 0;
        BOOL match;
        HARDWARE_ID_READ read;

        element.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, index, &element))
            break;

        read = ReadHardwareIds(Profile, set, &element, &list, &dataSize);
        if (read == HardwareIdsFailed) {
            SetupDiDestroyDeviceInfoList(set);
            return FALSE;
        }
        if (read == HardwareIdsSkipped)
            continue;

        match = HardwareIdListHolds(list, dataSize, HardwareId);
        if (list)
            LocalFree(list);
        if (!match)
            continue;
        if (!RemoveEvery) {
            found = TRUE;
            break;
        }
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &element))
            ReportFailure(Profile, "CallClassInstaller(REMOVE)");
    }

    if (!found) {
        endError = GetLastError();
        if (!RemoveEvery)
            ReportFailure(Profile, "EnumDeviceInfo_NOT_FOUND");
        else if (endError != ERROR_NO_MORE_ITEMS)
            ReportFailure(Profile, "EnumDeviceInfo_NO_MORE_ITEMS");
    }

    endError = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    if (!RemoveEvery)
        SetLastError(endError);
    return found;
}

BOOL FindDeviceByHardwareId(const SETUP_TOOL_PROFILE *Profile, LPCSTR HardwareId)
{
    if (!HardwareId)
        return FALSE;
    return SearchDevices(Profile, HardwareId, FALSE);
}

void RemoveDevicesByHardwareId(const SETUP_TOOL_PROFILE *Profile, LPCSTR HardwareId)
{
    if (!HardwareId)
        return;
    SearchDevices(Profile, HardwareId, TRUE);
}
