// I/O request packets: allocation, IofCallDriver, the completion walk, cancel,
// and the verifier's checks on the way a driver hands a request on.
#include "address_table.h"
#include "fast_lock.h"
#include "io_internal.h"

#include <host/kernel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace wrk::detail {
namespace {

constexpr uint32_t kIrpMagic = 0x50524957;  // "WIRP"
constexpr CSHORT kIoTypeIrp = 6;
constexpr ULONG kIrpPoolTag = 0x20707249;  // "Irp "

// What the verifier remembers about one stack location between the dispatch
// routine that received it and the completion that passes it.
struct LocationCheck {
    uint64_t generation = 0;  // bumped by every IofCallDriver into the location
    bool passed = false;      // the completion walk has left the location
    NTSTATUS passedStatus = 0;
    bool passedPending = false;
    bool expectPending = false;      // the dispatch returned STATUS_PENDING before the walk came
    bool expectStatus = false;       // the dispatch returned this status before the walk came
    NTSTATUS expectedStatus = 0;
    PDEVICE_OBJECT device = nullptr;
    // What the location held when it was sent: the walk clears it.
    UCHAR major = 0;
    UCHAR minor = 0;
    bool heldByPowerManager = false;  // pended by PoCallDriver before the driver saw it
};

// Stacks are rarely more than a few devices deep: their checks are kept in
// the record itself, so that an IRP costs one allocation; deeper ones spill.
constexpr size_t kLocationsInRecord = 8;

struct IrpRecord {
    uint32_t magic = kIrpMagic;
    FastLock lock;
    int activeCalls = 0;  // dispatch routines of this IRP still running
    int walking = 0;      // completion walks in progress
    bool freed = false;
    bool completed = false;     // a completion walk owns the IRP (not while a routine runs)
    bool finished = false;      // the walk reached the top: only the I/O manager may touch it now
    uint64_t completions = 0;   // IofCompleteRequest calls so far
    uint64_t initializations = 0;  // IoInitializeIrp / IoReuseIrp calls so far
    NTSTATUS lastError = STATUS_SUCCESS;  // the error the walk last marked with SL_ERROR_RETURNED
    IrpFinish finish;
    PDEVICE_OBJECT watched = nullptr;
    bool reachedWatched = false;
    std::vector<PDEVICE_OBJECT> powerReceivers;  // devices a SET/QUERY power IRP was sent to
    std::vector<PDEVICE_OBJECT> powerStarted;    // devices that called PoStartNextPowerIrp
    LocationCheck* checks = inRecord;            // index = stack location number (1..N)
    LocationCheck inRecord[kLocationsInRecord + 1];
    std::vector<LocationCheck> spilled;
};

// The IRP and its stack locations follow the record in the same block.
constexpr size_t kRecordSize = (sizeof(IrpRecord) + 15) / 16 * 16;

PIRP IrpOf(IrpRecord* record) { return reinterpret_cast<PIRP>(reinterpret_cast<char*>(record) + kRecordSize); }

std::atomic<size_t> g_liveIrps{0};
// Initial-exec, as the kernel's other thread-locals: every IofCallDriver reads them.
[[gnu::tls_model("initial-exec")]] thread_local bool t_inPoCallDriver = false;
[[gnu::tls_model("initial-exec")]] thread_local bool t_presentingHeldPower = false;

// The dispatch frames running on this thread, innermost last: a request
// forwarded with IoSkipCurrentIrpStackLocation arrives in the same location
// while the forwarding frame still runs.
struct Frame {
    IrpRecord* record;
    int location;
    uint64_t generation;
};
[[gnu::tls_model("initial-exec")]] thread_local std::vector<Frame> t_frames;

// Which records are allocated, and which were released lately, so that a
// call on a freed IRP is reported as such instead of reading freed memory.
constexpr size_t kReleasedMemory = 4096;
struct IrpRegistry {
    FastLock lock;
    AddressTable<bool> live;
    RecentAddresses<kReleasedMemory> released;
};

IrpRegistry& Registry() {
    static auto* registry = new IrpRegistry;  // outlives detached threads
    return *registry;
}

IrpRecord* RecordAddress(PIRP irp) {
    return reinterpret_cast<IrpRecord*>(reinterpret_cast<char*>(irp) - kRecordSize);
}

enum class RecordState { Live, Released, Unknown };

RecordState StateOf(IrpRecord* record) {
    IrpRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    if (registry.live.Find(record) != nullptr) return RecordState::Live;
    // A record allocated again since its release is live then, so finding
    // it among the recent releases means a pointer to it is a stale one.
    return registry.released.Contains(record) ? RecordState::Released : RecordState::Unknown;
}

// `useAfterFree` names the rule a call on a released IRP breaks.
IrpRecord* RecordOf(PIRP irp, const char* useAfterFree = "IRP_USED_AFTER_FREE") {
    if (irp == nullptr) Bugcheck("INVALID_IRP", "a null pointer is not an IRP");
    IrpRecord* record = RecordAddress(irp);
    const RecordState state = StateOf(record);
    if (state == RecordState::Live) return record;
    char text[64];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(irp));
    if (state == RecordState::Released) Bugcheck(useAfterFree, std::string("IRP ") + text + " was freed");
    Bugcheck("INVALID_IRP", std::string(text) + " is not an IRP");
}

void NoteAllocated(IrpRecord* record) {
    IrpRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    registry.live.Insert(record, true);
}

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// With the record's lock held.
std::string Describe(IrpRecord* record, PIRP irp, int location) {
    char text[96];
    const LocationCheck& check = record->checks[location];
    std::snprintf(text, sizeof text, "IRP %p, major 0x%02X minor 0x%02X, location %d",
                  static_cast<void*>(irp), check.major, check.minor, location);
    return text;
}

void Release(IrpRecord* record) {
    {
        IrpRegistry& registry = Registry();
        std::lock_guard guard(registry.lock);
        registry.live.Erase(record);
        registry.released.Note(record);
    }
    record->~IrpRecord();
    ExFreePoolWithTag(record, kIrpPoolTag);
}

// What the walk leaves behind in a location it passes, as Windows' own walk
// does: the major function and device stay, the error mark stays, the rest is
// gone, so a request sent again must be set up again.
void ClearLocation(PIO_STACK_LOCATION stack) {
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control &= SL_ERROR_RETURNED;
    std::memset(&stack->Parameters, 0, sizeof stack->Parameters);
    stack->FileObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
}

// Sets up an IRP's fields the way IoInitializeIrp does and starts its
// record afresh; the IRP's memory must be free of other users.
void InitializeLocked(IrpRecord* record, PIRP irp, USHORT packetSize, CCHAR stackSize) {
    std::memset(irp, 0, packetSize);
    irp->Type = kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    record->completed = record->finished = false;
    record->completions = 0;
    record->initializations++;
    record->lastError = STATUS_SUCCESS;
    record->watched = nullptr;
    record->reachedWatched = false;
    record->powerReceivers.clear();
    record->powerStarted.clear();
    const size_t locations = static_cast<size_t>(stackSize) + 1;
    if (locations <= std::size(record->inRecord)) {
        record->spilled.clear();
        record->checks = record->inRecord;
    } else {
        record->spilled.resize(locations);
        record->checks = record->spilled.data();
    }
    std::fill_n(record->checks, locations, LocationCheck{});
}

// With the record's lock held: whether nothing uses the memory any more.
bool Unused(IrpRecord* record) {
    return record->freed && record->activeCalls == 0 && record->walking == 0;
}

bool IsUnsetLocation(const IO_STACK_LOCATION* stack) {
    if (stack->MajorFunction != 0 || stack->MinorFunction != 0 || stack->Flags != 0 ||
        stack->FileObject != nullptr)
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&stack->Parameters);
    for (size_t i = 0; i < sizeof stack->Parameters; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// With the record's lock held: the walk is leaving `location`.
void PassLocationLocked(IrpRecord* record, PIRP irp, int location) {
    LocationCheck& check = record->checks[location];
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    check.passed = true;
    check.passedStatus = irp->IoStatus.Status;
    check.passedPending = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (check.expectPending && !check.passedPending)
        Bugcheck("PENDING_RETURNED_WITHOUT_MARK",
                 "dispatch routine returned STATUS_PENDING without IoMarkIrpPending: " + Describe(record, irp, location));
    if (check.expectStatus && check.passedPending && !check.heldByPowerManager)
        Bugcheck("PENDING_MARKED_BUT_NOT_RETURNED",
                 "IRP marked pending but the dispatch routine returned " + Hex(check.expectedStatus) + ": " +
                     Describe(record, irp, location));
    if (check.expectStatus && check.expectedStatus != check.passedStatus)
        Bugcheck("STATUS_MISMATCH", "dispatch routine returned " + Hex(check.expectedStatus) +
                                        " but completed with " + Hex(check.passedStatus) + ": " +
                                        Describe(record, irp, location));
    check.expectPending = check.expectStatus = false;
}

// With the record's lock held: the dispatch routine that received
// `location` returned `status`.
void CheckReturnLocked(IrpRecord* record, PIRP irp, int location, NTSTATUS status) {
    LocationCheck& check = record->checks[location];
    if (status == STATUS_PENDING) {
        if (check.passed) {
            if (!check.passedPending)
                Bugcheck("PENDING_RETURNED_WITHOUT_MARK",
                         "dispatch routine returned STATUS_PENDING without IoMarkIrpPending: " +
                             Describe(record, irp, location));
        } else {
            // Judged when the walk passes: a lower driver's completion on
            // another thread may still propagate the mark up to here.
            check.expectPending = true;
        }
        return;
    }
    if (check.passed) {
        if (check.passedPending && !check.heldByPowerManager)
            Bugcheck("PENDING_MARKED_BUT_NOT_RETURNED", "IRP marked pending but the dispatch routine returned " +
                                                            Hex(status) + ": " + Describe(record, irp, location));
        if (check.passedStatus != status)
            Bugcheck("STATUS_MISMATCH", "dispatch routine returned " + Hex(status) + " but completed with " +
                                            Hex(check.passedStatus) + ": " + Describe(record, irp, location));
        return;
    }
    if (record->walking == 0)
        Bugcheck("STATUS_RETURNED_FOR_UNFINISHED_IRP",
                 "dispatch routine returned " + Hex(status) +
                     " for an IRP that is neither completed nor marked pending: " + Describe(record, irp, location));
    // A completion on another thread is on its way up: judge when it passes.
    check.expectStatus = true;
    check.expectedStatus = status;
}

void CheckPowerStartedLocked(IrpRecord* record, PIRP irp) {
    for (PDEVICE_OBJECT device : record->powerReceivers) {
        bool started = false;
        for (PDEVICE_OBJECT d : record->powerStarted) started = started || d == device;
        if (!started) {
            char text[64];
            std::snprintf(text, sizeof text, "device %p, IRP %p", static_cast<void*>(device),
                          static_cast<void*>(irp));
            Bugcheck("PO_START_NEXT_POWER_IRP_MISSING", std::string("power IRP completed without ") +
                                                            "PoStartNextPowerIrp by every driver: " + text);
        }
    }
}

}  // namespace

PIRP AllocateIrp(CCHAR stackSize, IrpFinish finish) {
    if (stackSize < 1) return nullptr;
    const size_t size = kRecordSize + IoSizeOfIrp(stackSize);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, size, kIrpPoolTag);
    if (memory == nullptr) return nullptr;
    auto* record = new (memory) IrpRecord();
    record->finish = std::move(finish);
    PIRP irp = IrpOf(record);
    InitializeLocked(record, irp, IoSizeOfIrp(stackSize), stackSize);
    NoteAllocated(record);
    g_liveIrps.fetch_add(1);
    return irp;
}

void SetIrpFinish(PIRP irp, IrpFinish finish) { RecordOf(irp)->finish = std::move(finish); }

void WatchIrpDelivery(PIRP irp, PDEVICE_OBJECT device) {
    IrpRecord* record = RecordOf(irp);
    std::lock_guard guard(record->lock);
    record->watched = device;
    record->reachedWatched = false;
}

bool IrpReachedWatched(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    std::lock_guard guard(record->lock);
    return record->reachedWatched;
}

bool NotePowerStartNext(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if (irp->CurrentLocation > irp->StackCount)
        Bugcheck("PO_START_NEXT_POWER_IRP_MISPLACED", "PoStartNextPowerIrp for a power IRP no driver holds");
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_POWER)
        Bugcheck("PO_START_NEXT_POWER_IRP_MISPLACED", "PoStartNextPowerIrp for an IRP that is not a power IRP");
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) return false;
    std::lock_guard guard(record->lock);
    for (PDEVICE_OBJECT device : record->powerStarted)
        if (device == stack->DeviceObject) {
            char text[64];
            std::snprintf(text, sizeof text, "device %p, IRP %p", static_cast<void*>(device),
                          static_cast<void*>(irp));
            Bugcheck("PO_START_NEXT_POWER_IRP_TWICE", std::string("PoStartNextPowerIrp called twice: ") + text);
        }
    record->powerStarted.push_back(stack->DeviceObject);
    return true;
}

bool InDispatchRoutine() { return !t_frames.empty(); }

void SetPoCallDriverActive(bool active) { t_inPoCallDriver = active; }

void SetHeldPowerPresentation(bool held) { t_presentingHeldPower = held; }

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {
size_t LiveIrpCount() { return g_liveIrps.load(); }
}  // namespace wrk

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return AllocateIrp(StackSize, nullptr);
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    IrpRecord* record = RecordAddress(Irp);
    switch (StateOf(record)) {
    case RecordState::Live:
        break;
    case RecordState::Released:
        wrk::Bugcheck("IRP_USED_AFTER_FREE", "IoInitializeIrp of a freed IRP");
    case RecordState::Unknown:
        wrk::Bugcheck("INVALID_IRP", "IoInitializeIrp of memory IoAllocateIrp did not give: the emulated I/O "
                                     "manager checks only IRPs it allocated");
    }
    std::lock_guard guard(record->lock);
    if (record->freed) wrk::Bugcheck("IRP_USED_AFTER_FREE", "IoInitializeIrp of a freed IRP");
    if (StackSize < 1 || StackSize > Irp->StackCount || PacketSize < IoSizeOfIrp(StackSize) ||
        PacketSize > Irp->Size)
        wrk::Bugcheck("IRP_INITIALIZED_BEYOND_ITS_MEMORY",
                      "IoInitializeIrp with a size or stack count larger than the IRP was allocated with");
    InitializeLocked(record, Irp, PacketSize, StackSize);
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpRecord* record = RecordOf(Irp);
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        wrk::Bugcheck("IRP_REUSED_WITH_CANCEL_ROUTINE", "IoReuseIrp while a cancel routine is set");
    if (Irp->Tail.Overlay.Thread != nullptr)
        wrk::Bugcheck("THREAD_IRP_REUSED", "IoReuseIrp of an IRP the I/O manager finishes for its thread");
    const UCHAR allocationFlags = Irp->AllocationFlags;
    {
        std::lock_guard guard(record->lock);
        if (record->freed) wrk::Bugcheck("IRP_USED_AFTER_FREE", "IoReuseIrp of a freed IRP");
        InitializeLocked(record, Irp, Irp->Size, Irp->StackCount);
    }
    Irp->IoStatus.Status = Iostatus;
    Irp->AllocationFlags = allocationFlags;
}

void IoFreeIrp(PIRP Irp) {
    IrpRecord* record = RecordOf(Irp, "IRP_FREED_TWICE");
    bool release;
    {
        std::lock_guard guard(record->lock);
        if (record->freed) wrk::Bugcheck("IRP_FREED_TWICE", "IoFreeIrp of an IRP already freed");
        // A request built for a thread is the I/O manager's to free once its
        // completion is over; a driver freeing it pulls it from under the thread.
        if (Irp->Tail.Overlay.Thread != nullptr && !record->finished)
            wrk::Bugcheck("THREAD_IRP_FREED", "IoFreeIrp of an IRP built for a thread (IoBuildDeviceIoControlRequest "
                                              "or a user request): the I/O manager frees it when it completes");
        record->freed = true;
        release = Unused(record);
    }
    g_liveIrps.fetch_sub(1);
    if (release) Release(record);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IrpRecord* record = RecordOf(Irp, "IRP_SENT_AFTER_FREE");
    if (Irp->CurrentLocation <= 1)
        wrk::Bugcheck("NO_MORE_IRP_STACK_LOCATIONS", "IofCallDriver with no stack location left");
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    if (IsUnsetLocation(next))
        wrk::Bugcheck("IRP_FORWARDED_WITHOUT_STACK_LOCATION",
                      "IofCallDriver with a next stack location nobody filled "
                      "(no IoSkipCurrentIrpStackLocation or IoCopyCurrentIrpStackLocationToNext)");
    if (next->MajorFunction == IRP_MJ_POWER && !t_inPoCallDriver)
        wrk::Bugcheck("POWER_IRP_WITHOUT_POCALLDRIVER", "power IRP sent with IofCallDriver instead of PoCallDriver");
    t_inPoCallDriver = false;
    const bool heldByPowerManager = std::exchange(t_presentingHeldPower, false);

    const int location = Irp->CurrentLocation - 1;
    // A skip-forward arrives in the location the forwarding frame received.
    const bool skipForward = !t_frames.empty() && t_frames.back().record == record && t_frames.back().location == location;
    uint64_t generation;
    {
        std::lock_guard guard(record->lock);
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        next->DeviceObject = DeviceObject;
        if (record->freed) wrk::Bugcheck("IRP_SENT_AFTER_FREE", "IofCallDriver of a freed IRP");
        if (record->finished) wrk::Bugcheck("IRP_SENT_AFTER_COMPLETION", "IofCallDriver of an IRP whose completion "
                                                                        "reached the top");
        record->activeCalls++;
        LocationCheck& check = record->checks[location];
        generation = ++check.generation;
        check.passed = check.expectPending = check.expectStatus = false;
        check.device = DeviceObject;
        check.major = next->MajorFunction;
        check.minor = next->MinorFunction;
        check.heldByPowerManager = heldByPowerManager || (skipForward && check.heldByPowerManager);
        if (DeviceObject == record->watched) record->reachedWatched = true;
        if (next->MajorFunction == IRP_MJ_POWER &&
            (next->MinorFunction == IRP_MN_SET_POWER || next->MinorFunction == IRP_MN_QUERY_POWER))
            record->powerReceivers.push_back(DeviceObject);
    }
    t_frames.push_back({record, location, generation});

    const KIRQL irql = KeGetCurrentIrql();
    const UCHAR major = next->MajorFunction;
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major]
                                                                 : nullptr;
    const NTSTATUS status = dispatch != nullptr ? dispatch(DeviceObject, Irp) : wrk::DefaultDispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql) {
        char text[96];
        std::snprintf(text, sizeof text, "dispatch routine for major 0x%02X entered at IRQL %d, returned at %d", major,
                      irql, KeGetCurrentIrql());
        wrk::Bugcheck("IRQL_CHANGED_BY_DISPATCH", text);
    }

    Frame frame = t_frames.back();
    t_frames.pop_back();
    bool release;
    {
        std::lock_guard guard(record->lock);
        const LocationCheck& check = record->checks[location];
        // A request sent into this location again from elsewhere (after it
        // came back, or set up afresh) is judged by its own frame.
        if (check.generation == frame.generation) CheckReturnLocked(record, Irp, location, status);
        record->activeCalls--;
        release = Unused(record);
    }
    // The outer frame of a skip-forward shares this location.
    if (skipForward) t_frames.back().generation = record->checks[location].generation;
    if (release) Release(record);
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    IrpRecord* record = RecordOf(Irp, "IRP_COMPLETED_AFTER_FREE");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        wrk::Bugcheck("IRP_COMPLETED_WITH_PENDING", "IofCompleteRequest with STATUS_PENDING");
    // IoCancelIrp may take the routine out on another processor right now.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        wrk::Bugcheck("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IofCompleteRequest while a cancel routine is set");
    {
        std::lock_guard guard(record->lock);
        // A completion routine that returned STATUS_MORE_PROCESSING_REQUIRED at
        // the top location hands the IRP back; completing it again from there
        // only finishes it. Anything beyond that location is a second completion.
        if (record->completed || record->finished || Irp->CurrentLocation > Irp->StackCount + 1)
            wrk::Bugcheck("IRP_COMPLETED_TWICE", "IofCompleteRequest of a completed IRP");
        if (record->freed) wrk::Bugcheck("IRP_COMPLETED_AFTER_FREE", "IofCompleteRequest of a freed IRP");
        record->completed = true;
        record->completions++;
        record->walking++;
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        NTSTATUS lastError;
        {
            // Under the record's lock: IoCancelIrp reads where the IRP is.
            std::lock_guard guard(record->lock);
            PassLocationLocked(record, Irp, Irp->CurrentLocation);
            lastError = record->lastError;
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
        }
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        // The locations where an error first appeared, or was changed by a
        // completion routine, keep that mark.
        if (!NT_SUCCESS(status) && status != lastError) {
            stack->Control |= SL_ERROR_RETURNED;
            std::lock_guard guard(record->lock);
            record->lastError = status;
        }
        const bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const PVOID context = stack->Context;
        const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                                                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                                                   (cancelled && (stack->Control & SL_INVOKE_ON_CANCEL)));
        ClearLocation(stack);
        if (invoke) {
            PDEVICE_OBJECT upper =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            // While its routine runs the IRP is that driver's, which may
            // complete it again (and then must return STATUS_MORE_PROCESSING_REQUIRED).
            uint64_t completions;
            uint64_t initializations;
            {
                std::lock_guard guard(record->lock);
                record->completed = false;
                completions = record->completions;
                initializations = record->initializations;
            }
            const KIRQL irql = KeGetCurrentIrql();
            const NTSTATUS routineStatus = routine(upper, Irp, context);
            if (KeGetCurrentIrql() != irql) {
                char text[80];
                std::snprintf(text, sizeof text, "completion routine entered at IRQL %d, returned at %d", irql,
                              KeGetCurrentIrql());
                wrk::Bugcheck("IRQL_CHANGED_BY_COMPLETION_ROUTINE", text);
            }
            if (routineStatus == STATUS_MORE_PROCESSING_REQUIRED) {
                // The IRP is its owner's again, and may already be freed.
                bool release;
                {
                    std::lock_guard guard(record->lock);
                    record->walking--;
                    release = Unused(record);
                }
                if (release) Release(record);
                return;
            }
            std::lock_guard guard(record->lock);
            if (record->freed)
                wrk::Bugcheck("IRP_FREED_IN_COMPLETION",
                              "completion routine freed the IRP without returning STATUS_MORE_PROCESSING_REQUIRED");
            if (record->initializations != initializations)
                wrk::Bugcheck("IRP_REUSED_IN_COMPLETION",
                              "completion routine set the IRP up again without returning "
                              "STATUS_MORE_PROCESSING_REQUIRED");
            if (record->completions != completions)
                wrk::Bugcheck("IRP_COMPLETED_TWICE",
                              "IRP completed again during its completion routine, which then did not return "
                              "STATUS_MORE_PROCESSING_REQUIRED");
            record->completed = true;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    IrpFinish finish;
    {
        std::lock_guard guard(record->lock);
        CheckPowerStartedLocked(record, Irp);
        // Moved out: the record is not completed again once finished.
        finish = std::move(record->finish);
        if (finish) record->finished = true;
    }
    if (!finish)
        wrk::Bugcheck("IRP_COMPLETED_PAST_ITS_OWNER",
                      "an IRP allocated by a driver was completed to the top: its completion routine must "
                      "return STATUS_MORE_PROCESSING_REQUIRED and free it");
    finish(Irp);
    bool release;
    {
        std::lock_guard guard(record->lock);
        record->walking--;
        release = Unused(record);
    }
    if (release) Release(record);
}

}  // extern "C"

namespace {
KSPIN_LOCK g_cancelLock = 0;
}

extern "C" {

void IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&g_cancelLock); }

void IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN IoCancelIrp(PIRP Irp) {
    IrpRecord* record = RecordOf(Irp, "CANCEL_STATE_IN_COMPLETED_IRP");
    {
        std::lock_guard guard(record->lock);
        if (record->freed || record->finished)
            wrk::Bugcheck("CANCEL_STATE_IN_COMPLETED_IRP", "IoCancelIrp of an IRP whose completion is over");
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device;
    {
        // The holder may be completing the IRP on another processor already.
        std::lock_guard guard(record->lock);
        device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    }
    // The routine releases the cancel spin lock.
    routine(device, Irp);
    return TRUE;
}

}  // extern "C"
