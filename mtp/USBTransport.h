#pragma once
// The phone's MTP interface over libusb: whole bulk transfers with time limits, a drain of stale
// input, and one interrupt read kept outstanding so that the phone's event queue never fills.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "mtp/BulkTransport.h"
#include "mtp/USBDeviceRecord.h"
#include "mtp/USBDiscovery.h"

struct libusb_context;
struct libusb_device_handle;

namespace mtp {

// Time limits of the transfers. The defaults are the product's; tests shorten them.
struct USBTransportLimits {
    std::chrono::milliseconds read{60'000};
    // A write may take writeBase plus writePerMillionBytes for each 1,000,000 bytes it carries.
    std::chrono::milliseconds writeBase{5'000};
    std::chrono::milliseconds writePerMillionBytes{1'000};
    std::chrono::milliseconds drainRead{100};
    // The first drain read when the transport opens. A phone with stale input sends its first
    // packet at once, and a quiet one sends nothing: the whole drainRead limit would be waited
    // at every open for nothing.
    std::chrono::milliseconds openDrainFirstRead{20};
    // Pause before the event read is queued again after a failed one.
    std::chrono::milliseconds eventRetry{100};
    bool operator==(const USBTransportLimits&) const = default;
};

// What the transport has done since it opened, for tests and benchmarks.
struct USBTransportCounters {
    uint64_t bulkInTransfers = 0;   // read() calls that reached libusb (drain reads not counted)
    uint64_t bulkOutTransfers = 0;  // libusb bulk OUT transfers (a write above 1 GiB is several)
    uint64_t bytesIn = 0;           // received by read()
    uint64_t bytesOut = 0;
    uint64_t drainReads = 0;
    uint64_t bulkHaltClears = 0;   // on bulk IN, after a failed drain read
    uint64_t eventTransfers = 0;   // interrupt IN transfers submitted
    uint64_t eventCompleted = 0;   // ... and completed successfully
    uint64_t eventHaltClears = 0;  // on the interrupt endpoint, after a failed event transfer
    bool operator==(const USBTransportCounters&) const = default;
};

// Owns one phone's claimed MTP interface from create() to destruction; destroying it cancels
// the event read, joins the event thread, releases the interface and closes the device.
// The BulkTransport calls are made by one thread at a time (the session's owner); counters()
// and eventLoopRunning() may be called from any thread. The event read is served by a thread
// of the transport ("mtp-usb-events") that runs libusb's event handling and holds no reference
// to the transport itself.
class USBTransport final : public BulkTransport {
  public:
    static constexpr size_t defaultReceiveBufferSize = 1 << 20;
    static constexpr size_t eventBufferSize = 64;

    // Opens the record's MTP interface: finds it through discovery (its sysfs), opens the device by
    // bus number and address, claims the interface, walks its endpoints, drains stale input and
    // starts the event loop when the interface has an interrupt IN endpoint.
    // Throws MTPTransportError: "device <id> has no MTP interface" (noDevice: not MTP, or no
    // longer attached), "cannot open device <id>: <libusb error>" (by the libusb code), "busy"
    // (busy: the claim failed, another process or a kernel driver holds the interface), "MTP
    // interface lacks bulk endpoints" (unsupported).
    static std::unique_ptr<USBTransport> create(const USBDeviceRecord& record,
                                                USBTransportLimits limits = {},
                                                const USBDiscovery& discovery = USBDiscovery());

    ~USBTransport() override;
    USBTransport(const USBTransport&) = delete;
    USBTransport& operator=(const USBTransport&) = delete;

    // wMaxPacketSize (the full 16-bit field) of the last bulk endpoint in descriptor order.
    int maxPacketSize() const override { return maxPacketSize_; }

    // One bulk OUT transfer of all bytes (a zero-length packet when empty), within
    // writeBase + writePerMillionBytes per 1,000,000 bytes. Above 1 GiB (libusb takes less than
    // 2 GiB at once) the bytes go out as several submissions of whole packets, which the phone
    // sees as one transfer.
    // Throws MTPTransportError ("bulk write failed: LIBUSB_ERROR_..." with the kind of the
    // libusb code: noDevice, timeout, stall, io; or "bulk write incomplete: ..." (io) when the
    // phone took only part of the bytes).
    void write(std::span<const uint8_t> bytes) override;

    // One bulk IN transfer of at most buffer.size() bytes straight into the buffer, within the
    // read limit; returns the bytes received (0 for a zero-length packet). A buffer of another
    // size than the receive buffer re-creates the receive buffer (used by drainInput) at that
    // size first. Throws MTPTransportError "bulk read failed: LIBUSB_ERROR_..." with the kind
    // of the libusb code (LIBUSB_ERROR_TIMEOUT is timeout, LIBUSB_ERROR_PIPE stall).
    size_t read(std::span<uint8_t> buffer) override;

    // Up to 16 reads of the receive buffer's size at the drainRead limit each; stops at the
    // first read of 0 bytes, or at the first failing one after clearing the halt of bulk IN. A
    // read that timed out after receiving bytes met a phone still sending: the drain goes on.
    void drainInput() noexcept override;

    USBTransportCounters counters() const;
    // True while an event read is outstanding or about to be queued again; false for good once
    // the device is gone or the read was cancelled, and always false without an interrupt
    // endpoint.
    bool eventLoopRunning() const;
    bool hasEventPipe() const { return eventAddress_ != 0; }
    uint8_t bulkInAddress() const { return bulkIn_; }
    uint8_t bulkOutAddress() const { return bulkOut_; }
    uint8_t eventAddress() const { return eventAddress_; }
    uint8_t interfaceNumber() const { return interfaceNumber_; }
    size_t receiveBufferSize() const { return inData_.size(); }
    const USBTransportLimits& limits() const { return limits_; }

  private:
    class EventPipe;
    struct Counters {
        std::atomic<uint64_t> bulkInTransfers{0}, bulkOutTransfers{0}, bytesIn{0}, bytesOut{0},
            drainReads{0}, bulkHaltClears{0}, eventTransfers{0}, eventCompleted{0},
            eventHaltClears{0};
    };

    USBTransport(std::string id, USBTransportLimits limits);
    void open(uint8_t busNumber, uint8_t address, uint8_t interfaceNumber);
    void close() noexcept;
    void drain(std::chrono::milliseconds firstReadLimit) noexcept;
    void transferOut(std::span<const uint8_t> bytes);

    std::string id_;
    USBTransportLimits limits_;
    int maxPacketSize_ = 0;
    libusb_context* context_ = nullptr;
    libusb_device_handle* device_ = nullptr;
    bool claimed_ = false;
    uint8_t interfaceNumber_ = 0;
    uint8_t bulkIn_ = 0;
    uint8_t bulkOut_ = 0;
    uint8_t eventAddress_ = 0;
    std::vector<uint8_t> inData_;
    Counters counters_;
    std::unique_ptr<EventPipe> events_;  // declared last: stopped first
};

}  // namespace mtp
