#include "driver_harness.h"

#include <chrono>
#include <thread>

namespace lifecycle_test {

size_t DriverPoolBlocks() {
    auto byTag = wrk::PoolOutstandingByTag();
    auto found = byTag.find(WRENLOK_POOL_TAG);
    return found == byTag.end() ? 0 : found->second;
}

DriverHarness::DriverHarness(usbsim::BusOptions options, bool diagnostics) : bus(options) {
    if (!diagnostics) {
        wrk::RegistryCreateKey(wrk::kDefaultServiceKey);
        wrk::RegistrySetDword(wrk::kDefaultServiceKey, u"DebugLevel", 0);
    }
    image = wrk::DriverImage::Load(WRENLOK_IMAGE);
    pdo = bus.Plug(radio);
}

DriverHarness::~DriverHarness() {
    if (image != nullptr && image->Loaded()) RemoveAndUnload();
}

NTSTATUS DriverHarness::Add() {
    return wrk::PnpAddDevice(image->Object(), pdo);
}

NTSTATUS DriverHarness::AddAndStart() {
    const NTSTATUS status = Add();
    return NT_SUCCESS(status) ? wrk::PnpStart(pdo) : status;
}

PDEVICE_OBJECT DriverHarness::Fdo() const {
    return wrk::LookupDevice(kDeviceName);
}

PDEVICE_EXTENSION DriverHarness::Extension() const {
    PDEVICE_OBJECT fdo = Fdo();
    return fdo == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
}

NTSTATUS DriverHarness::Open(std::unique_ptr<wrk::UserFile>& file) {
    return wrk::UserFile::Open(kDosLinkName, file);
}

std::vector<std::string> DriverHarness::RemoveAndUnload() {
    wrk::PoolClearFaults();
    wrk::ClearThreadFaults();
    switch (wrk::PnpDeviceState(pdo)) {
    case wrk::PnpState::NotAdded:
    case wrk::PnpState::Removed:
    case wrk::PnpState::SurpriseRemoved:  // the remove follows the last close
        break;
    case wrk::PnpState::StopPending:
        wrk::PnpCancelStop(pdo);
        wrk::PnpRequestRemoval(pdo);
        break;
    case wrk::PnpState::RemovePending:
        wrk::PnpRemove(pdo);
        break;
    default:
        // A removal refused for open handles leaves only a surprise removal.
        if (!NT_SUCCESS(wrk::PnpRequestRemoval(pdo))) wrk::PnpSurpriseRemoval(pdo);
        break;
    }
    // The power manager frees a device power request after its callback has
    // returned, in the thread that completed it: let those finish first.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (wrk::LiveIrpCount() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    std::vector<std::string> leaks = image->UnloadReportingLeaks();
    if (wrk::LiveIrpCount() != 0) leaks.push_back("IRPs alive after unload: " + std::to_string(wrk::LiveIrpCount()));
    if (wrk::LiveWorkItemCount() != 0) leaks.push_back("work items alive after unload");
    return leaks;
}

std::vector<uint8_t> ReadPacket(wrk::UserFile& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<uint8_t> buffer(2048);
    for (;;) {
        ULONG got = 0;
        if (!NT_SUCCESS(file.Read(buffer.data(), ULONG(buffer.size()), &got))) return {};
        if (got != 0) {
            buffer.resize(got);
            return buffer;
        }
        if (std::chrono::steady_clock::now() > deadline) return {};
        std::this_thread::yield();
    }
}

bool ExchangeTraffic(DriverHarness& harness, wrk::UserFile& file) {
    const size_t commandsBefore = harness.radio.Commands().size();
    const size_t aclBefore = harness.radio.AclReceived().size();

    const uint8_t reset[] = {HCI_COMMAND_PACKET, 0x03, 0x0C, 0x00};
    ULONG written = 0;
    if (!NT_SUCCESS(file.Write(reset, sizeof(reset), &written)) || written != sizeof(reset)) return false;
    if (!harness.radio.WaitForCommands(commandsBefore + 1)) return false;

    const std::vector<uint8_t> complete = {0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
    harness.radio.QueueEvent(complete);
    std::vector<uint8_t> expected = {HCI_EVENT_PACKET};
    expected.insert(expected.end(), complete.begin(), complete.end());
    if (ReadPacket(file) != expected) return false;

    const uint8_t acl[] = {HCI_ACL_PACKET, 0x01, 0x20, 0x03, 0x00, 0xAA, 0xBB, 0xCC};
    if (!NT_SUCCESS(file.Write(acl, sizeof(acl), &written)) || written != sizeof(acl)) return false;
    return harness.radio.WaitForAcl(aclBefore + 1);
}

}  // namespace lifecycle_test
