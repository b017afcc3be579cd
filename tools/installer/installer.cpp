/*
 * Vantry's run. Command line positions: 1 version entry name (also the
 * installed version value), 2 main hardware identifier, 5 version file name,
 * 6 second and 7 third hardware identifier; 3 and 4 are not read. Every
 * trace goes out through ReportFailure and is followed by a key press.
 */
#include "installer.h"

#include "setup_common.h"

/* "The device is not detected", in the Japanese ANSI code page 932. */
static const CHAR DeviceNotDetectedText[] =
    "\x83\x66\x83\x6F\x83\x43\x83\x58\x82\xAA\x8C\x9F\x8F\x6F\x82\xB3\x82\xEA\x82\xC4"
    "\x82\xA2\x82\xC8\x82\xA2\x8F\xF3\x91\xD4\x82\xC5\x82\xB7\x81\x42\x0A";

/* With exactly seven arguments the third identifier is taken on a first installation. */
#define ARGUMENT_COUNT_WITH_THIRD_ID 8

/* The wait before the device database is looked at. */
#define SETTLE_MILLISECONDS 5000

int RunInstaller(int argc, char **argv)
{
    const SETUP_TOOL_PROFILE *profile = &InstallerProfile;
    LPCSTR versionEntry = CommandLineArgument(argc, argv, 1);
    LPCSTR mainId = CommandLineArgument(argc, argv, 2);
    LPCSTR versionFile = CommandLineArgument(argc, argv, 5);
    CHAR packageVersion[PACKAGE_VERSION_SIZE];

    ReadPackageVersion(versionFile, versionEntry, packageVersion);
    ReportFailure(profile, packageVersion);
    ReadOneInputCharacter();
    Sleep(SETTLE_MILLISECONDS);

    if (!FindDeviceByHardwareId(profile, mainId)) {
        ReportFailure(profile, DeviceNotDetectedText);
        ReadOneInputCharacter();
        RemoveDevicesByHardwareId(profile, mainId);
        return INSTALLER_EXIT_CODE;
    }

    switch (CompareInstalledVersion(profile, packageVersion, versionEntry)) {
    case VERSION_NOT_INSTALLED:
        ReportFailure(profile, "Version_Check(argv[5])==1\n");
        ReadOneInputCharacter();
        RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 6));
        if (argc == ARGUMENT_COUNT_WITH_THIRD_ID)
            RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 7));
        RemoveDevicesByHardwareId(profile, mainId);
        break;
    case VERSION_LOWER_OR_EQUAL:
        ReportFailure(profile, "Version_Check(argv[5])==0\n");
        ReadOneInputCharacter();
        break;
    default:
        ReportFailure(profile, "Version_Check(argv[5])==2\n");
        RemoveDevicesByHardwareId(profile, CommandLineArgument(argc, argv, 6));
        ReadOneInputCharacter();
        RemoveDevicesByHardwareId(profile, mainId);
        break;
    }
    return INSTALLER_EXIT_CODE;
}
