// Loading and unloading a driver image, and the leak checks at unload.
#include <host/io.h>
#include <host/kernel.h>

#include <gtest/gtest.h>

namespace {

constexpr ULONG kTag = 0x206D6457;

using EntriesFn = ULONG (*)();
using PathFn = const char16_t* (*)();
using ReleaseFn = void (*)();

class LoaderTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel{0.01};

    void SetMode(ULONG mode) {
        wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"Mode", mode);
    }

    bool Mentions(const std::vector<std::string>& leaks, const std::string& what) {
        for (const auto& leak : leaks) {
            if (leak.find(what) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(LoaderTest, RunsDriverEntryWithTheServiceKeyAndADriverObject) {
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
    ASSERT_TRUE(image->Loaded());
    EXPECT_EQ(image->EntryStatus(), STATUS_SUCCESS);
    auto path = reinterpret_cast<PathFn>(image->Symbol("TestDriverRegistryPath"));
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::u16string(path()), wrk::kDefaultServiceKey);

    PDRIVER_OBJECT driver = image->Object();
    EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(driver->DriverExtension->ServiceKeyName.Buffer),
                             driver->DriverExtension->ServiceKeyName.Length / 2),
              u"Wrenlok");
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(driver->DriverName.Buffer),
                             driver->DriverName.Length / 2),
              u"\\Driver\\Wrenlok");
    for (auto dispatch : driver->MajorFunction) {
        EXPECT_EQ(dispatch, &wrk::DefaultDispatch);
    }
    EXPECT_NE(driver->DriverUnload, nullptr);
    EXPECT_TRUE(image->UnloadReportingLeaks().empty());
    EXPECT_FALSE(image->Loaded());
    EXPECT_EQ(image->Symbol("TestDriverEntries"), nullptr);
    EXPECT_EQ(wrk::DebugCount("TestDriver: unload\n"), 1u);
}

TEST_F(LoaderTest, EveryLoadStartsWithFreshGlobals) {
    for (int load = 0; load < 2; ++load) {
        auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
        auto entries = reinterpret_cast<EntriesFn>(image->Symbol("TestDriverEntries"));
        ASSERT_NE(entries, nullptr);
        EXPECT_EQ(entries(), 1u);
        image->Unload();
    }
}

TEST_F(LoaderTest, PassesAConfiguredServiceKey) {
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH, u"\\REGISTRY\\MACHINE\\SYSTEM\\Other\\Radio");
    auto path = reinterpret_cast<PathFn>(image->Symbol("TestDriverRegistryPath"));
    EXPECT_EQ(std::u16string(path()), u"\\REGISTRY\\MACHINE\\SYSTEM\\Other\\Radio");
    EXPECT_EQ(image->Object()->DriverExtension->ServiceKeyName.Length, 10);
    image->Unload();
}

TEST_F(LoaderTest, FailedEntryIsUnloadedWithoutDriverUnload) {
    SetMode(2);
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
    EXPECT_EQ(image->EntryStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(image->UnloadReportingLeaks().empty());
    EXPECT_EQ(wrk::DebugCount("TestDriver: unload\n"), 0u);
}

TEST_F(LoaderTest, ReportsPoolTheDriverDidNotFree) {
    SetMode(1);
    size_t before = wrk::PoolOutstandingBlocks();
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
    auto leaks = image->UnloadReportingLeaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_TRUE(Mentions(leaks, "'Wdm ' NonPagedPool 48 bytes")) << leaks[0];
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), before + 1);
}

TEST_F(LoaderTest, ReportsAKeyHandleLeftOpen) {
    SetMode(4);
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
    EXPECT_TRUE(Mentions(image->UnloadReportingLeaks(), "registry key handle"));
}

TEST_F(LoaderTest, ReportsAThreadStillRunningAndKeepsItsCodeMapped) {
    SetMode(3);
    auto image = wrk::DriverImage::Load(TEST_DRIVER_PATH);
    auto release = reinterpret_cast<ReleaseFn>(image->Symbol("TestDriverReleaseThread"));
    ASSERT_NE(release, nullptr);
    EXPECT_TRUE(Mentions(image->UnloadReportingLeaks(), "1 system thread(s) still running"));
    release();  // the image is still mapped, so its thread can finish
    EXPECT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));
}

TEST_F(LoaderTest, MissingImageOrEntryIsAnError) {
    EXPECT_THROW(wrk::DriverImage::Load("/nonexistent/driver.so"), std::runtime_error);
    EXPECT_THROW(wrk::DriverImage::Load("libc.so.6"), std::runtime_error);
}

// A driver linked into the test.
PVOID gStaticBlock;

void StaticUnload(PDRIVER_OBJECT) {
    ExFreePool(gStaticBlock);
}

NTSTATUS StaticEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    gStaticBlock = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    driver->DriverUnload = StaticUnload;
    return STATUS_SUCCESS;
}

NTSTATUS LeakingStaticEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    gStaticBlock = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    return STATUS_SUCCESS;
}

TEST_F(LoaderTest, RunsALinkedInEntryAndChecksItsUnload) {
    auto image = wrk::DriverImage::FromEntry(StaticEntry);
    EXPECT_EQ(image->EntryStatus(), STATUS_SUCCESS);
    EXPECT_EQ(image->Object()->DriverInit, &StaticEntry);
    EXPECT_TRUE(image->UnloadReportingLeaks().empty());

    auto leaking = wrk::DriverImage::FromEntry(LeakingStaticEntry);
    EXPECT_TRUE(Mentions(leaking->UnloadReportingLeaks(), "16 bytes"));
    ExFreePool(gStaticBlock);
}

}  // namespace
