// Requests finished on other threads: user reads waiting for a completion
// from a DPC-like thread, work items, and power requests made at DISPATCH_LEVEL.
#include "test_stack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using kio::Complete;
using kio::TestDriver;

// A driver that parks every read and completes the parked ones from a thread
// of its own at DISPATCH_LEVEL, as a host controller's DPC would.
class PendingReads {
public:
    explicit PendingReads(TestDriver& driver)
        : device_(driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return Dispatch(irp); }, u"\\Device\\Reads0")) {
        device_->Flags |= DO_BUFFERED_IO;
        completer_ = std::thread([this] { Run(); });
    }
    ~PendingReads() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        completer_.join();
    }

private:
    NTSTATUS Dispatch(PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
        IoMarkIrpPending(irp);
        {
            std::lock_guard guard(lock_);
            parked_.push_back(irp);
        }
        wake_.notify_all();
        return STATUS_PENDING;
    }
    void Run() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stop_ || !parked_.empty(); });
            if (parked_.empty()) return;
            PIRP irp = parked_.front();
            parked_.erase(parked_.begin());
            guard.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            std::memset(irp->AssociatedIrp.SystemBuffer, 0x42, length);
            Complete(irp, STATUS_SUCCESS, length);
            KeLowerIrql(old);
            guard.lock();
        }
    }

    PDEVICE_OBJECT device_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<PIRP> parked_;
    bool stop_ = false;
    std::thread completer_;
};

TEST(KernelIoThreads, ReadsPendedAndCompletedElsewhereWaitForTheirData) {
    wrk::ScopedKernelState kernel;
    const size_t irps = wrk::LiveIrpCount();
    TestDriver driver;
    {
        PendingReads reads(driver);
        std::vector<std::thread> readers;
        std::atomic<int> good{0};
        for (int t = 0; t < 4; ++t)
            readers.emplace_back([&good] {
                std::unique_ptr<wrk::UserFile> file;
                if (wrk::UserFile::Open(u"\\Device\\Reads0", file) != STATUS_SUCCESS) return;
                for (int i = 0; i < 25; ++i) {
                    UCHAR buffer[16] = {};
                    ULONG transferred = 0;
                    if (file->Read(buffer, sizeof buffer, &transferred) == STATUS_SUCCESS && transferred == 16 &&
                        buffer[15] == 0x42)
                        good++;
                }
            });
        for (std::thread& reader : readers) reader.join();
        EXPECT_EQ(good.load(), 100);
    }
    EXPECT_EQ(wrk::LiveIrpCount(), irps);
}

struct WorkRecord {
    PKEVENT gate = nullptr;
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{HIGH_LEVEL};
    std::atomic<bool> otherThread{false};
    std::thread::id caller = std::this_thread::get_id();
    PDEVICE_OBJECT seen = nullptr;
};

void WaitAtGate(PDEVICE_OBJECT, PVOID context) {
    KeWaitForSingleObject(static_cast<WorkRecord*>(context)->gate, Executive, KernelMode, FALSE, nullptr);
}

void NoteRun(PDEVICE_OBJECT device, PVOID context) {
    auto* record = static_cast<WorkRecord*>(context);
    // Another worker may take this item while the first one waits at the gate.
    WaitAtGate(device, context);
    record->irql = KeGetCurrentIrql();
    record->otherThread = std::this_thread::get_id() != record->caller;
    record->seen = device;
    record->runs++;
}

TEST(KernelIoThreads, WorkItemRunsAtPassiveAndKeepsItsDeviceAlive) {
    wrk::ScopedKernelState kernel;
    TestDriver driver;
    PDEVICE_OBJECT blocker = driver.AddDevice(nullptr);
    PDEVICE_OBJECT device = driver.AddDevice(nullptr);
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    WorkRecord record;
    record.gate = &gate;
    PIO_WORKITEM first = IoAllocateWorkItem(blocker);
    PIO_WORKITEM second = IoAllocateWorkItem(device);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const size_t liveItems = wrk::LiveWorkItemCount();

    IoQueueWorkItem(first, WaitAtGate, DelayedWorkQueue, &record);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queuing is allowed at DISPATCH_LEVEL
    IoQueueWorkItem(second, NoteRun, DelayedWorkQueue, &record);
    KeLowerIrql(old);
    // Deleted while its work item waits: the memory stays until it ran.
    IoDeleteDevice(device);
    EXPECT_EQ(record.runs.load(), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(wrk::WaitForWorkItems());

    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_EQ(record.irql.load(), PASSIVE_LEVEL);
    EXPECT_TRUE(record.otherThread.load());
    EXPECT_EQ(record.seen, device);
    IoFreeWorkItem(first);
    IoFreeWorkItem(second);
    EXPECT_EQ(wrk::LiveWorkItemCount(), liveItems - 2);
}

struct PowerDone {
    KEVENT done;
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<KIRQL> busIrql{HIGH_LEVEL};
};
PowerDone* g_power;

void OnPowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* done = static_cast<PowerDone*>(context);
    done->status = status->Status;
    KeSetEvent(&done->done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PageableBus(PDEVICE_OBJECT, PIRP irp) {
    g_power->busIrql = KeGetCurrentIrql();
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
}

TEST(KernelIoThreads, PowerRequestFromDispatchLevelIsSentAtPassive) {
    wrk::ScopedKernelState kernel;
    PDRIVER_OBJECT bus = wrk::CreateDriverObject(u"\\Driver\\PageableBus");
    bus->MajorFunction[IRP_MJ_POWER] = PageableBus;
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags = (pdo->Flags & ~DO_DEVICE_INITIALIZING) | DO_POWER_PAGABLE;
    PowerDone done;
    g_power = &done;
    KeInitializeEvent(&done.done, NotificationEvent, FALSE);

    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, d0, OnPowerDone, &done, nullptr), STATUS_PENDING);
    KeLowerIrql(old);
    KeWaitForSingleObject(&done.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(done.status.load(), STATUS_SUCCESS);
    EXPECT_EQ(done.busIrql.load(), PASSIVE_LEVEL);
    ASSERT_TRUE(wrk::WaitForWorkItems());
    IoDeleteDevice(pdo);
    wrk::DeleteDriverObject(bus);
}

// A driver that parks requests with a cancel routine and a thread of its own
// that completes them at DISPATCH_LEVEL, while the requester cancels each one
// at once: completion and cancel meet on the same IRP from two threads.
class CancelRace {
public:
    explicit CancelRace(TestDriver& driver)
        : device_(driver.AddDevice([this](PDEVICE_OBJECT, PIRP irp) { return Park(irp); })) {
        current_ = this;
        completer_ = std::thread([this] { Run(); });
    }
    ~CancelRace() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        completer_.join();
    }
    PDEVICE_OBJECT Device() const { return device_; }

private:
    NTSTATUS Park(PIRP irp) {
        IoMarkIrpPending(irp);
        {
            std::lock_guard guard(lock_);
            IoSetCancelRoutine(irp, Cancelled);
            parked_.push_back(irp);
        }
        wake_.notify_all();
        return STATUS_PENDING;
    }
    // Whoever takes the IRP off the list completes it.
    bool Take(PIRP irp) {
        std::lock_guard guard(lock_);
        auto found = std::find(parked_.begin(), parked_.end(), irp);
        if (found == parked_.end()) return false;
        parked_.erase(found);
        return true;
    }
    static void Cancelled(PDEVICE_OBJECT, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        if (current_->Take(irp)) Complete(irp, STATUS_CANCELLED);
    }
    void Run() {
        std::unique_lock guard(lock_);
        for (;;) {
            wake_.wait(guard, [this] { return stop_ || !parked_.empty(); });
            if (parked_.empty()) return;
            PIRP irp = parked_.front();
            parked_.erase(parked_.begin());
            guard.unlock();
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoSetCancelRoutine(irp, nullptr);
            Complete(irp, STATUS_SUCCESS);
            KeLowerIrql(old);
            guard.lock();
        }
    }

    static CancelRace* current_;
    PDEVICE_OBJECT device_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<PIRP> parked_;
    bool stop_ = false;
    std::thread completer_;
};
CancelRace* CancelRace::current_ = nullptr;

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(KernelIoThreads, CancelRacingACompletionOnAnotherThreadEndsOneWayOrTheOther) {
    wrk::ScopedKernelState kernel;
    const size_t irps = wrk::LiveIrpCount();
    TestDriver driver;
    CancelRace race(driver);
    int cancelled = 0;
    int completed = 0;
    for (int i = 0; i < 300; ++i) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        constexpr ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_NEITHER, FILE_ANY_ACCESS);
        PIRP irp = IoBuildDeviceIoControlRequest(code, race.Device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        IoSetCompletionRoutine(irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
        ASSERT_EQ(IofCallDriver(race.Device(), irp), STATUS_PENDING);
        // The routine keeps the IRP, so it may be cancelled until it is finished below.
        IoCancelIrp(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        const NTSTATUS status = irp->IoStatus.Status;
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
        (status == STATUS_CANCELLED ? cancelled : completed)++;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    EXPECT_EQ(cancelled + completed, 300);
    EXPECT_EQ(wrk::LiveIrpCount(), irps);
}

}  // namespace
