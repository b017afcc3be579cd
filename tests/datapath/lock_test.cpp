// The device lock: references, refusal while stopping, and the drain that waits for
// requests in flight.
#include <gtest/gtest.h>

#include "host/kernel.h"
#include "wrenlok.h"

namespace {

class DeviceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        extension.LockCount = 1;
        KeInitializeEvent(&extension.StoppingEvent, NotificationEvent, FALSE);
        wrk::ClearDebugMessages();
    }

    // The drain as the stop sequence runs it, up to its wait.
    void BeginDrain() {
        WriteFlag(&extension.Stopping, 1);
        KeResetEvent(&extension.StoppingEvent);
        UnlockDevice(&extension);
        UnlockDevice(&extension);
    }
    bool Drained() { return KeReadStateEvent(&extension.StoppingEvent) != 0; }

    wrk::ScopedKernelState kernel;
    DEVICE_EXTENSION extension{};
};

TEST_F(DeviceLockTest, LockAndUnlockWithNothingInFlightLeavesOneAndPrintsNothing) {
    EXPECT_TRUE(LockDevice(&extension));
    EXPECT_EQ(extension.LockCount, 2);
    UnlockDevice(&extension);
    EXPECT_EQ(extension.LockCount, 1);
    EXPECT_EQ(wrk::DebugText(), "");
    EXPECT_FALSE(Drained());
}

TEST_F(DeviceLockTest, RequestWhileStoppingIsRefusedAndLeavesTheCountAsFound) {
    extension.LockCount = 3;
    WriteFlag(&extension.Stopping, 1);
    EXPECT_FALSE(LockDevice(&extension));
    EXPECT_EQ(extension.LockCount, 3);
    EXPECT_FALSE(Drained());
}

TEST_F(DeviceLockTest, RefusedRequestWhoseBackOutReachesZeroSignalsTheDrain) {
    extension.LockCount = 0;
    WriteFlag(&extension.Stopping, 1);
    EXPECT_FALSE(LockDevice(&extension));
    EXPECT_EQ(extension.LockCount, 0);
    EXPECT_TRUE(Drained());
    EXPECT_EQ(wrk::DebugText(), "");
}

TEST_F(DeviceLockTest, DrainWithNothingInFlightEndsAtItsSecondUnlock) {
    extension.LockCount = 2;  // the device's own reference and the stop request's
    BeginDrain();
    EXPECT_TRUE(Drained());
    EXPECT_EQ(wrk::DebugText(), "UnlockDevice: setting StoppingEvent flag\n");
}

TEST_F(DeviceLockTest, DrainWithOneRequestInFlightEndsOnlyWhenThatRequestUnlocks) {
    extension.LockCount = 2;
    ASSERT_TRUE(LockDevice(&extension));
    BeginDrain();
    EXPECT_FALSE(Drained());
    EXPECT_FALSE(LockDevice(&extension));
    EXPECT_EQ(wrk::DebugText(), "");

    UnlockDevice(&extension);
    EXPECT_TRUE(Drained());
    EXPECT_EQ(extension.LockCount, 0);
    EXPECT_EQ(wrk::DebugText(), "UnlockDevice: setting StoppingEvent flag\n");

    // The stop sequence gives both references back.
    WriteFlag(&extension.Stopping, 0);
    EXPECT_TRUE(LockDevice(&extension));
    EXPECT_TRUE(LockDevice(&extension));
    EXPECT_EQ(extension.LockCount, 2);
}

}  // namespace
