// The three setup programs run in-process on the Win32 layer, each on a machine
// the input describes: the version file's bytes, the installed version, marker,
// "DevicePath" and "upgrade" values of any type and data, devices whose
// hardware identifiers are multi-strings with or without their terminators,
// and for Marrick network adapters with any property and "NetCfgInstanceId"
// data. The first input byte picks the program. Checks: ASan and UBSan on
// every read of those bytes, and the exit codes the programs document.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/machine.h"
#include "installer.h"
#include "metric.h"
#include "remover.h"

namespace {

const std::string kSettingsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const std::string kNetClass = "{4d36e972-e325-11ce-bfc1-08002be10318}";
const std::string kBluetoothClass = "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}";
const char* const kIds[] = {"USB\\VID_0A12&PID_0001", "USB\\VID_0A12&PID_0002", "USB\\VID_0A12&PID_0003"};

std::filesystem::path gDisk;

[[noreturn]] void Fail(const std::string& what) {
    fprintf(stderr, "tools fuzz: %s\n", what.c_str());
    abort();
}

// A value of any type and data, or none.
void MaybeValue(w32::Machine& m, const std::string& key, const std::string& name, FuzzedDataProvider& input) {
    if (!input.ConsumeBool()) return;
    DWORD type = input.ConsumeBool() ? input.ConsumeIntegralInRange<DWORD>(0, 11) : input.ConsumeIntegral<DWORD>();
    w32::setValue(m, key, name, type, input.ConsumeRandomLengthString(80));
}

// Devices of the class given (or another, or none), present or not, whose
// identifiers are raw multi-string bytes: terminated or not, or no property.
void AddDevices(w32::Machine& m, const std::string& cls, bool driverKeys, FuzzedDataProvider& input) {
    for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) {
        std::string klass = input.ConsumeBool() ? cls : input.ConsumeBool() ? kNetClass : std::string();
        w32::Device& device = w32::addDevice(m, "ROOT\\" + std::to_string(m.devices.size()), klass, std::nullopt,
                                             driverKeys);
        device.present = input.ConsumeBool();
        if (input.ConsumeProbability<float>() > 0.1f) device.hardwareIds = input.ConsumeRandomLengthString(100);
        // An injected failure stays for every call, and a property that keeps
        // asking for more room than it was given cannot happen on Windows.
        if (input.ConsumeProbability<float>() < 0.05f) device.propertyError = input.ConsumeIntegral<DWORD>();
        if (device.propertyError == ERROR_INSUFFICIENT_BUFFER) device.propertyError = ERROR_INVALID_DATA + 1;
        if (input.ConsumeProbability<float>() < 0.05f) device.removeError = input.ConsumeIntegral<DWORD>();
        if (driverKeys && !device.driverKey.empty())
            MaybeValue(m, device.driverKey, "NetCfgInstanceId", input);
    }
}

// The version file in the current directory, C:\setup on the host folder.
void VersionFile(w32::Machine& m, FuzzedDataProvider& input) {
    m.drives['C'] = gDisk.string();
    m.currentDirectory = "C:\\setup";
    std::ofstream(gDisk / "setup" / "version.ini", std::ios::binary | std::ios::trunc)
        << input.ConsumeRandomLengthString(200);
}

std::vector<std::string> Arguments(const std::vector<std::string>& all, FuzzedDataProvider& input) {
    std::vector<std::string> args{"program"};
    size_t count = input.ConsumeIntegralInRange<size_t>(0, all.size());
    args.insert(args.end(), all.begin(), all.begin() + long(count));
    return args;
}

int Run(int (*program)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return program(int(args.size()), argv.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The programs read key presses from standard input: they find it at its end.
    int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, 0);
    close(nothing);
    unsetenv(w32::kStateVariable);
    char folder[] = "/tmp/tools-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) Fail("no temporary folder");
    gDisk = folder;
    std::filesystem::create_directories(gDisk / "setup");
    std::atexit([] { std::filesystem::remove_all(gDisk); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    w32::Machine m;
    w32::createKey(m, kSettingsKey);
    int program = input.ConsumeIntegralInRange<int>(0, 2);
    if (program == 0) {
        VersionFile(m, input);
        MaybeValue(m, kSettingsKey, "DrvVersion", input);
        AddDevices(m, kBluetoothClass, false, input);
        w32::machine() = m;
        int exit = Run(RunInstaller, Arguments({"DrvVersion", kIds[0], "-", "-", "version.ini", kIds[1], kIds[2]},
                                              input));
        if (exit != 2) Fail("Vantry exited with " + std::to_string(exit));
    } else if (program == 1) {
        VersionFile(m, input);
        for (const char* name : {"DrvVersion", "DrvInstalled", "DevicePath", "upgrade"})
            MaybeValue(m, kSettingsKey, name, input);
        AddDevices(m, kBluetoothClass, false, input);
        w32::machine() = m;
        int exit = Run(RunRemover, Arguments({"DrvVersion", kIds[0], kIds[1], "version.ini", "DrvInstalled",
                                              kIds[2]}, input));
        if (exit != 0 && exit != 1) Fail("Dessel exited with " + std::to_string(exit));
    } else {
        m.platformId = input.ConsumeProbability<float>() < 0.9f ? VER_PLATFORM_WIN32_NT : input.ConsumeIntegral<DWORD>();
        AddDevices(m, kNetClass, true, input);
        w32::machine() = m;
        int exit = Run([](int, char**) { return RunMetric(); }, {});
        if (exit != 0) Fail("Marrick exited with " + std::to_string(exit));
    }
    return 0;
}
