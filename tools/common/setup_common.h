/*
 * The module the installer and the removal tool share: failure reports,
 * the package version and its comparison with the installed one, device
 * removal by hardware identifier, and values of the installed-settings key.
 * Where the two tools differ, the caller's SETUP_TOOL_PROFILE decides.
 */
#pragma once

#include <windows.h>

/* Every value the tools read, write or delete lives under this key of HKEY_LOCAL_MACHINE. */
#define INSTALLED_SETTINGS_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"

/* Two characters and the terminator. */
#define PACKAGE_VERSION_SIZE 3

/* Version outcomes; the numbers show in the installer's traces. */
#define VERSION_LOWER_OR_EQUAL 0
#define VERSION_NOT_INSTALLED  1
#define VERSION_HIGHER         2
#define VERSION_EQUAL          3

#define LARGEST_INSTALLED_VERSION_SIZE 32

typedef struct _SETUP_TOOL_PROFILE {
    BOOL ReadsInputAfterReport;  /* wait for one character after every report */
    DWORD InstalledVersionSize;  /* bytes the installed version value may hold */
    int EqualVersionsOutcome;    /* VERSION_LOWER_OR_EQUAL or VERSION_EQUAL */
} SETUP_TOOL_PROFILE;

extern const SETUP_TOOL_PROFILE InstallerProfile;
extern const SETUP_TOOL_PROFILE RemoverProfile;

/* Position of the argument vector, or NULL when the command line is shorter. */
LPCSTR CommandLineArgument(int argc, char **argv, int position);

/* Reads one character of standard input and drops it; no input ends the wait at once. */
void ReadOneInputCharacter(void);

/* "<label> FAILURE: <system text>" for the current last error, which it leaves as it was. */
void ReportFailure(const SETUP_TOOL_PROFILE *Profile, LPCSTR Label);

/* The version file's [Version] entry, looked up in the current directory; empty when missing. */
void ReadPackageVersion(LPCSTR FileName, LPCSTR KeyName, CHAR Version[PACKAGE_VERSION_SIZE]);

int CompareInstalledVersion(const SETUP_TOOL_PROFILE *Profile, const CHAR *PackageVersion, LPCSTR ValueName);

/* NULL identifiers stand for a position the command line lacks: nothing is searched. */
BOOL FindDeviceByHardwareId(const SETUP_TOOL_PROFILE *Profile, LPCSTR HardwareId);
void RemoveDevicesByHardwareId(const SETUP_TOOL_PROFILE *Profile, LPCSTR HardwareId);

BOOL InstalledValueExists(LPCSTR ValueName);
void DeleteInstalledValue(LPCSTR ValueName);
