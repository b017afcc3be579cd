// The host stack's packets through the driver's device, as a Windows host stack
// would send them: one write per packet, and reads that never wait, polled.
#pragma once

#include "transport.h"

#include <host/io.h>

namespace wsim {

class DriverTransport : public Transport {
public:
    explicit DriverTransport(wrk::UserFile& file) : file_(file) {}

    bool Send(const Packet& packet) override;
    std::optional<Packet> Receive(std::chrono::microseconds wait) override;
    bool Closed() const override { return failure_ != STATUS_SUCCESS; }
    // The status that ended the conversation (STATUS_SUCCESS while it goes on).
    NTSTATUS Failure() const { return failure_; }
    // Reads that found no whole packet, a measure of how much polling cost.
    std::uint64_t EmptyReads() const { return emptyReads_; }

private:
    wrk::UserFile& file_;
    NTSTATUS failure_ = STATUS_SUCCESS;
    std::uint64_t emptyReads_ = 0;
};

} // namespace wsim
