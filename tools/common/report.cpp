/*
 * Failure reports of the setup tools, and the profiles that say how each
 * tool's build of the module behaves.
 */
#include "setup_common.h"

#include <stdio.h>

const SETUP_TOOL_PROFILE InstallerProfile = {TRUE, 32, VERSION_LOWER_OR_EQUAL};
const SETUP_TOOL_PROFILE RemoverProfile = {FALSE, 16, VERSION_EQUAL};

LPCSTR CommandLineArgument(int argc, char **argv, int position)
{
    return position < argc ? argv[position] : NULL;
}

void ReadOneInputCharacter(void)
{
    CHAR character;
    DWORD got;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &character, 1, &got, NULL);
}

void ReportFailure(const SETUP_TOOL_PROFILE *Profile, LPCSTR Label)
{
    DWORD error = GetLastError();
    LPSTR text = NULL;

    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, error,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&text, 0, NULL) && text) {
        printf("%s FAILURE: %s\n", Label, text);
    } else {
        text = NULL;
        printf("%s FAILURE: (0x%08x)\n", Label, (unsigned int)error);
    }
    /* The installer's reports ask for a key press: show them before waiting for it. */
    fflush(stdout);
    if (Profile->ReadsInputAfterReport)
        ReadOneInputCharacter();
    if (text)
        LocalFree(text);
    SetLastError(error);
}
