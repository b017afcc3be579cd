/*
 * Vantry as a process: its traces, its key-press reads and waits in order,
 * and what it removes on each version outcome.
 */
#include "machines.h"
#include "tool_run.h"

#include <gtest/gtest.h>

#include <regex>

#include <setupapi.h>

using namespace tooltest;

namespace {

const std::string kMain = "USB\\VID_0A12&PID_0001";
const std::string kSecond = "USB\\VID_0A12&PID_0002";
const std::string kThird = "USB\\VID_0A12&PID_0003";

std::string deviceNotDetected()
{
    const int bytes[] = {0x83, 0x66, 0x83, 0x6F, 0x83, 0x43, 0x83, 0x58, 0x82, 0xAA, 0x8C, 0x9F, 0x8F,
                         0x6F, 0x82, 0xB3, 0x82, 0xEA, 0x82, 0xC4, 0x82, 0xA2, 0x82, 0xC8, 0x82, 0xA2,
                         0x8F, 0xF3, 0x91, 0xD4, 0x82, 0xC5, 0x82, 0xB7, 0x81, 0x42, 0x0A};
    std::string text;
    for (int b : bytes)
        text += static_cast<char>(b);
    return text;
}

class VantryTest : public testing::Test {
protected:
    void SetUp() override
    {
        disk.write("setup/version.ini", "[Version]\nDrvVersion=12\n");
        m.drives['C'] = disk.path();
        m.currentDirectory = "C:\\setup";
        w32::createKey(m, kSettingsKey);
        addRadio(m, "USB\\MAIN", {kMain});
        addRadio(m, "USB\\SECOND", {kSecond});
        addRadio(m, "USB\\THIRD", {kThird}, false);
        addRadio(m, "USB\\KEEP", {"USB\\VID_FFFF"});
    }
    ToolRun run(std::vector<std::string> args, const RunOptions &options = {})
    {
        return runTool(VANTRY_PROGRAM, args, m, options);
    }
    std::vector<std::string> fullArgs(bool withThird = true)
    {
        std::vector<std::string> args{"DrvVersion", kMain, "unused", "unused", "version.ini", kSecond};
        if (withThird)
            args.push_back(kThird);
        return args;
    }
    void installed(const std::string &version)
    {
        w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, version + '\0');
    }
    static std::vector<std::string> steps(const ToolRun &r)
    {
        return eventsOf(r.after, {"ReadFile", "Sleep", "DIF_REMOVE"});
    }

    TempFolder disk;
    w32::Machine m;
};

TEST_F(VantryTest, MainDeviceNotRecordedPrintsJapaneseTraceAndRemovesNothingElse)
{
    m.devices.erase(m.devices.begin());
    ToolRun r = run(fullArgs(), {.input = "abcdefgh"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "12 FAILURE: The operation completed successfully.\r\n\n"
                     "EnumDeviceInfo_NOT_FOUND FAILURE: No more data is available.\r\n\n" +
                         deviceNotDetected() + " FAILURE: No more data is available.\r\n\n");
    EXPECT_EQ(steps(r), (std::vector<std::string>{"ReadFile stdin", "ReadFile stdin", "Sleep 5000", "ReadFile stdin",
                                                  "ReadFile stdin", "ReadFile stdin"}));
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\SECOND", "USB\\THIRD", "USB\\KEEP"}));
}

TEST_F(VantryTest, DeviceWithEmptyIdentifierListIsPassedOverByBothSearches)
{
    m.devices.insert(m.devices.begin(), w32::Device{.instanceId = "USB\\EMPTY",
                                                    .classGuid = kBluetoothClass,
                                                    .hardwareIds = std::string()});
    ToolRun r = run(fullArgs(), {.input = "abcdefgh"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.find("GetDeviceRegistryProperty"), std::string::npos) << r.out;
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\EMPTY", "USB\\KEEP"}));
}

TEST_F(VantryTest, NoInstalledVersionRemovesSixSevenThenMain)
{
    ToolRun r = run(fullArgs(), {.input = "abcdefgh"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("\nVersion_Check(argv[5])==1\n FAILURE: "), std::string::npos) << r.out;
    EXPECT_EQ(steps(r), (std::vector<std::string>{"ReadFile stdin", "ReadFile stdin", "Sleep 5000", "ReadFile stdin",
                                                  "ReadFile stdin", "DIF_REMOVE USB\\SECOND", "DIF_REMOVE USB\\THIRD",
                                                  "DIF_REMOVE USB\\MAIN"}));
    EXPECT_EQ(instanceIds(r.after), std::vector<std::string>{"USB\\KEEP"});
}

TEST_F(VantryTest, ThirdIdentifierOnlyWithExactlySevenArguments)
{
    ToolRun six = run(fullArgs(false));
    EXPECT_EQ(instanceIds(six.after), (std::vector<std::string>{"USB\\THIRD", "USB\\KEEP"}));
    std::vector<std::string> eight = fullArgs();
    eight.push_back("extra");
    ToolRun more = run(eight);
    EXPECT_EQ(instanceIds(more.after), (std::vector<std::string>{"USB\\THIRD", "USB\\KEEP"}));
    EXPECT_EQ(more.exitCode, 2);
}

TEST_F(VantryTest, SameOrNewerInstalledVersionRemovesNothing)
{
    for (const char *version : {"12", "13", "2"}) {
        installed(version);
        ToolRun r = run(fullArgs(), {.input = "abcdefgh"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.out.find("\nVersion_Check(argv[5])==0\n FAILURE: "), std::string::npos) << version;
        EXPECT_EQ(steps(r), (std::vector<std::string>{"ReadFile stdin", "ReadFile stdin", "Sleep 5000",
                                                      "ReadFile stdin", "ReadFile stdin"}))
            << version;
        EXPECT_EQ(r.after.devices.size(), 4u) << version;
    }
}

TEST_F(VantryTest, NewerPackageRemovesSixThenReadsThenMainButNeverSeven)
{
    installed("10");
    ToolRun r = run(fullArgs(), {.input = "abcdefgh"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("\nVersion_Check(argv[5])==2\n FAILURE: "), std::string::npos) << r.out;
    EXPECT_EQ(steps(r), (std::vector<std::string>{"ReadFile stdin", "ReadFile stdin", "Sleep 5000", "ReadFile stdin",
                                                  "DIF_REMOVE USB\\SECOND", "ReadFile stdin",
                                                  "DIF_REMOVE USB\\MAIN"}));
    EXPECT_EQ(instanceIds(r.after), (std::vector<std::string>{"USB\\THIRD", "USB\\KEEP"}));
}

TEST_F(VantryTest, EveryReportLineHasOneOfTheTwoForms)
{
    installed("10");
    m.devices[1].removeError = ERROR_NO_SUCH_DEVINST;
    ToolRun r = run(fullArgs());
    /* A trace label may end in its own line break, which puts FAILURE on the next line. */
    const std::regex report(R"([^\n]*\n? FAILURE: (\(0x[0-9a-f]{8}\)\n|[^\n]*\r\n\n))");
    std::string rest = r.out;
    int reports = 0;
    for (std::smatch match; std::regex_search(rest, match, report, std::regex_constants::match_continuous);
         ++reports)
        rest = match.suffix();
    EXPECT_EQ(rest, "");
    EXPECT_EQ(reports, 3);
    EXPECT_NE(r.out.find("CallClassInstaller(REMOVE) FAILURE: (0xe000020b)\n"), std::string::npos);
}

TEST_F(VantryTest, WithoutStandardHandlesReadsEndAtOnceAndTheWaitStays)
{
    ToolRun r = run(fullArgs(), {.input = std::nullopt, .withOutput = false});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(steps(r), (std::vector<std::string>{"ReadFile", "ReadFile", "Sleep 5000", "ReadFile", "ReadFile",
                                                  "DIF_REMOVE USB\\SECOND", "DIF_REMOVE USB\\THIRD",
                                                  "DIF_REMOVE USB\\MAIN"}));
}

TEST_F(VantryTest, ShortCommandLinesNeverReadPastTheArguments)
{
    ToolRun none = run({});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(none.after.devices.size(), 4u);
    EXPECT_EQ(none.out.substr(0, 11), " FAILURE: T") << "empty package version as the first trace";

    ToolRun two = run({"DrvVersion", kMain});
    EXPECT_EQ(two.exitCode, 2);
    EXPECT_EQ(eventsOf(two.after, {"DIF_REMOVE"}), std::vector<std::string>{"DIF_REMOVE USB\\MAIN"});
}

TEST_F(VantryTest, FirstTraceCarriesWhatTheProfileReadLeft)
{
    disk.write("setup/version.ini", "[Version]\nDrvVersion=123\n");
    ToolRun cut = run(fullArgs());
    EXPECT_TRUE(cut.out.starts_with("12 FAILURE: More data is available.\r\n\nV")) << cut.out;
    ToolRun missing = run({"DrvVersion", kMain, "unused", "unused", "absent.ini", kSecond});
    EXPECT_TRUE(missing.out.starts_with(" FAILURE: The system cannot find the file specified.\r\n\nV")) << missing.out;
}

TEST_F(VantryTest, OverlongVersionPathCountsAsMissingVersion)
{
    m.currentDirectory = "C:\\" + std::string(300, 'd');
    installed("10");
    ToolRun r = run(fullArgs());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.substr(0, 51), " FAILURE: The filename or extension is too long.\r\n\n");
    EXPECT_NE(r.out.find("Version_Check(argv[5])==0\n"), std::string::npos) << "empty version is lower";
}

} // namespace
