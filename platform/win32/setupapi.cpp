/*
 * SetupAPI over the machine's device database. A device information set is
 * a snapshot of instance identifiers taken when it is built; elements keep
 * their indexes when the class installer removes their devices.
 */
#include <setupapi.h>

#include "host/handles.h"
#include "host/machine.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>

namespace w32 {

namespace {

struct DeviceInfoSet {
    std::vector<std::string> instanceIds;
};

std::set<DeviceInfoSet *> &liveSets()
{
    static std::set<DeviceInfoSet *> sets;
    return sets;
}

/* Sets never destroyed are entered in the journal when the process ends. */
void reportSetsAtExit()
{
    /* The table first: a handler registered after it runs while it still exists. */
    liveSets();
    static const bool registered = [] {
        std::atexit([] {
            for (size_t n = liveSets().size(); n > 0; --n)
                record("open at exit: device information set");
        });
        return true;
    }();
    (void)registered;
}

DeviceInfoSet *lookUp(HDEVINFO handle)
{
    auto *set = static_cast<DeviceInfoSet *>(handle);
    return liveSets().contains(set) ? set : nullptr;
}

bool startsWithFolded(const std::string &text, const std::string &prefix)
{
    return fold(text).starts_with(fold(prefix));
}

/* The device behind an element of a set, with the error to report when there is none. */
Device *deviceOf(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD &error)
{
    DeviceInfoSet *set = lookUp(handle);
    if (!set) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved == 0 ||
        data->Reserved > set->instanceIds.size()) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const std::string &wanted = set->instanceIds[data->Reserved - 1];
    for (Device &device : machine().devices)
        if (device.instanceId == wanted)
            return &device;
    error = ERROR_NO_SUCH_DEVINST;
    return nullptr;
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* SetupAPI clears the last error on every call that succeeds. */
BOOL succeed()
{
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

size_t openDeviceInfoSets()
{
    return liveSets().size();
}

} // namespace w32

using namespace w32;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID *ClassGuid, PCSTR Enumerator, HWND, DWORD Flags)
{
    if (DWORD error = injectedFailure("SetupDiGetClassDevsA")) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    bool allClasses = Flags & DIGCF_ALLCLASSES;
    if (!allClasses && !ClassGuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string wantedClass = ClassGuid ? fold(guidText(*ClassGuid)) : "";
    reportSetsAtExit();
    auto set = std::make_unique<DeviceInfoSet>();
    for (const Device &device : machine().devices) {
        if (!allClasses && fold(device.classGuid) != wantedClass)
            continue;
        if ((Flags & DIGCF_PRESENT) && !device.present)
            continue;
        if (Enumerator && !startsWithFolded(device.instanceId, std::string(Enumerator) + "\\"))
            continue;
        set->instanceIds.push_back(device.instanceId);
    }
    liveSets().insert(set.get());
    SetLastError(ERROR_SUCCESS);
    return set.release();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    w32::DeviceInfoSet *set = lookUp(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = injectedFailure("SetupDiEnumDeviceInfo"))
        return fail(error);
    if (MemberIndex >= set->instanceIds.size())
        return fail(ERROR_NO_MORE_ITEMS);
    GUID classGuid{};
    for (const Device &device : machine().devices)
        if (device.instanceId == set->instanceIds[MemberIndex])
            parseGuid(device.classGuid, classGuid);
    DeviceInfoData->ClassGuid = classGuid;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return succeed();
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    DWORD error = 0;
    Device *device = deviceOf(DeviceInfoSet, DeviceInfoData, error);
    if (!device)
        return fail(error);
    if (Property >= SPDRP_MAXIMUM_PROPERTY)
        return fail(ERROR_INVALID_REG_PROPERTY);
    if (!PropertyBuffer && PropertyBufferSize != 0)
        return fail(ERROR_INVALID_DATA);
    std::string data;
    DWORD type;
    if (Property == SPDRP_HARDWAREID) {
        if (device->propertyError == ERROR_INSUFFICIENT_BUFFER && RequiredSize)
            *RequiredSize = 0xFFFFFFFF;
        if (device->propertyError)
            return fail(device->propertyError);
        if (!device->hardwareIds)
            return fail(ERROR_INVALID_DATA);
        data = *device->hardwareIds;
        type = REG_MULTI_SZ;
    } else if (Property == SPDRP_CLASSGUID) {
        if (device->classGuidProperty)
            data = *device->classGuidProperty;
        else if (!device->classGuid.empty())
            data = device->classGuid + '\0';
        else
            return fail(ERROR_INVALID_DATA);
        type = REG_SZ;
    } else {
        return fail(ERROR_INVALID_DATA);
    }
    DWORD size = static_cast<DWORD>(data.size());
    if (RequiredSize)
        *RequiredSize = size;
    if (PropertyRegDataType)
        *PropertyRegDataType = type;
    /* A buffer of no bytes never holds the property, not even an empty one. */
    if (PropertyBufferSize == 0 || PropertyBufferSize < size)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, data.data(), size);
    return succeed();
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    DWORD error = 0;
    Device *device = deviceOf(DeviceInfoSet, DeviceInfoData, error);
    if (!device)
        return fail(error);
    if (InstallFunction != DIF_REMOVE)
        return fail(ERROR_DI_DO_DEFAULT);
    if (device->removeError)
        return fail(device->removeError);
    Machine &m = machine();
    std::string instanceId = device->instanceId;
    if (!device->driverKey.empty())
        deleteKeyTree(m, device->driverKey);
    std::erase_if(m.devices, [&](const Device &d) { return d.instanceId == instanceId; });
    record("DIF_REMOVE " + instanceId);
    return succeed();
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope, DWORD,
                                 DWORD KeyType, REGSAM samDesired)
{
    DWORD error = 0;
    Device *device = deviceOf(DeviceInfoSet, DeviceInfoData, error);
    if (device && (Scope != DICS_FLAG_GLOBAL || KeyType != DIREG_DRV))
        error = ERROR_INVALID_FLAGS;
    else if (device && (device->driverKey.empty() || !findKey(machine(), device->driverKey)))
        error = ERROR_KEY_DOES_NOT_EXIST;
    if (error) {
        SetLastError(error);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    SetLastError(ERROR_SUCCESS);
    return openKeyHandle(device->driverKey, samDesired);
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    w32::DeviceInfoSet *set = lookUp(DeviceInfoSet);
    if (!set)
        return fail(ERROR_INVALID_HANDLE);
    liveSets().erase(set);
    delete set;
    if (DWORD error = injectedFailure("SetupDiDestroyDeviceInfoList"))
        return fail(error);
    return succeed();
}

INT WINAPI SetupPromptReboot(HSPFILEQ, HWND, BOOL ScanOnly)
{
    record(ScanOnly ? "SetupPromptReboot scan" : "SetupPromptReboot");
    /* The user declines: a test machine never restarts. */
    return 0;
}

} // extern "C"
