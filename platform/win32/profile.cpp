/*
 * GetPrivateProfileStringA on INI-format files of the host: sections and
 * keys compare without regard to case, blanks around names and values are
 * dropped, and a value in matching quotes loses them. Only the first section
 * of a name is read, and the first key of a name in it, as on Windows. The
 * last error tells the caller how it went: ERROR_SUCCESS for a value that
 * fits, ERROR_MORE_DATA for one cut to the buffer, ERROR_FILE_NOT_FOUND when
 * the file, section or key is missing.
 */
#include <windows.h>

#include "host/machine.h"
#include "host/paths.h"

#include <cstring>
#include <fstream>
#include <optional>

namespace {

std::string trim(std::string_view text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

std::string unquote(std::string value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

std::optional<std::string> lookUp(std::ifstream &file, const std::string &section, const std::string &key)
{
    std::string line;
    bool inSection = false;
    while (std::getline(file, line)) {
        std::string text = trim(line);
        if (text.empty() || text[0] == ';')
            continue;
        if (text[0] == '[') {
            /* A later section of the same name is never looked at. */
            if (inSection)
                return std::nullopt;
            size_t close = text.find(']');
            inSection = close != std::string::npos && w32::fold(trim(text.substr(1, close - 1))) == section;
            continue;
        }
        size_t equals = text.find('=');
        if (inSection && equals != std::string::npos && w32::fold(trim(text.substr(0, equals))) == key)
            return unquote(trim(text.substr(equals + 1)));
    }
    return std::nullopt;
}

DWORD copyOut(const std::string &text, LPSTR out, DWORD size)
{
    DWORD length = static_cast<DWORD>(text.size()) < size - 1 ? static_cast<DWORD>(text.size()) : size - 1;
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
    if (length < text.size())
        SetLastError(ERROR_MORE_DATA);
    return length;
}

} // namespace

extern "C" DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName)
{
    if (!lpReturnedString || nSize == 0) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    /* Listing the sections or keys of a file (a null section or key) is not offered. */
    if (!lpAppName || !lpKeyName || !lpFileName) {
        lpReturnedString[0] = '\0';
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    /* The default loses its trailing blanks only. */
    std::string fallback = lpDefault ? lpDefault : "";
    fallback.erase(fallback.find_last_not_of(' ') + 1);
    std::optional<std::string> path = w32::hostPath(lpFileName);
    std::ifstream file;
    if (path)
        file.open(*path, std::ios::binary);
    if (!file) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return copyOut(fallback, lpReturnedString, nSize);
    }
    std::optional<std::string> value = lookUp(file, w32::fold(trim(lpAppName)), w32::fold(trim(lpKeyName)));
    SetLastError(value ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return copyOut(value.value_or(fallback), lpReturnedString, nSize);
}
