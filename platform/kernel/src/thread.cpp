// System threads. Each runs on its own host thread; PsTerminateSystemThread
// unwinds back to the thread's first frame with a private exception, so the
// driver's routine never returns and no frame above it runs again.
#include "dispatcher.h"
#include "interrupt_lines.h"
#include "irql.h"
#include "kthread.h"
#include "object.h"

#include <host/kernel.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>
#include <pthread.h>

namespace wrk {
namespace {

// Windows starts system threads at this priority.
constexpr KPRIORITY kDefaultPriority = 8;

struct ThreadExit {
    NTSTATUS status;
};

struct ThreadFaults {
    std::mutex lock;
    NTSTATUS creationFault = STATUS_SUCCESS;
};

ThreadFaults& Faults() {
    static ThreadFaults* faults = new ThreadFaults;
    return *faults;
}

// Counted under the dispatcher lock.
size_t gLiveThreads = 0;
std::condition_variable& ThreadsEnded() {
    static auto* ended = new std::condition_variable;  // outlives detached threads
    return *ended;
}

// Every PsCreateSystemThread that succeeded, with the handle it returned.
struct CreationLog {
    std::mutex lock;
    std::vector<std::pair<HANDLE, ThreadCreation>> creations;
};

CreationLog& Creations() {
    static CreationLog* log = new CreationLog;
    return *log;
}

[[gnu::tls_model("initial-exec")]] thread_local PKTHREAD tCurrentThread = nullptr;
// System threads and the work-item workers: what Windows runs in the system
// process. Every other host thread plays a thread of some user process.
[[gnu::tls_model("initial-exec")]] thread_local bool tInSystemProcess = false;
// The record of a host thread (a test, the simulator) the first time it asks
// who it is; its end is checked as a system thread's is.
struct HostThreadRecord {
    std::unique_ptr<_KTHREAD> record;
    ~HostThreadRecord() {
        if (record) {
            detail::EndThreadIo(record.get(), "thread");
        }
    }
};
[[gnu::tls_model("initial-exec")]] thread_local HostThreadRecord tHostThread;

void InitializeThreadRecord(_KTHREAD& thread, bool system, PKSTART_ROUTINE start, PVOID context) {
    thread.Header.Type = detail::kThreadObjectType;
    thread.Header.Size = sizeof(_KTHREAD) / sizeof(LONG);
    thread.Header.SignalState = 0;
    thread.Header.WaitListHead.Flink = &thread.Header.WaitListHead;
    thread.Header.WaitListHead.Blink = &thread.Header.WaitListHead;
    thread.priority = kDefaultPriority;
    thread.system = system;
    thread.startRoutine = start;
    thread.startContext = context;
    thread.terminated = false;
    thread.unreferenced = false;
    thread.irps.Flink = thread.irps.Blink = &thread.irps;
}

// The object's last reference is gone; a thread still running keeps its
// record until it ends.
void ThreadObjectUnreferenced(PVOID object) {
    auto* thread = static_cast<PKTHREAD>(object);
    {
        std::lock_guard guard(detail::DispatcherLock());
        if (!thread->terminated) {
            thread->unreferenced = true;
            return;
        }
    }
    delete thread;
}

void RunSystemThread(PKTHREAD thread) {
    pthread_setname_np(pthread_self(), "kernel-system");
    tCurrentThread = thread;
    tInSystemProcess = true;
    SetCurrentIrql(PASSIVE_LEVEL);
    try {
        thread->startRoutine(thread->startContext);
    } catch (const ThreadExit&) {
        // PsTerminateSystemThread: the normal way out.
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || detail::HeldSpinLockCount() != 0) {
        Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "system thread ended at IRQL " + std::to_string(KeGetCurrentIrql()) + " holding " +
                     std::to_string(detail::HeldSpinLockCount()) + " spin lock(s)");
    }
    detail::EndThreadIo(thread, "system thread");
    tCurrentThread = nullptr;
    bool unreferenced;
    {
        std::lock_guard guard(detail::DispatcherLock());
        detail::ReleaseInterruptLinesLocked(thread);
        detail::SignalForeverLocked(&thread->Header);
        thread->terminated = true;
        unreferenced = thread->unreferenced;
        if (--gLiveThreads == 0) {
            ThreadsEnded().notify_all();
        }
    }
    if (unreferenced) {
        delete thread;
    }
}

}  // namespace

namespace detail {

void EnterSystemProcess() {
    tInSystemProcess = true;
}

void NoteThreadReference(HANDLE handle, bool typeChecked) {
    CreationLog& log = Creations();
    std::lock_guard guard(log.lock);
    // Handles are never reused: the latest creation with this one is its own.
    for (auto entry = log.creations.rbegin(); entry != log.creations.rend(); ++entry) {
        if (entry->first == handle) {
            ++entry->second.references;
            if (typeChecked) ++entry->second.typeCheckedReferences;
            return;
        }
    }
}

}  // namespace detail

std::vector<ThreadCreation> ThreadCreations() {
    CreationLog& log = Creations();
    std::lock_guard guard(log.lock);
    std::vector<ThreadCreation> all;
    for (const auto& entry : log.creations) all.push_back(entry.second);
    return all;
}

void FailNextThreadCreation(NTSTATUS status) {
    std::lock_guard guard(Faults().lock);
    Faults().creationFault = status;
}

void ClearThreadFaults() {
    FailNextThreadCreation(STATUS_SUCCESS);
    FailNextThreadReference(STATUS_SUCCESS);
}

size_t LiveThreadCount() {
    std::lock_guard guard(detail::DispatcherLock());
    return gLiveThreads;
}

bool WaitForThreadsToEnd(std::chrono::milliseconds realTimeout) {
    std::unique_lock guard(detail::DispatcherLock());
    return ThreadsEnded().wait_for(guard, realTimeout, [] { return gLiveThreads == 0; });
}

KPRIORITY ThreadPriority(PKTHREAD thread) {
    return thread->priority;
}

namespace detail {

PKTHREAD CurrentThreadRecord() {
    return tCurrentThread;
}

}  // namespace detail
}  // namespace wrk

extern "C" PKTHREAD KeGetCurrentThread(void) {
    if (wrk::tCurrentThread == nullptr) {
        wrk::tHostThread.record = std::make_unique<_KTHREAD>();
        wrk::InitializeThreadRecord(*wrk::tHostThread.record, false, nullptr, nullptr);
        wrk::tCurrentThread = wrk::tHostThread.record.get();
    }
    return wrk::tCurrentThread;
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    wrk::detail::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        wrk::Bugcheck("INVALID_PARAMETER", "KeSetPriorityThread to priority " + std::to_string(Priority));
    }
    return Thread->priority.exchange(Priority);
}

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                         PVOID StartContext) {
    wrk::detail::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    {
        auto& faults = wrk::Faults();
        std::lock_guard guard(faults.lock);
        if (faults.creationFault != STATUS_SUCCESS) {
            return std::exchange(faults.creationFault, STATUS_SUCCESS);
        }
    }
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* thread = new _KTHREAD();
    wrk::InitializeThreadRecord(*thread, true, StartRoutine, StartContext);
    // The handle's reference; the running thread keeps the record by itself.
    wrk::RegisterObject(thread, 1, wrk::ThreadObjectUnreferenced);
    HANDLE handle = wrk::detail::InsertHandle(wrk::detail::HandleKind::Thread, nullptr, thread,
                                               ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0);
    {
        std::lock_guard guard(wrk::detail::DispatcherLock());
        ++wrk::gLiveThreads;
    }
    try {
        std::thread(wrk::RunSystemThread, thread).detach();
    } catch (const std::system_error&) {
        {
            std::lock_guard guard(wrk::detail::DispatcherLock());
            --wrk::gLiveThreads;
        }
        wrk::detail::RemoveHandle(handle);
        thread->terminated = true;
        ObfDereferenceObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    {
        wrk::ThreadCreation creation{};
        creation.desiredAccess = DesiredAccess;
        creation.hasObjectAttributes = ObjectAttributes != nullptr;
        creation.attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
        creation.processHandle = ProcessHandle;
        creation.fromSystemProcess = wrk::tInSystemProcess;
        creation.irql = KeGetCurrentIrql();
        wrk::CreationLog& log = wrk::Creations();
        std::lock_guard guard(log.lock);
        log.creations.emplace_back(handle, creation);
    }
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the System process
        ClientId->UniqueThread = handle;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    PKTHREAD current = KeGetCurrentThread();
    if (!current->system) {
        wrk::Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "PsTerminateSystemThread called outside a system thread");
    }
    throw wrk::ThreadExit{ExitStatus};
}
