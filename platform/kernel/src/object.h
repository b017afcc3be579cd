// The object manager's share of the kernel: reference-counted objects and the
// kernel handle table that registry keys and threads share.
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

enum class HandleKind { Key, Thread };

struct HandleEntry {
    HandleKind kind;
    std::shared_ptr<void> key;  // the registry key, for HandleKind::Key
    PVOID object;               // the referenced object, for HandleKind::Thread
    uint64_t stamp;
};

HANDLE InsertHandle(HandleKind kind, std::shared_ptr<void> key, PVOID object);
std::optional<HandleEntry> LookupHandle(HANDLE handle);
std::optional<HandleEntry> RemoveHandle(HANDLE handle);

struct OpenHandle {
    HANDLE handle;
    HandleEntry entry;
};
std::vector<OpenHandle> HandlesSince(uint64_t stamp);

// Thread creations and references, kept for ThreadCreations() (thread.cpp).
void NoteThreadReference(HANDLE handle, bool typeChecked);
// The calling host thread runs work items: Windows runs them in the system process.
void EnterSystemProcess();

}  // namespace wrk::detail
