// DriverEntry: reads the configuration before it prints anything, installs
// exactly its ten routines, creates no device, and every load starts afresh.
#include <gtest/gtest.h>

#include <cxxabi.h>
#include <dlfcn.h>

#include "loaded_driver.h"

namespace {

// The demangled name of the routine a code address belongs to, up to its '('.
std::string RoutineName(const void* code) {
    Dl_info info{};
    if (code == nullptr || dladdr(code, &info) == 0 || info.dli_sname == nullptr) return "";
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::string name = status == 0 ? demangled : info.dli_sname;
    free(demangled);
    return name.substr(0, name.find('('));
}

template <typename Routine>
std::string RoutineName(Routine routine) {
    return RoutineName(reinterpret_cast<const void*>(routine));
}

class DriverEntryTest : public ::testing::Test {
protected:
    wrk::ScopedKernelState kernel_;
};

TEST_F(DriverEntryTest, PrintsTheBannerOnlyAfterTheConfigurationIsRead) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    auto image = LoadDriver();
    ASSERT_EQ(image->EntryStatus(), STATUS_SUCCESS);
    std::vector<std::string> printed = wrk::DebugMessages();
    ASSERT_EQ(printed.size(), 5u);
    EXPECT_EQ(printed[0], " >>>> Registry Configuration dump start <<<<\n");
    EXPECT_EQ(printed[2], " >>>> Registry Configuration dump end   <<<<\n");
    EXPECT_EQ(printed[3], kDefaultBanner);
    EXPECT_EQ(printed[4], "DriverEntry completed\n");
    image->Unload();
    EXPECT_EQ(wrk::DebugMessages().back(), kUnloadMessage);
}

TEST_F(DriverEntryTest, BannerShowsTheRegistryPathItWasGiven) {
    const std::u16string path = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\OtherName";
    wrk::RegistrySetDword(path, u"DebugLevel", 1);
    auto image = LoadDriver(path);
    EXPECT_EQ(wrk::DebugCount("DriverEntry: RegistryPath is \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"
                              "\\Services\\OtherName\n"),
              1u);
}

TEST_F(DriverEntryTest, InstallsItsTenRoutinesAndNothingElse) {
    auto image = LoadDriver();
    PDRIVER_OBJECT driver = image->Object();
    EXPECT_EQ(RoutineName(driver->DriverExtension->AddDevice), "TranspAddDevice");
    EXPECT_EQ(RoutineName(driver->DriverUnload), "TranspUnload");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_CREATE]), "TranspCreate");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_CLOSE]), "TranspClose");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_PNP]), "TranspPnp");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_POWER]), "TranspPower");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_READ]), "TranspRead");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_WRITE]), "TranspWrite");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]), "DeviceIoControl");
    EXPECT_EQ(RoutineName(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL]), "TranspSystemControl");
    const std::vector<int> installed = {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_READ,
                                        IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_SYSTEM_CONTROL};
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (std::find(installed.begin(), installed.end(), major) != installed.end()) continue;
        EXPECT_EQ(driver->MajorFunction[major], &wrk::DefaultDispatch) << "major " << major;
    }
}

TEST_F(DriverEntryTest, CreatesNoDevice) {
    auto image = LoadDriver();
    EXPECT_EQ(wrk::DeviceCount(image->Object()), 0u);
    EXPECT_EQ(image->Object()->DeviceObject, nullptr);
}

// Sends a request of `major` to a bare device of the loaded driver.
NTSTATUS SendToDriver(PDRIVER_OBJECT driver, UCHAR major) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(0, device, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    status = IoCallDriver(device, irp);
    IoDeleteDevice(device);
    return status;
}

TEST_F(DriverEntryTest, CleanupAndInternalRequestsGetTheDefaultRefusal) {
    auto image = LoadDriver();
    EXPECT_EQ(SendToDriver(image->Object(), IRP_MJ_CLEANUP), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToDriver(image->Object(), IRP_MJ_INTERNAL_DEVICE_CONTROL), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(wrk::LiveIrpCount(), 0u);
    EXPECT_EQ(image->UnloadReportingLeaks(), std::vector<std::string>{});
}

TEST_F(DriverEntryTest, EveryLoadStartsFromFreshGlobals) {
    for (int load = 0; load < 3; ++load) {
        auto image = LoadDriver();
        ASSERT_EQ(image->EntryStatus(), STATUS_SUCCESS);
        ULONG& debugSwitch = ImageGlobal<ULONG>(*image, "DebugSwitch");
        ULONG& deviceAdded = ImageGlobal<ULONG>(*image, "DeviceAdded");
        auto& configuration = ImageGlobal<REGISTRY_CONFIGURATION>(*image, "RegistryConfiguration");
        // No key: the switch keeps its load-time value, nothing else is set.
        EXPECT_EQ(debugSwitch, 0xFFFFFFFFu) << "load " << load;
        EXPECT_EQ(deviceAdded, 0u) << "load " << load;
        EXPECT_EQ(configuration.DebugLevel, 0u) << "load " << load;
        // Dirty them; the next load must not see it.
        debugSwitch = 0;
        deviceAdded = 1;
        configuration.DebugLevel = 7;
        EXPECT_EQ(image->UnloadReportingLeaks(), std::vector<std::string>{});
    }
}

TEST_F(DriverEntryTest, LeavesNoPoolOrHandleBehind) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    size_t blocks = wrk::PoolOutstandingBlocks();
    auto image = LoadDriver();
    EXPECT_EQ(wrk::PoolOutstandingByTag()[kDriverPoolTag], 0u);
    EXPECT_EQ(image->UnloadReportingLeaks(), std::vector<std::string>{});
    image.reset();
    EXPECT_EQ(wrk::PoolOutstandingBlocks(), blocks);
    EXPECT_EQ(wrk::OpenHandleCount(), 0u);
}

}  // namespace
