// The receive ring's edges: exact fill, wrap at the end, full ring, straddling peek,
// oversized reads, and a ring that has been freed.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "datapath/datapath.h"
#include "host/kernel.h"

namespace {

class RingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(AllocateRingBuffer(&ring, 16), STATUS_SUCCESS); }
    void TearDown() override {
        if (ring.Buffer != nullptr)
            FreeRingBuffer(&ring);
        EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u) << wrk::PoolReport();
    }

    ULONG Write(std::vector<UCHAR> bytes) {
        ULONG length = (ULONG)bytes.size();
        WriteRingBuffer(&ring, bytes.data(), &length);
        return length;
    }
    std::vector<UCHAR> Read(ULONG length, bool peek = false) {
        std::vector<UCHAR> out(length, 0xEE);
        ReadRingBuffer(&ring, out.data(), &length, peek ? TRUE : FALSE);
        out.resize(length);
        return out;
    }
    static std::vector<UCHAR> Bytes(UCHAR first, size_t count) {
        std::vector<UCHAR> v(count);
        std::iota(v.begin(), v.end(), first);
        return v;
    }

    wrk::ScopedKernelState kernel;
    RingBuffer ring{};
};

TEST_F(RingTest, AllocationTakesTaggedNonPagedStorageAndStartsEmpty) {
    EXPECT_EQ(ring.Size, 16u);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(wrk::PoolOutstandingByTag()[WRENLOK_POOL_TAG], 1u);
}

TEST_F(RingTest, AppendAsLargeAsTheFreeSpaceFillsTheRing) {
    EXPECT_EQ(Write(Bytes(0, 16)), 16u);
    EXPECT_EQ(ring.Count, ring.Size);
    EXPECT_EQ(ring.WriteIndex, ring.ReadIndex);
    EXPECT_EQ(Read(16), Bytes(0, 16));
    EXPECT_EQ(ring.Count, 0u);
}

TEST_F(RingTest, AppendEndingAtTheEndLeavesWriteIndexAtZeroAndTheNextOneWraps) {
    ASSERT_EQ(Write(Bytes(0, 10)), 10u);
    ASSERT_EQ(Read(10), Bytes(0, 10));
    EXPECT_EQ(Write(Bytes(10, 6)), 6u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(Write(Bytes(16, 4)), 4u);
    EXPECT_EQ(ring.WriteIndex, 4u);
    EXPECT_EQ(Read(10), Bytes(10, 10));
    EXPECT_EQ(ring.ReadIndex, 4u);
}

TEST_F(RingTest, AppendRunningPastTheEndContinuesAtTheStart) {
    ASSERT_EQ(Write(Bytes(0, 12)), 12u);
    ASSERT_EQ(Read(12).size(), 12u);
    EXPECT_EQ(Write(Bytes(50, 9)), 9u);
    EXPECT_EQ(ring.WriteIndex, 5u);
    EXPECT_EQ(ring.Buffer[15], 53);
    EXPECT_EQ(ring.Buffer[0], 54);
    EXPECT_EQ(Read(9), Bytes(50, 9));
}

TEST_F(RingTest, AppendIsCutToTheFreeSpaceAndAFullRingTakesNothing) {
    ASSERT_EQ(Write(Bytes(0, 10)), 10u);
    EXPECT_EQ(Write(Bytes(10, 10)), 6u);
    EXPECT_EQ(Write(Bytes(99, 3)), 0u);
    EXPECT_EQ(ring.Count, 16u);
    EXPECT_EQ(Read(16), Bytes(0, 16));
}

TEST_F(RingTest, PeekOfAHeaderStraddlingTheEndReturnsStreamOrderAndChangesNothing) {
    ASSERT_EQ(Write(Bytes(0, 15)), 15u);
    ASSERT_EQ(Read(15).size(), 15u);
    ASSERT_EQ(Write({0xA1, 0xA2, 0xA3, 0xA4}), 4u);
    const RingBuffer before = ring;
    EXPECT_EQ(Read(4, true), (std::vector<UCHAR>{0xA1, 0xA2, 0xA3, 0xA4}));
    EXPECT_EQ(ring.ReadIndex, before.ReadIndex);
    EXPECT_EQ(ring.WriteIndex, before.WriteIndex);
    EXPECT_EQ(ring.Count, before.Count);
    EXPECT_EQ(Read(4), (std::vector<UCHAR>{0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST_F(RingTest, ReadForMoreThanHeldReturnsWhatIsHeld) {
    ASSERT_EQ(Write(Bytes(7, 5)), 5u);
    EXPECT_EQ(Read(100), Bytes(7, 5));
    EXPECT_EQ(Read(100).size(), 0u);
}

TEST_F(RingTest, DiscardDropsBytesWithoutCopyingAndIsCutToWhatIsHeld) {
    ASSERT_EQ(Write(Bytes(0, 14)), 14u);
    ASSERT_EQ(Read(10).size(), 10u);
    ASSERT_EQ(Write(Bytes(14, 8)), 8u);  // wraps
    ULONG drop = 7;
    DiscardRingBuffer(&ring, &drop);
    EXPECT_EQ(drop, 7u);
    EXPECT_EQ(Read(5), Bytes(17, 5));
    drop = 50;
    DiscardRingBuffer(&ring, &drop);
    EXPECT_EQ(drop, 0u);
}

TEST_F(RingTest, FreedRingReadsAsEmptySizeZeroAndRefusesEveryOperation) {
    ASSERT_EQ(Write(Bytes(0, 8)), 8u);
    ASSERT_EQ(FreeRingBuffer(&ring), STATUS_SUCCESS);
    const RingBuffer zero{};
    EXPECT_EQ(memcmp(&ring, &zero, sizeof(ring)), 0);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u);

    // None of these may divide by the size of 0.
    EXPECT_EQ(Write(Bytes(0, 4)), 0u);
    EXPECT_EQ(Read(4).size(), 0u);
    EXPECT_EQ(Read(4, true).size(), 0u);
    ULONG drop = 4;
    DiscardRingBuffer(&ring, &drop);
    EXPECT_EQ(drop, 0u);

    wrk::ClearDebugMessages();
    EXPECT_EQ(FreeRingBuffer(&ring), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugText(), "FreeRingBuffer: parameter error.\n");
    EXPECT_EQ(FreeRingBuffer(nullptr), STATUS_UNSUCCESSFUL);
}

TEST(RingAllocation, FailureReportsAndLeavesTheRecordZeroed) {
    wrk::ScopedKernelState kernel;
    RingBuffer ring;
    memset(&ring, 0x5A, sizeof(ring));
    wrk::PoolFailNthAllocation(1);
    EXPECT_EQ(AllocateRingBuffer(&ring, 1024), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(wrk::DebugText(), "AllocateRingBuffer: memory allocate error.\n");
    EXPECT_EQ(ring.Buffer, nullptr);
    EXPECT_EQ(ring.Size, 0u);
    EXPECT_EQ(ring.Count, 0u);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u);
}

}  // namespace
