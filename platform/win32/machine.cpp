/*
 * The process's emulated machine and the helpers tests and the Win32 layer
 * share to look at it.
 */
#include "host/machine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace w32 {

namespace {

const char *statePath()
{
    const char *path = std::getenv(kStateVariable);
    return path && *path ? path : nullptr;
}

} // namespace

Machine &machine()
{
    static Machine instance = [] {
        const char *path = statePath();
        return path && std::filesystem::exists(path) ? readStateFile(path) : Machine{};
    }();
    return instance;
}

void persist()
{
    if (const char *path = statePath())
        writeStateFile(machine(), path);
}

std::string fold(std::string_view text)
{
    std::string folded(text);
    for (char &c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string normalizeKeyPath(std::string_view path)
{
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    return std::string(path);
}

RegistryKey *findKey(Machine &m, std::string_view path)
{
    auto found = m.keys.find(fold(normalizeKeyPath(path)));
    return found == m.keys.end() ? nullptr : &found->second;
}

RegistryKey &createKey(Machine &m, std::string_view path)
{
    std::string normal = normalizeKeyPath(path);
    /* Parents first, as the registry cannot hold a key without its parent. */
    for (size_t at = normal.find('\\'); at != std::string::npos; at = normal.find('\\', at + 1)) {
        std::string parent = normal.substr(0, at);
        m.keys.try_emplace(fold(parent), RegistryKey{parent, {}});
    }
    return m.keys.try_emplace(fold(normal), RegistryKey{normal, {}}).first->second;
}

void deleteKeyTree(Machine &m, std::string_view path)
{
    std::string folded = fold(normalizeKeyPath(path));
    std::string below = folded + "\\";
    for (auto it = m.keys.begin(); it != m.keys.end();) {
        if (it->first == folded || it->first.starts_with(below))
            it = m.keys.erase(it);
        else
            ++it;
    }
}

const RegistryValue *findValue(const Machine &m, std::string_view keyPath, std::string_view name)
{
    auto key = m.keys.find(fold(normalizeKeyPath(keyPath)));
    if (key == m.keys.end())
        return nullptr;
    std::string folded = fold(name);
    for (const RegistryValue &value : key->second.values)
        if (fold(value.name) == folded)
            return &value;
    return nullptr;
}

void setValue(Machine &m, std::string_view keyPath, std::string_view name, DWORD type, std::string data)
{
    RegistryKey &key = createKey(m, keyPath);
    std::string folded = fold(name);
    for (RegistryValue &value : key.values) {
        if (fold(value.name) == folded) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.push_back({std::string(name), type, std::move(data)});
}

void setString(Machine &m, std::string_view keyPath, std::string_view name, std::string_view text)
{
    setValue(m, keyPath, name, REG_SZ, std::string(text) + '\0');
}

void setDword(Machine &m, std::string_view keyPath, std::string_view name, DWORD value)
{
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    setValue(m, keyPath, name, REG_DWORD, data);
}

std::string multiSz(const std::vector<std::string> &strings)
{
    std::string data;
    for (const std::string &s : strings) {
        data += s;
        data += '\0';
    }
    data += '\0';
    return data;
}

Device &addDevice(Machine &m, std::string instanceId, std::string classGuid,
                  std::optional<std::vector<std::string>> hardwareIds, bool wantDriverKey)
{
    Device device;
    device.instanceId = std::move(instanceId);
    device.classGuid = std::move(classGuid);
    if (hardwareIds)
        device.hardwareIds = multiSz(*hardwareIds);
    if (wantDriverKey && !device.classGuid.empty()) {
        char number[8];
        std::snprintf(number, sizeof number, "%04u", m.nextDriverKey++);
        device.driverKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + device.classGuid + "\\" + number;
        createKey(m, device.driverKey);
    }
    m.devices.push_back(std::move(device));
    return m.devices.back();
}

std::string guidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

bool parseGuid(std::string_view text, GUID &g)
{
    std::string copy(text);
    unsigned d[11];
    int consumed = 0;
    if (std::sscanf(copy.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d[0], &d[1], &d[2], &d[3], &d[4],
                    &d[5], &d[6], &d[7], &d[8], &d[9], &d[10], &consumed) != 11 ||
        static_cast<size_t>(consumed) != copy.size())
        return false;
    g.Data1 = d[0];
    g.Data2 = static_cast<WORD>(d[1]);
    g.Data3 = static_cast<WORD>(d[2]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<BYTE>(d[3 + i]);
    return true;
}

DWORD injectedFailure(std::string_view call)
{
    const Machine &m = machine();
    auto found = m.failingCalls.find(std::string(call));
    return found == m.failingCalls.end() ? 0 : found->second;
}

void record(std::string event)
{
    machine().journal.push_back(std::move(event));
    persist();
}

} // namespace w32
