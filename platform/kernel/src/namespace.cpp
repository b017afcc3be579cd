// The object namespace of the I/O manager: device names and symbolic links,
// one directory for "\DosDevices" and "\??".
#include "io_internal.h"
#include "text.h"

#include <map>

namespace wrk::detail {
namespace {

struct NameEntry {
    NameKind kind;
    PDEVICE_OBJECT device;  // NameKind::Device, or a link made straight to a device
    std::u16string target;  // NameKind::Link to a name
};

std::map<std::u16string, NameEntry>& Names() {
    static auto* names = new std::map<std::u16string, NameEntry>;  // outlives detached threads
    return *names;
}

constexpr size_t kMostLinksFollowed = 32;

}  // namespace

std::u16string CanonicalName(const std::u16string& name) {
    std::u16string upper = Upcase(name);
    static const std::u16string dosDevices = u"\\DOSDEVICES\\";
    if (upper.compare(0, dosDevices.size(), dosDevices) == 0) upper = u"\\??\\" + upper.substr(dosDevices.size());
    return upper;
}

bool InsertNameLocked(const std::u16string& name, NameKind kind, PDEVICE_OBJECT device,
                      const std::u16string& target) {
    return Names().emplace(CanonicalName(name), NameEntry{kind, device, target}).second;
}

bool RemoveNameLocked(const std::u16string& name, NameKind kind) {
    auto found = Names().find(CanonicalName(name));
    if (found == Names().end() || found->second.kind != kind) return false;
    Names().erase(found);
    return true;
}

bool NameExistsLocked(const std::u16string& name, NameKind kind) {
    auto found = Names().find(CanonicalName(name));
    return found != Names().end() && found->second.kind == kind;
}

PDEVICE_OBJECT ResolveLocked(const std::u16string& name) {
    std::u16string current = CanonicalName(name);
    for (size_t hops = 0; hops < kMostLinksFollowed; ++hops) {
        auto found = Names().find(current);
        if (found == Names().end()) return nullptr;
        if (found->second.device != nullptr) return found->second.device;
        current = CanonicalName(found->second.target);
    }
    return nullptr;
}

void RemoveNamesOfLocked(PDEVICE_OBJECT device) {
    for (auto it = Names().begin(); it != Names().end();)
        it = it->second.device == device ? Names().erase(it) : std::next(it);
}

std::u16string FromUnicodeString(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) return {};
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

PDEVICE_OBJECT LookupDevice(std::u16string name) {
    std::lock_guard guard(IoLock());
    return ResolveLocked(name);
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string linkName) {
    std::lock_guard guard(IoLock());
    auto found = Names().find(CanonicalName(linkName));
    if (found == Names().end() || found->second.kind != NameKind::Link) return std::nullopt;
    if (found->second.device != nullptr) return DeviceRecord(found->second.device)->name;
    return found->second.target;
}

}  // namespace wrk

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    const std::u16string link = FromUnicodeString(SymbolicLinkName);
    const std::u16string target = FromUnicodeString(DeviceName);
    if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard guard(IoLock());
    if (Names().count(CanonicalName(link)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    InsertNameLocked(link, NameKind::Link, nullptr, target);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    std::lock_guard guard(IoLock());
    return RemoveNameLocked(FromUnicodeString(SymbolicLinkName), NameKind::Link) ? STATUS_SUCCESS
                                                                                 : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
