// The data path with the driver's allocations failing at random: opens,
// commands, ACL data and reads keep failing or working, and the device is
// removed and the driver unloaded with nothing left behind.
#include "device_fixture.h"

namespace datapath_test {
namespace {

constexpr double kFailureProbability = 0.05;

class DataPathUnderLowResources : public DeviceFixture, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(DataPathUnderLowResources, TrafficFailsOrWorksAndLeavesNothing) {
    wrk::PoolFailRandomly(kFailureProbability, GetParam());
    for (int round = 0; round < 4; round++) {
        std::unique_ptr<wrk::UserFile> file;
        if (!NT_SUCCESS(wrk::UserFile::Open(kDeviceName, file))) continue;
        for (int i = 0; i < 5; i++) {
            Write(file.get(), {0x01, 0x03, 0x0C, 0x00});
            Write(file.get(), Typed(0x02, Acl(0x2001, 64, uint8_t(i))));
            radio_.QueueEvent(Event(0x0E, 4, uint8_t(i)));
            radio_.QueueAcl(Acl(0x2002, 200, uint8_t(i)));
            // Reads return at once: whatever arrived so far, or nothing.
            Read(file.get());
            Read(file.get());
        }
        file->Close();
    }
    RecordProperty("failures", int(wrk::PoolRandomFailures()));
    wrk::PoolClearFaults();
    // The fixture's teardown removes the device and checks the unload.
}

INSTANTIATE_TEST_SUITE_P(Seeds, DataPathUnderLowResources, ::testing::Range<uint64_t>(1, 25));

}  // namespace
}  // namespace datapath_test
