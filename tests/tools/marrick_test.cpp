/*
 * Marrick as a process: which adapters get the connection name and the
 * interface metric, and what it prints on each path.
 */
#include "machines.h"
#include "tool_run.h"

#include <gtest/gtest.h>

#include <setupapi.h>

using namespace tooltest;

namespace {

const std::string kBluetoothIp = "{ef1e4740-9554-11d6-8d2b-0090cc083aa5}\\ven_1&dev_0&subsys_1";
const std::string kNoAdapter = "No BluetoothDevices: 259:No more data is available.\r\n\n";

std::string connectionKey(const std::string &instance)
{
    return "SYSTEM\\CurrentControlSet\\Control\\Network\\" + kNetClass + "\\" + instance + "\\Connection";
}

std::string interfaceKey(const std::string &instance)
{
    return "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + instance;
}

class MarrickTest : public testing::Test {
protected:
    w32::Device &adapter(const std::string &instance, std::vector<std::string> ids,
                         std::optional<std::string> netCfg, std::string cls = kNetClass)
    {
        w32::Device &device = w32::addDevice(m, instance, cls, ids, true);
        if (netCfg)
            w32::setString(m, device.driverKey, "NetCfgInstanceId", *netCfg);
        return device;
    }
    ToolRun run() { return runTool(MARRICK_PROGRAM, {"ignored"}, m); }

    static bool named(const ToolRun &r, const std::string &instance)
    {
        const w32::RegistryValue *name = w32::findValue(r.after, connectionKey(instance), "Name");
        return name && name->type == REG_SZ && name->data == std::string("Bluetooth IP Connection\0", 24);
    }
    static bool metric(const ToolRun &r, const std::string &instance)
    {
        const w32::RegistryValue *value = w32::findValue(r.after, interfaceKey(instance), "InterfaceMetric");
        return value && value->type == REG_DWORD && value->data == std::string("\x19\0\0\0", 4);
    }

    w32::Machine m;
};

TEST_F(MarrickTest, EveryAdapterWithTheFirstIdentifierIsUpdatedPresentOrNot)
{
    adapter("PCI\\NIC", {"PCI\\VEN_8086"}, "{NIC}");
    adapter("BTH\\IP0", {kBluetoothIp, "other"}, "{IP0}");
    adapter("BTH\\IP1", {kBluetoothIp}, "{IP1}").present = false;
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Windows NT/2000\nThe operation completed successfully.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(named(r, "{IP0}") && metric(r, "{IP0}"));
    EXPECT_TRUE(named(r, "{IP1}") && metric(r, "{IP1}"));
    EXPECT_FALSE(named(r, "{NIC}") || metric(r, "{NIC}"));
}

TEST_F(MarrickTest, IdentifierInOtherCaseSecondPlaceOrOtherClassIsNotTouched)
{
    std::string upper = kBluetoothIp;
    upper[upper.find("ven_1")] = 'V';
    adapter("BTH\\CASE", {upper}, "{CASE}");
    adapter("BTH\\SECOND", {"other", kBluetoothIp}, "{SECOND}");
    adapter("BTH\\CLASS", {kBluetoothIp}, "{CLASS}", kBluetoothClass);
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Windows NT/2000\n");
    EXPECT_EQ(r.err, kNoAdapter);
    for (const char *id : {"{CASE}", "{SECOND}", "{CLASS}"})
        EXPECT_FALSE(named(r, id) || metric(r, id)) << id;
}

TEST_F(MarrickTest, AdapterWithoutInstanceIdWritesNothing)
{
    adapter("BTH\\IP0", {kBluetoothIp}, std::nullopt);
    ToolRun r = run();
    EXPECT_EQ(r.err, kNoAdapter);
    EXPECT_EQ(w32::findKey(r.after, "SYSTEM\\CurrentControlSet\\Services\\Tcpip"), nullptr);
    EXPECT_EQ(w32::findKey(r.after, "SYSTEM\\CurrentControlSet\\Control\\Network"), nullptr);
}

TEST_F(MarrickTest, UncreatableConnectionKeyStillGetsTheMetricButDoesNotCount)
{
    adapter("BTH\\IP0", {kBluetoothIp}, "{IP0}");
    m.uncreatableKeys.insert(w32::fold("SYSTEM\\CurrentControlSet\\Control\\Network"));
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, kNoAdapter);
    EXPECT_TRUE(metric(r, "{IP0}"));
    EXPECT_FALSE(named(r, "{IP0}"));
}

TEST_F(MarrickTest, OneAdapterFailingDoesNotHideAnotherThatIsUpdated)
{
    for (bool failingFirst : {true, false}) {
        m = w32::Machine{};
        if (failingFirst)
            adapter("BTH\\BROKEN", {kBluetoothIp}, std::nullopt);
        adapter("BTH\\IP0", {kBluetoothIp}, "{IP0}");
        if (!failingFirst)
            adapter("BTH\\BROKEN", {kBluetoothIp}, std::nullopt);
        ToolRun r = run();
        EXPECT_EQ(r.out, "Windows NT/2000\nThe operation completed successfully.\n") << failingFirst;
        EXPECT_EQ(r.err, "") << failingFirst;
        EXPECT_TRUE(named(r, "{IP0}") && metric(r, "{IP0}")) << failingFirst;
    }
}

/* Each text is read into 1024 bytes: data of exactly that size is read, one byte more is not. */
TEST_F(MarrickTest, AdapterTextsAreReadUpTo1024Bytes)
{
    auto padded = [](std::string data, size_t size) {
        data.resize(size, '\0');
        return data;
    };
    for (size_t size : {1024u, 1025u}) {
        SCOPED_TRACE(size);
        m = w32::Machine{};
        adapter("BTH\\IDS", {}, "{IDS}").hardwareIds = padded(w32::multiSz({kBluetoothIp, "other"}), size);
        adapter("BTH\\CLASS", {kBluetoothIp}, "{CLASS}").classGuidProperty = padded(kNetClass, size);
        w32::setValue(m, adapter("BTH\\NETCFG", {kBluetoothIp}, std::nullopt).driverKey, "NetCfgInstanceId", REG_SZ,
                      padded("{NETCFG}", size));
        ToolRun r = run();
        bool fits = size == 1024;
        EXPECT_EQ(named(r, "{IDS}"), fits) << "hardware identifier list";
        EXPECT_EQ(named(r, "{CLASS}"), fits) << "class GUID";
        EXPECT_EQ(named(r, "{NETCFG}"), fits) << "NetCfgInstanceId";
        EXPECT_EQ(metric(r, "{NETCFG}"), fits);
        EXPECT_EQ(r.err, fits ? "" : kNoAdapter);
    }
}

TEST_F(MarrickTest, ExistingValuesAreOverwritten)
{
    adapter("BTH\\IP0", {kBluetoothIp}, "{IP0}");
    w32::setString(m, connectionKey("{IP0}"), "Name", "Local Area Connection 2");
    w32::setString(m, interfaceKey("{IP0}"), "InterfaceMetric", "1");
    ToolRun r = run();
    EXPECT_TRUE(named(r, "{IP0}"));
    EXPECT_TRUE(metric(r, "{IP0}"));
}

TEST_F(MarrickTest, NinetyFivePlatformOnlyNamesItself)
{
    adapter("BTH\\IP0", {kBluetoothIp}, "{IP0}");
    m.platformId = VER_PLATFORM_WIN32_WINDOWS;
    ToolRun r = run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Windows 95/98\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.after.keys, m.keys);
}

TEST_F(MarrickTest, UnknownPlatformAndFailedCallsReportAndExitZero)
{
    m.platformId = VER_PLATFORM_WIN32s;
    ToolRun win32s = run();
    EXPECT_EQ(win32s.exitCode, 0);
    EXPECT_EQ(win32s.out, "");
    EXPECT_EQ(win32s.err, "Invalid Platform ID\n");

    m.platformId = VER_PLATFORM_WIN32_NT;
    m.failingCalls = {{"GetVersionExA", ERROR_INVALID_PARAMETER}};
    ToolRun version = run();
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.err, "GetVersionEx(): 87:The parameter is incorrect.\r\n\n");

    m.failingCalls = {{"SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY}};
    ToolRun list = run();
    EXPECT_EQ(list.err, "No BluetoothDevices: 8:Not enough storage is available to process this command.\r\n\n");

    adapter("BTH\\IP0", {"other"}, "{IP0}");
    m.failingCalls = {{"SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE}};
    ToolRun destroy = run();
    EXPECT_EQ(destroy.err, "No BluetoothDevices: 6:The handle is invalid.\r\n\n");

    m.failingCalls = {{"SetupDiGetClassDevsA", ERROR_BAD_EXE_FORMAT}};
    ToolRun insert = run();
    EXPECT_EQ(insert.err, "No BluetoothDevices: 193:%1 is not a valid Win32 application.\r\n\n")
        << "inserts are left as they stand";

    m.failingCalls = {{"SetupDiGetClassDevsA", ERROR_NO_SUCH_DEVINST}};
    ToolRun noText = run();
    EXPECT_EQ(noText.exitCode, 0);
    EXPECT_EQ(noText.err, "") << "a code without system text prints nothing";
}

} // namespace
