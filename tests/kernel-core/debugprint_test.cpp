// Kernel debugger output as tests see it.
#include <host/kernel.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

class DebugPrintTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel;
};

TEST_F(DebugPrintTest, KeepsEachCallExactlyAsFormatted) {
    DbgPrint("%s", "TranspThread: Start\n");
    DbgPrint("value %08X, %d\n", 0xBEEFu, -3);
    DbgPrint("%s", "no newline");
    auto messages = wrk::DebugMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "TranspThread: Start\n");
    EXPECT_EQ(messages[1], "value 0000BEEF, -3\n");
    EXPECT_EQ(messages[2], "no newline");
    EXPECT_EQ(wrk::DebugText(), "TranspThread: Start\nvalue 0000BEEF, -3\nno newline");
}

TEST_F(DebugPrintTest, LinesSplitTheWholeTextNotTheCalls) {
    DbgPrint("%s", "one\ntw");
    DbgPrint("%s", "o\nthree");
    EXPECT_EQ(wrk::DebugLines(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(wrk::DebugCount("\n"), 2u);
}

TEST_F(DebugPrintTest, KeepsLongMessagesWhole) {
    std::string longText(3000, 'x');
    DbgPrint("%s", longText.c_str());
    EXPECT_EQ(wrk::DebugText(), longText);
}

TEST_F(DebugPrintTest, ClearEmptiesTheLog) {
    DbgPrint("%s", "gone\n");
    wrk::ClearDebugMessages();
    EXPECT_TRUE(wrk::DebugMessages().empty());
    EXPECT_EQ(wrk::DebugText(), "");
}

TEST_F(DebugPrintTest, WaitReturnsOnceAnotherThreadPrintedEnough) {
    std::thread printer([] {
        for (int i = 0; i < 3; ++i) {
            DbgPrint("%s", "TranspThread: USB ERROR.\n");
        }
    });
    EXPECT_TRUE(wrk::WaitForDebugText("USB ERROR", 3));
    printer.join();
    EXPECT_FALSE(wrk::WaitForDebugText("USB ERROR", 4, std::chrono::milliseconds(1)));
}

}  // namespace
