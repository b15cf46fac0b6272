#pragma once
// The session's BulkTransport over a SimulatedPhone in the same process: the fast way for unit
// tests and benchmarks to reach the phone. Honours the phone's link model by sleeping.

#include <chrono>

#include "mtp/BulkTransport.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim {

class SimulatedTransport : public mtp::BulkTransport {
  public:
    // The phone must outlive the transport. readTimeout: how long a read may stay pending
    // before it fails, as the USB transport's bulk read limit (60 s); tests shorten it.
    explicit SimulatedTransport(SimulatedPhone& phone,
                                std::chrono::milliseconds readTimeout = std::chrono::seconds(60));

    int maxPacketSize() const override;
    // Throws mtp::MTPTransportError when the phone stalls the transfer or is unplugged.
    void write(std::span<const uint8_t> bytes) override;
    // Throws mtp::MTPTransportError on a stall, an unplugged phone, or after readTimeout with
    // nothing to read.
    size_t read(std::span<uint8_t> buffer) override;
    // Up to 16 reads of at most 0.1 s each; stops at the first zero-length or failing read.
    void drainInput() noexcept override;

    SimulatedPhone& phone() { return phone_; }

  private:
    // One bulk IN transfer that waits at most timeout (status pending when it ran out).
    InTransfer readOnce(std::span<uint8_t> buffer, std::chrono::milliseconds timeout);

    SimulatedPhone& phone_;
    std::chrono::milliseconds readTimeout_;
};

}  // namespace phonesim
