// The real driver image on the simulated bus with a scripted radio, walked
// through its life by the emulated Plug and Play and power managers.
#pragma once

#include "wrenlok.h"

#include <host/bus.h>
#include <host/io.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>

#include <memory>
#include <string>
#include <vector>

namespace lifecycle_test {

inline constexpr char16_t kDeviceName[] = u"\\Device\\Wrenlok0";
inline constexpr char16_t kDosLinkName[] = u"\\DosDevices\\Wrenlok0";
// {D2CE5E85-7EDA-4581-8117-10E0FBE62634}
inline constexpr GUID kInterfaceGuid = {0xD2CE5E85, 0x7EDA, 0x4581, {0x81, 0x17, 0x10, 0xE0, 0xFB, 0xE6, 0x26, 0x34}};

// One second of driver time takes 10 ms, so 1 s and 5 s time-outs stay short.
inline constexpr double kFastTime = 0.01;

// Pool blocks carrying the driver's tag.
size_t DriverPoolBlocks();

class DriverHarness {
public:
    // `diagnostics` false loads the driver with "DebugLevel" 0, so that its
    // only pool allocations are its real work.
    explicit DriverHarness(usbsim::BusOptions options = {}, bool diagnostics = true);
    // Removes the device if it is still there, then unloads (leaks go to stderr).
    ~DriverHarness();

    NTSTATUS Add();
    NTSTATUS AddAndStart();
    // Null once the device has been deleted.
    PDEVICE_OBJECT Fdo() const;
    PDEVICE_EXTENSION Extension() const;
    NTSTATUS Open(std::unique_ptr<wrk::UserFile>& file);

    // Takes the device away as the PnP manager would after whatever state it is
    // in, then unloads the image; returns every leak found (empty when clean).
    std::vector<std::string> RemoveAndUnload();

    wrk::ScopedKernelState kernel{kFastTime};
    usbsim::ScriptedRadio radio;
    // A second radio for tests that plug in two; it must outlive the bus.
    usbsim::ScriptedRadio secondRadio;
    usbsim::Bus bus;
    std::unique_ptr<wrk::DriverImage> image;
    PDEVICE_OBJECT pdo = nullptr;
};

// HCI traffic through an open handle: one command answered by one event, and
// one ACL packet out; false if any part of it failed.
bool ExchangeTraffic(DriverHarness& harness, wrk::UserFile& file);

// Reads until a packet arrives (a read returns at once when the rings are
// empty); the packet with its type byte, or empty when none came within 10 s
// of real time or a read failed.
std::vector<uint8_t> ReadPacket(wrk::UserFile& file);

}  // namespace lifecycle_test
