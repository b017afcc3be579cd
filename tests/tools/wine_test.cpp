/*
 * The Windows builds of the three programs under Wine, against Wine's own
 * registry and SetupAPI device database, each test in a Wine machine of its
 * own. The suite is built once for the x86 programs in a 32-bit prefix and
 * once for the x64 programs in a 64-bit one. The fixture program records
 * devices, sets and reads registry values and asks Wine for its system
 * texts, so reports are compared whole with the text that Wine gives. Wine's
 * Sleep is real, so the runs here are few.
 */
#include "wine_machine.h"

#include "host/messages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace tooltest;

namespace {

const std::string kSettings = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const std::string kBluetoothClass = "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}";
const std::string kNetClass = "{4d36e972-e325-11ce-bfc1-08002be10318}";
const std::string kBluetoothIp = "{ef1e4740-9554-11d6-8d2b-0090cc083aa5}\\ven_1&dev_0&subsys_1";

constexpr DWORD kNoSuchDevinst = 0xE000020B;

/* "The device is not detected" in code page 932, and its line break. */
const std::string kDeviceNotDetected =
    "\x83\x66\x83\x6F\x83\x43\x83\x58\x82\xAA\x8C\x9F\x8F\x6F\x82\xB3\x82\xEA\x82\xC4"
    "\x82\xA2\x82\xC8\x82\xA2\x8F\xF3\x91\xD4\x82\xC5\x82\xB7\x81\x42\n";

using Command = std::vector<std::string>;

Command valueOf(const std::string &key, const std::string &name)
{
    return {"get-value", key, name};
}

Command devicesWith(const std::string &hardwareId)
{
    return {"list-devices", hardwareId};
}

Command messageOf(DWORD code, bool ignoreInserts)
{
    Command command{"message", std::to_string(code)};
    if (ignoreInserts)
        command.push_back("ignore-inserts");
    return command;
}

std::string hexForm(DWORD code)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "(0x%08x)", static_cast<unsigned>(code));
    return hex;
}

class WineTest : public testing::Test {
protected:
    static void SetUpTestSuite() { pristine_ = std::make_unique<WinePristinePrefix>(WINE_ARCH); }
    static void TearDownTestSuite() { pristine_.reset(); }
    void SetUp() override
    {
        ASSERT_TRUE(pristine_->ready()) << "Wine cannot prepare a " << WINE_ARCH << " prefix";
        wine_ = std::make_unique<WineMachine>(*pristine_);
    }
    void TearDown() override { wine_.reset(); }

    /* The machine is set up in one fixture run just before the program runs. */
    void addDevice(const std::string &cls, std::vector<std::string> ids)
    {
        ids.insert(ids.begin(), {"add-device", cls});
        setup_.push_back(ids);
    }
    void setValue(const std::string &key, const std::string &name, int type, const std::string &data)
    {
        setup_.push_back({"set-value", key, name, std::to_string(type), data});
    }

    WineRun run(const char *name, std::vector<std::string> args, const std::string &input = "")
    {
        if (!setup_.empty())
            ask(setup_, true);
        setup_.clear();
        args.insert(args.begin(), std::string(WINDOWS_PROGRAMS) + "/" + name);
        return wine_->run(args, work.path(), input);
    }

    /*
     * Runs fixture commands in one Wine process and returns each one's output
     * without its final line break. "TYPE TEXT|SIZE" for strings, "TYPE NUMBER"
     * for REG_DWORD, "missing" for a missing value; the instance ids that carry
     * an identifier; a system text, empty when Wine has none.
     */
    std::vector<std::string> ask(const std::vector<Command> &commands, bool mustSucceed = false)
    {
        std::string script;
        for (const Command &command : commands) {
            for (size_t i = 0; i < command.size(); ++i)
                script += (i ? "\t" : "") + command[i];
            script += "\n";
        }
        work.write("fixture-script", script);
        WineRun asked = wine_->run({WINE_FIXTURE, "script", "Z:" + work.path() + "/fixture-script"});
        EXPECT_EQ(asked.exitCode, 0) << asked.err;
        std::vector<std::string> outputs;
        size_t at = 0;
        for (size_t mark = asked.out.find('\x1e'); mark != std::string::npos; mark = asked.out.find('\x1e', at)) {
            std::string output = asked.out.substr(at, mark - at);
            if (!output.empty() && output.back() == '\n')
                output.pop_back();
            size_t end = asked.out.find('\n', mark);
            if (mustSucceed)
                EXPECT_EQ(asked.out.substr(mark + 1, end - mark - 1), "0")
                    << "fixture command " << outputs.size() << " failed: " << asked.err;
            outputs.push_back(output);
            at = end + 1;
        }
        EXPECT_EQ(outputs.size(), commands.size()) << asked.out;
        outputs.resize(commands.size());
        return outputs;
    }

    /* A setup tool's report line as it must read under Wine, from Wine's own text for the code. */
    static std::string report(const std::string &label, const std::string &wineText, DWORD code)
    {
        return label + " FAILURE: " + (wineText.empty() ? hexForm(code) : wineText + "\n") + "\n";
    }

    static std::unique_ptr<WinePristinePrefix> pristine_;
    std::unique_ptr<WineMachine> wine_;
    std::vector<Command> setup_;
    TempFolder work;
};

std::unique_ptr<WinePristinePrefix> WineTest::pristine_;

/* Where Wine's answer is Windows' own, the report texts compared here are the ones Windows prints. */
TEST_F(WineTest, SystemTextsWineSharesWithWindows)
{
    std::vector<std::string> texts = ask({messageOf(kNoSuchDevinst, false), messageOf(ERROR_BAD_EXE_FORMAT, false),
                                          messageOf(ERROR_BAD_EXE_FORMAT, true), messageOf(ERROR_INVALID_FLAGS, false)});
    EXPECT_EQ(texts[0], "") << "SetupAPI codes have no system text";
    EXPECT_EQ(w32::systemMessage(kNoSuchDevinst), nullptr);
    EXPECT_EQ(texts[1], "") << "inserts without arguments";
    EXPECT_NE(texts[2], "");
    std::string flags = w32::systemMessage(ERROR_INVALID_FLAGS);
    std::erase(flags, '\r');
    flags.pop_back();
    EXPECT_EQ(texts[3], flags);
}

TEST_F(WineTest, VantryWithoutInstalledVersionRemovesSixSevenAndMain)
{
    for (const char *id : {"WRENLOK\\V1MAIN", "WRENLOK\\V1SIX", "WRENLOK\\V1SEVEN", "WRENLOK\\V1KEEP"})
        addDevice(kBluetoothClass, {"OTHER", id});
    work.write("ver.ini", "[Version]\r\nWineVersion1=12\r\n");
    WineRun r = run("Vantry.exe", {"WineVersion1", "wrenlok\\v1main", "x", "x", "ver.ini", "WRENLOK\\V1SIX",
                                   "WRENLOK\\V1SEVEN"},
                    "abcdefghijkl");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.substr(0, 12), "12 FAILURE: ") << r.out;
    EXPECT_NE(r.out.find("\nVersion_Check(argv[5])==1\n FAILURE: "), std::string::npos) << r.out;
    std::vector<std::string> after = ask({devicesWith("WRENLOK\\V1MAIN"), devicesWith("WRENLOK\\V1SIX"),
                                          devicesWith("WRENLOK\\V1SEVEN"), devicesWith("WRENLOK\\V1KEEP")});
    EXPECT_EQ(after[0], "");
    EXPECT_EQ(after[1], "");
    EXPECT_EQ(after[2], "");
    EXPECT_NE(after[3], "");
}

TEST_F(WineTest, VantryWithTheSameVersionRemovesNothing)
{
    for (const char *id : {"WRENLOK\\V2MAIN", "WRENLOK\\V2SIX"})
        addDevice(kBluetoothClass, {id});
    setValue(kSettings, "WineVersion2", 1, "12");
    work.write("ver.ini", "[Version]\r\nWineVersion2=12\r\n");
    WineRun r = run("Vantry.exe", {"WineVersion2", "WRENLOK\\V2MAIN", "x", "x", "ver.ini", "WRENLOK\\V2SIX"},
                    "abcdefghijkl");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("\nVersion_Check(argv[5])==0\n FAILURE: "), std::string::npos) << r.out;
    std::vector<std::string> after = ask({devicesWith("WRENLOK\\V2MAIN"), devicesWith("WRENLOK\\V2SIX")});
    EXPECT_NE(after[0], "");
    EXPECT_NE(after[1], "");
}

TEST_F(WineTest, VantryWithoutTheMainDevicePrintsTheNotDetectedTracePastAnEmptyList)
{
    addDevice(kBluetoothClass, {});
    addDevice(kBluetoothClass, {"WRENLOK\\V3OTHER"});
    work.write("ver.ini", "[Version]\r\nWineVersion3=12\r\n");
    WineRun r = run("Vantry.exe", {"WineVersion3", "WRENLOK\\V3MAIN", "x", "x", "ver.ini", "WRENLOK\\V3OTHER"},
                    "abcdefghijkl");
    EXPECT_EQ(r.exitCode, 2) << "124: the search never ended";
    std::vector<std::string> after = ask({messageOf(ERROR_NO_MORE_ITEMS, false), devicesWith("WRENLOK\\V3OTHER")});
    std::string traces = report("EnumDeviceInfo_NOT_FOUND", after[0], ERROR_NO_MORE_ITEMS) +
                         report(kDeviceNotDetected, after[0], ERROR_NO_MORE_ITEMS);
    ASSERT_GE(r.out.size(), traces.size()) << r.out;
    EXPECT_TRUE(r.out.starts_with("12 FAILURE: ")) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - traces.size()), traces) << r.out;
    EXPECT_NE(after[1], "");
}

TEST_F(WineTest, DesselRemovesAnInstalledPackage)
{
    for (const char *id : {"WRENLOK\\D1TWO", "WRENLOK\\D1THREE", "WRENLOK\\D1SIX"})
        addDevice(kBluetoothClass, {id});
    setValue(kSettings, "WineMarker1", 1, "1");
    setValue(kSettings, "WineDrv1", 1, "12");
    setValue(kSettings, "DevicePath", 2, "%SystemRoot%\\inf;%SystemRoot%\\driver");
    WineRun r = run("Dessel.exe", {"WineDrv1", "WRENLOK\\D1TWO", "WRENLOK\\D1THREE", "ver.ini", "WineMarker1",
                                   "WRENLOK\\D1SIX"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    std::vector<std::string> after =
        ask({valueOf(kSettings, "WineMarker1"), valueOf(kSettings, "WineDrv1"), valueOf(kSettings, "DevicePath"),
             devicesWith("WRENLOK\\D1TWO"), devicesWith("WRENLOK\\D1THREE"), devicesWith("WRENLOK\\D1SIX")});
    EXPECT_EQ(after[0], "missing");
    EXPECT_EQ(after[1], "missing");
    EXPECT_EQ(after[2], "2 %SystemRoot%\\inf|17");
    EXPECT_NE(after[3], "");
    EXPECT_EQ(after[4], "");
    EXPECT_EQ(after[5], "");
}

TEST_F(WineTest, DesselWithoutMarkerExitsOneAndKeepsTheVersion)
{
    addDevice(kBluetoothClass, {"WRENLOK\\D2TWO"});
    setValue(kSettings, "WineDrv2", 1, "12");
    WineRun r = run("Dessel.exe", {"WineDrv2", "WRENLOK\\D2TWO", "WRENLOK\\D2THREE", "ver.ini", "WineMarker2",
                                   "WRENLOK\\D2SIX"});
    EXPECT_EQ(r.exitCode, 1);
    std::vector<std::string> after = ask({valueOf(kSettings, "WineDrv2"), devicesWith("WRENLOK\\D2TWO")});
    EXPECT_EQ(after[0], "1 12|3");
    EXPECT_NE(after[1], "");
}

TEST_F(WineTest, DesselWithNothingInstalledPassesOverAnEmptyIdentifierList)
{
    addDevice(kBluetoothClass, {});
    addDevice(kBluetoothClass, {"OTHER", "WRENLOK\\D3TWO"});
    WineRun r = run("Dessel.exe", {"WineDrv3", "WRENLOK\\D3TWO", "WRENLOK\\D3THREE", "ver.ini", "WineMarker3",
                                   "WRENLOK\\D3SIX"});
    EXPECT_EQ(r.exitCode, 1) << "124: the search never ended";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ask({devicesWith("WRENLOK\\D3TWO")})[0], "");
}

const std::string kInterfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

TEST_F(WineTest, MarrickNamesTheBluetoothIpConnectionAndSetsItsMetric)
{
    const std::string matching = "{6b1c7d50-0000-4000-8000-000000000001}";
    const std::string second = "{6b1c7d50-0000-4000-8000-000000000002}";
    addDevice(kNetClass, {"--netcfg", matching, kBluetoothIp});
    addDevice(kNetClass, {"--netcfg", second, "PCI\\VEN_8086", kBluetoothIp});
    addDevice(kNetClass, {kBluetoothIp});
    WineRun r = run("Marrick.exe", {});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Windows NT/2000\nThe operation completed successfully.\n");
    EXPECT_EQ(r.err, "");
    std::vector<std::string> after =
        ask({valueOf("SYSTEM\\CurrentControlSet\\Control\\Network\\" + kNetClass + "\\" + matching + "\\Connection",
                     "Name"),
             valueOf(kInterfaces + matching, "InterfaceMetric"), valueOf(kInterfaces + second, "InterfaceMetric")});
    EXPECT_EQ(after[0], "1 Bluetooth IP Connection|24");
    EXPECT_EQ(after[1], "4 25");
    EXPECT_EQ(after[2], "missing");
}

TEST_F(WineTest, MarrickWithoutAnUpdatableAdapterReportsTheEndOfTheWalk)
{
    const std::string upper = "{6b1c7d50-0000-4000-8000-000000000003}";
    const std::string second = "{6b1c7d50-0000-4000-8000-000000000004}";
    std::string otherCase = kBluetoothIp;
    otherCase[otherCase.find("ven_1")] = 'V';
    addDevice(kNetClass, {});
    addDevice(kNetClass, {"--netcfg", upper, otherCase});
    addDevice(kNetClass, {"--netcfg", second, "PCI\\VEN_8086", kBluetoothIp});
    addDevice(kNetClass, {kBluetoothIp});
    WineRun r = run("Marrick.exe", {});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Windows NT/2000\n");
    std::vector<std::string> after = ask({messageOf(ERROR_NO_MORE_ITEMS, true),
                                          valueOf(kInterfaces + upper, "InterfaceMetric"),
                                          valueOf(kInterfaces + second, "InterfaceMetric")});
    ASSERT_NE(after[0], "");
    EXPECT_EQ(r.err, "No BluetoothDevices: 259:" + after[0] + "\n\n");
    EXPECT_EQ(after[1], "missing");
    EXPECT_EQ(after[2], "missing");
}

} // namespace
