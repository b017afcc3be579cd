// Pool accounting and low-resources fault injection.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

constexpr ULONG kTag = 0x206D6457;    // "Wdm "
constexpr ULONG kOther = 0x20707249;  // "Irp "

size_t Blocks(const std::map<ULONG, size_t>& byTag, ULONG tag) {
    auto found = byTag.find(tag);
    return found == byTag.end() ? 0 : found->second;
}

class PoolTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
    size_t blocksBefore = wrk::PoolOutstandingBlocks();
    size_t bytesBefore = wrk::PoolOutstandingBytes();
    std::map<ULONG, size_t> tagsBefore = wrk::PoolOutstandingByTag();
};

TEST_F(PoolTest, AccountsBlocksBytesAndTagsUntilFreed) {
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 28, kTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 4, kOther);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore + 3);
    EXPECT_EQ(wrk::PoolOutstandingBytes(), bytesBefore + 132);
    auto byTag = wrk::PoolOutstandingByTag();
    EXPECT_EQ(Blocks(byTag, kTag), Blocks(tagsBefore, kTag) + 2);
    EXPECT_EQ(Blocks(byTag, kOther), Blocks(tagsBefore, kOther) + 1);
    EXPECT_NE(wrk::PoolReport().find("'Wdm ' PagedPool 28 bytes"), std::string::npos);

    ExFreePool(a);
    ExFreePoolWithTag(b, kTag);
    ExFreePool(c);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore);
    EXPECT_EQ(wrk::PoolOutstandingBytes(), bytesBefore);
    EXPECT_EQ(wrk::PoolOutstandingByTag(), tagsBefore);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    ASSERT_NE(block, nullptr);
    size_t zeros = 0;
    for (int i = 0; i < 64; ++i) {
        zeros += block[i] == 0;
    }
    EXPECT_EQ(zeros, 0u);
    ExFreePool(block);
}

// Thousands of blocks outgrow the table's first size and free in an order
// unrelated to their addresses: every free must still find its block.
TEST_F(PoolTest, KeepsEveryBlockOfALargeCrowdFreedInAnyOrder) {
    std::vector<PVOID> blocks;
    for (int i = 0; i < 5000; ++i) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 16 + i % 64, kTag));
        ASSERT_NE(blocks.back(), nullptr);
    }
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore + blocks.size());
    std::mt19937 order(7);
    std::shuffle(blocks.begin(), blocks.end(), order);
    for (size_t i = 0; i < blocks.size(); ++i) {
        ExFreePool(blocks[i]);
        if (i % 1000 == 0) EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore + blocks.size() - i - 1);
    }
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore);
    EXPECT_EQ(wrk::PoolOutstandingBytes(), bytesBefore);
}

TEST_F(PoolTest, UntaggedAllocationsCarryTheDefaultTag) {
    PVOID block = ExAllocatePool(NonPagedPool, 8);
    ASSERT_NE(block, nullptr);
    constexpr ULONG kNone = 0x656E6F4E;  // "None"
    EXPECT_EQ(Blocks(wrk::PoolOutstandingByTag(), kNone), Blocks(tagsBefore, kNone) + 1);
    ExFreePool(block);
}

TEST_F(PoolTest, FailsExactlyTheNthAllocationFromNow) {
    uint64_t before = wrk::PoolAllocationCount();
    wrk::PoolFailNthAllocation(3);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    // The failed request is counted, so a run can be replayed failing each request in turn.
    EXPECT_EQ(wrk::PoolAllocationCount(), before + 4);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocksBefore + 3);
    ExFreePool(first);
    ExFreePool(second);
    ExFreePool(fourth);
}

TEST_F(PoolTest, FailsEveryAllocationOfAFailingTagOnly) {
    wrk::PoolFailTag(kTag, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTag), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kOther);
    EXPECT_NE(other, nullptr);
    ExFreePool(other);

    wrk::PoolFailTag(kTag, false);
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
}

TEST_F(PoolTest, ClearingFaultsCancelsAPendingCountdown) {
    wrk::PoolFailNthAllocation(1);
    wrk::PoolFailTag(kTag, true);
    wrk::PoolClearFaults();
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(PoolTest, ScopeClearsFaultsLeftByAnEarlierTest) {
    {
        wrk::ScopedKernelState inner;
        wrk::PoolFailTag(kTag, true);
    }
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

TEST_F(PoolTest, NonPagedPoolIsAvailableAtDispatchLevel) {
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
    KfLowerIrql(old);
}

}  // namespace
