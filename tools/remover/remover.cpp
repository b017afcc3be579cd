/*
 * Dessel's run. Command line positions: 1 version entry name (also the
 * installed version value), 2 identifier removed when nothing is installed,
 * 3 and 6 identifiers removed with the installation, 4 version file name,
 * 5 installation marker value.
 */
#include "remover.h"

#include "setup_common.h"

#include <setupapi.h>

/* Waits before the registry and then the devices are touched. */
#define BEFORE_REGISTRY_MILLISECONDS 5000
#define BEFORE_DEVICES_MILLISECONDS  3000

int RunRemover(int argc, char **argv)
{
    const SETUP_TOOL_PROFILE *profile = &RemoverProfile;
    LPCSTR versionEntry = CommandLineArgument(argc, argv, 1);
    LPCSTR versionFile = CommandLineArgument(argc, argv, 4);
    LPCSTR marker = CommandLineArgument(argc, argv, 5);
    CHAR packageVersion[PACKAGE_VERSION_SIZE];
    int outcome;
    int cleanup;

    ReadPackageVersion(versionFile, versionEntry, packageVersion);
    outcome = CompareInstalledVersion(profile, packageVersion, versionEntry);

    if (!InstalledValueExists(marker)) {
        if (outcome == VERSION_NOT_INSTALLED)
            RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 2));
        return REMOVER_EXIT_NOT_INSTALLED;
    }

    Sleep(BEFORE_REGISTRY_MILLISECONDS);
    DeleteInstalledValue(marker);
    cleanup = CleanUpRegistry(versionEntry);
    Sleep(BEFORE_DEVICES_MILLISECONDS);

    RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 3));
    RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 6));
    if (cleanup != CLEANUP_UPGRADE)
        SetupPromptReboot(NULL, NULL, FALSE);
    return REMOVER_EXIT_REMOVED;
}
