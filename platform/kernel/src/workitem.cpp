// Work items: routines queued by drivers and run at PASSIVE_LEVEL by the
// system's worker threads. As on Windows 2000 on a small machine, the
// critical queue has five workers and the delayed queue three, so a routine
// that blocks holds up only its own worker.
#include "io_internal.h"
#include "irql.h"
#include "object.h"
#include "workitem.h"

#include <host/kernel.h>

#include <cstdio>
#include <deque>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <pthread.h>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;  // kept apart: the device may be deleted while the item waits
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    bool queued;
};

namespace wrk::detail {
namespace {

constexpr ULONG kWorkItemTag = 0x6b576f49;  // "IoWk"
constexpr size_t kCriticalWorkers = 5;
constexpr size_t kDelayedWorkers = 3;

struct Queue {
    std::deque<PIO_WORKITEM> items;
    std::condition_variable wake;
    bool started = false;
};

struct Workers {
    std::mutex lock;
    Queue critical;
    Queue delayed;
    // The managers' own work, taken by the critical workers ahead of drivers' items.
    std::deque<std::function<void()>> platformWork;
    std::condition_variable idle;
    size_t running = 0;  // routines executing right now
    std::unordered_set<PIO_WORKITEM> liveItems;
    std::unordered_map<PDRIVER_OBJECT, size_t> runningByDriver;
};

Workers& TheWorkers() {
    static auto* workers = new Workers;  // the threads are never joined: they outlive static destruction
    return *workers;
}

bool QueueEmptyLocked(const Workers& workers, const Queue& queue) {
    return queue.items.empty() && (&queue != &workers.critical || workers.platformWork.empty());
}

bool AllIdleLocked(const Workers& workers) {
    return workers.critical.items.empty() && workers.delayed.items.empty() && workers.platformWork.empty() &&
           workers.running == 0;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

void Run(Queue* queue) {
    pthread_setname_np(pthread_self(), "kernel-worker");
    EnterSystemProcess();
    Workers& workers = TheWorkers();
    std::unique_lock guard(workers.lock);
    for (;;) {
        queue->wake.wait(guard, [&] { return !QueueEmptyLocked(workers, *queue); });
        if (queue == &workers.critical && !workers.platformWork.empty()) {
            std::function<void()> work = std::move(workers.platformWork.front());
            workers.platformWork.pop_front();
            workers.running++;
            guard.unlock();
            work();
            guard.lock();
            workers.running--;
            if (AllIdleLocked(workers)) workers.idle.notify_all();
            continue;
        }
        PIO_WORKITEM item = queue->items.front();
        queue->items.pop_front();
        // The routine may queue the item again or free it.
        PDEVICE_OBJECT device = item->device;
        PDRIVER_OBJECT driver = item->driver;
        PIO_WORKITEM_ROUTINE routine = item->routine;
        PVOID context = item->context;
        item->queued = false;
        workers.running++;
        workers.runningByDriver[driver]++;
        guard.unlock();

        routine(device, context);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL || HeldSpinLockCount() != 0)
            Bugcheck("WORK_ITEM_RETURNED_AT_RAISED_IRQL", "a work item routine returned above PASSIVE_LEVEL");
        DereferenceDevice(device);

        guard.lock();
        workers.running--;
        if (--workers.runningByDriver[driver] == 0) workers.runningByDriver.erase(driver);
        if (AllIdleLocked(workers)) workers.idle.notify_all();
    }
}

// With the workers' lock held.
void StartLocked(Queue& queue, size_t count) {
    if (!queue.started) {
        queue.started = true;
        for (size_t i = 0; i < count; ++i) std::thread(Run, &queue).detach();
    }
    queue.wake.notify_one();
}

}  // namespace

void QueuePassiveWork(std::function<void()> work) {
    Workers& workers = TheWorkers();
    std::lock_guard guard(workers.lock);
    workers.platformWork.push_back(std::move(work));
    StartLocked(workers.critical, kCriticalWorkers);
}

std::vector<std::string> WorkItemLeaks(PDRIVER_OBJECT driver, std::chrono::milliseconds grace, bool& willRun) {
    Workers& workers = TheWorkers();
    std::unique_lock guard(workers.lock);
    auto busy = [&] {
        if (workers.runningByDriver.count(driver) != 0) return true;
        for (PIO_WORKITEM item : workers.liveItems)
            if (item->driver == driver && item->queued) return true;
        return false;
    };
    // Work on its last steps is let finish, as threads told to stop are.
    workers.idle.wait_for(guard, grace, [&] { return !busy(); });
    std::vector<std::string> leaks;
    willRun = busy();
    if (auto running = workers.runningByDriver.find(driver); running != workers.runningByDriver.end())
        leaks.push_back(std::to_string(running->second) + " work item routine(s) still running");
    for (PIO_WORKITEM item : workers.liveItems) {
        if (item->driver != driver) continue;
        leaks.push_back("work item " + Hex(item) + (item->queued ? " still queued" : " not freed") + " (pool 'IoWk')");
    }
    return leaks;
}

}  // namespace wrk::detail

using namespace wrk::detail;

namespace wrk {

bool WaitForWorkItems(std::chrono::milliseconds realTimeout) {
    Workers& workers = TheWorkers();
    std::unique_lock guard(workers.lock);
    return workers.idle.wait_for(guard, realTimeout, [&] { return AllIdleLocked(workers); });
}

size_t LiveWorkItemCount() {
    Workers& workers = TheWorkers();
    std::lock_guard guard(workers.lock);
    return workers.liveItems.size();
}

}  // namespace wrk

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
    if (item == nullptr) return nullptr;
    *item = _IO_WORKITEM{DeviceObject, DeviceObject->DriverObject, nullptr, nullptr, false};
    Workers& workers = TheWorkers();
    std::lock_guard guard(workers.lock);
    workers.liveItems.insert(item);
    return item;
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    if (QueueType != CriticalWorkQueue && QueueType != DelayedWorkQueue)
        wrk::Bugcheck("INVALID_WORK_QUEUE_ITEM", "IoQueueWorkItem to unknown queue " + std::to_string(QueueType));
    Workers& workers = TheWorkers();
    {
        std::lock_guard guard(workers.lock);
        if (IoWorkItem->queued)
            wrk::Bugcheck("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem of a work item still queued");
    }
    // The device stays in memory until the routine has run.
    ReferenceDevice(IoWorkItem->device);
    std::lock_guard guard(workers.lock);
    IoWorkItem->routine = WorkerRoutine;
    IoWorkItem->context = Context;
    IoWorkItem->queued = true;
    if (QueueType == CriticalWorkQueue) {
        workers.critical.items.push_back(IoWorkItem);
        StartLocked(workers.critical, kCriticalWorkers);
    } else {
        workers.delayed.items.push_back(IoWorkItem);
        StartLocked(workers.delayed, kDelayedWorkers);
    }
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    {
        Workers& workers = TheWorkers();
        std::lock_guard guard(workers.lock);
        if (IoWorkItem->queued) wrk::Bugcheck("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of a queued work item");
        workers.liveItems.erase(IoWorkItem);
    }
    ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

}  // extern "C"
