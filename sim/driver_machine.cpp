#include "driver_machine.h"

#include <cstdio>
#include <stdexcept>

namespace wsim {
namespace {

constexpr ULONG kDriverPoolTag = 0x206D6457; // "Wdm "

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace

DriverMachine::DriverMachine(const std::string& driverPath, unsigned long debugLevel, usbsim::Radio& radio,
                             usbsim::BusOptions busOptions) {
    wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", static_cast<ULONG>(debugLevel));
    image_ = wrk::DriverImage::Load(driverPath);
    if (!NT_SUCCESS(image_->EntryStatus())) throw std::runtime_error("DriverEntry failed: " + Hex(image_->EntryStatus()));
    bus_ = std::make_unique<usbsim::Bus>(busOptions);
    bus_->SetUnplugHandler([this](PDEVICE_OBJECT pdo) {
        wrk::PnpSurpriseRemoval(pdo);
        std::lock_guard lock(mutex_);
        surpriseRemoved_ = true;
        removed_.notify_all();
    });
    pdo_ = bus_->Plug(radio);
    if (NTSTATUS status = wrk::PnpAddDevice(image_->Object(), pdo_); !NT_SUCCESS(status))
        throw std::runtime_error("AddDevice failed: " + Hex(status));
    if (NTSTATUS status = wrk::PnpStart(pdo_); !NT_SUCCESS(status))
        throw std::runtime_error("start failed: " + Hex(status));
}

DriverMachine::~DriverMachine() {
    // On the way out after a failure the device may still be there: take it
    // away as if pulled out, so that the driver unloads before the bus (and
    // the PDO under the driver's device) goes.
    if (image_->Loaded()) {
        auto state = wrk::PnpDeviceState(pdo_);
        if (state != wrk::PnpState::Removed && state != wrk::PnpState::NotAdded &&
            state != wrk::PnpState::SurpriseRemoved)
            wrk::PnpSurpriseRemoval(pdo_);
    }
    image_.reset();
    bus_.reset();
}

std::unique_ptr<wrk::UserFile> DriverMachine::Open() {
    std::unique_ptr<wrk::UserFile> file;
    if (NTSTATUS status = wrk::UserFile::Open(kDeviceLink, file); !NT_SUCCESS(status))
        throw std::runtime_error("open failed: " + Hex(status));
    return file;
}

bool DriverMachine::WaitForSurpriseRemoval(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return removed_.wait_for(lock, timeout, [&] { return surpriseRemoved_; });
}

NTSTATUS DriverMachine::RequestRemoval() { return wrk::PnpRequestRemoval(pdo_); }

UnloadReport DriverMachine::Unload() {
    UnloadReport report;
    report.leaks = image_->UnloadReportingLeaks();
    auto byTag = wrk::PoolOutstandingByTag();
    if (auto it = byTag.find(kDriverPoolTag); it != byTag.end()) report.driverPoolBlocks = it->second;
    return report;
}

} // namespace wsim
