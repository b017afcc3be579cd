/*
 * Marrick's run and its error report. Every path ends with exit code 0, so
 * the text on the standard streams is the only outcome a caller sees.
 */
#include "metric.h"

#include <stdio.h>

void ReportError(LPCSTR Label)
{
    DWORD code = GetLastError();
    LPSTR text = NULL;

    if (!FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                        NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL) ||
        !text)
        return;
    fprintf(stderr, "%s: %d:%s\n", Label, (int)code, text);
    LocalFree(text);
}

int RunMetric(void)
{
    OSVERSIONINFOA version;

    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(&version)) {
        ReportError("GetVersionEx()");
        return 0;
    }

    switch (version.dwPlatformId) {
    case VER_PLATFORM_WIN32_WINDOWS:
        printf("Windows 95/98\n");
        break;
    case VER_PLATFORM_WIN32_NT:
        printf("Windows NT/2000\n");
        if (UpdateBluetoothAdapters())
            printf("The operation completed successfully.\n");
        else
            ReportError("No BluetoothDevices");
        break;
    default:
        fprintf(stderr, "Invalid Platform ID\n");
        break;
    }
    return 0;
}
