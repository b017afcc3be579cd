/*
 * The shared setup module in-process, with both tools' profiles: reports,
 * the package version, the version outcomes and device removal.
 */
#include "machines.h"
#include "tool_run.h"

#include "setup_common.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <setupapi.h>

using namespace tooltest;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class SetupCommonTest : public testing::Test {
protected:
    void SetUp() override
    {
        w32::machine() = w32::Machine{};
        /* The installer's reports read standard input: give them an empty one. */
        savedInput_ = dup(0);
        int empty = open("/dev/null", O_RDONLY);
        dup2(empty, 0);
        close(empty);
    }
    void TearDown() override
    {
        expectNothingOpen();
        dup2(savedInput_, 0);
        close(savedInput_);
    }
    w32::Machine &m = w32::machine();

private:
    int savedInput_ = -1;
};

TEST_F(SetupCommonTest, ReportCarriesSystemTextOrHexCodeAndKeepsLastError)
{
    CaptureStdout();
    SetLastError(ERROR_NO_MORE_ITEMS);
    ReportFailure(&RemoverProfile, "Label");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetLastError(ERROR_NO_SUCH_DEVINST);
    ReportFailure(&RemoverProfile, "Other");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(GetCapturedStdout(), "Label FAILURE: No more data is available.\r\n\n"
                                   "Other FAILURE: (0xe000020b)\n");
    EXPECT_TRUE(eventsOf(m, {"ReadFile"}).empty()) << "the removal tool never reads standard input";
}

TEST_F(SetupCommonTest, TextWithInsertsIsNotFilledSoTheCodeIsPrinted)
{
    CaptureStdout();
    SetLastError(ERROR_BAD_EXE_FORMAT);
    ReportFailure(&RemoverProfile, "Label");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(GetCapturedStdout(), "Label FAILURE: (0x000000c1)\n");
}

TEST_F(SetupCommonTest, InstallerReportWaitsForOneCharacter)
{
    CaptureStdout();
    SetLastError(ERROR_SUCCESS);
    ReportFailure(&InstallerProfile, "12");
    EXPECT_EQ(GetCapturedStdout(), "12 FAILURE: The operation completed successfully.\r\n\n");
    EXPECT_EQ(eventsOf(m, {"ReadFile"}), std::vector<std::string>{"ReadFile stdin"});
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

class PackageVersionTest : public SetupCommonTest {
protected:
    void SetUp() override
    {
        SetupCommonTest::SetUp();
        m.drives['C'] = disk.path();
    }
    std::string read(const std::string &file = "ver.ini", const std::string &key = "Drv")
    {
        CHAR version[PACKAGE_VERSION_SIZE] = {'x', 'x', 'x'};
        ReadPackageVersion(file.c_str(), key.c_str(), version);
        EXPECT_EQ(version[2], '\0');
        return version;
    }
    TempFolder disk;
};

TEST_F(PackageVersionTest, DriveRootGetsNoSecondSeparator)
{
    disk.write("ver.ini", "[Version]\nDrv=12\n");
    m.currentDirectory = "C:\\";
    EXPECT_EQ(read(), "12");
}

TEST_F(PackageVersionTest, FolderGetsSeparatorAndValueIsCutToTwoCharacters)
{
    disk.write("setup/ver.ini", "[version]\n  drv = 1234 \n");
    m.currentDirectory = "C:\\setup";
    EXPECT_EQ(read(), "12");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

TEST_F(PackageVersionTest, OnlyTheFirstVersionSectionCounts)
{
    disk.write("ver.ini", "[Version]\nOther=1\n[Version]\nDrv=12\n");
    m.currentDirectory = "C:\\";
    EXPECT_EQ(read(), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PackageVersionTest, MissingFileSectionKeyOrPositionGiveEmptyVersion)
{
    disk.write("ver.ini", "[Other]\nDrv=12\n[Version]\nElse=34\n");
    m.currentDirectory = "C:\\";
    EXPECT_EQ(read("absent.ini"), "");
    EXPECT_EQ(read(), "");
    CHAR version[PACKAGE_VERSION_SIZE] = {'x', 'x', 'x'};
    ReadPackageVersion(nullptr, "Drv", version);
    EXPECT_EQ(std::string(version), "");
    ReadPackageVersion("ver.ini", nullptr, version);
    EXPECT_EQ(std::string(version), "");
}

TEST_F(PackageVersionTest, PathOfExactly256BytesIsReadLongerCountsAsMissing)
{
    /* "C:\" + folder + "\" + "v.ini" + terminator = 256 bytes. */
    std::string folder(256 - 3 - 1 - 5 - 1, 'a');
    disk.write(folder + "/v.ini", "[Version]\nDrv=12\n");
    m.currentDirectory = "C:\\" + folder;
    EXPECT_EQ(read("v.ini"), "12");

    disk.write(folder + "/vv.ini", "[Version]\nDrv=12\n");
    EXPECT_EQ(read("vv.ini"), "");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));

    m.currentDirectory = "C:\\" + std::string(300, 'b');
    EXPECT_EQ(read("v.ini"), "");
}

struct VersionCase {
    const char *name;
    std::string package;
    std::optional<std::string> installed; /* raw value data */
    int installerOutcome;
    int removerOutcome;
};

class VersionOutcomeTest : public SetupCommonTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionOutcomeTest, BothProfiles)
{
    const VersionCase &c = GetParam();
    w32::createKey(m, kSettingsKey);
    if (c.installed)
        w32::setValue(m, kSettingsKey, "DrvVersion", REG_SZ, *c.installed);
    CHAR package[PACKAGE_VERSION_SIZE] = {0};
    c.package.copy(package, 2);
    EXPECT_EQ(CompareInstalledVersion(&InstallerProfile, package, "DrvVersion"), c.installerOutcome);
    EXPECT_EQ(CompareInstalledVersion(&RemoverProfile, package, "DrvVersion"), c.removerOutcome);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, VersionOutcomeTest,
    testing::Values(VersionCase{"NineAgainstTen", "9", std::string("10\0", 3), 2, 2},
                    VersionCase{"Equal", "12", std::string("12\0", 3), 0, 3},
                    VersionCase{"Lower", "11", std::string("12\0", 3), 0, 0},
                    VersionCase{"SecondByteHigher", "13", std::string("12\0", 3), 2, 2},
                    VersionCase{"ShortPackageAgainstLonger", "5", std::string("50\0", 3), 0, 0},
                    VersionCase{"EmptyAgainstPrintable", "", std::string("10\0", 3), 0, 0},
                    VersionCase{"EmptyAgainstNothing", "", std::nullopt, 1, 1},
                    VersionCase{"InstalledByteAbove7F", "12", std::string("\x80\x31\0", 3), 2, 2},
                    VersionCase{"PackageByteAbove7F", "\xC1", std::string("12\0", 3), 0, 0},
                    VersionCase{"SeventeenBytes", "12", "12" + std::string(15, 'x'), 0, 1},
                    VersionCase{"ThirtyTwoBytes", "13", "12" + std::string(30, 'x'), 2, 1},
                    VersionCase{"ThirtyThreeBytes", "12", "12" + std::string(31, 'x'), 1, 1}),
    [](const testing::TestParamInfo<VersionCase> &info) { return info.param.name; });

TEST_F(SetupCommonTest, VersionWithoutKeyOrValueNameIsNotInstalled)
{
    EXPECT_EQ(CompareInstalledVersion(&InstallerProfile, "12", "DrvVersion"), VERSION_NOT_INSTALLED);
    w32::setValue(m, kSettingsKey, "", REG_SZ, std::string("12\0", 3));
    EXPECT_EQ(CompareInstalledVersion(&RemoverProfile, "12", nullptr), VERSION_NOT_INSTALLED)
        << "an absent value name must not read the key's default value";
}

TEST_F(SetupCommonTest, RemovalTakesEveryMatchInOrderOnceEachWhateverCaseOrPlace)
{
    addRadio(m, "USB\\A", {"USB\\VID_0A12&PID_0001", "USB\\Class_E0"});
    addRadio(m, "USB\\B", {"OTHER"});
    addRadio(m, "USB\\C", {"X", "usb\\vid_0a12&pid_0001", "USB\\VID_0A12&PID_0001"}, false);
    w32::addDevice(m, "ROOT\\NOIDS", kNetClass, std::nullopt);
    addRadio(m, "USB\\D", {"USB\\VID_0A12&PID_00011"});

    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "USB\\VID_0A12&PID_0001");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(eventsOf(m, {"DIF_REMOVE"}), (std::vector<std::string>{"DIF_REMOVE USB\\A", "DIF_REMOVE USB\\C"}));
    EXPECT_EQ(instanceIds(m), (std::vector<std::string>{"USB\\B", "ROOT\\NOIDS", "USB\\D"}));
}

TEST_F(SetupCommonTest, IdentifiersMatchByTheSystemsComparisonNotByBytes)
{
    addRadio(m, "USB\\SHARP", {"USB\\STRASSE"});
    addRadio(m, "USB\\CONTROL", {"usb\\stra\xDF" "e\x7F"});
    addRadio(m, "USB\\HYPHEN", {"USB\\STRAS-SE"});
    addRadio(m, "USB\\ACCENT", {"USB\\STR\xC1SSE"});
    RemoveDevicesByHardwareId(&RemoverProfile, "usb\\stra\xDF" "e");
    EXPECT_EQ(instanceIds(m), (std::vector<std::string>{"USB\\HYPHEN", "USB\\ACCENT"}));
}

TEST_F(SetupCommonTest, FailedRemovalIsReportedAndTheNextDeviceStillGoes)
{
    addRadio(m, "USB\\A", {"ID"}).removeError = ERROR_ACCESS_DENIED;
    addRadio(m, "USB\\B", {"ID"});
    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(GetCapturedStdout(), "CallClassInstaller(REMOVE) FAILURE: Access is denied.\r\n\n");
    EXPECT_EQ(instanceIds(m), std::vector<std::string>{"USB\\A"});
}

TEST_F(SetupCommonTest, PropertyFailureEndsTheSearch)
{
    addRadio(m, "USB\\A", {"OTHER"}).propertyError = ERROR_INVALID_HANDLE;
    addRadio(m, "USB\\B", {"ID"});
    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_FALSE(FindDeviceByHardwareId(&RemoverProfile, "ID"));
    EXPECT_EQ(GetCapturedStdout(), "GetDeviceRegistryProperty FAILURE: The handle is invalid.\r\n\n"
                                   "GetDeviceRegistryProperty FAILURE: The handle is invalid.\r\n\n");
    EXPECT_EQ(instanceIds(m).size(), 2u);
}

TEST_F(SetupCommonTest, UnallocatableIdentifierListIsReportedAndSkipped)
{
    addRadio(m, "USB\\HUGE", {std::string(5000, 'h'), "ID"});
    addRadio(m, "USB\\B", {"ID"});
    m.localAllocLimit = 4096;
    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(GetCapturedStdout(),
              "GetDeviceRegistryProperty FAILURE: Not enough storage is available to process this command.\r\n\n");
    EXPECT_EQ(instanceIds(m), std::vector<std::string>{"USB\\HUGE"});
}

TEST_F(SetupCommonTest, ListWithoutTerminatorsIsWalkedWithinItsData)
{
    w32::Device &a = addRadio(m, "USB\\A", {});
    a.hardwareIds = std::string("FIRST\0ID", 8);
    w32::Device &b = addRadio(m, "USB\\B", {});
    b.hardwareIds = std::string("", 0);
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(instanceIds(m), std::vector<std::string>{"USB\\B"});
}

TEST_F(SetupCommonTest, EmptyIdentifierListIsSkippedWithoutReportByBothSearches)
{
    addRadio(m, "USB\\EMPTY", {}).hardwareIds = std::string();
    addRadio(m, "USB\\TERMINATOR", {}).hardwareIds = std::string(1, '\0');
    addRadio(m, "USB\\A", {"ID"});
    CaptureStdout();
    EXPECT_TRUE(FindDeviceByHardwareId(&InstallerProfile, "ID"));
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(instanceIds(m), (std::vector<std::string>{"USB\\EMPTY", "USB\\TERMINATOR"}));
}

TEST_F(SetupCommonTest, RequiredSizeThatCannotGrowEndsTheSearch)
{
    addRadio(m, "USB\\BOUNDLESS", {"ID"}).propertyError = ERROR_INSUFFICIENT_BUFFER;
    addRadio(m, "USB\\B", {"ID"});
    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_FALSE(FindDeviceByHardwareId(&RemoverProfile, "ID"));
    const std::string report = "GetDeviceRegistryProperty FAILURE: The data area passed to a system call is too small.\r\n\n";
    EXPECT_EQ(GetCapturedStdout(), report + report);
    EXPECT_EQ(instanceIds(m).size(), 2u);
}

TEST_F(SetupCommonTest, ListWithoutClosingEmptyStringMatchesBeforeItsLastString)
{
    addRadio(m, "USB\\MIDDLE", {}).hardwareIds = std::string("A\0ID\0B\0", 7);
    addRadio(m, "USB\\FIRST", {}).hardwareIds = std::string("ID\0LAST", 7);
    addRadio(m, "USB\\CUT", {}).hardwareIds = std::string("A\0I", 3);
    CaptureStdout();
    EXPECT_TRUE(FindDeviceByHardwareId(&InstallerProfile, "ID"));
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(instanceIds(m), std::vector<std::string>{"USB\\CUT"});
}

TEST_F(SetupCommonTest, FindStopsAtFirstMatchAndNotFoundLeavesTheEndError)
{
    addRadio(m, "USB\\A", {"ID"});
    CaptureStdout();
    EXPECT_TRUE(FindDeviceByHardwareId(&RemoverProfile, "id"));
    EXPECT_FALSE(FindDeviceByHardwareId(&RemoverProfile, "MISSING"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_FALSE(FindDeviceByHardwareId(&RemoverProfile, nullptr));
    EXPECT_EQ(GetCapturedStdout(), "EnumDeviceInfo_NOT_FOUND FAILURE: No more data is available.\r\n\n");
    EXPECT_EQ(instanceIds(m).size(), 1u);
}

TEST_F(SetupCommonTest, SetAndEnumerationFailuresAreReportedByRemoval)
{
    addRadio(m, "USB\\A", {"ID"});
    m.failingCalls["SetupDiGetClassDevsA"] = ERROR_NOT_ENOUGH_MEMORY;
    CaptureStdout();
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_FALSE(FindDeviceByHardwareId(&RemoverProfile, "ID"));
    m.failingCalls = {{"SetupDiEnumDeviceInfo", ERROR_INVALID_DATA}};
    RemoveDevicesByHardwareId(&RemoverProfile, "ID");
    EXPECT_EQ(GetCapturedStdout(),
              "GetClassDevs(All Present Devices) FAILURE: Not enough storage is available to process this command.\r\n\n"
              "EnumDeviceInfo_NO_MORE_ITEMS FAILURE: The data is invalid.\r\n\n");
    EXPECT_EQ(instanceIds(m).size(), 1u);
}

TEST_F(SetupCommonTest, InstalledValuesOfMoreThan16BytesCountAsAbsentAndStay)
{
    w32::setValue(m, kSettingsKey, "Small", REG_SZ, std::string(16, 's'));
    w32::setValue(m, kSettingsKey, "Large", REG_BINARY, std::string(17, 'l'));
    EXPECT_TRUE(InstalledValueExists("Small"));
    EXPECT_FALSE(InstalledValueExists("Large"));
    EXPECT_FALSE(InstalledValueExists("Missing"));
    EXPECT_FALSE(InstalledValueExists(nullptr));
    DeleteInstalledValue("Small");
    DeleteInstalledValue("Large");
    DeleteInstalledValue(nullptr);
    EXPECT_EQ(w32::findValue(m, kSettingsKey, "Small"), nullptr);
    EXPECT_NE(w32::findValue(m, kSettingsKey, "Large"), nullptr);
}

} // namespace
