// Device interfaces: registered per PDO and class, made reachable through a
// symbolic link while enabled.
#include "io_internal.h"
#include "text.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace wrk::detail {
namespace {

constexpr NTSTATUS kStatusObjectNameExists = 0x40000000;
constexpr ULONG kInterfaceNameTag = 0x69446f49;  // "IoDi"

struct Registration {
    std::u16string linkName;
    PDEVICE_OBJECT pdo;  // null once the PDO is deleted
    GUID interfaceClass;
    bool enabled = false;
};

// By canonical link name. With IoLock held.
std::map<std::u16string, Registration>& Registrations() {
    static auto* registrations = new std::map<std::u16string, Registration>;
    return *registrations;
}

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

}  // namespace

void DisableInterfacesOfLocked(PDEVICE_OBJECT device) {
    for (auto& [key, registration] : Registrations()) {
        if (registration.pdo != device) continue;
        if (registration.enabled) RemoveNameLocked(registration.linkName, NameKind::Link);
        registration.enabled = false;
        registration.pdo = nullptr;
    }
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string instancePath) {
    std::lock_guard guard(IoLock());
    DeviceRecord(pdo)->instancePath = std::move(instancePath);
}

std::vector<std::u16string> DeviceInterfaces(const GUID& interfaceClass, bool enabledOnly) {
    std::lock_guard guard(IoLock());
    std::vector<std::u16string> names;
    for (const auto& [key, registration] : Registrations())
        if (std::memcmp(&registration.interfaceClass, &interfaceClass, sizeof(GUID)) == 0 &&
            (registration.enabled || !enabledOnly))
            names.push_back(registration.linkName);
    return names;
}

std::optional<bool> DeviceInterfaceEnabled(std::u16string linkName) {
    std::lock_guard guard(IoLock());
    auto found = Registrations().find(CanonicalName(linkName));
    if (found == Registrations().end()) return std::nullopt;
    return found->second.enabled;
}

}  // namespace wrk

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    std::u16string link;
    {
        std::lock_guard guard(IoLock());
        _DEVOBJ_EXTENSION* record = DeviceRecord(PhysicalDeviceObject);
        // Only a bus's PDO has an instance path to build the name from.
        if (record->lower != nullptr || record->instancePath.empty()) return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string instance = record->instancePath;
        for (char16_t& c : instance)
            if (c == u'\\') c = u'#';
        link = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
        const std::u16string reference = FromUnicodeString(ReferenceString);
        if (!reference.empty()) link += u"\\" + reference;
        auto [entry, added] =
            Registrations().emplace(CanonicalName(link), Registration{link, PhysicalDeviceObject, *InterfaceClassGuid});
        if (!added) {
            entry->second.pdo = PhysicalDeviceObject;
            link = entry->second.linkName;
        }
    }
    const size_t bytes = link.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kInterfaceNameTag));
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.data(), bytes);
    buffer[link.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    std::lock_guard guard(IoLock());
    auto found = Registrations().find(CanonicalName(FromUnicodeString(SymbolicLinkName)));
    if (found == Registrations().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    Registration& registration = found->second;
    if (Enable) {
        if (registration.pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
        if (registration.enabled) return kStatusObjectNameExists;
        if (!InsertNameLocked(registration.linkName, NameKind::Link, registration.pdo, {}))
            return STATUS_OBJECT_NAME_COLLISION;
        registration.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!registration.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    RemoveNameLocked(registration.linkName, NameKind::Link);
    registration.enabled = false;
    return STATUS_SUCCESS;
}

}  // extern "C"
