// The host stack's packets through the driver's device, as a Windows host stack
// would send them: one write per packet, and reads that never wait, polled.
#pragma once

#include "transport.h"

#include <host/io.h>
#include <host/transfer_watch.h>

#include <memory>

namespace wsim {

class DriverTransport : public Transport {
public:
    // `inTransfers`: the IN transfers the driver submits to its radio's PDO.
    // A receive that finds nothing keeps looking for `spin`, then gives its
    // processor away once, looking again if the driver submitted an IN
    // transfer meanwhile, before it sleeps until the driver submits its next one.
    DriverTransport(wrk::UserFile& file, std::shared_ptr<const usbsim::TransferWatch> inTransfers,
                    std::chrono::microseconds spin = {})
        : file_(file), inTransfers_(std::move(inTransfers)), spin_(spin) {}

    bool Send(const Packet& packet) override;
    std::optional<Packet> Receive(std::chrono::microseconds wait) override;
    bool Closed() const override { return failure_ != STATUS_SUCCESS; }
    // The status that ended the conversation (STATUS_SUCCESS while it goes on).
    NTSTATUS Failure() const { return failure_; }
    // Reads that found no whole packet, a measure of how much polling cost.
    std::uint64_t EmptyReads() const { return emptyReads_; }

private:
    wrk::UserFile& file_;
    std::shared_ptr<const usbsim::TransferWatch> inTransfers_;
    std::chrono::microseconds spin_;
    // Room for any packet the driver's receive rings can hold whole, type
    // byte included, kept between reads as a host stack keeps its buffer.
    static constexpr ULONG kReadRoom = 4096 + 1;
    Packet readBuffer_ = Packet(kReadRoom);
    NTSTATUS failure_ = STATUS_SUCCESS;
    std::uint64_t emptyReads_ = 0;
};

} // namespace wsim
