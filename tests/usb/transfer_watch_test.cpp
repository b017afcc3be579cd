// The IN-transfer watch on its own: a count must reach a waiter that saw the
// count before it, however the two threads interleave.
#include <host/transfer_watch.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using usbsim::TransferWatch;

constexpr auto kLongerThanAnyWakeUp = std::chrono::seconds(2);

// Waits until `watch` moves past `seen`; false if a wait ran out meanwhile.
bool AwaitMove(const TransferWatch& watch, uint32_t seen) {
    bool wokenEveryTime = true;
    while (watch.Submitted() == seen) {
        if (!watch.WaitForMore(seen, kLongerThanAnyWakeUp)) wokenEveryTime = false;
    }
    return wokenEveryTime;
}

// A ping-pong over two watches: each wait can only be ended by the one count
// the other thread makes next, so a lost wake-up shows as a wait that ran
// out. The first one ends both threads' rounds.
TEST(TransferWatchTest, EveryCountWakesTheWaiterThatSawTheCountBeforeIt) {
    constexpr uint32_t kRounds = 5000;
    TransferWatch ping;
    TransferWatch pong;
    std::atomic<int> timedOut{0};
    std::thread answerer([&] {
        for (uint32_t round = 0; round < kRounds && timedOut == 0; ++round) {
            if (!AwaitMove(ping, round)) ++timedOut;
            pong.Count();
        }
    });
    for (uint32_t round = 0; round < kRounds && timedOut == 0; ++round) {
        ping.Count();
        if (!AwaitMove(pong, round)) ++timedOut;
    }
    answerer.join();
    EXPECT_EQ(timedOut.load(), 0);
    EXPECT_EQ(ping.Submitted(), kRounds);
    EXPECT_EQ(pong.Submitted(), kRounds);
}

TEST(TransferWatchTest, WaitRunsOutWhenNothingIsCounted) {
    TransferWatch watch;
    EXPECT_FALSE(watch.WaitForMore(0, std::chrono::microseconds(500)));
    watch.Count();
    // A count already made ends the wait before it sleeps.
    EXPECT_TRUE(watch.WaitForMore(0, std::chrono::seconds(10)));
}

}  // namespace
