/*
 * The registry functions over the machine's key tree. Handles are numbers
 * standing for a key path and the access they were opened with; a key
 * deleted under an open handle makes the handle fail with ERROR_KEY_DELETED.
 * Values are stored as written: a string without its terminator stays so.
 * Keys still open when the process ends are entered in the journal.
 */
#include <windows.h>

#include "host/handles.h"
#include "host/machine.h"

#include <cstdlib>
#include <cstring>
#include <map>

namespace w32 {

namespace {

std::map<ULONG_PTR, OpenKey> &openKeys()
{
    static std::map<ULONG_PTR, OpenKey> keys;
    return keys;
}

const OpenKey *lookUp(HKEY handle)
{
    static const OpenKey root{"", KEY_ALL_ACCESS};
    if (handle == HKEY_LOCAL_MACHINE)
        return &root;
    auto found = openKeys().find(reinterpret_cast<ULONG_PTR>(handle));
    return found == openKeys().end() ? nullptr : &found->second;
}

std::string join(const std::string &parent, LPCSTR subKey)
{
    std::string sub = normalizeKeyPath(subKey ? subKey : "");
    if (parent.empty())
        return sub;
    return sub.empty() ? parent : parent + "\\" + sub;
}

/* The machine's key behind an open handle; 0 or the error for the caller. */
LSTATUS resolve(HKEY handle, const OpenKey *&open, RegistryKey *&key)
{
    open = lookUp(handle);
    if (!open)
        return ERROR_INVALID_HANDLE;
    key = findKey(machine(), open->path);
    if (!key && !open->path.empty())
        return ERROR_KEY_DELETED;
    return ERROR_SUCCESS;
}

bool uncreatable(const std::string &path)
{
    const Machine &m = machine();
    std::string folded = fold(path);
    for (const std::string &refused : m.uncreatableKeys)
        if (folded == refused || folded.starts_with(refused + "\\"))
            return true;
    return false;
}

} // namespace

HKEY openKeyHandle(std::string path, REGSAM access)
{
    static ULONG_PTR next = 0x1000;
    std::map<ULONG_PTR, OpenKey> &keys = openKeys();
    /* Registered after the table exists, so it runs while the table is still there. */
    static const bool reportAtExit = [] {
        std::atexit([] {
            for (const std::string &path : openKeyPaths())
                record("open at exit: key " + path);
        });
        return true;
    }();
    (void)reportAtExit;
    next += 4;
    keys[next] = OpenKey{std::move(path), access};
    return reinterpret_cast<HKEY>(next);
}

std::vector<std::string> openKeyPaths()
{
    std::vector<std::string> paths;
    for (const auto &[handle, key] : openKeys())
        paths.push_back(key.path);
    return paths;
}

} // namespace w32

using namespace w32;

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    const OpenKey *parent = lookUp(hKey);
    if (!parent)
        return ERROR_INVALID_HANDLE;
    std::string path = join(parent->path, lpSubKey);
    if (!path.empty() && !findKey(machine(), path))
        return ERROR_FILE_NOT_FOUND;
    *phkResult = openKeyHandle(path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD, REGSAM samDesired,
                               LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (!phkResult || Reserved != 0 || !lpSubKey)
        return ERROR_INVALID_PARAMETER;
    const OpenKey *parent = lookUp(hKey);
    if (!parent)
        return ERROR_INVALID_HANDLE;
    std::string path = join(parent->path, lpSubKey);
    Machine &m = machine();
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    if (!findKey(m, path)) {
        if (path.empty() || uncreatable(path))
            return ERROR_ACCESS_DENIED;
        createKey(m, path);
        persist();
        disposition = REG_CREATED_NEW_KEY;
    }
    *phkResult = openKeyHandle(path, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData)
{
    const OpenKey *open;
    RegistryKey *key;
    if (LSTATUS status = resolve(hKey, open, key))
        return status;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    if (!(open->access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    const RegistryValue *value = key ? findValue(machine(), key->path, lpValueName ? lpValueName : "") : nullptr;
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (lpType)
        *lpType = value->type;
    if (!lpData) {
        if (lpcbData)
            *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, value->data.data(), size);
    /* NT ends a string stored without its terminator when the buffer has room, and does not count it. */
    bool text = value->type == REG_SZ || value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ;
    if (text && size > 0 && value->data.back() != '\0' && size < *lpcbData)
        lpData[size] = 0;
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                              DWORD cbData)
{
    const OpenKey *open;
    RegistryKey *key;
    if (LSTATUS status = resolve(hKey, open, key))
        return status;
    if (Reserved != 0 || (!lpData && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    if (!(open->access & KEY_SET_VALUE) || !key)
        return ERROR_ACCESS_DENIED;
    std::string data(reinterpret_cast<const char *>(lpData), lpData ? cbData : 0);
    setValue(machine(), key->path, lpValueName ? lpValueName : "", dwType, std::move(data));
    persist();
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    const OpenKey *open;
    RegistryKey *key;
    if (LSTATUS status = resolve(hKey, open, key))
        return status;
    if (!(open->access & KEY_SET_VALUE) || !key)
        return ERROR_ACCESS_DENIED;
    std::string folded = fold(lpValueName ? lpValueName : "");
    for (auto it = key->values.begin(); it != key->values.end(); ++it) {
        if (fold(it->name) == folded) {
            key->values.erase(it);
            persist();
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    if (hKey == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    return openKeys().erase(reinterpret_cast<ULONG_PTR>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // extern "C"
