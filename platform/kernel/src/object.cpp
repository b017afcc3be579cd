// Object reference counts and types, the kernel handle table and the user
// processes' tables, ObReferenceObjectByHandle and ZwClose.
#include "object.h"

#include "irql.h"

#include <host/kernel.h>

#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

struct _OBJECT_TYPE {
    const char* name;
};

namespace wrk {
namespace {

_OBJECT_TYPE gThreadType{"Thread"};
_OBJECT_TYPE gEventType{"Event"};

struct ObjectEntry {
    LONG_PTR references;
    std::function<void(PVOID)> destroy;
};

// One handle table, by handle value.
using HandleTable = std::map<uintptr_t, detail::HandleEntry>;

struct ObjectManager {
    std::mutex lock;
    std::unordered_map<PVOID, ObjectEntry> objects;
    HandleTable kernelHandles;
    uintptr_t nextKernelIndex = 1;
    std::map<uint32_t, HandleTable> processes;  // user processes by id
    uint32_t nextProcess = 1;
    NTSTATUS referenceFault = STATUS_SUCCESS;
};

ObjectManager& Manager() {
    static ObjectManager* manager = new ObjectManager;  // outlives detached threads
    return *manager;
}

std::atomic<uint64_t> gStamp{1};
[[gnu::tls_model("initial-exec")]] thread_local uint32_t tProcess = 0;

// Kernel handles look like Windows' own: multiples of 4 with the top bit of
// the low 32 set. They are never reused, so a stale handle stays invalid.
// A process's handles are small multiples of 4, and a closed one is given
// out again, as Windows does.
constexpr uintptr_t kKernelHandleBase = 0x80000000u;

bool IsKernelHandle(HANDLE handle) {
    return (reinterpret_cast<uintptr_t>(handle) & kKernelHandleBase) != 0;
}

// With the manager's lock held: the table `handle` is looked up in from the
// calling thread, or null when the process is gone.
HandleTable* TableOfLocked(ObjectManager& manager, HANDLE handle) {
    if (IsKernelHandle(handle) || tProcess == 0) return &manager.kernelHandles;
    auto process = manager.processes.find(tProcess);
    return process == manager.processes.end() ? nullptr : &process->second;
}

uintptr_t FreeProcessValue(const HandleTable& table) {
    uintptr_t value = 4;
    for (const auto& [used, entry] : table) {
        if (used != value) break;
        value += 4;
    }
    return value;
}

POBJECT_TYPE TypeOf(detail::HandleKind kind) {
    switch (kind) {
    case detail::HandleKind::Thread: return &gThreadType;
    case detail::HandleKind::Event: return &gEventType;
    default: return nullptr;
    }
}

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
    size_t count = manager.kernelHandles.size();
    for (const auto& [id, table] : manager.processes) count += table.size();
    return count;
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

HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> key, PVOID object, ULONG attributes) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    HandleEntry entry{kind, std::move(key), object, NextStamp()};
    auto process = manager.processes.find(tProcess);
    if ((attributes & OBJ_KERNEL_HANDLE) != 0 || process == manager.processes.end()) {
        const uintptr_t value = kKernelHandleBase + 4 * manager.nextKernelIndex++;
        manager.kernelHandles[value] = std::move(entry);
        return reinterpret_cast<HANDLE>(value);
    }
    const uintptr_t value = FreeProcessValue(process->second);
    process->second[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleEntry> LookupHandle(HANDLE handle) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    HandleTable* table = TableOfLocked(manager, handle);
    if (table == nullptr) return std::nullopt;
    auto found = table->find(reinterpret_cast<uintptr_t>(handle));
    if (found == table->end()) return std::nullopt;
    return found->second;
}

std::optional<HandleEntry> RemoveHandle(HANDLE handle) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    HandleTable* table = TableOfLocked(manager, handle);
    if (table == nullptr) return std::nullopt;
    auto found = table->find(reinterpret_cast<uintptr_t>(handle));
    if (found == table->end()) return std::nullopt;
    HandleEntry entry = std::move(found->second);
    table->erase(found);
    return entry;
}

std::vector<OpenHandle> HandlesSince(uint64_t stamp) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    std::vector<OpenHandle> open;
    auto collect = [&](const HandleTable& table) {
        for (const auto& [value, entry] : table)
            if (entry.stamp >= stamp) open.push_back({reinterpret_cast<HANDLE>(value), entry});
    };
    collect(manager.kernelHandles);
    for (const auto& [id, table] : manager.processes) collect(table);
    return open;
}

ProcessScope::ProcessScope(uint32_t process) : previous_(tProcess) { tProcess = process; }

ProcessScope::~ProcessScope() { tProcess = previous_; }

uint32_t CreateProcessTable() {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    const uint32_t id = manager.nextProcess++;
    manager.processes[id];
    return id;
}

std::vector<PVOID> DeleteProcessTable(uint32_t process) {
    ObjectManager& manager = Manager();
    std::vector<PVOID> referenced;
    std::lock_guard guard(manager.lock);
    auto found = manager.processes.find(process);
    if (found == manager.processes.end()) return referenced;
    for (const auto& [value, entry] : found->second)
        if (entry.object != nullptr) referenced.push_back(entry.object);
    manager.processes.erase(found);
    return referenced;
}

size_t ProcessHandleCount(uint32_t process) {
    ObjectManager& manager = Manager();
    std::lock_guard guard(manager.lock);
    auto found = manager.processes.find(process);
    return found == manager.processes.end() ? 0 : found->second.size();
}

}  // namespace detail
}  // namespace wrk

extern "C" {
// ntoskrnl exports these variables as POBJECT_TYPE: their value is the type
// itself, whatever the headers that import them call them.
POBJECT_TYPE* PsThreadType = reinterpret_cast<POBJECT_TYPE*>(&wrk::gThreadType);
POBJECT_TYPE* ExEventObjectType = reinterpret_cast<POBJECT_TYPE*>(&wrk::gEventType);
}

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
    // User mode cannot name what is in the kernel table.
    if (AccessMode != KernelMode && wrk::IsKernelHandle(Handle)) {
        return STATUS_INVALID_HANDLE;
    }
    wrk::HandleTable* table = wrk::TableOfLocked(manager, Handle);
    auto handle = table == nullptr ? wrk::HandleTable::iterator{} : table->find(reinterpret_cast<uintptr_t>(Handle));
    if (table == nullptr || handle == table->end()) {
        return STATUS_INVALID_HANDLE;
    }
    // A key handle names an object nobody can reference by pointer here.
    const POBJECT_TYPE type = wrk::TypeOf(handle->second.kind);
    if (type == nullptr || (ObjectType != nullptr && ObjectType != type)) {
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
        // Kernel code closing a kernel handle that is not there has lost
        // track of its handles: Windows stops.
        const bool kernelHandle = wrk::IsKernelHandle(Handle) || wrk::tProcess == 0;
        if (Handle != nullptr && kernelHandle) {
            wrk::Bugcheck("INVALID_KERNEL_HANDLE", "ZwClose of the invalid kernel handle " + wrk::Hex(Handle));
        }
        return STATUS_INVALID_HANDLE;
    }
    if (entry->object != nullptr) {
        ObfDereferenceObject(entry->object);
    }
    return STATUS_SUCCESS;
}
