// The bus driver object, its PDOs and the host-side handle on them.
#include <host/bus.h>
#include <host/io.h>

#include "port.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace usbsim {

namespace {

std::u16string Widen(const char *text) {
    std::u16string out;
    while (*text) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text++)));
    return out;
}

NTSTATUS BusInternalControl(PDEVICE_OBJECT device, PIRP irp) {
    return Port::FromDevice(device)->DispatchInternalControl(irp);
}

NTSTATUS BusPnp(PDEVICE_OBJECT device, PIRP irp) {
    return Port::FromDevice(device)->DispatchPnp(irp);
}

NTSTATUS BusPower(PDEVICE_OBJECT device, PIRP irp) {
    return Port::FromDevice(device)->DispatchPower(irp);
}

// WMI requests a PDO does not serve go back as they came.
NTSTATUS BusSystemControl(PDEVICE_OBJECT, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// PDO names stay unique over every bus of the process, as on one machine.
std::atomic<unsigned> pdoCount{0};
std::atomic<unsigned> busCount{0};

}  // namespace

struct Bus::State {
    BusOptions options;
    std::shared_ptr<BusWorker> worker = std::make_shared<BusWorker>();
    PDRIVER_OBJECT driver = nullptr;
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<Port>> ports;
    std::function<void(PDEVICE_OBJECT)> unplugHandler;

    Port &Find(PDEVICE_OBJECT pdo) const {
        std::lock_guard lock(mutex);
        for (const auto &port : ports)
            if (port->pdo == pdo) return *port;
        throw std::invalid_argument("not a PDO of this bus");
    }

    void TellGone(PDEVICE_OBJECT pdo) {
        std::function<void(PDEVICE_OBJECT)> handler;
        {
            std::lock_guard lock(mutex);
            handler = unplugHandler;
        }
        if (handler) handler(pdo);
    }
};

Bus::Bus(BusOptions options) : state_(std::make_shared<State>()) {
    state_->options = options;
    state_->driver = wrk::CreateDriverObject(u"\\Driver\\usbsim" + Widen(std::to_string(busCount++).c_str()));
    PDRIVER_OBJECT driver = state_->driver;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalControl;
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
}

Bus::~Bus() {
    std::vector<std::shared_ptr<Port>> ports;
    {
        std::lock_guard lock(state_->mutex);
        ports = state_->ports;
        state_->unplugHandler = nullptr;
    }
    for (const auto &port : ports) port->FailAll(USBD_STATUS_DEVICE_GONE);
    state_->worker->Stop();
    for (const auto &port : ports) {
        port->Detach();
        IoDeleteDevice(port->pdo);
    }
    wrk::DeleteDriverObject(state_->driver);
}

PDRIVER_OBJECT Bus::DriverObject() const {
    return state_->driver;
}

PDEVICE_OBJECT Bus::Plug(Radio &radio) {
    const BusOptions &options = state_->options;
    auto port = std::make_shared<Port>(radio, state_->worker, options.timing, options.completeUrbsAtDispatch,
                                       options.completePowerAtDispatch);
    const unsigned number = pdoCount++;
    std::u16string name = u"\\Device\\USBPDO-" + Widen(std::to_string(number).c_str());
    UNICODE_STRING deviceName;
    deviceName.Buffer = name.data();
    deviceName.Length = deviceName.MaximumLength = static_cast<USHORT>(name.size() * sizeof(char16_t));
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS status = IoCreateDevice(state_->driver, sizeof(Port *), &deviceName, FILE_DEVICE_UNKNOWN, 0,
                                           FALSE, &pdo);
    if (!NT_SUCCESS(status)) throw std::runtime_error("the bus cannot create a PDO");
    *static_cast<Port **>(pdo->DeviceExtension) = port.get();
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    port->pdo = pdo;
    port->onGone = [weak = std::weak_ptr<State>(state_)](PDEVICE_OBJECT gone) {
        if (auto state = weak.lock()) state->TellGone(gone);
    };
    {
        std::lock_guard lock(state_->mutex);
        state_->ports.push_back(port);
    }
    wrk::SetDeviceInstancePath(pdo, InstancePath(pdo));
    radio.attach(port.get());
    if (wrk::InterruptLine* line = radio.interruptLine()) wrk::ConnectInterruptLine(line);
    return pdo;
}

void Bus::Unplug(PDEVICE_OBJECT pdo) {
    if (state_->Find(pdo).Unplug()) state_->TellGone(pdo);
}

void Bus::SetUnplugHandler(std::function<void(PDEVICE_OBJECT)> handler) {
    std::lock_guard lock(state_->mutex);
    state_->unplugHandler = std::move(handler);
}

void Bus::SetTiming(CompletionTiming timing) {
    std::lock_guard lock(state_->mutex);
    state_->options.timing = timing;
    for (const auto &port : state_->ports) port->SetTiming(timing);
}

void Bus::SetCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES &capabilities) {
    state_->Find(pdo).SetCapabilities(capabilities);
}

DEVICE_CAPABILITIES Bus::DefaultCapabilities() {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Removable = 1;
    capabilities.UniqueID = 0;
    capabilities.SurpriseRemovalOK = 0;
    capabilities.Address = 1;
    capabilities.UINumber = 0xFFFFFFFF;
    capabilities.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
        capabilities.DeviceState[state] = PowerDeviceD3;
    capabilities.SystemWake = PowerSystemUnspecified;
    capabilities.DeviceWake = PowerDeviceUnspecified;
    return capabilities;
}

std::u16string Bus::HardwareId(PDEVICE_OBJECT pdo) const {
    const Descriptors descriptors = state_->Find(pdo).radio.descriptors();
    const std::vector<uint8_t> &device = descriptors.device;
    const unsigned vendor = device.size() >= 12 ? device[8] | device[9] << 8 : 0;
    const unsigned product = device.size() >= 12 ? device[10] | device[11] << 8 : 0;
    char text[40];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
    return Widen(text);
}

std::u16string Bus::InstancePath(PDEVICE_OBJECT pdo) const {
    // The last part stands for the port, as the hub numbers it.
    unsigned port = 1;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto &each : state_->ports) {
            if (each->pdo == pdo) break;
            ++port;
        }
    }
    return HardwareId(pdo) + u"\\5&1&" + Widen(std::to_string(port).c_str());
}

std::vector<std::u16string> Bus::CompatibleIds(PDEVICE_OBJECT pdo) const {
    const Descriptors descriptors = state_->Find(pdo).radio.descriptors();
    const std::vector<uint8_t> &device = descriptors.device;
    if (device.size() < 7) return {};
    char text[48];
    std::vector<std::u16string> ids;
    std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", device[4], device[5], device[6]);
    ids.push_back(Widen(text));
    std::snprintf(text, sizeof text, "USB\\Class_%02X&SubClass_%02X", device[4], device[5]);
    ids.push_back(Widen(text));
    std::snprintf(text, sizeof text, "USB\\Class_%02X", device[4]);
    ids.push_back(Widen(text));
    return ids;
}

std::vector<UCHAR> Bus::PnpMinors(PDEVICE_OBJECT pdo) const {
    return state_->Find(pdo).PnpMinors();
}

std::vector<PowerRequest> Bus::PowerRequests(PDEVICE_OBJECT pdo) const {
    return state_->Find(pdo).PowerRequests();
}

size_t Bus::PendingTransfers(PDEVICE_OBJECT pdo) const {
    return state_->Find(pdo).PendingTransfers();
}

bool Bus::WaitForBusThreadToSleep(std::chrono::milliseconds realTimeout) const {
    return state_->worker->WaitUntilAsleep(realTimeout);
}

uint64_t Bus::BusThreadWakeUps() const {
    return state_->worker->WakeUps();
}

bool Bus::Configured(PDEVICE_OBJECT pdo) const {
    return state_->Find(pdo).Configured();
}

std::shared_ptr<const TransferWatch> Bus::InTransfers(PDEVICE_OBJECT pdo) const {
    return state_->Find(pdo).InTransfers();
}

}  // namespace usbsim
