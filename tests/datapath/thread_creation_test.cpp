// How an open creates its receive threads: from the system process, with kernel
// handles that no user process can close or reuse, referenced as threads only.
#include "device_fixture.h"

namespace datapath_test {
namespace {

using ThreadCreationTest = DeviceFixture;

constexpr ULONG kWorkItemTag = 0x6b576f49;  // "IoWk", the I/O manager's work items

std::vector<wrk::ThreadCreation> CreationsSince(size_t before) {
    std::vector<wrk::ThreadCreation> all = wrk::ThreadCreations();
    return {all.begin() + std::ptrdiff_t(before), all.end()};
}

TEST_F(ThreadCreationTest, OpenCreatesBothThreadsInTheSystemProcessWithKernelHandles) {
    const size_t before = wrk::ThreadCreations().size();
    const size_t handles = wrk::OpenHandleCount();
    ASSERT_NE(Open(), nullptr);

    const std::vector<wrk::ThreadCreation> created = CreationsSince(before);
    ASSERT_EQ(created.size(), 2u);
    for (const wrk::ThreadCreation& creation : created) {
        EXPECT_TRUE(creation.fromSystemProcess) << "created in the opening process's thread";
        EXPECT_EQ(creation.irql, PASSIVE_LEVEL);
        EXPECT_EQ(creation.desiredAccess, ACCESS_MASK(THREAD_ALL_ACCESS));
        ASSERT_TRUE(creation.hasObjectAttributes);
        EXPECT_EQ(creation.attributes & OBJ_KERNEL_HANDLE, ULONG(OBJ_KERNEL_HANDLE));
        EXPECT_EQ(creation.processHandle, nullptr) << "a system thread";
        EXPECT_EQ(creation.references, 1);
        EXPECT_EQ(creation.typeCheckedReferences, 1) << "referenced as *PsThreadType";
    }
    EXPECT_EQ(wrk::OpenHandleCount(), handles) << "both handles closed once referenced";
    EXPECT_EQ(wrk::LiveWorkItemCount(), 0u);
}

TEST_F(ThreadCreationTest, OpenWithoutAWorkItemFailsAndStartsNothing) {
    const size_t before = wrk::ThreadCreations().size();
    wrk::PoolFailTag(kWorkItemTag, true);
    std::unique_ptr<wrk::UserFile> file;
    EXPECT_EQ(wrk::UserFile::Open(kDeviceName, file), STATUS_INSUFFICIENT_RESOURCES);
    wrk::PoolFailTag(kWorkItemTag, false);
    EXPECT_EQ(wrk::DebugCount("TranspThread: Start\n"), 0u);
    EXPECT_EQ(wrk::ThreadCreations().size(), before);
    EXPECT_EQ(extension_->OpenHandles, 0);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
}

}  // namespace
}  // namespace datapath_test
