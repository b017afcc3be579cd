/*
 * The Win32 layer's own rules where the tools depend on them: value sizes
 * and ERROR_MORE_DATA, access rights, key creation, device properties,
 * system texts, INI lookups, and the machine surviving its state file.
 */
#include "machines.h"
#include "tool_run.h"

#include <gtest/gtest.h>

#include <setupapi.h>

using namespace tooltest;

namespace {

class Win32LayerTest : public testing::Test {
protected:
    void SetUp() override { w32::machine() = w32::Machine{}; }
    void TearDown() override { expectNothingOpen(); }
    w32::Machine &m = w32::machine();
};

TEST_F(Win32LayerTest, QueryValueReportsSizeTypeAndMoreData)
{
    w32::setValue(m, kSettingsKey, "Value", REG_EXPAND_SZ, std::string("abcdef\0", 7));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kSettingsKey + "\\").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);

    DWORD size = 0, type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "value", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, reinterpret_cast<LPBYTE>(small), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(std::string(small, 4), "xxxx");

    char exact[7];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(exact, 7), std::string("abcdef\0", 7));
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegSetValueExA(key, "New", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(key, "Value"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32LayerTest, CreateKeyMakesParentsUnlessRefused)
{
    m.uncreatableKeys.insert(w32::fold("SYSTEM\\Locked"));
    w32::createKey(m, "SYSTEM\\Locked\\Existing");
    HKEY key;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\A\\B", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(RegSetValueExA(key, "N", 0, REG_DWORD, reinterpret_cast<const BYTE *>("\x19\0\0\0"), 4), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_NE(w32::findKey(m, "system\\a"), nullptr);
    EXPECT_EQ(w32::findValue(m, "SYSTEM\\A\\B", "n")->type, static_cast<DWORD>(REG_DWORD));

    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Locked\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(w32::findKey(m, "SYSTEM\\Locked\\New"), nullptr);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Locked\\Existing", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
}

TEST_F(Win32LayerTest, DeviceSetsFollowClassPresenceAndKeepIndexesAfterRemoval)
{
    addRadio(m, "USB\\A", {"ID"});
    w32::addDevice(m, "PCI\\NIC", kNetClass, std::vector<std::string>{"NIC"}, true);
    addRadio(m, "USB\\GONE", {"ID"}, false);

    auto count = [](HDEVINFO set) {
        SP_DEVINFO_DATA data{};
        DWORD n = 0;
        for (data.cbSize = sizeof data; SetupDiEnumDeviceInfo(set, n, &data); ++n) {
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return n;
    };
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    HDEVINFO present = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    GUID net;
    ASSERT_TRUE(w32::parseGuid(kNetClass, net));
    HDEVINFO nets = SetupDiGetClassDevsA(&net, nullptr, nullptr, 0);
    EXPECT_EQ(count(all), 3u);
    EXPECT_EQ(count(present), 2u);
    EXPECT_EQ(count(nets), 1u);

    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data - 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 0, &data));
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4u);
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, all, &data));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));

    ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 1, &data));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_MAXIMUM_PROPERTY, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, 0x0C, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a property the device does not have";
    char classGuid[64];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_CLASSGUID, nullptr, nullptr, sizeof classGuid,
                                                   nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA)) << "a size without a buffer";
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_CLASSGUID, nullptr,
                                                  reinterpret_cast<PBYTE>(classGuid), sizeof classGuid, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(classGuid), kNetClass);
    SetLastError(ERROR_ACCESS_DENIED);
    HKEY driverKey = SetupDiOpenDevRegKey(all, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(driverKey, static_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    RegCloseKey(driverKey);

    for (HDEVINFO set : {all, present, nets}) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "a destroyed set clears the last error";
    }
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));
    EXPECT_EQ(instanceIds(m), (std::vector<std::string>{"PCI\\NIC", "USB\\GONE"}));
}

TEST_F(Win32LayerTest, ZeroSizeBufferNeverHoldsAPropertyEvenAnEmptyOne)
{
    addRadio(m, "USB\\EMPTY", {}).hardwareIds = std::string();
    addRadio(m, "USB\\ONE", {"ID"});
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    DWORD required = 7, type = 0;
    BYTE buffer[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, buffer, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 0u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, buffer, 1, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(buffer[0], 'x') << "an empty property writes nothing";

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, buffer, 3, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4u);
    EXPECT_EQ(buffer[0], 'x') << "a buffer too small is left alone";
    EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr, buffer, 4, &required));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), 4), std::string("ID\0\0", 4));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Win32LayerTest, SystemTextsComeInAllocatedBuffersOrFail)
{
    LPSTR text = nullptr;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_NO_MORE_ITEMS, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              28u);
    EXPECT_EQ(std::string(text), "No more data is available.\r\n");
    EXPECT_EQ(LocalFree(text), nullptr);
    EXPECT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_NO_SUCH_DEVINST, 0x400,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST_F(Win32LayerTest, TextsWithInsertsNeedIgnoreInsertsWhenNoArgumentsAreGiven)
{
    LPSTR text = nullptr;
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER;
    SetLastError(0);
    EXPECT_EQ(FormatMessageA(flags, nullptr, ERROR_BAD_EXE_FORMAT, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_BAD_EXE_FORMAT, 0x400,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr),
              38u);
    EXPECT_EQ(std::string(text), "%1 is not a valid Win32 application.\r\n");
    LocalFree(text);
}

TEST_F(Win32LayerTest, CollationFollowsWindowsNotByteOrder)
{
    EXPECT_EQ(lstrcmpA("a", "B"), -1) << "letters before case";
    EXPECT_EQ(lstrcmpA("a", "A"), -1) << "small before capital";
    EXPECT_EQ(lstrcmpiA("a", "A"), 0);
    EXPECT_EQ(lstrcmpA("_", "0"), -1) << "symbols before digits";
    EXPECT_EQ(lstrcmpA("9", "a"), -1) << "digits before letters";
    EXPECT_EQ(lstrcmpA("\xE9", "f"), -1) << "e acute sorts with e";
    EXPECT_EQ(lstrcmpA("e", "\xE9"), -1) << "the plain letter first";
    EXPECT_EQ(lstrcmpiA("\xE9T\xC9", "\xC9t\xE9"), 0) << "case folding beyond ASCII";
    EXPECT_NE(lstrcmpiA("\xE9", "e"), 0) << "accents are not case";
    EXPECT_EQ(lstrcmpA("stra\xDF" "e", "strasse"), 0) << "sharp s is ss";
    EXPECT_EQ(lstrcmpiA("STRA\xDF" "E", "strasse"), 0);
    EXPECT_EQ(lstrcmpiA("\xC6ON", "aeon"), 0) << "ligatures expand";
    EXPECT_EQ(lstrcmpA("ID\x01\x7F", "ID"), 0) << "controls weigh nothing";
    EXPECT_EQ(lstrcmpA("coop", "co-op"), -1) << "the hyphen counts last";
    EXPECT_EQ(lstrcmpA("co-op", "cop"), -1) << "word sort: the hyphen does not break the word";
    EXPECT_EQ(lstrcmpA("it's", "its"), 1);
    EXPECT_EQ(lstrcmpA("ab", "abc"), -1);
    EXPECT_EQ(lstrcmpA("", ""), 0);
    EXPECT_EQ(lstrcmpA(nullptr, "a"), -1);
}

TEST_F(Win32LayerTest, StringsStoredWithoutTerminatorAreEndedOnReadWhenThereIsRoom)
{
    w32::createKey(m, kSettingsKey);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Bare", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>("abcX"), 3), ERROR_SUCCESS);
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "Bare")->data, "abc") << "stored as written";

    char room[5] = {'x', 'x', 'x', 'x', 'x'};
    DWORD size = sizeof room;
    EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, reinterpret_cast<LPBYTE>(room), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u) << "the added terminator is not counted";
    EXPECT_EQ(std::string(room, 5), std::string("abc\0x", 5));

    char exact[3];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "Bare", nullptr, nullptr, reinterpret_cast<LPBYTE>(exact), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(exact, 3), "abc");

    w32::setValue(m, kSettingsKey, "Binary", REG_BINARY, "ab");
    char binary[3] = {'x', 'x', 'x'};
    size = sizeof binary;
    EXPECT_EQ(RegQueryValueExA(key, "Binary", nullptr, nullptr, reinterpret_cast<LPBYTE>(binary), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(binary, 3), "abx") << "only strings are ended";
    RegCloseKey(key);
}

TEST_F(Win32LayerTest, OpenKeysAndSetsAreCountedUntilClosed)
{
    w32::createKey(m, kSettingsKey);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_EQ(w32::openKeyPaths(), std::vector<std::string>{kSettingsKey});
    EXPECT_EQ(w32::openDeviceInfoSets(), 1u);
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_TRUE(w32::openKeyPaths().empty());
    EXPECT_EQ(w32::openDeviceInfoSets(), 0u);
}

TEST_F(Win32LayerTest, ProfileReadsOnlyTheFirstSectionOfANameAndReportsHowItWent)
{
    TempFolder disk;
    disk.write("a.ini", "[Version]\r\nDrv=12\r\nDrv=34\r\n[Other]\r\nKey=1\r\n[version]\r\nLate=56\r\n");
    m.drives['D'] = disk.path();
    char out[8];
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Drv", nullptr, out, sizeof out, "D:\\a.ini"), 2u);
    EXPECT_EQ(std::string(out), "12") << "the first key of a name";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Late", "none  ", out, sizeof out, "D:\\a.ini"), 4u);
    EXPECT_EQ(std::string(out), "none") << "a later section of the same name is not read";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Drv", nullptr, out, 2, "D:\\a.ini"), 1u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(GetPrivateProfileStringA("Missing", "Drv", "  d ", out, sizeof out, "D:\\a.ini"), 3u);
    EXPECT_EQ(std::string(out), "  d") << "the default keeps its leading blanks";
}

TEST_F(Win32LayerTest, ProfileStringsAreTrimmedUnquotedAndCut)
{
    TempFolder disk;
    disk.write("a.ini", "; comment\r\n[ Version ]\r\n Drv = \"7\" \r\nLong=abcdef\r\n");
    m.drives['D'] = disk.path();
    char out[8];
    EXPECT_EQ(GetPrivateProfileStringA("version", "DRV", nullptr, out, sizeof out, "D:\\a.ini"), 1u);
    EXPECT_EQ(std::string(out), "7");
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Long", nullptr, out, 3, "D:\\a.ini"), 2u);
    EXPECT_EQ(std::string(out), "ab");
    SetLastError(0);
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Drv", "dflt", out, sizeof out, "D:\\missing.ini"), 4u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrivateProfileStringA("Version", "Drv", nullptr, out, sizeof out, "Q:\\a.ini"), 0u);
}

TEST_F(Win32LayerTest, MachineSurvivesItsStateFile)
{
    TempFolder folder;
    w32::setValue(m, "SOFTWARE\\Odd \"Name\"", "bin", REG_BINARY, std::string("\0\x01\xff\"\\ \n", 7));
    w32::Device &device = w32::addDevice(m, "USB\\A B", kNetClass, std::vector<std::string>{"x y", "z"}, true);
    device.present = false;
    device.removeError = ERROR_ACCESS_DENIED;
    w32::addDevice(m, "ROOT\\NOIDS", "", std::nullopt);
    m.uncreatableKeys.insert("system\\locked");
    m.failingCalls["GetVersionExA"] = 5;
    m.localAllocLimit = 100;
    m.platformId = VER_PLATFORM_WIN32_WINDOWS;
    m.currentDirectory = "C:\\x y";
    m.drives['C'] = "/tmp/c d";
    m.journal.push_back("Sleep 5000");

    w32::writeStateFile(m, folder.path() + "/state");
    w32::Machine back = w32::readStateFile(folder.path() + "/state");
    EXPECT_EQ(back.keys, m.keys);
    ASSERT_EQ(back.devices.size(), 2u);
    EXPECT_EQ(back.devices[0].hardwareIds, m.devices[0].hardwareIds);
    EXPECT_EQ(back.devices[0].driverKey, m.devices[0].driverKey);
    EXPECT_FALSE(back.devices[0].present);
    EXPECT_EQ(back.devices[0].removeError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(back.devices[1].hardwareIds.has_value());
    EXPECT_EQ(back.uncreatableKeys, m.uncreatableKeys);
    EXPECT_EQ(back.failingCalls, m.failingCalls);
    EXPECT_EQ(back.localAllocLimit, m.localAllocLimit);
    EXPECT_EQ(back.platformId, m.platformId);
    EXPECT_EQ(back.currentDirectory, m.currentDirectory);
    EXPECT_EQ(back.drives, m.drives);
    EXPECT_EQ(back.journal, m.journal);
    EXPECT_EQ(back.nextDriverKey, m.nextDriverKey);
}

} // namespace
