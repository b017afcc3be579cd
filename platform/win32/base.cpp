/*
 * The kernel32 and user32 pieces of the Win32 layer: last error, local
 * memory, system messages, version, waits, the current directory, standard
 * input and the lstr and wsprintf string routines (comparison is collation.cpp's).
 */
#include <windows.h>

#include "host/machine.h"
#include "host/messages.h"
#include "host/paths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

/* Standard handles are the host's descriptors 0 to 2 under these numbers. */
constexpr ULONG_PTR kStandardHandleBase = 0x10;

int descriptorOf(HANDLE handle)
{
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    return value >= kStandardHandleBase && value < kStandardHandleBase + 3
               ? static_cast<int>(value - kStandardHandleBase)
               : -1;
}

/* An insert is %1 to %99; the texts carry no other escapes. */
bool hasInsert(const std::string &text)
{
    for (size_t at = text.find('%'); at != std::string::npos; at = text.find('%', at + 1))
        if (at + 1 < text.size() && text[at + 1] >= '1' && text[at + 1] <= '9')
            return true;
    return false;
}

[[noreturn]] void unsupported(const char *what)
{
    std::fprintf(stderr, "*** Win32 layer: %s is not offered\n", what);
    std::abort();
}

} // namespace

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    const auto &limit = w32::machine().localAllocLimit;
    if (limit && uBytes > *limit) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void *memory = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
    if (!memory)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD dwLanguageId, LPSTR lpBuffer,
                            DWORD nSize, va_list *Arguments)
{
    if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) || (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) ||
        !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (dwLanguageId != 0 && dwLanguageId != MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) && dwLanguageId != 0x0409) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char *found = w32::systemMessage(dwMessageId);
    if (!found) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = found;
    if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && hasInsert(text)) {
        if (Arguments)
            unsupported("FormatMessageA with insert arguments");
        /* Windows will not fill an insert from arguments it was not given. */
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD length = static_cast<DWORD>(text.size());
    if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        auto *copy = static_cast<LPSTR>(LocalAlloc(LMEM_FIXED, (length + 1 > nSize ? length + 1 : nSize)));
        if (!copy)
            return 0;
        std::memcpy(copy, text.c_str(), length + 1);
        *reinterpret_cast<LPSTR *>(lpBuffer) = copy;
        return length;
    }
    if (nSize <= length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpBuffer, text.c_str(), length + 1);
    return length;
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info)
{
    if (DWORD error = w32::injectedFailure("GetVersionExA")) {
        SetLastError(error);
        return FALSE;
    }
    /* OSVERSIONINFOA, or the 156-byte OSVERSIONINFOEXA that begins with it. */
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD platform = w32::machine().platformId;
    bool nt = platform == VER_PLATFORM_WIN32_NT;
    info->dwMajorVersion = nt ? 5 : 4;
    info->dwMinorVersion = nt ? 1 : 10;
    info->dwBuildNumber = nt ? 2600 : 2222;
    info->dwPlatformId = platform;
    std::snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", nt ? "Service Pack 2" : " A ");
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    w32::record("Sleep " + std::to_string(dwMilliseconds));
}

DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    std::string directory = w32::currentDirectory();
    DWORD length = static_cast<DWORD>(directory.size());
    if (!lpBuffer || nBufferLength <= length)
        return length + 1;
    std::memcpy(lpBuffer, directory.c_str(), length + 1);
    return length;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle)
{
    int descriptor = nStdHandle == STD_INPUT_HANDLE    ? 0
                     : nStdHandle == STD_OUTPUT_HANDLE ? 1
                     : nStdHandle == STD_ERROR_HANDLE  ? 2
                                                       : -1;
    if (descriptor < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    /* A process started without the handle has none, as a windowless program would. */
    if (fcntl(descriptor, F_GETFD) < 0)
        return nullptr;
    return reinterpret_cast<HANDLE>(kStandardHandleBase + descriptor);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED)
{
    int descriptor = descriptorOf(hFile);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    w32::record(descriptor == 0 ? "ReadFile stdin" : "ReadFile");
    if (descriptor < 0 || !lpNumberOfBytesRead) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ssize_t got = read(descriptor, lpBuffer, nNumberOfBytesToRead);
    if (got < 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

int WINAPI lstrlenA(LPCSTR lpString)
{
    return lpString ? static_cast<int>(std::strlen(lpString)) : 0;
}

LPSTR WINAPI lstrcpyA(LPSTR lpString1, LPCSTR lpString2)
{
    if (!lpString1 || !lpString2)
        return nullptr;
    return std::strcpy(lpString1, lpString2);
}

LPSTR WINAPI lstrcatA(LPSTR lpString1, LPCSTR lpString2)
{
    if (!lpString1 || !lpString2)
        return nullptr;
    return std::strcat(lpString1, lpString2);
}

/* Like Windows, writes at most 1024 bytes, terminator included. */
int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    constexpr int kLimit = 1024;
    va_list arguments;
    va_start(arguments, lpFmt);
    int wanted = std::vsnprintf(lpOut, kLimit, lpFmt, arguments);
    va_end(arguments);
    if (wanted < 0)
        return 0;
    return wanted < kLimit ? wanted : kLimit - 1;
}

} // extern "C"
