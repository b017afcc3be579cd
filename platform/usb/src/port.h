// One plugged-in radio as the bus keeps it: its PDO, its configuration and
// the transfers the bus holds for it.
#pragma once

#include <host/bus.h>
#include <host/transfer_watch.h>
#include <usbdlib.h>

#include "bus_worker.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usbsim {

class Port;

namespace detail {
struct SendTicket {
    std::weak_ptr<Port> port;
    uint64_t id = 0;
    std::atomic<bool> used{false};
};
}  // namespace detail

// An open pipe of the selected configuration.
struct Pipe {
    uint8_t endpoint;
    USBD_PIPE_TYPE type;
    USHORT maximumPacketSize;
    ULONG maximumTransferSize;
};

// A request the bus holds: a send waiting for the radio or an IN transfer
// waiting for data.
struct HeldTransfer {
    enum class Kind { Send, In };
    Kind kind = Kind::Send;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    USBD_PIPE_HANDLE pipe = nullptr;
    uint64_t ticket = 0;
    // Pending with a cancel routine set; until then the dispatch routine
    // still owns the request.
    bool armed = false;
    // Taken from its cancel routine while the radio is asked for data.
    bool claimed = false;
    // A send the radio finished while the dispatch routine was still in it.
    std::optional<USBD_STATUS> early;
};

class Port final : public RadioHost, public std::enable_shared_from_this<Port> {
public:
    Port(Radio &radio, std::shared_ptr<BusWorker> worker, CompletionTiming timing, bool urbsAtDispatch,
         bool powerAtDispatch);

    // The PDO's record in its device extension.
    static Port *FromDevice(PDEVICE_OBJECT device);

    PDEVICE_OBJECT pdo = nullptr;
    std::function<void(PDEVICE_OBJECT)> onGone;  // set by the bus; tells the PnP manager

    NTSTATUS DispatchInternalControl(PIRP irp);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);

    // RadioHost
    void dataReady() override;
    void unplugged() override;

    // The radio finished the send with this ticket.
    void SendFinished(uint64_t ticket, USBD_STATUS status);
    void SendFinishedAfter(uint64_t ticket, LONGLONG delay, USBD_STATUS status);

    // Marks the device gone and fails what it holds; false if it already was.
    bool Unplug();
    // Fails everything still held with this status, in the calling thread.
    void FailAll(USBD_STATUS status);
    void Detach();

    void SetTiming(CompletionTiming timing);
    void SetCapabilities(const DEVICE_CAPABILITIES &capabilities);
    std::vector<UCHAR> PnpMinors() const;
    std::vector<PowerRequest> PowerRequests() const;
    size_t PendingTransfers() const;
    bool Configured() const;
    std::shared_ptr<TransferWatch> InTransfers() const { return inTransfers_; }
    Radio &radio;

private:
    static void CancelTransfer(PDEVICE_OBJECT device, PIRP irp);

    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS ClassRequest(PIRP irp, PURB urb);
    NTSTATUS Transfer(PIRP irp, PURB urb);
    // Hands the bytes to the radio through `deliver` and holds the request
    // until the radio completes it.
    NTSTATUS Send(PIRP irp, PURB urb, USBD_PIPE_HANDLE pipe, const std::function<void(Completion)> &deliver);
    NTSTATUS Receive(PIRP irp, PURB urb, USBD_PIPE_HANDLE pipe, const Pipe &info);
    NTSTATUS PortStatusRequest(PIRP irp);
    NTSTATUS ResetPortRequest(PIRP irp);
    NTSTATUS BusInfoRequest(PIRP irp);
    NTSTATUS ControllerNameRequest(PIRP irp);

    // Finishes a request the bus has its answer for, in IofCallDriver or from
    // the bus thread as the timing says; returns what dispatch returns.
    NTSTATUS Answer(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
    NTSTATUS AnswerUrb(PIRP irp, PURB urb, USBD_STATUS usbd);
    bool AnswerNow();
    // Pends a held transfer, or answers it at once when it ended meanwhile.
    // Called with mutex_ held, which it releases.
    NTSTATUS Arm(std::unique_lock<std::mutex> &lock, std::list<HeldTransfer>::iterator held);
    // With mutex_ held: a transfer joins the held ones, in a list node a
    // finished one left behind, and leaves them again (returns the next one).
    std::list<HeldTransfer>::iterator Hold(const HeldTransfer &transfer);
    std::list<HeldTransfer>::iterator Drop(std::list<HeldTransfer>::iterator held);
    // Fills the URB's bytes and statuses from what the radio gave.
    USBD_STATUS ApplyReceipt(PURB urb, Receipt &receipt);
    // Completes from the bus thread.
    void CompleteLater(PIRP irp, PURB urb, USBD_STATUS usbd);
    void CompleteLater(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status);
    void ServeHeldReceives();
    // Takes every held transfer on these pipes (all, for null) out of the
    // bus's hands; those being cancelled are left to their cancel routine.
    std::vector<HeldTransfer> Extract(const std::function<bool(const HeldTransfer &)> &which);
    std::vector<HeldTransfer> ExtractLocked(const std::function<bool(const HeldTransfer &)> &which);
    void Unconfigure(USBD_STATUS abortStatus);

    std::shared_ptr<BusWorker> worker_;
    bool urbsAtDispatch_;
    bool powerAtDispatch_;

    mutable std::mutex mutex_;
    std::mutex serve_;  // one IN service at a time keeps the radio's bytes in order
    std::vector<USBD_PIPE_HANDLE> idlePipes_;  // under serve_: pipes the radio has nothing for now
    CompletionTiming timing_;
    unsigned answers_ = 0;
    bool gone_ = false;
    bool detached_ = false;
    std::map<USBD_PIPE_HANDLE, Pipe> pipes_;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    std::list<HeldTransfer> held_;
    std::list<HeldTransfer> spareHeld_;  // nodes of finished transfers, for the next ones
    uint64_t nextTicket_ = 1;
    DEVICE_CAPABILITIES capabilities_;
    std::vector<UCHAR> pnpMinors_;
    std::vector<PowerRequest> powerRequests_;
    const std::shared_ptr<TransferWatch> inTransfers_ = std::make_shared<TransferWatch>();
};

// Windows' mapping of a URB's failure to the request's status.
NTSTATUS NtStatusForUsbd(USBD_STATUS status);

// Opaque handles that are never reused, so a stale one is always recognised.
PVOID NewHandle();

}  // namespace usbsim
