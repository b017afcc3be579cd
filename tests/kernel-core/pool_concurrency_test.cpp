// The pool's bookkeeping under threads that allocate and free at once: no
// block lost or counted twice, and every free finds its block.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr ULONG kTag = 0x206D6457;  // "Wdm "

TEST(PoolConcurrencyTest, ThreadsAllocatingAndFreeingAtOnceLeaveExactCounts) {
    wrk::ScopedKernelState kernel;
    const size_t blocksBefore = wrk::PoolOutstandingBlocks();
    const size_t bytesBefore = wrk::PoolOutstandingBytes();
    const uint64_t requestsBefore = wrk::PoolAllocationCount();
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    constexpr int kHeld = 16;  // each thread keeps a few blocks alive, so the table holds a crowd
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::vector<PVOID> held;
            for (int i = 0; i < kRounds; ++i) {
                PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8 + (i + t) % 200, kTag);
                ASSERT_NE(block, nullptr);
                static_cast<unsigned char*>(block)[0] = static_cast<unsigned char>(t);
                held.push_back(block);
                if (held.size() > kHeld) {
                    ExFreePool(held.front());
                    held.erase(held.begin());
                }
            }
            for (PVOID block : held) ExFreePool(block);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore);
    EXPECT_EQ(wrk::PoolOutstandingBytes(), bytesBefore);
    EXPECT_EQ(wrk::PoolAllocationCount(), requestsBefore + kThreads * kRounds);
}

}  // namespace
