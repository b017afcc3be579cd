// System threads: start, priority, termination, waiting on the thread object,
// handles, references and fault injection.
#include "terminating_routines.h"

#include <host/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

LARGE_INTEGER Relative(double driverSeconds) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(driverSeconds * 10'000'000);
    return t;
}

class ThreadTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel{0.01};

    // Starts TerminatingRoutine and turns its handle into a referenced object.
    PVOID Start(TerminatingContext& context) {
        KeInitializeEvent(&context.go, NotificationEvent, FALSE);
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingRoutine,
                                       &context),
                  STATUS_SUCCESS);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        return thread;
    }
};

TEST_F(ThreadTest, RunsAtPassiveLevelAndEndsThroughTerminateWithoutReturning) {
    TerminatingContext context{};
    PVOID thread = Start(context);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    LARGE_INTEGER second = Relative(1);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &second), STATUS_TIMEOUT);

    KeSetEvent(&context.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(context.ranPastTerminate, 0);
    EXPECT_EQ(context.irqlSeen, PASSIVE_LEVEL);
    EXPECT_EQ(context.self, thread);
    EXPECT_EQ(context.priorityBefore, 8);
    EXPECT_EQ(wrk::ThreadPriority(static_cast<PKTHREAD>(thread)), LOW_REALTIME_PRIORITY);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    // A thread object stays signalled.
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);

    // The handle is closed and the thread is gone: ours is the last reference.
    EXPECT_EQ(wrk::ObjectReferenceCount(thread), 1);
    EXPECT_EQ(ObfDereferenceObject(thread), 0);
    EXPECT_EQ(wrk::ObjectReferenceCount(thread), 0);
}

TEST_F(ThreadTest, EveryWaiterOnTheThreadIsReleasedAtItsEnd) {
    TerminatingContext context{};
    PVOID thread = Start(context);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) {
                ++released;
            }
        });
    }
    KeSetEvent(&context.go, IO_NO_INCREMENT, FALSE);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(released, 3);
    ObDereferenceObject(thread);
}

void ReturningRoutine(PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
}

TEST_F(ThreadTest, ReturningFromTheRoutineAlsoEndsTheThread) {
    KEVENT ran;
    KeInitializeEvent(&ran, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningRoutine, &ran),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&ran), 1);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ObfDereferenceObject(thread), 0);
}

TEST_F(ThreadTest, InjectedCreationFailureStartsNothingOnce) {
    wrk::FailNextThreadCreation(STATUS_INSUFFICIENT_RESOURCES);
    size_t handles = wrk::OpenHandleCount();
    HANDLE handle = reinterpret_cast<HANDLE>(0x77);
    TerminatingContext context{};
    KeInitializeEvent(&context.go, NotificationEvent, TRUE);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingRoutine,
                                   &context),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x77));
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    EXPECT_EQ(wrk::OpenHandleCount(), handles);

    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingRoutine,
                                   &context),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
}

TEST_F(ThreadTest, InjectedReferenceFailureFailsOnce) {
    TerminatingContext context{};
    KeInitializeEvent(&context.go, NotificationEvent, TRUE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingRoutine,
                                   &context),
              STATUS_SUCCESS);
    wrk::FailNextThreadReference(STATUS_ACCESS_DENIED);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    ObDereferenceObject(thread);
}

TEST_F(ThreadTest, ReferencingByAnUnfitHandleFails) {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x10), 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    wrk::RegistryCreateKey(u"\\REGISTRY\\MACHINE");
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\REGISTRY\\MACHINE");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(key, 0, nullptr, KernelMode, &object, nullptr), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

TEST_F(ThreadTest, HostThreadsHaveTheirOwnThreadRecords) {
    PKTHREAD mine = KeGetCurrentThread();
    EXPECT_EQ(KeGetCurrentThread(), mine);
    PKTHREAD other = nullptr;
    std::thread([&] { other = KeGetCurrentThread(); }).join();
    EXPECT_NE(other, mine);
    KPRIORITY before = KeSetPriorityThread(mine, 12);
    EXPECT_EQ(KeSetPriorityThread(mine, before), 12);
}

}  // namespace
