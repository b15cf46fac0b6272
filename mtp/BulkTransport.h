#pragma once
// The session's only view of USB: whole bulk transfers in and out.

#include <cstddef>
#include <cstdint>
#include <span>

namespace mtp {

// Implemented by USBTransport (libusb) and by the simulated phone's in-process transport.
// Not thread-safe: the session's owner makes one call at a time.
class BulkTransport {
  public:
    virtual ~BulkTransport() = default;

    // wMaxPacketSize of the bulk endpoints (512 on USB 2.0 high speed).
    virtual int maxPacketSize() const = 0;

    // Sends all bytes as one bulk OUT transfer; empty bytes send a zero-length packet.
    // Throws MTPTransportError on failure or when the time limit passes.
    virtual void write(std::span<const uint8_t> bytes) = 0;

    // One bulk IN transfer into the caller's buffer; returns the bytes received, 0 for a
    // zero-length packet. Throws MTPTransportError on failure or time-out.
    [[nodiscard]] virtual size_t read(std::span<uint8_t> buffer) = 0;

    // Discards whatever the device still has queued on bulk IN. Never throws.
    virtual void drainInput() noexcept = 0;
};

}  // namespace mtp
