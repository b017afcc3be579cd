// I/O request packets: allocation, IofCallDriver, the completion walk, cancel,
// and the verifier's checks on the way a driver hands a request on.
#include "io_internal.h"

#include <host/kernel.h>

#include <cstdio>
#include <cstring>
#include <new>

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
};

struct IrpRecord {
    uint32_t magic = kIrpMagic;
    std::mutex lock;
    int activeCalls = 0;  // dispatch routines of this IRP still running
    int walking = 0;      // completion walks in progress
    bool freed = false;
    bool completed = false;     // a completion walk owns the IRP (not while a routine runs)
    uint64_t completions = 0;   // IofCompleteRequest calls so far
    IrpFinish finish;
    PDEVICE_OBJECT watched = nullptr;
    bool reachedWatched = false;
    std::vector<PDEVICE_OBJECT> powerReceivers;  // devices a SET/QUERY power IRP was sent to
    std::vector<PDEVICE_OBJECT> powerStarted;    // devices that called PoStartNextPowerIrp
    std::vector<LocationCheck> checks;           // index = stack location number (1..N)
};

// The IRP and its stack locations follow the record in the same block.
constexpr size_t kRecordSize = (sizeof(IrpRecord) + 15) / 16 * 16;

PIRP IrpOf(IrpRecord* record) { return reinterpret_cast<PIRP>(reinterpret_cast<char*>(record) + kRecordSize); }

std::atomic<size_t> g_liveIrps{0};
thread_local bool t_inPoCallDriver = false;

// The dispatch frames running on this thread, innermost last: a request
// forwarded with IoSkipCurrentIrpStackLocation arrives in the same location
// while the forwarding frame still runs.
struct Frame {
    IrpRecord* record;
    int location;
    uint64_t generation;
};
thread_local std::vector<Frame> t_frames;

IrpRecord* RecordOf(PIRP irp) {
    auto* record = irp == nullptr ? nullptr : reinterpret_cast<IrpRecord*>(reinterpret_cast<char*>(irp) - kRecordSize);
    if (record == nullptr || record->magic != kIrpMagic) {
        char text[64];
        std::snprintf(text, sizeof text, "%p is not an IRP", static_cast<void*>(irp));
        Bugcheck("INVALID_IRP", text);
    }
    return record;
}

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Describe(PIRP irp, int location) {
    char text[96];
    const IO_STACK_LOCATION* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
    std::snprintf(text, sizeof text, "IRP %p, major 0x%02X minor 0x%02X, location %d",
                  static_cast<void*>(irp), stack->MajorFunction, stack->MinorFunction, location);
    return text;
}

void Release(IrpRecord* record) {
    record->~IrpRecord();
    ExFreePoolWithTag(record, kIrpPoolTag);
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
                 "dispatch routine returned STATUS_PENDING without IoMarkIrpPending: " + Describe(irp, location));
    if (check.expectStatus && check.passedPending)
        Bugcheck("PENDING_MARKED_BUT_NOT_RETURNED",
                 "IRP marked pending but the dispatch routine returned " + Hex(check.expectedStatus) + ": " +
                     Describe(irp, location));
    if (check.expectStatus && check.expectedStatus != check.passedStatus)
        Bugcheck("STATUS_MISMATCH", "dispatch routine returned " + Hex(check.expectedStatus) +
                                        " but completed with " + Hex(check.passedStatus) + ": " +
                                        Describe(irp, location));
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
                             Describe(irp, location));
        } else {
            // Judged when the walk passes: a lower driver's completion on
            // another thread may still propagate the mark up to here.
            check.expectPending = true;
        }
        return;
    }
    if (check.passed) {
        if (check.passedPending)
            Bugcheck("PENDING_MARKED_BUT_NOT_RETURNED", "IRP marked pending but the dispatch routine returned " +
                                                            Hex(status) + ": " + Describe(irp, location));
        if (check.passedStatus != status)
            Bugcheck("STATUS_MISMATCH", "dispatch routine returned " + Hex(status) + " but completed with " +
                                            Hex(check.passedStatus) + ": " + Describe(irp, location));
        return;
    }
    if (record->walking == 0)
        Bugcheck("STATUS_RETURNED_FOR_UNFINISHED_IRP",
                 "dispatch routine returned " + Hex(status) +
                     " for an IRP that is neither completed nor marked pending: " + Describe(irp, location));
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
    const size_t size = kRecordSize + sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stackSize);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, size, kIrpPoolTag);
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, size);
    auto* record = new (memory) IrpRecord();
    record->finish = std::move(finish);
    record->checks.resize(static_cast<size_t>(stackSize) + 1);
    PIRP irp = IrpOf(record);
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stackSize));
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
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

void NotePowerStartNext(PIRP irp) {
    IrpRecord* record = RecordOf(irp);
    if (irp->CurrentLocation > irp->StackCount)
        Bugcheck("PO_START_NEXT_POWER_IRP_MISPLACED", "PoStartNextPowerIrp for a power IRP no driver holds");
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_POWER)
        Bugcheck("PO_START_NEXT_POWER_IRP_MISPLACED", "PoStartNextPowerIrp for an IRP that is not a power IRP");
    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) return;
    std::lock_guard guard(record->lock);
    for (PDEVICE_OBJECT device : record->powerStarted)
        if (device == stack->DeviceObject) {
            char text[64];
            std::snprintf(text, sizeof text, "device %p, IRP %p", static_cast<void*>(device),
                          static_cast<void*>(irp));
            Bugcheck("PO_START_NEXT_POWER_IRP_TWICE", std::string("PoStartNextPowerIrp called twice: ") + text);
        }
    record->powerStarted.push_back(stack->DeviceObject);
}

void SetPoCallDriverActive(bool active) { t_inPoCallDriver = active; }

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

void IoFreeIrp(PIRP Irp) {
    IrpRecord* record = RecordOf(Irp);
    bool release;
    {
        std::lock_guard guard(record->lock);
        if (record->freed) wrk::Bugcheck("IRP_FREED_TWICE", "IoFreeIrp of an IRP already freed");
        record->freed = true;
        release = Unused(record);
    }
    g_liveIrps.fetch_sub(1);
    if (release) Release(record);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IrpRecord* record = RecordOf(Irp);
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

    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    next->DeviceObject = DeviceObject;
    const int location = Irp->CurrentLocation;
    uint64_t generation;
    {
        std::lock_guard guard(record->lock);
        record->activeCalls++;
        LocationCheck& check = record->checks[location];
        generation = ++check.generation;
        check.passed = check.expectPending = check.expectStatus = false;
        check.device = DeviceObject;
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
        // came back) is judged by its own frame.
        if (check.generation == frame.generation) CheckReturnLocked(record, Irp, location, status);
        record->activeCalls--;
        release = Unused(record);
    }
    // The outer frame of a skip-forward shares this location.
    if (!t_frames.empty() && t_frames.back().record == record && t_frames.back().location == location)
        t_frames.back().generation = record->checks[location].generation;
    if (release) Release(record);
    return status;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    IrpRecord* record = RecordOf(Irp);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        wrk::Bugcheck("IRP_COMPLETED_WITH_PENDING", "IofCompleteRequest with STATUS_PENDING");
    if (Irp->CancelRoutine != nullptr)
        wrk::Bugcheck("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IofCompleteRequest while a cancel routine is set");
    {
        std::lock_guard guard(record->lock);
        // A completion routine that returned STATUS_MORE_PROCESSING_REQUIRED at
        // the top location hands the IRP back; completing it again from there
        // only finishes it. Anything beyond that location is a second completion.
        if (record->completed || Irp->CurrentLocation > Irp->StackCount + 1)
            wrk::Bugcheck("IRP_COMPLETED_TWICE", "IofCompleteRequest of a completed IRP");
        if (record->freed) wrk::Bugcheck("IRP_COMPLETED_AFTER_FREE", "IofCompleteRequest of a freed IRP");
        record->completed = true;
        record->completions++;
        record->walking++;
    }

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        {
            std::lock_guard guard(record->lock);
            PassLocationLocked(record, Irp, Irp->CurrentLocation);
        }
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = stack->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                             (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT upper =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
            // While its routine runs the IRP is that driver's, which may
            // complete it again (and then must return STATUS_MORE_PROCESSING_REQUIRED).
            uint64_t completions;
            {
                std::lock_guard guard(record->lock);
                record->completed = false;
                completions = record->completions;
            }
            const KIRQL irql = KeGetCurrentIrql();
            const NTSTATUS routineStatus = stack->CompletionRoutine(upper, Irp, stack->Context);
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
        finish = record->finish;
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
    RecordOf(Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    // The routine releases the cancel spin lock.
    routine(device, Irp);
    return TRUE;
}

}  // extern "C"
