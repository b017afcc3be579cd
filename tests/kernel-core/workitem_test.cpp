// Work items on the system's worker threads: several per queue, so a
// routine that blocks does not hold up the others.
#include <host/io.h>
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Gate {
    KEVENT open;
    KEVENT ran;
};

void WaitAtGate(PDEVICE_OBJECT, PVOID context) {
    KeWaitForSingleObject(&static_cast<Gate*>(context)->open, Executive, KernelMode, FALSE, nullptr);
}

void NoteRun(PDEVICE_OBJECT, PVOID context) {
    KeSetEvent(&static_cast<Gate*>(context)->ran, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    PDRIVER_OBJECT driver = wrk::CreateDriverObject(u"\\Driver\\Work");
    PDEVICE_OBJECT device = nullptr;
    Gate gate;
    std::vector<PIO_WORKITEM> items;

    void SetUp() override {
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeEvent(&gate.open, NotificationEvent, FALSE);
        KeInitializeEvent(&gate.ran, NotificationEvent, FALSE);
    }
    void TearDown() override {
        KeSetEvent(&gate.open, IO_NO_INCREMENT, FALSE);
        EXPECT_TRUE(wrk::WaitForWorkItems());
        for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
        IoDeleteDevice(device);
        wrk::DeleteDriverObject(driver);
    }
    void Queue(PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue) {
        items.push_back(IoAllocateWorkItem(device));
        ASSERT_NE(items.back(), nullptr);
        IoQueueWorkItem(items.back(), routine, queue, &gate);
    }
};

TEST_F(WorkItemTest, EachQueueRunsSeveralRoutinesAtOnce) {
    for (int i = 0; i < 3; ++i) Queue(WaitAtGate, DelayedWorkQueue);
    EXPECT_TRUE(wrk::WaitForWaiters(&gate.open, 3));
    for (int i = 0; i < 5; ++i) Queue(WaitAtGate, CriticalWorkQueue);
    EXPECT_TRUE(wrk::WaitForWaiters(&gate.open, 8));
}

TEST_F(WorkItemTest, CriticalWorkIsNotHeldUpByBlockedDelayedWork) {
    // More blockers than the delayed queue has workers.
    for (int i = 0; i < 4; ++i) Queue(WaitAtGate, DelayedWorkQueue);
    ASSERT_TRUE(wrk::WaitForWaiters(&gate.open, 3));
    Queue(NoteRun, CriticalWorkQueue);
    LARGE_INTEGER tenSeconds;
    tenSeconds.QuadPart = -100'000'000;
    EXPECT_EQ(KeWaitForSingleObject(&gate.ran, Executive, KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
}

TEST_F(WorkItemTest, ABlockedRoutineLeavesTheRestOfItsQueueToTheOtherWorkers) {
    Queue(WaitAtGate, DelayedWorkQueue);
    ASSERT_TRUE(wrk::WaitForWaiters(&gate.open, 1));
    Queue(NoteRun, DelayedWorkQueue);
    LARGE_INTEGER tenSeconds;
    tenSeconds.QuadPart = -100'000'000;
    EXPECT_EQ(KeWaitForSingleObject(&gate.ran, Executive, KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
}

}  // namespace
