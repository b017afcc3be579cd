// The bus thread and pended completions: a thread that pends a request and
// will wait for it in the kernel (a driver's system thread, or a thread inside
// a dispatch routine) is left to run its completion in that wait, so the bus
// thread is not woken for it; if the thread goes on without one, the bus
// thread still completes the request.
#include "bus_fixture.h"
#include "system_thread.h"
#include "test_stack.h"

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
    uint64_t laterWakeUps = 0;   // of the bus thread, for the requests after the first
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
void PostAndGoOn(Poster* poster) {
    poster->thread = KeGetCurrentThread();
    uint64_t wakeUpsAfterFirst = 0;
    for (int i = 0; i < kRequests; ++i) {
        if (i > 0 && !poster->bus->WaitForBusThreadToSleep(std::chrono::seconds(10))) return;
        if (i == 1) wakeUpsAfterFirst = poster->bus->BusThreadWakeUps();
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
    poster->laterWakeUps = poster->bus->BusThreadWakeUps() - wakeUpsAfterFirst;
}

void PostFromSystemThread(PVOID context) {
    PostAndGoOn(static_cast<Poster*>(context));
}

void ExpectEveryRequestCompletedOnTheTick(const Poster& poster) {
    EXPECT_EQ(poster.pended, kRequests);
    EXPECT_EQ(poster.completed, kRequests);
    EXPECT_EQ(poster.completedElsewhere, kRequests);
    // Each later request is posted while the bus thread sleeps on its tick,
    // so it does not wake it, unless the poster was held up past a tick (on
    // a loaded machine, now and then) and the bus thread stopped ticking.
    // A poster the bus takes for one that never waits would wake it for
    // every one.
    EXPECT_LT(poster.laterWakeUps, static_cast<uint64_t>(kRequests / 2));
}

// A bus that completes every transfer from its thread, and a poster for it.
class BusWorkerTest : public testing::Test {
protected:
    void SetUp() override {
        poster.bus = &bus;
        poster.pdo = bus.Plug(radio);
    }

    wrk::ScopedKernelState kernel;
    usbsim::ScriptedRadio radio;
    usbsim::Bus bus{usbsim::BusOptions{usbsim::CompletionTiming::Deferred}};
    Poster poster;
};

TEST_F(BusWorkerTest, RequestsPendedForASystemThreadThatNeverWaitsAreStillCompleted) {
    wtest::SystemThread(PostFromSystemThread, &poster).Join();
    ExpectEveryRequestCompletedOnTheTick(poster);
}

// As a user request's thread sending transfers from a driver's dispatch routine.
TEST_F(BusWorkerTest, RequestsPendedInsideADispatchRoutineThatNeverWaitsAreStillCompleted) {
    EXPECT_EQ(kio::RunInsideDispatchRoutine([this] { PostAndGoOn(&poster); }), STATUS_SUCCESS);
    ExpectEveryRequestCompletedOnTheTick(poster);
}

}  // namespace
