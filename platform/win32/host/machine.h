/*
 * The emulated Windows machine behind the Win32 layer: the registry under
 * HKEY_LOCAL_MACHINE, the device database, and what a run did that cannot be
 * read back from either (waits, standard-input reads, removals, restart
 * prompts, and keys or device information sets still open at exit). A program run in a test finds the machine in the file named by
 * WRENLOK_WIN32_STATE and leaves it there after every change.
 */
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace w32 {

/* Names the file that carries the machine from a test into a program and back. */
inline constexpr const char *kStateVariable = "WRENLOK_WIN32_STATE";

struct RegistryValue {
    std::string name;
    DWORD type = REG_NONE;
    std::string data; /* raw bytes, terminators included as written */
    bool operator==(const RegistryValue &) const = default;
};

struct RegistryKey {
    std::string path; /* below HKEY_LOCAL_MACHINE, components joined by '\' */
    std::vector<RegistryValue> values;
    bool operator==(const RegistryKey &) const = default;
};

struct Device {
    std::string instanceId;
    std::string classGuid;                  /* "{...}"; empty when the device has no class */
    std::optional<std::string> hardwareIds; /* raw REG_MULTI_SZ bytes; none: no such property */
    std::optional<std::string> classGuidProperty; /* raw SPDRP_CLASSGUID bytes; none: classGuid and its NUL */
    bool present = true;
    std::string driverKey;     /* registry path of its driver key; empty when it has none */
    DWORD propertyError = 0;   /* reading SPDRP_HARDWAREID fails with this code; with
                                  ERROR_INSUFFICIENT_BUFFER it asks for 0xFFFFFFFF bytes */
    DWORD removeError = 0;     /* DIF_REMOVE fails with this code */
};

struct Machine {
    std::map<std::string, RegistryKey> keys;   /* by folded path */
    std::set<std::string> uncreatableKeys;      /* folded paths RegCreateKeyExA refuses */
    std::vector<Device> devices;                /* in enumeration order */
    std::map<std::string, DWORD> failingCalls;  /* API name -> the error it fails with */
    std::optional<SIZE_T> localAllocLimit;      /* larger LocalAlloc requests fail */
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    std::optional<std::string> currentDirectory;  /* default: the process's, on drive Z: */
    std::map<char, std::string> drives;           /* drive letter -> host folder; Z: is "/" */
    std::vector<std::string> journal;
    unsigned nextDriverKey = 0;
};

/* The process's machine: loaded from WRENLOK_WIN32_STATE on first use when it is set. */
Machine &machine();
/* Writes the process's machine back to WRENLOK_WIN32_STATE, when it is set. */
void persist();

Machine readStateFile(const std::string &path);
void writeStateFile(const Machine &m, const std::string &path);

/* Key and value names compare without regard to ASCII letter case. */
std::string fold(std::string_view text);
/* "A\\B\\" -> "A\\B": trailing separators dropped. */
std::string normalizeKeyPath(std::string_view path);

RegistryKey *findKey(Machine &m, std::string_view path);
RegistryKey &createKey(Machine &m, std::string_view path);
void deleteKeyTree(Machine &m, std::string_view path);
const RegistryValue *findValue(const Machine &m, std::string_view keyPath, std::string_view name);
void setValue(Machine &m, std::string_view keyPath, std::string_view name, DWORD type, std::string data);
void setString(Machine &m, std::string_view keyPath, std::string_view name, std::string_view text);
void setDword(Machine &m, std::string_view keyPath, std::string_view name, DWORD value);

/* A REG_MULTI_SZ: each string with its zero byte, then the closing empty string. */
std::string multiSz(const std::vector<std::string> &strings);

/* Records a device; with a non-empty class and wantDriverKey it also gets a driver key. */
Device &addDevice(Machine &m, std::string instanceId, std::string classGuid,
                  std::optional<std::vector<std::string>> hardwareIds, bool wantDriverKey = false);

std::string guidText(const GUID &guid);
bool parseGuid(std::string_view text, GUID &guid);

/* What the process holds open: registry keys by path, and device information sets. */
std::vector<std::string> openKeyPaths();
size_t openDeviceInfoSets();

/* The error an injected failure of `call` gives, or 0. */
DWORD injectedFailure(std::string_view call);
void record(std::string event);

} // namespace w32
