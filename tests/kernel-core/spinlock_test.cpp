// Spin locks: IRQL changes and real mutual exclusion.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

class SpinLockTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
};

TEST_F(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, NestedLocksReleaseInEitherOrderToTheirOwnIrql) {
    KSPIN_LOCK outer;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KIRQL outerOld = KfAcquireSpinLock(&outer);
    KIRQL innerOld = KfAcquireSpinLock(&inner);
    EXPECT_EQ(innerOld, DISPATCH_LEVEL);
    KfReleaseSpinLock(&inner, innerOld);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&outer, outerOld);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately not atomic: only the lock protects it
    constexpr int kRounds = 50'000;
    auto work = [&] {
        for (int i = 0; i < kRounds; ++i) {
            KIRQL old = KfAcquireSpinLock(&lock);
            long seen = counter;
            counter = seen + 1;
            KfReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2L * kRounds);
}

TEST_F(SpinLockTest, IrqlIsKeptPerThread) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KIRQL seenElsewhere = HIGH_LEVEL;
    std::thread([&] { seenElsewhere = KeGetCurrentIrql(); }).join();
    KfLowerIrql(old);
    EXPECT_EQ(seenElsewhere, PASSIVE_LEVEL);
}

}  // namespace
