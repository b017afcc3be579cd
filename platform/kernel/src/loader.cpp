// The driver loader: maps a driver image, gives it its DRIVER_OBJECT, runs
// DriverEntry and DriverUnload, and checks at unload what Driver Verifier
// checks: that the driver left no pool, handles, threads, work items, IRPs or
// devices.
#include "irql.h"
#include "object.h"
#include "pool.h"
#include "workitem.h"

#include <host/io.h>
#include <host/kernel.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace wrk {
namespace {

constexpr CSHORT kDriverObjectType = 4;  // IO_TYPE_DRIVER
// How long unload waits for threads that were told to stop and are on their
// way out: two driver seconds, but never less than a loaded machine needs.
constexpr double kThreadExitGraceDriverSeconds = 2.0;
constexpr auto kShortestThreadExitGrace = std::chrono::milliseconds(200);

std::chrono::milliseconds ThreadExitGrace() {
    auto scaled = std::chrono::milliseconds(static_cast<long long>(kThreadExitGraceDriverSeconds * TimeScale() * 1000));
    return std::max(scaled, kShortestThreadExitGrace);
}

UNICODE_STRING Counted(std::u16string& text) {
    UNICODE_STRING counted;
    counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    counted.MaximumLength = static_cast<USHORT>(counted.Length + sizeof(WCHAR));
    counted.Buffer = text.data();
    return counted;
}

void CheckReturnedAtPassive(const char* routine) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || detail::HeldSpinLockCount() != 0) {
        Bugcheck("IRQL_UNEXPECTED_VALUE", std::string(routine) + " returned at IRQL " +
                                              std::to_string(KeGetCurrentIrql()) + " holding " +
                                              std::to_string(detail::HeldSpinLockCount()) + " spin lock(s)");
    }
}

// Blocks the platform allocates for itself (IRPs, device objects) are
// accounted for by their own checks; every other block is the driver's.
bool AllocatedByKernel(void* caller) {
    Dl_info kernel{};
    Dl_info allocator{};
    dladdr(reinterpret_cast<void*>(&ExAllocatePoolWithTag), &kernel);
    return dladdr(caller, &allocator) != 0 && allocator.dli_fbase == kernel.dli_fbase;
}

std::string Hex(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

struct DriverImage::State {
    void* library = nullptr;
    std::u16string registryPath;
    std::u16string serviceName;
    std::u16string driverName;
    UNICODE_STRING registryString{};
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    NTSTATUS entryStatus = STATUS_UNSUCCESSFUL;
    uint64_t stampAtLoad = 0;
    bool loaded = false;
};

DriverImage::DriverImage() : state_(std::make_unique<State>()) {}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::u16string registryPath) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        throw std::runtime_error(std::string("cannot map driver image: ") + dlerror());
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(library, "DriverEntry"));
    if (entry == nullptr) {
        dlclose(library);
        throw std::runtime_error("driver image " + path + " has no DriverEntry");
    }
    std::unique_ptr<DriverImage> image(new DriverImage());
    image->state_->library = library;
    image->Start(entry, std::move(registryPath));
    return image;
}

std::unique_ptr<DriverImage> DriverImage::FromEntry(PDRIVER_INITIALIZE entry, std::u16string registryPath) {
    std::unique_ptr<DriverImage> image(new DriverImage());
    image->Start(entry, std::move(registryPath));
    return image;
}

void DriverImage::Start(PDRIVER_INITIALIZE entry, std::u16string registryPath) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "DriverEntry");
    State& s = *state_;
    s.stampAtLoad = detail::NextStamp();
    s.registryPath = std::move(registryPath);
    size_t lastSeparator = s.registryPath.rfind(u'\\');
    s.serviceName = lastSeparator == std::u16string::npos ? s.registryPath : s.registryPath.substr(lastSeparator + 1);
    s.driverName = u"\\Driver\\" + s.serviceName;
    s.registryString = Counted(s.registryPath);

    s.object.Type = kDriverObjectType;
    s.object.Size = sizeof(DRIVER_OBJECT);
    s.object.DriverExtension = &s.extension;
    s.object.DriverName = Counted(s.driverName);
    s.object.DriverInit = entry;
    Dl_info image{};
    if (dladdr(reinterpret_cast<void*>(entry), &image) != 0) {
        s.object.DriverStart = image.dli_fbase;
    }
    for (auto& dispatch : s.object.MajorFunction) {
        dispatch = DefaultDispatch;
    }
    s.extension.DriverObject = &s.object;
    s.extension.ServiceKeyName = Counted(s.serviceName);

    s.loaded = true;
    s.entryStatus = entry(&s.object, &s.registryString);
    CheckReturnedAtPassive("DriverEntry");
}

NTSTATUS DriverImage::EntryStatus() const {
    return state_->entryStatus;
}

PDRIVER_OBJECT DriverImage::Object() {
    return &state_->object;
}

void* DriverImage::Symbol(const char* name) const {
    return state_->library == nullptr || !state_->loaded ? nullptr : dlsym(state_->library, name);
}

bool DriverImage::Loaded() const {
    return state_->loaded;
}

std::vector<std::string> DriverImage::UnloadReportingLeaks() {
    State& s = *state_;
    if (!s.loaded) {
        return {};
    }
    // As on Windows, a driver whose DriverEntry failed is unloaded without
    // its DriverUnload.
    if (NT_SUCCESS(s.entryStatus) && s.object.DriverUnload != nullptr) {
        detail::RequireIrqlAtMost(PASSIVE_LEVEL, "DriverUnload");
        s.object.DriverUnload(&s.object);
        CheckReturnedAtPassive("DriverUnload");
    }
    s.loaded = false;

    std::vector<std::string> leaks;
    // Code of the image may still run (or be called back) while any of
    // these remain, so the image then stays mapped.
    bool imageInUse = false;
    if (!WaitForThreadsToEnd(ThreadExitGrace())) {
        leaks.push_back(std::to_string(LiveThreadCount()) + " system thread(s) still running");
        imageInUse = true;
    }
    bool workWillRun = false;
    for (auto& leak : detail::WorkItemLeaks(&s.object, ThreadExitGrace(), workWillRun)) {
        leaks.push_back(std::move(leak));
    }
    imageInUse = imageInUse || workWillRun;
    if (size_t devices = DeviceCount(&s.object); devices != 0) {
        leaks.push_back(std::to_string(devices) + " device object(s) not deleted");
        imageInUse = true;
    }
    if (size_t irps = LiveIrpCount(); irps != 0) {
        leaks.push_back(std::to_string(irps) + " IRP(s) not freed");
        imageInUse = true;
    }
    for (const auto& block : detail::PoolBlocksSince(s.stampAtLoad)) {
        if (!AllocatedByKernel(block.caller)) {
            leaks.push_back("pool block " + detail::DescribeBlock(block) + " not freed");
        }
    }
    for (const auto& open : detail::HandlesSince(s.stampAtLoad)) {
        leaks.push_back((open.entry.kind == detail::HandleKind::Thread ? "thread handle " : "registry key handle ") +
                        Hex(open.handle) + " not closed");
    }
    if (s.library != nullptr && !imageInUse) {
        dlclose(s.library);
        s.library = nullptr;
    }
    return leaks;
}

void DriverImage::Unload() {
    std::vector<std::string> leaks = UnloadReportingLeaks();
    if (leaks.empty()) {
        return;
    }
    std::string details = "driver unloaded leaving";
    for (const auto& leak : leaks) {
        details += "\n    " + leak;
    }
    Bugcheck("DRIVER_VERIFIER_DETECTED_VIOLATION", details);
}

DriverImage::~DriverImage() {
    for (const auto& leak : UnloadReportingLeaks()) {
        std::fprintf(stderr, "*** driver left at unload: %s\n", leak.c_str());
    }
    // An image kept mapped for what it left running can go once that is over.
    State& s = *state_;
    if (s.library != nullptr && LiveThreadCount() == 0 && DeviceCount(&s.object) == 0 && LiveIrpCount() == 0) {
        dlclose(s.library);
    }
}

}  // namespace wrk
