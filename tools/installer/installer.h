/*
 * Vantry: decides from the package and installed versions whether the
 * recorded devices of up to three hardware identifiers are removed.
 */
#pragma once

/* Whatever happens, the installer ends with this code. */
#define INSTALLER_EXIT_CODE 2

/* The whole run over the process's command line; returns the exit code. */
int RunInstaller(int argc, char **argv);
