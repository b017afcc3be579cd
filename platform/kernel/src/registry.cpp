// The registry as the kernel sees it: an in-memory tree of keys with typed
// values, opened by path and read with ZwQueryValueKey.
#include "irql.h"
#include "object.h"
#include "text.h"

#include <host/kernel.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace wrk {
namespace {

struct NamedValue {
    std::u16string name;  // as it was written, for display
    RegistryValue value;
};

struct Key {
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;  // by upper-case name
    std::map<std::u16string, NamedValue> values;             // by upper-case name
};

struct Registry {
    std::mutex lock;
    std::shared_ptr<Key> root = EmptyTree();

    static std::shared_ptr<Key> EmptyTree() {
        auto root = std::make_shared<Key>();
        root->subkeys[u"REGISTRY"] = std::make_shared<Key>();
        return root;
    }
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // outlives detached threads
    return *registry;
}

// Splits "A\B\C" into its names; nullopt when a name is empty ("A\\B", "A\").
std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> names;
    if (path.empty()) {
        return names;
    }
    size_t start = 0;
    while (true) {
        size_t end = path.find(u'\\', start);
        std::u16string_view name = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (name.empty()) {
            return std::nullopt;
        }
        names.push_back(detail::Upcase(name));
        if (end == std::u16string_view::npos) {
            return names;
        }
        start = end + 1;
    }
}

std::shared_ptr<Key> FindLocked(std::shared_ptr<Key> from, const std::vector<std::u16string>& names) {
    for (const auto& name : names) {
        auto found = from->subkeys.find(name);
        if (found == from->subkeys.end()) {
            return nullptr;
        }
        from = found->second;
    }
    return from;
}

std::vector<std::u16string> AbsoluteNames(const std::u16string& keyPath) {
    std::optional<std::vector<std::u16string>> names;
    if (!keyPath.empty() && keyPath[0] == u'\\') {
        names = SplitPath(std::u16string_view(keyPath).substr(1));
    }
    if (!names) {
        throw std::invalid_argument("not an absolute registry path: " + detail::Utf8(keyPath));
    }
    return *names;
}

std::shared_ptr<Key> CreateLocked(Registry& registry, const std::u16string& keyPath) {
    std::shared_ptr<Key> key = registry.root;
    for (const auto& name : AbsoluteNames(keyPath)) {
        auto& child = key->subkeys[name];
        if (!child) {
            child = std::make_shared<Key>();
        }
        key = child;
    }
    return key;
}

// The fixed part of KEY_VALUE_PARTIAL_INFORMATION, before Data.
constexpr ULONG kPartialHeaderBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);

}  // namespace

void RegistryCreateKey(std::u16string keyPath) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    CreateLocked(registry, keyPath);
}

void RegistrySetValue(std::u16string keyPath, std::u16string name, ULONG type, std::vector<uint8_t> data) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    std::shared_ptr<Key> key = CreateLocked(registry, keyPath);
    key->values[detail::Upcase(name)] = NamedValue{name, RegistryValue{type, std::move(data)}};
}

void RegistrySetDword(std::u16string keyPath, std::u16string name, ULONG value) {
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    RegistrySetValue(std::move(keyPath), std::move(name), REG_DWORD, std::move(data));
}

std::optional<RegistryValue> RegistryGetValue(std::u16string keyPath, std::u16string name) {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    std::shared_ptr<Key> key = FindLocked(registry.root, AbsoluteNames(keyPath));
    if (!key) {
        return std::nullopt;
    }
    auto found = key->values.find(detail::Upcase(name));
    if (found == key->values.end()) {
        return std::nullopt;
    }
    return found->second.value;
}

void RegistryReset() {
    Registry& registry = TheRegistry();
    std::lock_guard guard(registry.lock);
    registry.root = Registry::EmptyTree();
}

}  // namespace wrk

namespace {

std::u16string_view View(const UNICODE_STRING& text) {
    return {reinterpret_cast<const char16_t*>(text.Buffer), text.Length / sizeof(WCHAR)};
}

}  // namespace

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    wrk::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const UNICODE_STRING& name = *ObjectAttributes->ObjectName;
    if (name.Length % sizeof(WCHAR) != 0 || (name.Length != 0 && name.Buffer == nullptr)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string_view path = View(name);
    wrk::Registry& registry = wrk::TheRegistry();
    std::shared_ptr<wrk::Key> start;
    if (ObjectAttributes->RootDirectory != nullptr) {
        auto root = wrk::detail::LookupHandle(ObjectAttributes->RootDirectory);
        if (!root) {
            return STATUS_INVALID_HANDLE;
        }
        if (root->kind != wrk::detail::HandleKind::Key) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (!path.empty() && path[0] == u'\\') {
            return STATUS_OBJECT_NAME_INVALID;  // a path below a root is relative
        }
        start = std::static_pointer_cast<wrk::Key>(root->key);
    } else {
        if (path.empty() || path[0] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;  // no root: the path must be absolute
        }
        path.remove_prefix(1);
    }
    auto names = wrk::SplitPath(path);
    if (!names) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::shared_ptr<wrk::Key> key;
    {
        std::lock_guard guard(registry.lock);
        key = wrk::FindLocked(start ? start : registry.root, *names);
    }
    if (!key) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = wrk::detail::InsertHandle(wrk::detail::HandleKind::Key, key, nullptr, ObjectAttributes->Attributes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                    ULONG Length, PULONG ResultLength) {
    wrk::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (ResultLength == nullptr || ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto handle = wrk::detail::LookupHandle(KeyHandle);
    if (!handle) {
        return STATUS_INVALID_HANDLE;
    }
    if (handle->kind != wrk::detail::HandleKind::Key) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // The driver asks only for the partial form; the other classes are not
    // kept by this registry.
    if (KeyValueInformationClass != KeyValuePartialInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    auto key = std::static_pointer_cast<wrk::Key>(handle->key);
    std::lock_guard guard(wrk::TheRegistry().lock);
    auto found = key->values.find(wrk::detail::Upcase(View(*ValueName)));
    if (found == key->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const wrk::RegistryValue& value = found->second.value;
    ULONG needed = wrk::kPartialHeaderBytes + static_cast<ULONG>(value.data.size());
    *ResultLength = needed;
    if (Length < wrk::kPartialHeaderBytes) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
    info->TitleIndex = 0;
    info->Type = value.type;
    info->DataLength = static_cast<ULONG>(value.data.size());
    if (Length < needed) {
        return STATUS_BUFFER_OVERFLOW;  // the fixed part is filled, as on Windows
    }
    if (!value.data.empty()) {
        std::memcpy(info->Data, value.data.data(), value.data.size());
    }
    return STATUS_SUCCESS;
}
