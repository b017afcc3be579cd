/*
 * Dessel: the "DevicePath" edit, the registry clean-up in-process, and the
 * removal runs as a process.
 */
#include "machines.h"
#include "tool_run.h"

#include "remover.h"

#include <gtest/gtest.h>

using namespace tooltest;

namespace {

struct SearchPathCase {
    const char *name;
    std::string before;
    std::string after;
};

class SearchPathTest : public testing::TestWithParam<SearchPathCase> {};

TEST_P(SearchPathTest, RemovesWholeEntriesWithTheSeparatorBefore)
{
    std::string text = GetParam().before;
    text.push_back('\0');
    RemovePackageSearchPath(text.data());
    EXPECT_EQ(std::string(text.c_str()), GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    DevicePath, SearchPathTest,
    testing::Values(SearchPathCase{"Last", "%SystemRoot%\\inf;%SystemRoot%\\driver", "%SystemRoot%\\inf"},
                    SearchPathCase{"FirstKeepsSeparatorAfter", "%SystemRoot%\\driver;%SystemRoot%\\inf",
                                   ";%SystemRoot%\\inf"},
                    SearchPathCase{"Only", "%SystemRoot%\\driver", ""},
                    SearchPathCase{"Twice", "A;%SystemRoot%\\driver;B;%SystemRoot%\\driver", "A;B"},
                    SearchPathCase{"Adjacent", "%SystemRoot%\\driver;%SystemRoot%\\driver;C", ";C"},
                    SearchPathCase{"OtherCase", "A;%systemroot%\\driver", "A;%systemroot%\\driver"},
                    SearchPathCase{"LongerEntryStaysWhole", "%SystemRoot%\\inf;%SystemRoot%\\drivers",
                                   "%SystemRoot%\\inf;%SystemRoot%\\drivers"},
                    SearchPathCase{"LongerFirstEntryThenExact", "%SystemRoot%\\drivers;%SystemRoot%\\driver",
                                   "%SystemRoot%\\drivers"},
                    SearchPathCase{"Absent", "%SystemRoot%\\inf", "%SystemRoot%\\inf"},
                    SearchPathCase{"Empty", "", ""}),
    [](const testing::TestParamInfo<SearchPathCase> &info) { return info.param.name; });

class CleanUpTest : public testing::Test {
protected:
    void SetUp() override
    {
        w32::machine() = w32::Machine{};
        w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, std::string("12\0", 3));
    }
    void TearDown() override { expectNothingOpen(); }
    std::string devicePath() const
    {
        const w32::RegistryValue *value = w32::findValue(m, kSettingsKey, "DevicePath");
        return value ? value->data : "<missing>";
    }
    w32::Machine &m = w32::machine();
};

TEST_F(CleanUpTest, DevicePathKeepsItsTypeAndIsWrittenWithOneTerminator)
{
    w32::setValue(m, kSettingsKey, "DevicePath", REG_EXPAND_SZ,
                  std::string("%SystemRoot%\\inf;%SystemRoot%\\driver\0", 37));
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_DONE);
    EXPECT_EQ(devicePath(), std::string("%SystemRoot%\\inf\0", 17));
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "DevicePath")->type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "DrvVersion"), nullptr);
}

TEST_F(CleanUpTest, DevicePathKeepsTheStringTypeToo)
{
    w32::setValue(m, kSettingsKey, "DevicePath", REG_SZ, std::string("%SystemRoot%\\driver;B\0", 22));
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_DONE);
    EXPECT_EQ(devicePath(), std::string(";B\0", 3));
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "DevicePath")->type, static_cast<DWORD>(REG_SZ));
}

TEST_F(CleanUpTest, DevicePathWithoutTheEntryIsStillWrittenBackInItsType)
{
    for (DWORD type : {REG_SZ, REG_EXPAND_SZ}) {
        w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, std::string("12\0", 3));
        w32::setValue(m, kSettingsKey, "DevicePath", type, "%SystemRoot%\\inf");
        EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_DONE);
        EXPECT_EQ(devicePath(), std::string("%SystemRoot%\\inf\0", 17)) << "rewritten with its terminator";
        EXPECT_EQ(w32::findValue(m, kSettingsKey, "DevicePath")->type, type);
    }
}

TEST_F(CleanUpTest, DevicePathWithoutTerminatorIsNotReadPastItsData)
{
    w32::setValue(m, kSettingsKey, "DevicePath", REG_SZ, "A;%SystemRoot%\\driver");
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_DONE);
    EXPECT_EQ(devicePath(), std::string("A\0", 2));
}

TEST_F(CleanUpTest, UpgradeMarkerIsConsumedUnlessLargerThan16Bytes)
{
    w32::setValue(m, kSettingsKey, "upgrade", REG_SZ, std::string("1\0", 2));
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_UPGRADE);
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "upgrade"), nullptr);

    w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, std::string("12\0", 3));
    w32::setValue(m, kSettingsKey, "upgrade", REG_BINARY, std::string(17, 'u'));
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_DONE);
    EXPECT_NE(w32::findValue(m, kSettingsKey, "upgrade"), nullptr);
    EXPECT_EQ(devicePath(), "<missing>") << "a missing DevicePath is not created";
}

TEST_F(CleanUpTest, WithoutInstalledVersionNothingIsTouched)
{
    w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, std::string(17, 'v'));
    w32::setValue(m, kSettingsKey, "DevicePath", REG_SZ, std::string("%SystemRoot%\\driver\0", 20));
    w32::setValue(m, kSettingsKey, "upgrade", REG_SZ, std::string("1\0", 2));
    EXPECT_EQ(CleanUpRegistry("DrvVersion"), CLEANUP_NOT_INSTALLED);
    EXPECT_EQ(CleanUpRegistry(nullptr), CLEANUP_NOT_INSTALLED);
    EXPECT_EQ(devicePath(), std::string("%SystemRoot%\\driver\0", 20));
    EXPECT_NE(w32::findValue(m, kSettingsKey, "upgrade"), nullptr);
    EXPECT_NE(w32::findValue(m, kSettingsKey, "DrvVersion"), nullptr);
}

const std::string kFallback = "USB\\VID_0A12&PID_0000";
const std::string kFirst = "USB\\VID_0A12&PID_0001";
const std::string kSecond = "USB\\VID_0A12&PID_0002";

class DesselTest : public testing::Test {
protected:
    void SetUp() override
    {
        disk.write("version.ini", "[Version]\nDrvVersion=12\n");
        m.drives['C'] = disk.path();
        m.currentDirectory = "C:\\";
        w32::createKey(m, kSettingsKey);
        addRadio(m, "USB\\FALLBACK", {kFallback});
        addRadio(m, "USB\\FIRST", {"X", kFirst}, false);
        addRadio(m, "USB\\SECOND", {kSecond});
        addRadio(m, "USB\\KEEP", {"USB\\VID_FFFF"});
    }
    void install(bool marker, bool version)
    {
        if (marker)
            w32::setValue(m, kSettingsKey, "DrvInstalled", REG_DWORD, std::string("\1\0\0\0", 4));
        if (version)
            w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, std::string("12\0", 3));
        w32::setValue(m, kSettingsKey, "DevicePath", REG_EXPAND_SZ,
                      std::string("%SystemRoot%\\inf;%SystemRoot%\\driver\0", 37));
    }
    ToolRun run(std::vector<std::string> args = {"DrvVersion", kFallback, kFirst, "version.ini", "DrvInstalled",
                                                 kSecond})
    {
        return runTool(DESSEL_PROGRAM, args, m, {.input = "abc"});
    }
    static bool has(const ToolRun &r, const char *name) { return w32::findValue(r.after, kSettingsKey, name); }
    TempFolder disk;
    w32::Machine m;
};

TEST_F(DesselTest, InstalledPackageIsRemovedWithRestartOffered)
{
    install(true, true);
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(has(r, "DrvInstalled"));
    EXPECT_FALSE(has(r, "DrvVersion"));
    EXPECT_EQ(w32::findValue(r.after, kSettingsKey, "DevicePath")->data, std::string("%SystemRoot%\\inf\0", 17));
    EXPECT_EQ(eventsOf(r.after, {"Sleep", "DIF_REMOVE", "SetupPromptReboot", "ReadFile"}),
              (std::vector<std::string>{"Sleep 5000", "Sleep 3000", "DIF_REMOVE USB\\FIRST", "DIF_REMOVE USB\\SECOND",
                                        "SetupPromptReboot"}));
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\FALLBACK", "USB\\KEEP"}));
}

TEST_F(DesselTest, UpgradeMarkerIsConsumedInsteadOfTheRestart)
{
    install(true, true);
    w32::setValue(m, kSettingsKey, "upgrade", REG_SZ, std::string("1\0", 2));
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(has(r, "upgrade"));
    EXPECT_TRUE(eventsOf(r.after, {"SetupPromptReboot"}).empty());
}

TEST_F(DesselTest, MarkerWithoutVersionLeavesDevicePathAndUpgrade)
{
    install(true, false);
    w32::setValue(m, kSettingsKey, "upgrade", REG_SZ, std::string("1\0", 2));
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(has(r, "DrvInstalled"));
    EXPECT_TRUE(has(r, "upgrade"));
    EXPECT_EQ(w32::findValue(r.after, kSettingsKey, "DevicePath")->data,
              std::string("%SystemRoot%\\inf;%SystemRoot%\\driver\0", 37));
    EXPECT_EQ(eventsOf(r.after, {"SetupPromptReboot"}).size(), 1u);
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\FALLBACK", "USB\\KEEP"}));
}

TEST_F(DesselTest, WithoutMarkerOnlyAMissingVersionRemovesThePositionTwoDevices)
{
    install(false, true);
    ToolRun installed = run();
    EXPECT_EQ(installed.exitCode, 1);
    EXPECT_TRUE(has(installed, "DrvVersion"));
    EXPECT_EQ(installed.after.devices.size(), 4u);
    EXPECT_TRUE(eventsOf(installed.after, {"Sleep"}).empty());

    w32::Machine second = installed.after;
    w32::setValue(second, kSettingsKey, "DrvInstalled", REG_SZ, std::string("1\0", 2));
    ToolRun removed = runTool(DESSEL_PROGRAM, {"DrvVersion", kFallback, kFirst, "version.ini", "DrvInstalled", kSecond},
                              second);
    ToolRun again = runTool(DESSEL_PROGRAM, {"DrvVersion", kFallback, kFirst, "version.ini", "DrvInstalled", kSecond},
                            removed.after);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(instanceIds(again.after), std::vector<std::string>{"USB\\KEEP"});
}

TEST_F(DesselTest, DeviceWithEmptyIdentifierListIsPassedOver)
{
    install(false, false);
    m.devices.insert(m.devices.begin(), w32::Device{.instanceId = "USB\\EMPTY",
                                                    .classGuid = kBluetoothClass,
                                                    .hardwareIds = std::string()});
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\EMPTY", "USB\\FIRST", "USB\\SECOND", "USB\\KEEP"}));
}

TEST_F(DesselTest, VersionFileHasNoInfluence)
{
    install(true, true);
    ToolRun withFile = run();
    disk.write("version.ini", "[Version]\nDrvVersion=99\n");
    ToolRun newer = run();
    ToolRun noFile = run({"DrvVersion", kFallback, kFirst, "absent.ini", "DrvInstalled", kSecond});
    for (const ToolRun *r : {&newer, &noFile}) {
        EXPECT_EQ(r->exitCode, withFile.exitCode);
        EXPECT_EQ(r->after.journal, withFile.after.journal);
        EXPECT_EQ(instanceIds(r->after), instanceIds(withFile.after));
    }
}

TEST_F(DesselTest, ShortCommandLinesCountMissingPositionsAsAbsent)
{
    install(true, true);
    ToolRun none = run({});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.after.devices.size(), 4u);

    ToolRun three = run({"DrvVersion", kFallback, kFirst});
    EXPECT_EQ(three.exitCode, 1) << "no marker name: the marker counts as absent";
    EXPECT_EQ(three.after.devices.size(), 4u);

    ToolRun five = run({"DrvVersion", kFallback, kFirst, "version.ini", "DrvInstalled"});
    EXPECT_EQ(five.exitCode, 0);
    EXPECT_EQ(instanceIds(five.after), (std::vector<std::string>{"USB\\FALLBACK", "USB\\SECOND", "USB\\KEEP"}));
}

} // namespace
