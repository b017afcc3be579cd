// A receive context's starting values, given without touching what belongs to
// the device: the event that lets one caller at a time start or stop the pair.
#include <gtest/gtest.h>

#include "datapath/datapath.h"
#include "host/kernel.h"

namespace {

TEST(ThreadContextTest, SettingUpAContextLeavesTheDevicesThreadControlAsItIs) {
    wrk::ScopedKernelState kernel;
    DEVICE_EXTENSION extension{};
    // Held by a start or stop in progress.
    KeInitializeEvent(&extension.ThreadControlEvent, SynchronizationEvent, FALSE);

    InitializeReceiveThread(&extension, &extension.AclThread);
    EXPECT_EQ(KeReadStateEvent(&extension.ThreadControlEvent), 0) << "a second caller would get in";
    EXPECT_EQ(extension.AclThread.DeviceExtension, &extension);
    EXPECT_EQ(extension.AclThread.Running, 0);
    EXPECT_EQ(KeReadStateEvent(&extension.AclThread.ExitEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extension.AclThread.SpaceEvent), 0);
}

}  // namespace
