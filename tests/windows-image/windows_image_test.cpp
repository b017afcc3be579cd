// The shipped driver images: a native-subsystem kernel image that starts at
// DriverEntry and imports from nothing but the kernel, the HAL and the USB
// driver interface, with DriverEntry in the discardable INIT section.
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

namespace {

struct ImageKind {
    const char* arch;
    const char* objdump;
    const char* nm;
    const char* entrySymbol;
};

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

INSTANTIATE_TEST_SUITE_P(Images, WindowsImage,
                         ::testing::Values(ImageKind{"x86", OBJDUMP_X86, NM_X86, "_DriverEntry@8"},
                                           ImageKind{"x64", OBJDUMP_X64, NM_X64, "DriverEntry"}),
                         [](const auto& info) { return std::string(info.param.arch); });

}  // namespace
