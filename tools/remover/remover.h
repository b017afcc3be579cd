/*
 * Dessel: takes an installation of the driver package out of the registry
 * and the device database when its marker value says it is installed.
 */
#pragma once

#include <windows.h>

#define REMOVER_EXIT_REMOVED       0
#define REMOVER_EXIT_NOT_INSTALLED 1

/* CleanUpRegistry results. */
#define CLEANUP_DONE          0
#define CLEANUP_NOT_INSTALLED 1
#define CLEANUP_UPGRADE       2

/* The package's folder in the system's driver search path. */
#define PACKAGE_SEARCH_PATH "%SystemRoot%\\driver"

/* The whole run over the process's command line; returns the exit code. */
int RunRemover(int argc, char **argv);

/* Deletes the installed version value, cleans "DevicePath" and consumes "upgrade". */
int CleanUpRegistry(LPCSTR VersionValueName);

/* Takes every ";"-separated entry that is exactly PACKAGE_SEARCH_PATH out of Text, with the separator before it. */
void RemovePackageSearchPath(CHAR *Text);
