/*
 * The system message table: the texts FormatMessageA returns for the error
 * codes the setup programs can meet, worded and ended as Windows words them,
 * inserts included. Codes of other facilities (SetupAPI's 0xE000xxxx codes
 * among them) have no system text, so callers fall back to printing the
 * number.
 */
#include <windows.h>

#include "host/messages.h"

namespace w32 {

const char *systemMessage(DWORD code)
{
    switch (code) {
    case ERROR_SUCCESS: return "The operation completed successfully.\r\n";
    case ERROR_INVALID_FUNCTION: return "Incorrect function.\r\n";
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.\r\n";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.\r\n";
    case ERROR_ACCESS_DENIED: return "Access is denied.\r\n";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.\r\n";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough storage is available to process this command.\r\n";
    case ERROR_INVALID_DATA: return "The data is invalid.\r\n";
    case ERROR_OUTOFMEMORY: return "Not enough storage is available to complete this operation.\r\n";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.\r\n";
    case ERROR_INSUFFICIENT_BUFFER: return "The data area passed to a system call is too small.\r\n";
    case ERROR_FILENAME_EXCED_RANGE: return "The filename or extension is too long.\r\n";
    case ERROR_MORE_DATA: return "More data is available.\r\n";
    case ERROR_NO_MORE_ITEMS: return "No more data is available.\r\n";
    case ERROR_BAD_EXE_FORMAT: return "%1 is not a valid Win32 application.\r\n";
    case ERROR_MR_MID_NOT_FOUND:
        return "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n";
    case ERROR_INVALID_FLAGS: return "Invalid flags.\r\n";
    case ERROR_BADKEY: return "The configuration registry key is invalid.\r\n";
    case ERROR_CANTOPEN: return "The configuration registry key could not be opened.\r\n";
    case ERROR_KEY_DELETED: return "Illegal operation attempted on a registry key that has been marked for deletion.\r\n";
    case ERROR_INVALID_USER_BUFFER: return "The supplied user buffer is not valid for the requested operation.\r\n";
    case ERROR_RESOURCE_LANG_NOT_FOUND: return "The specified resource language ID cannot be found in the image file.\r\n";
    default: return nullptr;
    }
}

} // namespace w32
