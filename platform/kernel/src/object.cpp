// Object reference counts, the kernel handle table, ObReferenceObjectByHandle
// and ZwClose.
#include "object.h"

#include "irql.h"

#include <host/kernel.h>

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace wrk {
namespace {

struct ObjectEntry {
    LONG_PTR references;
    std::function<void(PVOID)> destroy;
};

struct ObjectManager {
    std::mutex lock;
    std::unordered_map<PVOID, ObjectEntry> objects;
    std::map<uintptr_t, detail::HandleEntry> handles;
    uintptr_t nextHandleIndex = 1;
    NTSTATUS referenceFault = STATUS_SUCCESS;
};

ObjectManager& Manager() {
    static ObjectManager* manager = new ObjectManager;  // outlives detached threads
    return *manager;
}

std::atomic<uint64_t> gStamp{1};

// Kernel handles look like Windows' own: multiples of 4 with the top bit of
// the low 32 set. They are never reused, so a stale handle stays invalid.
constexpr uintptr_t kKernelHandleBase = 0x80000000u;

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

void RegisterObject(PVOID object, LONG_PTR references, std::function<void(PVOID)> destroy) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    manager.objects[object] = ObjectEntry{references, std::move(destroy)};
}

LONG_PTR ObjectReferenceCount(PVOID object) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    auto found = manager.objects.find(object);
    return found == manager.objects.end() ? 0 : found->second.references;
}

size_t OpenHandleCount() {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    return manager.handles.size();
}

void FailNextThreadReference(NTSTATUS status) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    manager.referenceFault = status;
}

namespace detail {

uint64_t NextStamp() {
    return gStamp.fetch_add(1);
}

HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> key, PVOID object) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    uintptr_t value = kKernelHandleBase + 4 * manager.nextHandleIndex++;
    manager.handles[value] = HandleEntry{kind, std::move(key), object, NextStamp()};
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleEntry> LookupHandle(HANDLE handle) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    auto found = manager.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == manager.handles.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<HandleEntry> RemoveHandle(HANDLE handle) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    auto found = manager.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (found == manager.handles.end()) {
        return std::nullopt;
    }
    HandleEntry entry = std::move(found->second);
    manager.handles.erase(found);
    return entry;
}

std::vector<OpenHandle> HandlesSince(uint64_t stamp) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    std::vector<OpenHandle> open;
    for (const auto& [value, entry] : manager.handles) {
        if (entry.stamp >= stamp) {
            open.push_back({reinterpret_cast<HANDLE>(value), entry});
        }
    }
    return open;
}

}  // namespace detail
}  // namespace wrk

// The one object type drivers name: what a thread handle refers to.
struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE gThreadType{"Thread"};
POBJECT_TYPE gThreadTypePointer = &gThreadType;
}  // namespace

POBJECT_TYPE* PsThreadType = &gThreadTypePointer;  // C linkage from wdm.h

extern "C" LONG_PTR ObfReferenceObject(PVOID Object) {
    wrk::ObjectManager& manager = wrk::Manager();
    std::lock_guard guard(manager.lock);
    auto found = manager.objects.find(Object);
    if (found == manager.objects.end()) {
        wrk::Bugcheck("INVALID_OBJECT_REFERENCE", "ObfReferenceObject of an unknown object " + wrk::Hex(Object));
    }
    return ++found->second.references;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object) {
    std::function<void(PVOID)> destroy;
    {
        wrk::ObjectManager& manager = wrk::Manager();
        std::lock_guard guard(manager.lock);
        auto found = manager.objects.find(Object);
        if (found == manager.objects.end()) {
            wrk::Bugcheck("REFERENCE_BY_POINTER",
                          "ObfDereferenceObject of an unknown or already deleted object " + wrk::Hex(Object));
        }
        if (--found->second.references > 0) {
            return found->second.references;
        }
        destroy = std::move(found->second.destroy);
        manager.objects.erase(found);
    }
    if (destroy) {
        destroy(Object);
    }
    return 0;
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                              KPROCESSOR_MODE AccessMode, PVOID* Object,
                                              PVOID HandleInformation) {
    wrk::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    wrk::ObjectManager& manager = wrk::Manager();
    std::lock_guard guard(manager.lock);
    if (manager.referenceFault != STATUS_SUCCESS) {
        return std::exchange(manager.referenceFault, STATUS_SUCCESS);
    }
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto handle = manager.handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (handle == manager.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    // Only thread objects carry a reference count here; a key handle names
    // an object nobody can reference by pointer. A type asked for must match.
    if (handle->second.kind != wrk::detail::HandleKind::Thread ||
        (ObjectType != nullptr && ObjectType != *PsThreadType)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    wrk::detail::NoteThreadReference(Handle, ObjectType != nullptr);
    // The handle holds a reference, so the object is still registered.
    ++manager.objects.at(handle->second.object).references;
    *Object = handle->second.object;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle) {
    wrk::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    auto entry = wrk::detail::RemoveHandle(Handle);
    if (!entry) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry->kind == wrk::detail::HandleKind::Thread) {
        ObfDereferenceObject(entry->object);
    }
    return STATUS_SUCCESS;
}
