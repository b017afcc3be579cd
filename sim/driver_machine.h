// One machine's kernel side: the driver image loaded with its DebugLevel, a
// radio plugged into the simulated bus and started by the PnP manager, and the
// way out again, orderly or by surprise.
#pragma once

#include <host/bus.h>
#include <host/io.h>
#include <host/kernel.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wsim {

inline constexpr char16_t kDeviceLink[] = u"\\DosDevices\\Wrenlok0";

struct UnloadReport {
    std::vector<std::string> leaks; // what the loader found left behind
    std::size_t driverPoolBlocks = 0; // blocks with the driver's pool tag still allocated
    bool Clean() const { return leaks.empty() && driverPoolBlocks == 0; }
};

class DriverMachine {
public:
    // Throws std::runtime_error when the image does not load or the device does not start.
    DriverMachine(const std::string& driverPath, unsigned long debugLevel, usbsim::Radio& radio,
                  usbsim::BusOptions busOptions = {});
    ~DriverMachine();
    DriverMachine(const DriverMachine&) = delete;
    DriverMachine& operator=(const DriverMachine&) = delete;

    // Opens the device as the host stack does; throws when the open fails.
    std::unique_ptr<wrk::UserFile> Open();

    // Waits (real time) until the PnP manager has told the driver its radio left.
    bool WaitForSurpriseRemoval(std::chrono::milliseconds timeout);
    // Query-remove and remove, as when the user takes the device away orderly.
    NTSTATUS RequestRemoval();
    // Unloads the driver once its device is gone, reporting what it left.
    UnloadReport Unload();

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    usbsim::Bus& Bus() { return *bus_; }
    // What the host polling the device's reads waits for.
    std::shared_ptr<const usbsim::TransferWatch> InTransfers() const { return bus_->InTransfers(pdo_); }

private:
    std::unique_ptr<wrk::DriverImage> image_;
    std::unique_ptr<usbsim::Bus> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::mutex mutex_;
    std::condition_variable removed_;
    bool surpriseRemoved_ = false;
};

} // namespace wsim
