// DebugPrint from several threads at once: each call formats into its own
// buffer, so every message arrives whole and nothing is left in the pool.
#include <gtest/gtest.h>

#include <host/kernel.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug.h"

namespace {

TEST(DebugPrintConcurrency, MessagesFromManyThreadsArriveWhole) {
    wrk::ScopedKernelState kernel;
    SetDebugSwitch(0xFFFFFFFF);
    constexpr int kThreads = 4;
    constexpr int kMessagesEach = 200;
    const std::string tail(300, 'z');

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &tail] {
            for (int m = 0; m < kMessagesEach; ++m)
                DebugPrint("Worker: thread %d message %d %s\n", t, m, tail.c_str());
        });
    }
    for (auto& thread : threads) thread.join();

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int m = 0; m < kMessagesEach; ++m)
            expected.insert("Worker: thread " + std::to_string(t) + " message " + std::to_string(m) + " " + tail +
                            "\n");
    std::vector<std::string> printed = wrk::DebugMessages();
    EXPECT_EQ(printed.size(), expected.size());
    EXPECT_EQ(std::set<std::string>(printed.begin(), printed.end()), expected);
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), 0u);
}

}  // namespace
