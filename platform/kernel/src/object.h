// The object manager's share of the kernel: reference-counted objects, the
// kernel handle table and the handle table of every user process.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace wrk::detail {

// A number that grows with every pool allocation and handle, so that the
// loader can tell what was created after a driver was loaded.
uint64_t NextStamp();

enum class HandleKind { Key, Thread, Event };

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<void> key;  // the registry key, for HandleKind::Key
    PVOID object;               // the referenced object, for threads and events
    uint64_t stamp;
};

// Handles go where Windows puts them: into the kernel table when
// `attributes` has OBJ_KERNEL_HANDLE or the caller runs in the System
// process, into the calling thread's user process otherwise.
HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> key, PVOID object, ULONG attributes = 0);
// Both look in the table the handle belongs to as the calling thread sees it.
std::optional<HandleEntry> LookupHandle(HANDLE handle);
std::optional<HandleEntry> RemoveHandle(HANDLE handle);

struct OpenHandle {
    HANDLE handle;
    HandleEntry entry;
};
// In every table.
std::vector<OpenHandle> HandlesSince(uint64_t stamp);

// Thread creations and references, kept for ThreadCreations() (thread.cpp).
void NoteThreadReference(HANDLE handle, bool typeChecked);
// The calling host thread runs work items: Windows runs them in the system process.
void EnterSystemProcess();
// A user process's table: created empty, and deleted with whatever is left
// in it (the objects its handles referenced are returned, to be dereferenced).
uint32_t CreateProcessTable();
std::vector<PVOID> DeleteProcessTable(uint32_t process);
size_t ProcessHandleCount(uint32_t process);

// The user process a thread runs in while it issues a request (0: the System process).
class ProcessScope {
public:
    explicit ProcessScope(uint32_t process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    uint32_t previous_;
};

}  // namespace wrk::detail
