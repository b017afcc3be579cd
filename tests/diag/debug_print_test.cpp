// DebugPrint: one DbgPrint per message, nothing at all with the switch off,
// and its own buffer from the pool every time it prints.
#include <gtest/gtest.h>

#include <host/kernel.h>

#include "format_helpers.h"

namespace {

constexpr ULONG kPoolTag = 0x206D6457;  // "Wdm "

class DebugPrintTest : public ::testing::Test {
protected:
    void SetUp() override { SetDebugSwitch(0xFFFFFFFF); }
    void TearDown() override { SetDebugSwitch(0xFFFFFFFF); }
    wrk::ScopedKernelState kernel_;
};

TEST_F(DebugPrintTest, SwitchOffAllocatesAndPrintsNothing) {
    SetDebugSwitch(0);
    uint64_t allocations = wrk::PoolAllocationCount();
    DebugPrint("TestRoutine: %d %s\n", 5, "text");
    EXPECT_EQ(wrk::PoolAllocationCount(), allocations);
    EXPECT_TRUE(wrk::DebugMessages().empty());
}

TEST_F(DebugPrintTest, AnyNonZeroSwitchPrints) {
    SetDebugSwitch(1);
    DebugPrint("TestRoutine: %x\n", 0xABu);
    SetDebugSwitch(0x80000000);
    DebugPrint("TestRoutine: again\n");
    EXPECT_EQ(wrk::DebugMessages(), (std::vector<std::string>{"TestRoutine: 000000AB\n", "TestRoutine: again\n"}));
}

TEST_F(DebugPrintTest, ExpandedPercentReachesTheDebuggerUnchanged) {
    DebugPrint("Ratio: %s%%d\n", "%s");
    EXPECT_EQ(wrk::DebugMessages(), std::vector<std::string>{"Ratio: %s%d\n"});
}

TEST_F(DebugPrintTest, BufferIsAllocatedWithTheDriverTagAndFreed) {
    uint64_t allocations = wrk::PoolAllocationCount();
    wrk::PoolFailTag(kPoolTag, true);
    DebugPrint("TestRoutine: lost %d\n", 1);
    wrk::PoolFailTag(kPoolTag, false);
    EXPECT_EQ(wrk::PoolAllocationCount(), allocations + 1);
    EXPECT_EQ(wrk::DebugMessages(), std::vector<std::string>{"DebugPrint: Could not allocate buffer\n"});
    DebugPrint("TestRoutine: kept\n");
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u);
    EXPECT_EQ(wrk::DebugMessages().back(), "TestRoutine: kept\n");
}

TEST_F(DebugPrintTest, LongMessageIsCutTo1023Characters) {
    std::string text(1500, 'x');
    DebugPrint("%s", text.c_str());
    ASSERT_EQ(wrk::DebugMessages().size(), 1u);
    EXPECT_EQ(wrk::DebugMessages()[0], text.substr(0, 1023));
}

}  // namespace
