// One machine with the real driver image, its radio bridged to a socket whose
// far end the test holds or the controller emulator serves.
#pragma once

#include "driver_machine.h"
#include "driver_transport.h"

#include <radios/h4_radio.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace e2e {

// Reads until a packet comes or the read fails; the read never waits, so this polls.
struct ReadOutcome {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<std::uint8_t> packet; // empty when none came in time
};

inline ReadOutcome ReadPacket(wrk::UserFile& file, const wsim::DriverMachine& machine,
                              std::chrono::milliseconds patience) {
    wsim::DriverTransport transport(file, machine.InTransfers());
    ReadOutcome outcome;
    if (auto packet = transport.Receive(patience)) outcome.packet = *packet;
    outcome.status = transport.Failure();
    return outcome;
}

class MachineTest : public ::testing::Test {
protected:
    void Plug(std::unique_ptr<usbsim::H4Radio> r) {
        radio = std::move(r);
        machine = std::make_unique<wsim::DriverMachine>(WRENLOK_DRIVER_PATH, 0, *radio);
        file = machine->Open();
    }

    // The radio has left (its socket closed): the driver must refuse the open
    // handle, let it close, go away and unload with nothing left.
    void ExpectCleanExitAfterRadioLeft() {
        ASSERT_TRUE(machine->WaitForSurpriseRemoval(std::chrono::seconds(20)));
        std::uint8_t buffer[16];
        ULONG read = 0;
        EXPECT_EQ(file->Read(buffer, sizeof(buffer), &read), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(read, 0u);
        file->Close();
        file.reset();
        EXPECT_EQ(wrk::PnpDeviceState(machine->Pdo()), wrk::PnpState::Removed);
        auto report = machine->Unload();
        EXPECT_TRUE(report.leaks.empty()) << ::testing::PrintToString(report.leaks);
        EXPECT_EQ(report.driverPoolBlocks, 0u);
    }

    void TearDown() override {
        file.reset();
        machine.reset();
        radio.reset();
    }

    wrk::ScopedKernelState kernel{0.05};
    std::unique_ptr<usbsim::H4Radio> radio;
    std::unique_ptr<wsim::DriverMachine> machine;
    std::unique_ptr<wrk::UserFile> file;
};

} // namespace e2e
