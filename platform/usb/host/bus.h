// The simulated USB bus: a bus driver whose PDOs stand for plugged-in radios
// and which serves the internal USB requests a function driver sends them.
#pragma once

#include <host/radio.h>
#include <host/transfer_watch.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usbsim {

// When a request the bus could finish at once is completed.
enum class CompletionTiming {
    Synchronous,  // inside IofCallDriver, which returns the final status
    Deferred,     // marked pending and completed from the bus's thread
    Mixed,        // alternately one and the other, per device, starting synchronous
};

struct BusOptions {
    CompletionTiming timing = CompletionTiming::Mixed;
    // Deferred URBs are completed at DISPATCH_LEVEL, as a host controller's
    // DPC does; false completes them at PASSIVE_LEVEL.
    bool completeUrbsAtDispatch = true;
    // Power requests are completed at DISPATCH_LEVEL, as some bus drivers do.
    bool completePowerAtDispatch = false;
};

// One power request as it reached a PDO.
struct PowerRequest {
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};

class Bus {
public:
    explicit Bus(BusOptions options = {});
    // Fails what is still pending, detaches the radios and deletes the PDOs
    // and the bus driver object.
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    PDRIVER_OBJECT DriverObject() const;

    // Plugs a radio into a port of its own and returns its PDO, which the bus
    // owns until it is destroyed. The radio must outlive the bus.
    PDEVICE_OBJECT Plug(Radio &radio);
    // Surprise removal: pending and later transfers fail as from a device that
    // is gone, then the unplug handler is told.
    void Unplug(PDEVICE_OBJECT pdo);
    // Who is told that a device left (the PnP manager); called in the thread
    // that unplugged it, or in a thread of the bus's when the radio reported it.
    void SetUnplugHandler(std::function<void(PDEVICE_OBJECT)> handler);

    void SetTiming(CompletionTiming timing);
    void SetCapabilities(PDEVICE_OBJECT pdo, const DEVICE_CAPABILITIES &capabilities);
    // The capabilities a PDO reports unless told otherwise: removable, D0 when
    // working and D3 in every sleeping state, no wake.
    static DEVICE_CAPABILITIES DefaultCapabilities();

    // The hardware identifier and device instance path of a PDO, made from
    // its device descriptor ("USB\VID_0A12&PID_0001", "USB\VID_0A12&PID_0001\5&1&1").
    std::u16string HardwareId(PDEVICE_OBJECT pdo) const;
    std::u16string InstancePath(PDEVICE_OBJECT pdo) const;
    std::vector<std::u16string> CompatibleIds(PDEVICE_OBJECT pdo) const;

    // What reached a PDO so far, in order.
    std::vector<UCHAR> PnpMinors(PDEVICE_OBJECT pdo) const;
    std::vector<PowerRequest> PowerRequests(PDEVICE_OBJECT pdo) const;
    // Transfers the bus holds for a PDO (pending sends and IN transfers).
    size_t PendingTransfers(PDEVICE_OBJECT pdo) const;
    bool Configured(PDEVICE_OBJECT pdo) const;
    // The IN transfers the driver above a PDO submits, for a host polling its reads.
    std::shared_ptr<const TransferWatch> InTransfers(PDEVICE_OBJECT pdo) const;
    // Waits (real time) until the bus's own thread sleeps in its wait for work.
    bool WaitForBusThreadToSleep(std::chrono::milliseconds realTimeout) const;
    // How often work posted to the bus's thread woke it: each is a hand-over
    // to that thread and back.
    uint64_t BusThreadWakeUps() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace usbsim
