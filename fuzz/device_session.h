// One radio on the simulated bus behind the driver, for a single fuzz input:
// AddDevice and start, whatever the input makes of them, then the removal the
// Plug and Play manager would send from the state the device ended in, and an
// unload that stops on anything left behind.
#pragma once

#include <host/bus.h>
#include <host/radio.h>

#include <chrono>
#include <thread>

#include "driver_fuzz.h"

namespace fuzzdriver {

inline constexpr char16_t kDosLinkName[] = u"\\DosDevices\\Wrenlok0";

class DeviceSession {
public:
    // The radio must outlive the session. Driver time runs `timeScale` times
    // real time, so the driver's one-second waits stay short.
    DeviceSession(usbsim::Radio& radio, double timeScale) : kernel_(timeScale) {
        image_ = LoadDriver();
        pdo_ = bus_.Plug(radio);
    }

    NTSTATUS AddAndStart() {
        NTSTATUS status = wrk::PnpAddDevice(image_->Object(), pdo_);
        return NT_SUCCESS(status) ? wrk::PnpStart(pdo_) : status;
    }

    NTSTATUS Open(std::unique_ptr<wrk::UserFile>& file) { return wrk::UserFile::Open(kDosLinkName, file); }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    usbsim::Bus& Bus() { return bus_; }

    void RemoveAndUnload(const char* target) {
        wrk::PoolClearFaults();
        switch (wrk::PnpDeviceState(pdo_)) {
        case wrk::PnpState::NotAdded:
        case wrk::PnpState::Removed:
        case wrk::PnpState::SurpriseRemoved:  // the remove followed the last close
            break;
        case wrk::PnpState::StopPending:
            wrk::PnpCancelStop(pdo_);
            wrk::PnpRequestRemoval(pdo_);
            break;
        case wrk::PnpState::RemovePending:
            wrk::PnpRemove(pdo_);
            break;
        default:
            if (!NT_SUCCESS(wrk::PnpRequestRemoval(pdo_))) wrk::PnpSurpriseRemoval(pdo_);
            break;
        }
        // A request may still be on its way to being freed in the thread that
        // completed it; a real leak outlasts this wait.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (wrk::LiveIrpCount() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        UnloadClean(target, image_);
        if (wrk::LiveIrpCount() != 0) Fail(target, "IRPs alive after unload");
        if (wrk::LiveWorkItemCount() != 0) Fail(target, "work items alive after unload");
    }

private:
    wrk::ScopedKernelState kernel_;
    usbsim::Bus bus_;
    std::unique_ptr<wrk::DriverImage> image_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace fuzzdriver
