// A stop or surprise removal that runs whole while requests sit between their
// RefuseIo test and their device-lock reference. The window is two
// instructions wide, so the driver is linked in with LockDevice wrapped: a
// request thread can be held right before its reference while the stop runs,
// and let go once the stop is over. Other threads keep sending requests the
// whole time. Nothing may act on the stopped device, and no receive thread may
// be left running when the device is deleted.
#include <gtest/gtest.h>

#include <host/bus.h>
#include <host/io.h>
#include <host/kernel.h>
#include <host/scripted_radio.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "wrenlok.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

// Requests of the racing threads stop at their LockDevice until let go.
class LockGate {
public:
    void Arm() {
        std::lock_guard guard(lock_);
        held_ = 0;
        open_ = false;
    }
    void HoldHere() {
        std::unique_lock guard(lock_);
        ++held_;
        changed_.notify_all();
        changed_.wait(guard, [&] { return open_; });
    }
    void WaitUntilHolding(int requests) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return held_ >= requests; });
    }
    void Open() {
        std::lock_guard guard(lock_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int held_ = 0;
    bool open_ = true;
};

LockGate gGate;
thread_local bool tHeldAtTheLock = false;

}  // namespace

// The linker sends the driver's calls of LockDevice here (--wrap of its C++ name).
BOOLEAN RealLockDevice(PDEVICE_EXTENSION DeviceExtension) __asm__("__real__Z10LockDeviceP17_DEVICE_EXTENSION");
extern "C" BOOLEAN WrappedLockDevice(PDEVICE_EXTENSION DeviceExtension) __asm__(
    "__wrap__Z10LockDeviceP17_DEVICE_EXTENSION");
extern "C" BOOLEAN WrappedLockDevice(PDEVICE_EXTENSION DeviceExtension) {
    if (tHeldAtTheLock) {
        tHeldAtTheLock = false;
        gGate.HoldHere();
    }
    return RealLockDevice(DeviceExtension);
}

namespace {

constexpr char16_t kDosLinkName[] = u"\\DosDevices\\Wrenlok0";
constexpr uint8_t kResetCommand[] = {HCI_COMMAND_PACKET, 0x03, 0x0C, 0x00};
constexpr uint8_t kAclPacket[] = {HCI_ACL_PACKET, 0x01, 0x20, 0x01, 0x00, 0xAA};

enum class Teardown { Stop, SurpriseRemoval };

// One request of each kind that reaches the driver with the device started.
using Request = std::function<NTSTATUS(std::unique_ptr<wrk::UserFile>& file)>;

std::vector<Request> OneOfEachKind() {
    return {
        [](std::unique_ptr<wrk::UserFile>& file) { return wrk::UserFile::Open(kDosLinkName, file); },
        [](std::unique_ptr<wrk::UserFile>& file) {
            uint8_t buffer[64];
            ULONG got = 0;
            return file->Read(buffer, sizeof buffer, &got);
        },
        [](std::unique_ptr<wrk::UserFile>& file) {
            ULONG written = 0;
            return file->Write(kResetCommand, sizeof kResetCommand, &written);
        },
        [](std::unique_ptr<wrk::UserFile>& file) {
            ULONG written = 0;
            return file->Write(kAclPacket, sizeof kAclPacket, &written);
        },
        [](std::unique_ptr<wrk::UserFile>& file) {
            ULONG returned = 0;
            return file->DeviceIoControl(0x222000, nullptr, 0, nullptr, 0, &returned);
        },
        [](std::unique_ptr<wrk::UserFile>& file) { return file->Close(); },
    };
}

// The racing request that opens needs no handle; every other one brings its own.
bool NeedsHandle(size_t kind) {
    return kind != 0;
}

// The driver linked into the test on a started radio with DebugLevel 0.
struct LinkedDevice {
    LinkedDevice() {
        wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
        wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 0);
        // The driver linked into the test keeps its globals from one device to
        // the next; the loader would give every load fresh ones.
        DeviceAdded = 0;
        image = wrk::DriverImage::FromEntry(DriverEntry);
        pdo = bus.Plug(radio);
    }
    bool Start() {
        if (image->EntryStatus() != STATUS_SUCCESS || wrk::PnpAddDevice(image->Object(), pdo) != STATUS_SUCCESS ||
            wrk::PnpStart(pdo) != STATUS_SUCCESS)
            return false;
        extension = static_cast<PDEVICE_EXTENSION>(wrk::TopOfStack(pdo)->DeviceExtension);
        return true;
    }
    // Once the device is removed: what the driver left behind.
    std::vector<std::string> Unload() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (wrk::LiveIrpCount() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        return image->UnloadReportingLeaks();
    }

    wrk::ScopedKernelState kernel{0.01};
    usbsim::ScriptedRadio radio;
    usbsim::Bus bus;
    std::unique_ptr<wrk::DriverImage> image;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_EXTENSION extension = nullptr;
};

// Opens, requests and closes in a loop until told to stop; each status is one the
// driver may give a racing request.
void FreeRunner(const std::atomic<bool>& quit) {
    while (!quit.load()) {
        std::unique_ptr<wrk::UserFile> file;
        if (!NT_SUCCESS(wrk::UserFile::Open(kDosLinkName, file))) continue;
        ULONG count = 0;
        uint8_t buffer[64];
        file->Write(kAclPacket, sizeof kAclPacket, &count);
        file->Read(buffer, sizeof buffer, &count);
        file->Close();
    }
}

class StopRaceTest : public ::testing::TestWithParam<Teardown> {
protected:
    static constexpr int kRounds = 10;
    static constexpr int kFreeRunners = 3;

    void RunRound();
};

void StopRaceTest::RunRound() {
    LinkedDevice device;
    ASSERT_TRUE(device.Start());
    PDEVICE_OBJECT pdo = device.pdo;

    // The test's own handle keeps a surprise-removed device until the end of the round.
    std::unique_ptr<wrk::UserFile> own;
    ASSERT_EQ(wrk::UserFile::Open(kDosLinkName, own), STATUS_SUCCESS);

    std::atomic<bool> quit{false};
    std::vector<std::thread> runners;
    for (int i = 0; i < kFreeRunners; i++) runners.emplace_back(FreeRunner, std::cref(quit));

    const std::vector<Request> requests = OneOfEachKind();
    std::vector<NTSTATUS> outcomes(requests.size(), STATUS_PENDING);
    std::vector<std::unique_ptr<wrk::UserFile>> files(requests.size());
    for (size_t kind = 0; kind < requests.size(); kind++)
        if (NeedsHandle(kind)) ASSERT_EQ(wrk::UserFile::Open(kDosLinkName, files[kind]), STATUS_SUCCESS);

    gGate.Arm();
    std::vector<std::thread> held;
    for (size_t kind = 0; kind < requests.size(); kind++)
        held.emplace_back([&, kind] {
            tHeldAtTheLock = true;
            outcomes[kind] = requests[kind](files[kind]);
        });
    gGate.WaitUntilHolding(int(requests.size()));

    if (GetParam() == Teardown::Stop)
        ASSERT_EQ(wrk::PnpRequestStop(pdo), STATUS_SUCCESS);
    else
        ASSERT_EQ(wrk::PnpSurpriseRemoval(pdo), STATUS_SUCCESS);
    gGate.Open();
    for (auto& t : held) t.join();
    quit = true;
    for (auto& t : runners) t.join();

    for (size_t kind = 0; kind < requests.size(); kind++)
        EXPECT_EQ(outcomes[kind], STATUS_DEVICE_NOT_CONNECTED) << "request " << kind << " acted on a stopped device";
    EXPECT_EQ(wrk::LiveThreadCount(), 0u) << "receive threads on a stopped device";
    EXPECT_EQ(device.extension->InterruptPipe, nullptr);
    EXPECT_EQ(device.extension->BulkInPipe, nullptr);

    files.clear();
    own->Close();
    if (GetParam() == Teardown::Stop) ASSERT_EQ(wrk::PnpRequestRemoval(pdo), STATUS_SUCCESS);
    ASSERT_EQ(wrk::PnpDeviceState(pdo), wrk::PnpState::Removed);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u) << "receive threads outlive the device";
    const std::vector<std::string> leaks = device.Unload();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
}

TEST_P(StopRaceTest, RequestsBetweenTheirTestAndTheirReferenceAreRefusedAndNothingOutlivesTheDevice) {
    for (int round = 0; round < kRounds && !HasFailure(); round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        RunRound();
    }
}

INSTANTIATE_TEST_SUITE_P(Teardowns, StopRaceTest, ::testing::Values(Teardown::Stop, Teardown::SurpriseRemoval),
                         [](const ::testing::TestParamInfo<Teardown>& info) {
                             return info.param == Teardown::Stop ? "Stop" : "SurpriseRemoval";
                         });

void NTAPI SignalOutcome(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    static_cast<std::promise<NTSTATUS>*>(context)->set_value(status->Status);
}

NTSTATUS RequestDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    std::promise<NTSTATUS> outcome;
    POWER_STATE power;
    power.DeviceState = state;
    const NTSTATUS sent = PoRequestPowerIrp(pdo, IRP_MN_SET_POWER, power, SignalOutcome, &outcome, nullptr);
    if (!NT_SUCCESS(sent)) return sent;
    return outcome.get_future().get();
}

// A power-up caught the same way would restart the receive threads of the
// open handle on a radio that is gone.
TEST(PowerStopRaceTest, PowerUpBetweenItsTestAndItsReferenceIsOnlyPassedDown) {
    LinkedDevice device;
    ASSERT_TRUE(device.Start());
    std::unique_ptr<wrk::UserFile> own;
    ASSERT_EQ(wrk::UserFile::Open(kDosLinkName, own), STATUS_SUCCESS);
    ASSERT_EQ(RequestDevicePower(device.pdo, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_TRUE(wrk::WaitForThreadsToEnd(std::chrono::seconds(10)));

    gGate.Arm();
    NTSTATUS outcome = STATUS_PENDING;
    std::thread powerUp([&] {
        tHeldAtTheLock = true;
        outcome = RequestDevicePower(device.pdo, PowerDeviceD0);
    });
    gGate.WaitUntilHolding(1);
    ASSERT_EQ(wrk::PnpSurpriseRemoval(device.pdo), STATUS_SUCCESS);
    gGate.Open();
    powerUp.join();
    ASSERT_TRUE(wrk::WaitForWorkItems());

    EXPECT_EQ(outcome, STATUS_SUCCESS) << "passed down, not failed";
    EXPECT_EQ(device.extension->DevicePowerState, PowerDeviceD3) << "not acted on";
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    own->Close();
    ASSERT_EQ(wrk::PnpDeviceState(device.pdo), wrk::PnpState::Removed);
    EXPECT_EQ(wrk::LiveThreadCount(), 0u);
    const std::vector<std::string> leaks = device.Unload();
    EXPECT_TRUE(leaks.empty()) << ::testing::PrintToString(leaks);
}

}  // namespace
