// Work items: routines queued by drivers and run at PASSIVE_LEVEL on the
// I/O manager's worker thread.
#include "io_internal.h"
#include "irql.h"
#include "object.h"

#include <host/kernel.h>

#include <deque>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace wrk::detail {
namespace {

constexpr ULONG kWorkItemTag = 0x6b576f49;  // "IoWk"

struct Worker {
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<PIO_WORKITEM> queue;
    std::deque<std::function<void()>> platformWork;  // the managers' own, ahead of drivers' items
    bool running = false;  // a routine is executing
    bool started = false;
    size_t liveItems = 0;
};

Worker& TheWorker() {
    static auto* worker = new Worker;  // the thread is never joined: it outlives static destruction
    return *worker;
}

void Run() {
    EnterSystemProcess();
    Worker& worker = TheWorker();
    std::unique_lock guard(worker.lock);
    for (;;) {
        worker.wake.wait(guard, [&] { return !worker.queue.empty() || !worker.platformWork.empty(); });
        if (!worker.platformWork.empty()) {
            std::function<void()> work = std::move(worker.platformWork.front());
            worker.platformWork.pop_front();
            worker.running = true;
            guard.unlock();
            work();
            guard.lock();
            worker.running = false;
            if (worker.queue.empty() && worker.platformWork.empty()) worker.idle.notify_all();
            continue;
        }
        PIO_WORKITEM item = worker.queue.front();
        worker.queue.pop_front();
        // The routine may queue the item again or free it.
        PDEVICE_OBJECT device = item->device;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        item->queued = false;
        worker.running = true;
        guard.unlock();

        routine(device, context);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLockCount() != 0)
            Bugcheck("WORK_ITEM_RETURNED_AT_RAISED_IRQL", "a work item routine returned above PASSIVE_LEVEL");
        DereferenceDevice(device);

        guard.lock();
        worker.running = false;
        if (worker.queue.empty() && worker.platformWork.empty()) worker.idle.notify_all();
    }
}

// With the worker's lock held.
void StartLocked(Worker& worker) {
    if (!worker.started) {
        worker.started = true;
        std::thread(Run).detach();
    }
    worker.wake.notify_one();
}

}  // namespace

void QueuePassiveWork(std::function<void()> work) {
    Worker& worker = TheWorker();
    std::lock_guard guard(worker.lock);
    worker.platformWork.push_back(std::move(work));
    StartLocked(worker);
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

bool WaitForWorkItems(std::chrono::milliseconds realTimeout) {
    Worker& worker = TheWorker();
    std::unique_lock guard(worker.lock);
    return worker.idle.wait_for(guard, realTimeout, [&] {
        return worker.queue.empty() && worker.platformWork.empty() && !worker.running;
    });
}

size_t LiveWorkItemCount() {
    Worker& worker = TheWorker();
    std::lock_guard guard(worker.lock);
    return worker.liveItems;
}

}  // namespace wrk

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    *item = _IO_WORKITEM{DeviceObject, nullptr, nullptr, false};
    Worker& worker = TheWorker();
    std::lock_guard guard(worker.lock);
    worker.liveItems++;
    return item;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    (void)QueueType;
    // The device stays in memory until the routine has run.
    ReferenceDevice(IoWorkItem->device);
    Worker& worker = TheWorker();
    std::lock_guard guard(worker.lock);
    if (IoWorkItem->queued) wrk::Bugcheck("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem of a work item still queued");
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    worker.queue.push_back(IoWorkItem);
    StartLocked(worker);
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    {
        Worker& worker = TheWorker();
        std::lock_guard guard(worker.lock);
        if (IoWorkItem->queued) wrk::Bugcheck("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of a queued work item");
        worker.liveItems--;
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

}  // extern "C"
