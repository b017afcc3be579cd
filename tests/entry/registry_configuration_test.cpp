// "DebugLevel" under the service key switches the driver's diagnostics for
// its whole life; every way of reading it is reported and never stops the load.
#include <gtest/gtest.h>

#include "loaded_driver.h"

namespace {

using Messages = std::vector<std::string>;

const std::string kDumpStart = " >>>> Registry Configuration dump start <<<<\n";
const std::string kDumpEnd = " >>>> Registry Configuration dump end   <<<<\n";
const std::string kCannotAccess = "GetRegistryKeyValue: cannot access registry value.\n";
const std::string kCannotGet = "TranspGetRegistryConfiguration: cannot get debug level.\n";

class RegistryConfigurationTest : public ::testing::Test {
protected:
    // Loads, checks the switch and configuration it ended with, unloads
    // cleanly, and returns everything the driver printed.
    Messages LoadExpecting(ULONG debugLevel, ULONG debugSwitch) {
        auto image = LoadDriver();
        EXPECT_EQ(image->EntryStatus(), STATUS_SUCCESS);
        EXPECT_EQ(ImageGlobal<REGISTRY_CONFIGURATION>(*image, "RegistryConfiguration").DebugLevel, debugLevel);
        EXPECT_EQ(ImageGlobal<ULONG>(*image, "DebugSwitch"), debugSwitch);
        EXPECT_EQ(image->UnloadReportingLeaks(), std::vector<std::string>{});
        EXPECT_EQ(wrk::OpenHandleCount(), 0u) << "service key left open";
        return wrk::DebugMessages();
    }
    wrk::ScopedKernelState kernel_;
};

TEST_F(RegistryConfigurationTest, KeyThatCannotBeOpenedLeavesDiagnosticsOn) {
    Messages printed = LoadExpecting(0, 0xFFFFFFFF);
    ASSERT_EQ(printed.size(), 4u);
    EXPECT_EQ(printed[0], "TranspGetRegistryConfiguration: registry open error.\n");
    EXPECT_EQ(printed[1], kDefaultBanner);
    EXPECT_EQ(printed[2], "DriverEntry completed\n");
    EXPECT_EQ(printed[3], kUnloadMessage);
}

TEST_F(RegistryConfigurationTest, MissingValueTurnsDiagnosticsOffAfterSayingSo) {
    wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
    EXPECT_EQ(LoadExpecting(0, 0), (Messages{kCannotAccess, kCannotGet}));
}

TEST_F(RegistryConfigurationTest, ValueLongerThanFourBytesIsRefused) {
    SetDebugLevel(REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(LoadExpecting(0, 0), (Messages{"GetRegistryKeyValue: output buffer size error.\n", kCannotGet}));
}

TEST_F(RegistryConfigurationTest, ValueZeroIsSilent) {
    SetDebugLevel(REG_DWORD, {0, 0, 0, 0});
    EXPECT_EQ(LoadExpecting(0, 0), Messages{});
}

TEST_F(RegistryConfigurationTest, AnyOtherValueSwitchesOnAndIsDumped) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 0x12345678);
    Messages printed = LoadExpecting(0x12345678, 0x12345678);
    ASSERT_GE(printed.size(), 3u);
    EXPECT_EQ(printed[0], kDumpStart);
    EXPECT_NE(printed[1].find("DebugLevel"), std::string::npos);
    EXPECT_NE(printed[1].find("12345678"), std::string::npos);
    EXPECT_EQ(printed[2], kDumpEnd);
    EXPECT_EQ(printed.back(), kUnloadMessage);
}

TEST_F(RegistryConfigurationTest, ShortValueOfAnyTypeFillsTheLowBytes) {
    SetDebugLevel(REG_BINARY, {0x01, 0x00});
    LoadExpecting(1, 1);
    wrk::ClearDebugMessages();
    SetDebugLevel(REG_SZ, {0x02});
    LoadExpecting(2, 2);
}

TEST_F(RegistryConfigurationTest, EmptyValueReadsAsZero) {
    SetDebugLevel(REG_BINARY, {});
    EXPECT_EQ(LoadExpecting(0, 0), Messages{});
}

TEST_F(RegistryConfigurationTest, NoPoolForTheValueTurnsDiagnosticsOff) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    wrk::PoolFailTag(kDriverPoolTag, true);
    Messages printed = LoadExpecting(0, 0);
    wrk::PoolFailTag(kDriverPoolTag, false);
    // DebugPrint itself has no buffer either, so each message is replaced.
    EXPECT_EQ(printed, (Messages{"DebugPrint: Could not allocate buffer\n", "DebugPrint: Could not allocate buffer\n"}));
}

TEST_F(RegistryConfigurationTest, ReadOnlyAtLoad) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 0);
    auto image = LoadDriver();
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 1);
    image->Unload();
    EXPECT_EQ(wrk::DebugMessages(), Messages{});
}

}  // namespace
