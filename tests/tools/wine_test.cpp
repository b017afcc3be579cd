/*
 * The Windows builds of the three programs under Wine, against Wine's own
 * registry and SetupAPI device database. One Wine prefix serves every test;
 * the fixture program records devices and sets and reads registry values.
 * Wine's Sleep is real, so the runs here are few.
 */
#include "tool_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

extern char **environ;

using namespace tooltest;

namespace {

const std::string kSettings = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const std::string kBluetoothClass = "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}";
const std::string kNetClass = "{4d36e972-e325-11ce-bfc1-08002be10318}";
const std::string kBluetoothIp = "{ef1e4740-9554-11d6-8d2b-0090cc083aa5}\\ven_1&dev_0&subsys_1";

struct WineRun {
    int exitCode = -1;
    std::string out; /* standard output with Windows line ends turned into '\n' */
};

std::string withoutCarriageReturns(std::string text)
{
    std::erase(text, '\r');
    return text;
}

class WineTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        prefix_ = std::make_unique<TempFolder>();
        /* A server that outlives each program keeps Wine from starting its services again for every run. */
        ASSERT_EQ(wine({"wineboot", "-i"}, false).exitCode, 0) << "Wine cannot prepare its prefix";
        wine({"wineserver", "-w"}, false);
        ASSERT_EQ(wine({"wineserver", "-p30"}, false).exitCode, 0) << "Wine's server does not start";
    }
    static void TearDownTestSuite()
    {
        wine({"wineserver", "-k"}, false);
        prefix_.reset();
    }

    /* Runs a command in the private prefix; with asProgram the first argument is a Windows program for wine. */
    static WineRun wine(std::vector<std::string> args, bool asProgram = true, const std::string &folder = "",
                        const std::string &input = "")
    {
        if (asProgram)
            args.insert(args.begin(), "wine");
        std::string scratch = prefix_->path() + "/io";
        std::ofstream(scratch + ".in", std::ios::binary) << input;

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, (scratch + ".in").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, (scratch + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, (scratch + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (!folder.empty())
            posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

        std::vector<std::string> environment;
        for (char **entry = environ; *entry; ++entry)
            environment.push_back(*entry);
        environment.push_back("WINEPREFIX=" + prefix_->path() + "/wine");
        environment.push_back("WINEDEBUG=-all");
        environment.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
        std::vector<char *> envp, argv;
        for (std::string &entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        pid_t pid;
        WineRun run;
        int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot start " << args[0];
            return run;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream out(scratch + ".out", std::ios::binary);
        std::ostringstream text;
        text << out.rdbuf();
        run.out = withoutCarriageReturns(text.str());
        return run;
    }

    static std::string program(const char *name) { return std::string(WINDOWS_PROGRAMS) + "/" + name; }

    static std::string addDevice(const std::string &cls, std::vector<std::string> ids)
    {
        ids.insert(ids.begin(), {WINE_FIXTURE, "add-device", cls});
        WineRun run = wine(ids);
        EXPECT_EQ(run.exitCode, 0) << "fixture could not record a device";
        return run.out;
    }
    static bool recorded(const std::string &hardwareId)
    {
        return !wine({WINE_FIXTURE, "list-devices", hardwareId}).out.empty();
    }
    static void setValue(const std::string &key, const std::string &name, int type, const std::string &data)
    {
        EXPECT_EQ(wine({WINE_FIXTURE, "set-value", key, name, std::to_string(type), data}).exitCode, 0);
    }
    /* "TYPE TEXT|SIZE" for strings, "TYPE NUMBER" for REG_DWORD, "missing" when absent. */
    static std::string value(const std::string &key, const std::string &name)
    {
        std::string out = wine({WINE_FIXTURE, "get-value", key, name}).out;
        if (!out.empty() && out.back() == '\n')
            out.pop_back();
        return out;
    }

    static std::unique_ptr<TempFolder> prefix_;
    TempFolder work;
};

std::unique_ptr<TempFolder> WineTest::prefix_;

TEST_F(WineTest, VantryWithoutInstalledVersionRemovesSixSevenAndMain)
{
    for (const char *id : {"WRENLOK\\V1MAIN", "WRENLOK\\V1SIX", "WRENLOK\\V1SEVEN", "WRENLOK\\V1KEEP"})
        addDevice(kBluetoothClass, {"OTHER", id});
    work.write("ver.ini", "[Version]\r\nWineVersion1=12\r\n");
    WineRun run = wine({program("Vantry.exe"), "WineVersion1", "wrenlok\\v1main", "x", "x", "ver.ini",
                        "WRENLOK\\V1SIX", "WRENLOK\\V1SEVEN"},
                       true, work.path(), "abcdefghijkl");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out.substr(0, 12), "12 FAILURE: ") << run.out;
    EXPECT_NE(run.out.find("\nVersion_Check(argv[5])==1\n FAILURE: "), std::string::npos) << run.out;
    EXPECT_FALSE(recorded("WRENLOK\\V1MAIN"));
    EXPECT_FALSE(recorded("WRENLOK\\V1SIX"));
    EXPECT_FALSE(recorded("WRENLOK\\V1SEVEN"));
    EXPECT_TRUE(recorded("WRENLOK\\V1KEEP"));
}

TEST_F(WineTest, VantryWithTheSameVersionRemovesNothing)
{
    for (const char *id : {"WRENLOK\\V2MAIN", "WRENLOK\\V2SIX"})
        addDevice(kBluetoothClass, {id});
    setValue(kSettings, "WineVersion2", 1, "12");
    work.write("ver.ini", "[Version]\r\nWineVersion2=12\r\n");
    WineRun run = wine({program("Vantry.exe"), "WineVersion2", "WRENLOK\\V2MAIN", "x", "x", "ver.ini",
                        "WRENLOK\\V2SIX"},
                       true, work.path(), "abcdefghijkl");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.out.find("\nVersion_Check(argv[5])==0\n FAILURE: "), std::string::npos) << run.out;
    EXPECT_TRUE(recorded("WRENLOK\\V2MAIN"));
    EXPECT_TRUE(recorded("WRENLOK\\V2SIX"));
}

TEST_F(WineTest, DesselRemovesAnInstalledPackage)
{
    for (const char *id : {"WRENLOK\\D1TWO", "WRENLOK\\D1THREE", "WRENLOK\\D1SIX"})
        addDevice(kBluetoothClass, {id});
    setValue(kSettings, "WineMarker1", 1, "1");
    setValue(kSettings, "WineDrv1", 1, "12");
    setValue(kSettings, "DevicePath", 2, "%SystemRoot%\\inf;%SystemRoot%\\driver");
    WineRun run = wine({program("Dessel.exe"), "WineDrv1", "WRENLOK\\D1TWO", "WRENLOK\\D1THREE", "ver.ini",
                        "WineMarker1", "WRENLOK\\D1SIX"},
                       true, work.path());
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(value(kSettings, "WineMarker1"), "missing");
    EXPECT_EQ(value(kSettings, "WineDrv1"), "missing");
    EXPECT_EQ(value(kSettings, "DevicePath"), "2 %SystemRoot%\\inf|17");
    EXPECT_TRUE(recorded("WRENLOK\\D1TWO"));
    EXPECT_FALSE(recorded("WRENLOK\\D1THREE"));
    EXPECT_FALSE(recorded("WRENLOK\\D1SIX"));
}

TEST_F(WineTest, DesselWithoutMarkerExitsOneAndKeepsTheVersion)
{
    addDevice(kBluetoothClass, {"WRENLOK\\D2TWO"});
    setValue(kSettings, "WineDrv2", 1, "12");
    WineRun run = wine({program("Dessel.exe"), "WineDrv2", "WRENLOK\\D2TWO", "WRENLOK\\D2THREE", "ver.ini",
                        "WineMarker2", "WRENLOK\\D2SIX"},
                       true, work.path());
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(value(kSettings, "WineDrv2"), "1 12|3");
    EXPECT_TRUE(recorded("WRENLOK\\D2TWO"));
}

TEST_F(WineTest, MarrickNamesTheBluetoothIpConnectionAndSetsItsMetric)
{
    const std::string matching = "{6b1c7d50-0000-4000-8000-000000000001}";
    const std::string second = "{6b1c7d50-0000-4000-8000-000000000002}";
    addDevice(kNetClass, {"--netcfg", matching, kBluetoothIp});
    addDevice(kNetClass, {"--netcfg", second, "PCI\\VEN_8086", kBluetoothIp});
    addDevice(kNetClass, {kBluetoothIp});
    WineRun run = wine({program("Marrick.exe")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "Windows NT/2000\nThe operation completed successfully.\n");
    EXPECT_EQ(value("SYSTEM\\CurrentControlSet\\Control\\Network\\" + kNetClass + "\\" + matching + "\\Connection",
                    "Name"),
              "1 Bluetooth IP Connection|24");
    const std::string interfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";
    EXPECT_EQ(value(interfaces + matching, "InterfaceMetric"), "4 25");
    EXPECT_EQ(value(interfaces + second, "InterfaceMetric"), "missing");
}

} // namespace
