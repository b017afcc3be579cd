/*
 * The SetupAPI device-installation functions that the setup programs use,
 * for their Linux build.
 */
#pragma once

#include <windows.h>

typedef PVOID HDEVINFO;
typedef PVOID HSPFILEQ;
typedef PVOID HINF;
typedef UINT DI_FUNCTION;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

#define DIGCF_DEFAULT    0x00000001
#define DIGCF_PRESENT    0x00000002
#define DIGCF_ALLCLASSES 0x00000004

#define DIF_REMOVE 0x00000005

#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_CLASSGUID  0x00000008
#define SPDRP_MAXIMUM_PROPERTY 0x00000024

#define DICS_FLAG_GLOBAL 0x00000001
#define DIREG_DEV 0x00000001
#define DIREG_DRV 0x00000002

/* SetupAPI's own error codes carry the customer bit and error severity. */
#define APPLICATION_ERROR_MASK   0x20000000
#define ERROR_SEVERITY_ERROR     0xC0000000
#define ERROR_KEY_DOES_NOT_EXIST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x204)
#define ERROR_INVALID_CLASS      (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x206)
#define ERROR_INVALID_REG_PROPERTY (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x209)
#define ERROR_NO_SUCH_DEVINST    (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20B)
#define ERROR_DI_DO_DEFAULT      (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x20E)

#ifdef __cplusplus
extern "C" {
#endif

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize);
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData);
HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
INT WINAPI SetupPromptReboot(HSPFILEQ FileQueue, HWND Owner, BOOL ScanOnly);

#ifdef __cplusplus
}
#endif
