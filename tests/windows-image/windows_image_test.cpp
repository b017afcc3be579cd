// The shipped driver images: a native-subsystem kernel image that starts at
// DriverEntry and imports from nothing but the kernel, the HAL and the USB
// driver interface, with DriverEntry in the discardable INIT section, built
// for the systems it ships for (Windows 2000 on x86, XP x64 / Server 2003 on
// x64) down to the access values it passes. The setup programs beside it carry
// the same version fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

struct ImageKind {
    const char* arch;
    const char* objdump;
    const char* nm;
    const char* entrySymbol;
    // Import slot symbols of the two calls that take a thread access mask.
    const char* createThreadImport;
    const char* referenceImport;
    // How the second argument (the access mask) is loaded before a call.
    const char* secondArgument;
    // NT version of the target system, in the OS and subsystem version fields.
    unsigned major;
    unsigned minor;
};

// THREAD_ALL_ACCESS as Windows 2000, XP and Server 2003 define it; later
// headers make it 0x1FFFFF, which those systems do not know.
constexpr unsigned long long kThreadAllAccess = 0x1F03FF;

std::string RunCommand(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return {};
    std::string out;
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe.get())) > 0) out.append(chunk.data(), n);
    return out;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// The first hexadecimal field after `label` in objdump -p output.
unsigned long long HeaderField(const std::string& headers, const std::string& label) {
    std::smatch m;
    std::regex field(label + "[ \\t]+([0-9a-fA-F]+)");
    if (!std::regex_search(headers, m, field)) return ~0ull;
    return std::stoull(m[1].str(), nullptr, 16);
}

class WindowsImage : public ::testing::TestWithParam<ImageKind> {
protected:
    void SetUp() override {
        image_ = std::string(WRENLOK_DIST) + "/" + GetParam().arch + "/Wrenlok.sys";
        ASSERT_TRUE(std::filesystem::exists(image_)) << image_ << " missing: run `make windows` first";
        headers_ = RunCommand(std::string(GetParam().objdump) + " -p '" + image_ + "'");
        ASSERT_FALSE(headers_.empty());
    }
    std::string image_;
    std::string headers_;
};

TEST_P(WindowsImage, IsANativeSubsystemImage) {
    EXPECT_EQ(HeaderField(headers_, "Subsystem"), 1u);
}

TEST_P(WindowsImage, EntryPointIsDriverEntry) {
    unsigned long long entry = HeaderField(headers_, "AddressOfEntryPoint");
    unsigned long long base = HeaderField(headers_, "ImageBase");
    std::string symbols = RunCommand(std::string(GetParam().nm) + " '" + image_ + "'");
    std::smatch m;
    std::regex line("([0-9a-fA-F]+) [Tt] " + std::regex_replace(std::string(GetParam().entrySymbol),
                                                                  std::regex("@"), "\\@") + "\\n");
    ASSERT_TRUE(std::regex_search(symbols, m, line)) << "no " << GetParam().entrySymbol << " symbol";
    EXPECT_EQ(std::stoull(m[1].str(), nullptr, 16), base + entry);
}

TEST_P(WindowsImage, ImportsOnlyKernelHalAndUsbd) {
    std::set<std::string> imported;
    std::regex dll("DLL Name: ([^\\s]+)");
    for (std::sregex_iterator it(headers_.begin(), headers_.end(), dll), end; it != end; ++it)
        imported.insert(Lower((*it)[1].str()));
    const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys"};
    EXPECT_TRUE(imported.count("ntoskrnl.exe"));
    for (const auto& name : imported) EXPECT_TRUE(allowed.count(name)) << "unexpected import " << name;
}

TEST_P(WindowsImage, DriverEntryLivesInTheInitSection) {
    std::string sections = RunCommand(std::string(GetParam().objdump) + " -h '" + image_ + "'");
    std::smatch m;
    // Index, name, size, VMA.
    std::regex init("\\n\\s*\\d+\\s+INIT\\s+([0-9a-fA-F]+)\\s+([0-9a-fA-F]+)");
    ASSERT_TRUE(std::regex_search(sections, m, init)) << sections;
    unsigned long long size = std::stoull(m[1].str(), nullptr, 16);
    unsigned long long start = std::stoull(m[2].str(), nullptr, 16);
    unsigned long long entry = HeaderField(headers_, "ImageBase") + HeaderField(headers_, "AddressOfEntryPoint");
    EXPECT_GE(entry, start);
    EXPECT_LT(entry, start + size);
}

// The value last loaded into the second-argument place before each call
// through the import slot at `slot`, in the order of the calls.
std::vector<unsigned long long> SecondArgumentsOfCallsThrough(const std::string& disassembly, unsigned long long slot,
                                                              const std::string& secondArgument) {
    char slotHex[32];
    std::snprintf(slotHex, sizeof slotHex, "%llx", slot);
    const std::regex load("mov[lq]?\\s+\\$0x([0-9a-f]+)," + secondArgument + "\\s*$");
    std::vector<unsigned long long> values;
    unsigned long long loaded = ~0ull;
    std::istringstream lines(disassembly);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_search(line, m, load)) {
            loaded = std::stoull(m[1].str(), nullptr, 16);
        } else if (line.find("call") != std::string::npos) {
            const bool throughSlot = line.find(std::string("*0x") + slotHex) != std::string::npos ||
                                     line.find(std::string("# ") + slotHex + " ") != std::string::npos;
            if (throughSlot) values.push_back(loaded);
            loaded = ~0ull;
        }
    }
    return values;
}

unsigned long long SymbolAddress(const std::string& symbols, const std::string& name) {
    std::smatch m;
    std::regex line("([0-9a-fA-F]+) [A-Za-z] " + std::regex_replace(name, std::regex("@"), "\\@") + "\\n");
    if (!std::regex_search(symbols, m, line)) return ~0ull;
    return std::stoull(m[1].str(), nullptr, 16);
}

TEST_P(WindowsImage, ThreadsAreCreatedAndReferencedWithTheTargetSystemsAllAccessMask) {
    const std::string symbols = RunCommand(std::string(GetParam().nm) + " '" + image_ + "'");
    const std::string code = RunCommand(std::string(GetParam().objdump) + " -d --no-show-raw-insn '" + image_ + "'");
    for (const char* import : {GetParam().createThreadImport, GetParam().referenceImport}) {
        const unsigned long long slot = SymbolAddress(symbols, import);
        ASSERT_NE(slot, ~0ull) << "no " << import;
        const std::vector<unsigned long long> passed =
            SecondArgumentsOfCallsThrough(code, slot, GetParam().secondArgument);
        ASSERT_EQ(passed.size(), 1u) << "calls through " << import;
        EXPECT_EQ(passed[0], kThreadAllAccess) << "access mask passed through " << import;
    }
}

TEST_P(WindowsImage, VersionFieldsNameTheTargetSystem) {
    EXPECT_EQ(HeaderField(headers_, "MajorOSystemVersion"), GetParam().major);
    EXPECT_EQ(HeaderField(headers_, "MinorOSystemVersion"), GetParam().minor);
    EXPECT_EQ(HeaderField(headers_, "MajorSubsystemVersion"), GetParam().major);
    EXPECT_EQ(HeaderField(headers_, "MinorSubsystemVersion"), GetParam().minor);
}

// The setup programs: Vantry and Dessel run without a window, Marrick in a console.
TEST_P(WindowsImage, SetupProgramsCarryTheirSubsystemAndTheTargetSystemsVersion) {
    const std::pair<const char*, unsigned long long> programs[] = {{"Vantry.exe", 2}, {"Dessel.exe", 2},
                                                                   {"Marrick.exe", 3}};
    for (const auto& [name, subsystem] : programs) {
        const std::string path = std::string(WRENLOK_DIST) + "/" + GetParam().arch + "/" + name;
        ASSERT_TRUE(std::filesystem::exists(path)) << path << " missing: run `make windows` first";
        const std::string headers = RunCommand(std::string(GetParam().objdump) + " -p '" + path + "'");
        EXPECT_EQ(HeaderField(headers, "Subsystem"), subsystem) << name;
        EXPECT_EQ(HeaderField(headers, "MajorOSystemVersion"), GetParam().major) << name;
        EXPECT_EQ(HeaderField(headers, "MinorOSystemVersion"), GetParam().minor) << name;
        EXPECT_EQ(HeaderField(headers, "MajorSubsystemVersion"), GetParam().major) << name;
        EXPECT_EQ(HeaderField(headers, "MinorSubsystemVersion"), GetParam().minor) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, WindowsImage,
    ::testing::Values(ImageKind{"x86", OBJDUMP_X86, NM_X86, "_DriverEntry@8", "__imp__PsCreateSystemThread@28",
                                "__imp__ObReferenceObjectByHandle@24", "0x4\\(%esp\\)", 5, 0},
                      ImageKind{"x64", OBJDUMP_X64, NM_X64, "DriverEntry", "__imp_PsCreateSystemThread",
                                "__imp_ObReferenceObjectByHandle", "%edx", 5, 2}),
    [](const auto& info) { return std::string(info.param.arch); });

}  // namespace
