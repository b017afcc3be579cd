// The bus thread and pended completions: a system thread that pends a
// request is left to run its completion in its next kernel wait, so the bus
// thread is not woken for it; if the thread goes on without one, the bus
// thread still completes the request.
#include "bus_fixture.h"
#include "system_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr int kRequests = 20;

struct Poster {
    usbsim::Bus* bus = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    int pended = 0;
    int completed = 0;
    int completedElsewhere = 0;  // by a thread other than the poster
    PKTHREAD thread = nullptr;
    std::mutex mutex;
    std::condition_variable progress;
};

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* poster = static_cast<Poster*>(context);
    // Under the lock: the poster may be gone once the last one is seen.
    std::lock_guard lock(poster->mutex);
    poster->completed++;
    if (KeGetCurrentThread() != poster->thread) poster->completedElsewhere++;
    poster->progress.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads the device descriptor again and again, waiting for each answer on a
// host condition variable: a wait the kernel knows nothing of, so the thread
// never runs a completion itself. The first read wakes the idle bus thread;
// each later one is sent once the bus thread sleeps on its tick, so only the
// tick answers it.
void PostAndGoOn(PVOID context) {
    auto* poster = static_cast<Poster*>(context);
    poster->thread = KeGetCurrentThread();
    for (int i = 0; i < kRequests; ++i) {
        if (i > 0 && !poster->bus->WaitForBusThreadToSleep(std::chrono::seconds(10))) return;
        UCHAR descriptor[18] = {};
        URB urb = usbtest::DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, descriptor, sizeof descriptor);
        PIRP irp = IoAllocateIrp(poster->pdo->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, Completed, poster, TRUE, TRUE, TRUE);
        const bool pended = IofCallDriver(poster->pdo, irp) == STATUS_PENDING;
        bool answered;
        {
            std::unique_lock lock(poster->mutex);
            if (pended) poster->pended++;
            answered = poster->progress.wait_for(lock, std::chrono::seconds(10),
                                                 [poster, i] { return poster->completed > i; });
        }
        IoFreeIrp(irp);
        if (!answered || descriptor[1] != USB_DEVICE_DESCRIPTOR_TYPE) return;
    }
}

TEST(BusWorkerTest, RequestsPendedForASystemThreadThatNeverWaitsAreStillCompleted) {
    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio radio;
    usbsim::Bus bus{usbsim::BusOptions{usbsim::CompletionTiming::Deferred}};
    Poster poster;
    poster.bus = &bus;
    poster.pdo = bus.Plug(radio);
    wtest::SystemThread(PostAndGoOn, &poster).Join();

    EXPECT_EQ(poster.pended, kRequests);
    EXPECT_EQ(poster.completed, kRequests);
    EXPECT_EQ(poster.completedElsewhere, kRequests);
}

}  // namespace
