// Host-side control of the emulated kernel: what tests, the simulator and the
// other platform libraries use to set up, inspect and break the kernel the
// driver runs on. Driver code never includes this header.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wrk {

// ------------------------------------------------------------------ verifier

// Stops the run the way a bug check stops Windows: prints
// "*** BUGCHECK: <rule>: <details>" to stderr and aborts.
[[noreturn]] void Bugcheck(const std::string& rule, const std::string& details);

// ---------------------------------------------------------------------- pool

size_t PoolOutstandingBlocks();
size_t PoolOutstandingBytes();
// Outstanding blocks per pool tag (a count of blocks, not bytes).
std::map<ULONG, size_t> PoolOutstandingByTag();
// One line per outstanding block: tag, pool type, size, address.
std::string PoolReport();
// Allocation requests so far, the failed ones included: a run that made N
// requests can be repeated with each of them failed in turn.
uint64_t PoolAllocationCount();
// The n-th allocation request from now returns NULL (1 = the next one).
void PoolFailNthAllocation(uint64_t n);
// Every allocation with this tag returns NULL while set.
void PoolFailTag(ULONG tag, bool fail);
// Driver Verifier's low-resources simulation: from now on every allocation a
// driver image asks for, itself or through a kernel routine (IRPs, work
// items, system buffers), fails with `probability`; which ones is a function
// of `seed`. The kernel's own requests (the PnP and power managers', user
// requests') never fail. Cleared by PoolClearFaults.
void PoolFailRandomly(double probability, uint64_t seed);
// Allocations the simulation failed since it was last set.
uint64_t PoolRandomFailures();
void PoolClearFaults();

// -------------------------------------------------------------- debug output

// One entry per DbgPrint call, its text exactly as formatted (the trailing
// newline kept).
std::vector<std::string> DebugMessages();
// Everything printed, in order, as one text.
std::string DebugText();
// DebugText() split at newlines, without them; an unfinished last line is kept.
std::vector<std::string> DebugLines();
// How many times `needle` occurs in DebugText().
size_t DebugCount(const std::string& needle);
// Waits (real time) until `needle` occurs at least `occurrences` times in
// DebugText(); false on time-out. For tests that await a thread's message.
bool WaitForDebugText(const std::string& needle, size_t occurrences = 1,
                      std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
void ClearDebugMessages();
// Copies every DbgPrint to stderr as well; also switched on by the
// environment variable WRENLOK_DEBUG_ECHO=1.
void SetDebugEcho(bool echo);

// ------------------------------------------------------------------ registry

struct RegistryValue {
    ULONG type;
    std::vector<uint8_t> data;
};

// Key paths are absolute, e.g. u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok";
// names compare case-insensitively. Missing keys on the way are created.
void RegistryCreateKey(std::u16string keyPath);
void RegistrySetValue(std::u16string keyPath, std::u16string name, ULONG type, std::vector<uint8_t> data);
// Shorthands for the two common value types.
void RegistrySetDword(std::u16string keyPath, std::u16string name, ULONG value);
std::optional<RegistryValue> RegistryGetValue(std::u16string keyPath, std::u16string name);
// Back to an empty registry holding only \REGISTRY. Open key handles stay
// valid but refer to keys no longer in the tree.
void RegistryReset();

// ------------------------------------------------------------------- clock

// How many real seconds one second of driver time takes (default 1.0). Every
// kernel time-out, delay and KeQuerySystemTime runs on driver time.
void SetTimeScale(double realSecondsPerDriverSecond);
double TimeScale();
// Driver time elapsed since the kernel started.
double DriverTimeSeconds();

// ------------------------------------------------------- threads and objects

// The next PsCreateSystemThread fails with `status` and starts nothing.
void FailNextThreadCreation(NTSTATUS status);
// The next ObReferenceObjectByHandle fails with `status`.
void FailNextThreadReference(NTSTATUS status);
void ClearThreadFaults();
// System threads started with PsCreateSystemThread that have not ended.
size_t LiveThreadCount();
// Waits (real time) until no system thread is alive; false on time-out.
bool WaitForThreadsToEnd(std::chrono::milliseconds realTimeout);
// The priority last set with KeSetPriorityThread (8 for a new thread).
KPRIORITY ThreadPriority(PKTHREAD thread);
// Waits (real time) until at least `count` threads wait on the dispatcher
// object (an event or a thread); false on time-out.
bool WaitForWaiters(PVOID object, size_t count, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
// Waits (real time) until the thread sleeps in a kernel wait or delay; false
// on time-out.
bool WaitForThreadToBlock(PKTHREAD thread, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
// How many times the dispatcher has woken the thread out of a wait: by a
// signal that released it, its time-out being re-timed, or a kernel APC.
uint64_t ThreadWakeUps(PKTHREAD thread);
// Handles (registry keys, threads, events) open in the kernel table and in
// every user process's.
size_t OpenHandleCount();

// Deferred work of another platform part (the bus's pended completions)
// that a thread about to sleep in a kernel wait runs first, as a Windows
// processor retires its DPC queue before it switches threads: a driver's
// system thread, or any thread waiting inside a dispatch routine. The wait
// then looks at its object again. RunDeferred runs one item at PASSIVE_LEVEL
// and says whether there was one. It must be safe to call from any such
// thread; removal waits until no thread runs the source.
class DeferredWorkSource {
public:
    virtual bool RunDeferred() = 0;

protected:
    ~DeferredWorkSource() = default;
};
void AddDeferredWorkSource(DeferredWorkSource* source);
void RemoveDeferredWorkSource(DeferredWorkSource* source);
// Whether the calling thread runs deferred work in its next kernel wait as a
// rule: a driver's system thread, which sleeps only in kernel waits or ends,
// or a thread inside a dispatch routine, which waits there for what it sent
// down unless it pends its own request.
bool WaitsRunDeferredWork();

// A device's interrupt as a descriptor that becomes readable (a radio's
// socket). A driver's system thread that goes to sleep in a kernel wait takes
// the lines over and polls them while it sleeps; when one becomes readable it
// runs Service() itself, as a processor takes an interrupt and its DPC in
// whatever thread it was running, and then looks at its wait again. The
// request it waits for is often completed right there, with no other thread
// woken in between. The thread keeps a line until another system thread
// sleeps, or it sleeps where it may not run such work, or it ends.
//
// While no kernel thread has it, the line's own thread serves it:
// KernelPolls(true) says a kernel thread has taken it over (the line's thread
// stops reading), KernelPolls(false) that it is handed back. Both are called
// with kernel locks held: they may only note the change and wake the line's
// thread.
class InterruptLine {
public:
    // The descriptor to poll for input, or -1 once the line is dead.
    virtual int Fd() = 0;
    // Takes what has arrived without waiting and hands it on; runs at
    // PASSIVE_LEVEL in a sleeping system thread, with no kernel lock held.
    virtual void Service() = 0;
    virtual void KernelPolls(bool polling) = 0;

protected:
    ~InterruptLine() = default;
};
void ConnectInterruptLine(InterruptLine* line);
// Waits until no kernel thread polls or serves the line (except the calling
// thread's own Service()); afterwards the line's thread has it for good.
void DisconnectInterruptLine(InterruptLine* line);

// How a system thread was created, and how its handle was referenced.
struct ThreadCreation {
    ACCESS_MASK desiredAccess;
    bool hasObjectAttributes;
    ULONG attributes;  // of the OBJECT_ATTRIBUTES passed, 0 without
    HANDLE processHandle;
    // Created from a system thread or a work item, which Windows runs in the
    // system process; other host threads (tests, host stacks, and the
    // managers, which run in their caller's thread) count as user processes.
    bool fromSystemProcess;
    KIRQL irql;
    // ObReferenceObjectByHandle calls on the handle, and those that named
    // *PsThreadType as the type.
    int references;
    int typeCheckedReferences;
};
// Every successful PsCreateSystemThread since the process started, in order.
std::vector<ThreadCreation> ThreadCreations();

// Lets other platform parts give their objects a reference count handled by
// ObfReferenceObject / ObfDereferenceObject; `destroy` runs when it reaches 0.
void RegisterObject(PVOID object, LONG_PTR references, std::function<void(PVOID)> destroy);
// Current reference count of a registered object, or 0 for an unknown one.
LONG_PTR ObjectReferenceCount(PVOID object);

// --------------------------------------------------------------------- IRQL

// The calling thread's IRQL, set directly (tests that play a caller at
// DISPATCH_LEVEL; the scope below puts it back to PASSIVE_LEVEL).
void SetCurrentIrql(KIRQL irql);

// -------------------------------------------------------------- driver image

inline constexpr char16_t kDefaultServiceKey[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok";

// One loaded driver: the DRIVER_OBJECT the I/O manager knows it by, and the
// image its routines live in.
class DriverImage {
public:
    // Maps the shared object with its own fresh globals and runs DriverEntry.
    // Throws std::runtime_error if the image cannot be mapped or has no
    // DriverEntry; a failing DriverEntry is reported by EntryStatus().
    static std::unique_ptr<DriverImage> Load(const std::string& path,
                                             std::u16string registryPath = kDefaultServiceKey);
    // The same for a driver linked into the test itself.
    static std::unique_ptr<DriverImage> FromEntry(PDRIVER_INITIALIZE entry,
                                                  std::u16string registryPath = kDefaultServiceKey);

    NTSTATUS EntryStatus() const;
    PDRIVER_OBJECT Object();
    // An exported symbol of the loaded image (null for FromEntry images and
    // after unload).
    void* Symbol(const char* name) const;
    bool Loaded() const;

    // Calls DriverUnload (when DriverEntry succeeded), then checks that the
    // driver left nothing behind: pool it allocated, open handles, live
    // threads, live IRPs, device objects. Any leak is a bug check.
    void Unload();
    // The same, but returns the leaks (empty when clean) instead of stopping.
    std::vector<std::string> UnloadReportingLeaks();

    // Unloads if still loaded; leaks are printed to stderr, not bug-checked,
    // so a test that already failed is not turned into a crash. An image
    // kept mapped at unload for threads, devices or IRPs it left is unmapped
    // here if they are gone by now.
    ~DriverImage();

    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

private:
    DriverImage();
    void Start(PDRIVER_INITIALIZE entry, std::u16string registryPath);
    struct State;
    std::unique_ptr<State> state_;
};

// ------------------------------------------------------------- test scopes

// Puts the kernel's global state back to its starting values on entry and on
// exit: pool and thread faults, registry, debug messages and echo, time scale
// (set to `timeScale` inside the scope) and the calling thread's IRQL.
class ScopedKernelState {
public:
    explicit ScopedKernelState(double timeScale = 1.0);
    ~ScopedKernelState();
    ScopedKernelState(const ScopedKernelState&) = delete;
    ScopedKernelState& operator=(const ScopedKernelState&) = delete;
};

}  // namespace wrk
