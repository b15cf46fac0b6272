#include "mtp/USBTransport.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "mtp/MTPError.h"
#include "mtp/ThreadSafety.h"
#include "mtp/USBDiscovery.h"

namespace mtp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int drainReadCount = 16;
// One libusb transfer carries at most INT_MAX bytes; longer writes go out in pieces of this
// size rounded down to whole packets, which the phone sees as one transfer.
constexpr size_t largestOutPiece = size_t{1} << 30;
// How long destruction waits for the cancelled event read to come back. libusb always completes
// a cancelled transfer; this only guards against a broken device node.
constexpr auto cancelWait = std::chrono::seconds(5);

unsigned int timeoutMs(std::chrono::milliseconds limit) {
    // 0 means "no limit" to libusb.
    return static_cast<unsigned int>(std::clamp<long long>(limit.count(), 1, UINT_MAX));
}

std::string errorName(int code) {
    return libusb_error_name(code);
}

TransportErrorKind kindOf(int libusbCode) {
    switch (libusbCode) {
        case LIBUSB_ERROR_NO_DEVICE:
            return TransportErrorKind::noDevice;
        case LIBUSB_ERROR_BUSY:
            return TransportErrorKind::busy;
        case LIBUSB_ERROR_TIMEOUT:
            return TransportErrorKind::timeout;
        case LIBUSB_ERROR_PIPE:
            return TransportErrorKind::stall;
        default:
            return TransportErrorKind::io;
    }
}

// "<what>: LIBUSB_ERROR_..." with the kind and the code beside the text.
MTPTransportError usbError(const std::string& what, int libusbCode) {
    return MTPTransportError(what + ": " + errorName(libusbCode), kindOf(libusbCode), libusbCode);
}

MTPTransportError noMTPInterface(const std::string& id) {
    return MTPTransportError("device " + id + " has no MTP interface",
                             TransportErrorKind::noDevice);
}

// Frees a libusb device list however the lookup ends.
struct DeviceList {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* context) {
        count = libusb_get_device_list(context, &devices);
        if (count < 0) count = 0;
    }
    ~DeviceList() {
        if (devices) libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

struct ConfigDescriptor {
    libusb_config_descriptor* config = nullptr;
    ~ConfigDescriptor() {
        if (config) libusb_free_config_descriptor(config);
    }
};

}  // namespace

// The interrupt IN read kept outstanding, and the thread that runs libusb's event handling for
// it. The completion callback reaches only this object, never the transport; the transport
// destroys it first, and its destructor cancels the read, waits for the callback to report the
// cancellation and joins the thread, so no callback can outlive it.
class USBTransport::EventPipe {
  public:
    EventPipe(libusb_context* context, libusb_device_handle* device, uint8_t address,
              std::chrono::milliseconds retryDelay, Counters& counters)
        : context_(context),
          device_(device),
          address_(address),
          retryDelay_(retryDelay),
          counters_(counters),
          transfer_(libusb_alloc_transfer(0)),
          buffer_(std::make_unique<uint8_t[]>(eventBufferSize)) {
        if (!transfer_) {
            throw MTPTransportError("cannot allocate the event transfer", TransportErrorKind::io,
                                    LIBUSB_ERROR_NO_MEM);
        }
        libusb_fill_interrupt_transfer(transfer_, device_, address_, buffer_.get(),
                                       static_cast<int>(eventBufferSize), &EventPipe::completed,
                                       this, 0);
    }

    EventPipe(const EventPipe&) = delete;
    EventPipe& operator=(const EventPipe&) = delete;

    // Queues the first read and starts the thread. A read that cannot be queued ends the loop
    // quietly (the transport still works; only events are not drained).
    void start() EXCLUDES(mutex_) {
        mtp::MutexLocker lock(mutex_);
        if (!submitLocked()) return;
        thread_ = std::thread([this] { run(); });
    }

    ~EventPipe() {
        mtp::MutexLocker lock(mutex_);
        stopping_ = true;
        idle_.notify_all();  // the thread may be waiting for this after the loop ended
        if (inFlight_) libusb_cancel_transfer(transfer_);
        const auto deadline = Clock::now() + cancelWait;
        while (inFlight_ && idle_.wait_until(lock, deadline) == std::cv_status::no_timeout) {
        }
        const bool returned = !inFlight_;
        abandoned_ = !returned;
        lock.unlock();
        libusb_interrupt_event_handler(context_);
        if (thread_.joinable()) thread_.join();
        if (returned) {
            libusb_free_transfer(transfer_);
        } else {
            // libusb still owns the transfer: leak it and its buffer rather than let a late
            // completion write into freed memory.
            (void)buffer_.release();
        }
    }

    bool running() const EXCLUDES(mutex_) {
        mtp::MutexLocker lock(mutex_);
        return !ended_ && !stopping_;
    }

  private:
    static void LIBUSB_CALL completed(libusb_transfer* transfer) {
        static_cast<EventPipe*>(transfer->user_data)->handleCompletion(transfer->status);
    }

    // Runs on whichever thread is handling libusb events: the event thread, or the session's
    // thread inside a synchronous bulk transfer. Never blocks.
    void handleCompletion(libusb_transfer_status status) EXCLUDES(mutex_) {
        mtp::MutexLocker lock(mutex_);
        inFlight_ = false;
        switch (status) {
            case LIBUSB_TRANSFER_COMPLETED:
                // Events are not decoded; reading them only keeps the phone's queue moving.
                counters_.eventCompleted++;
                if (!stopping_) submitLocked();
                break;
            case LIBUSB_TRANSFER_NO_DEVICE:
            case LIBUSB_TRANSFER_CANCELLED:
                // The device or the pipe is gone: the loop ends for good.
                ended_ = true;
                break;
            default:
                // A stall, an error or a time-out: clear the halt and queue again a little
                // later, from the event thread.
                if (!stopping_) {
                    clearHalt_ = true;
                    retryAt_ = Clock::now() + retryDelay_;
                    libusb_interrupt_event_handler(context_);
                }
                break;
        }
        idle_.notify_all();
    }

    bool submitLocked() REQUIRES(mutex_) {
        int result = libusb_submit_transfer(transfer_);
        if (result != LIBUSB_SUCCESS) {
            ended_ = true;
            return false;
        }
        inFlight_ = true;
        counters_.eventTransfers++;
        return true;
    }

    void run() EXCLUDES(mutex_) {
        pthread_setname_np(pthread_self(), "mtp-usb-events");  // for top -H and benchmarks
        mtp::MutexLocker lock(mutex_);
        while (true) {
            if ((stopping_ && !inFlight_) || abandoned_) return;
            if (ended_ && !inFlight_) {
                // Nothing left to handle; the session's own transfers handle their events.
                while (!stopping_) idle_.wait(lock);
                return;
            }
            if (clearHalt_) {
                clearHalt_ = false;
                libusb_clear_halt(device_, address_);  // a failure shows in the next read
                counters_.eventHaltClears++;
            }
            timeval wait{60, 0};
            if (retryAt_) {
                auto now = Clock::now();
                if (now >= *retryAt_) {
                    retryAt_.reset();
                    if (!stopping_) submitLocked();
                    continue;
                }
                auto left = std::chrono::duration_cast<std::chrono::microseconds>(*retryAt_ - now);
                wait = {static_cast<time_t>(left.count() / 1'000'000),
                        static_cast<suseconds_t>(left.count() % 1'000'000)};
            }
            lock.unlock();
            int result = libusb_handle_events_timeout_completed(context_, &wait, nullptr);
            if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED) {
                // Whatever went wrong, do not spin on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            lock.lock();
        }
    }

    libusb_context* context_;
    libusb_device_handle* device_;
    uint8_t address_;
    std::chrono::milliseconds retryDelay_;
    Counters& counters_;
    libusb_transfer* transfer_;
    std::unique_ptr<uint8_t[]> buffer_;

    mutable mtp::Mutex mutex_;
    std::condition_variable_any idle_;
    bool inFlight_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool ended_ GUARDED_BY(mutex_) = false;
    bool clearHalt_ GUARDED_BY(mutex_) = false;
    bool abandoned_ GUARDED_BY(mutex_) = false;
    std::optional<Clock::time_point> retryAt_ GUARDED_BY(mutex_);
    std::thread thread_;
};

USBTransport::USBTransport(std::string id, USBTransportLimits limits)
    : id_(std::move(id)), limits_(limits) {}

std::unique_ptr<USBTransport> USBTransport::create(const USBDeviceRecord& record,
                                                   USBTransportLimits limits,
                                                   const USBDiscovery& discovery) {
    auto service = discovery.mtpInterfaceService(record);
    if (!service) throw noMTPInterface(record.id);
    std::unique_ptr<USBTransport> transport(new USBTransport(record.id, limits));
    transport->open(service->busNumber, service->deviceAddress, service->info.number);
    return transport;
}

void USBTransport::open(uint8_t busNumber, uint8_t address, uint8_t interfaceNumber) {
    interfaceNumber_ = interfaceNumber;
    // One libusb context per transport: its event thread serves this device alone, and
    // destroying the transport leaves no libusb state behind in the process.
    int result = libusb_init(&context_);
    if (result != LIBUSB_SUCCESS) {
        context_ = nullptr;
        throw usbError("cannot start libusb", result);
    }
    try {
        libusb_device* device = nullptr;
        {
            DeviceList list(context_);
            for (ssize_t i = 0; i < list.count; ++i) {
                if (libusb_get_bus_number(list.devices[i]) == busNumber &&
                    libusb_get_device_address(list.devices[i]) == address) {
                    device = list.devices[i];
                    break;
                }
            }
            if (!device) throw noMTPInterface(id_);
            result = libusb_open(device, &device_);
            if (result != LIBUSB_SUCCESS) {
                device_ = nullptr;
                throw usbError("cannot open device " + id_, result);
            }
        }

        // No kernel driver is detached: Linux binds none to MTP interfaces, so a holder is
        // another program (its usbfs claim), and taking the phone from it is not ours to do.
        // Whatever the claim's failure, the user's remedy is the same: the system error is
        // kept beside the text only.
        if (int claim = libusb_claim_interface(device_, interfaceNumber_); claim != 0) {
            throw MTPTransportError("busy", TransportErrorKind::busy, claim);
        }
        claimed_ = true;

        ConfigDescriptor config;
        result = libusb_get_active_config_descriptor(libusb_get_device(device_), &config.config);
        if (result != LIBUSB_SUCCESS) {
            throw usbError("cannot read the configuration of device " + id_, result);
        }
        const libusb_interface_descriptor* interface = nullptr;
        for (int i = 0; i < config.config->bNumInterfaces && !interface; ++i) {
            const libusb_interface& candidate = config.config->interface[i];
            if (candidate.num_altsetting > 0 &&
                candidate.altsetting[0].bInterfaceNumber == interfaceNumber_) {
                interface = &candidate.altsetting[0];
            }
        }
        if (!interface) throw noMTPInterface(id_);
        for (int i = 0; i < interface->bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor& endpoint = interface->endpoint[i];
            auto type = endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
            bool in = (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
            if (type == LIBUSB_TRANSFER_TYPE_BULK) {
                (in ? bulkIn_ : bulkOut_) = endpoint.bEndpointAddress;
                maxPacketSize_ = endpoint.wMaxPacketSize;
            } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in) {
                eventAddress_ = endpoint.bEndpointAddress;
            }
        }
        if (!bulkIn_ || !bulkOut_) {
            throw MTPTransportError("MTP interface lacks bulk endpoints",
                                    TransportErrorKind::unsupported);
        }

        inData_.assign(defaultReceiveBufferSize, 0);
        if (eventAddress_) {
            events_ = std::make_unique<EventPipe>(context_, device_, eventAddress_,
                                                  limits_.eventRetry, counters_);
        }
        drain(limits_.openDrainFirstRead);
        if (events_) events_->start();
    } catch (...) {
        close();
        throw;
    }
}

USBTransport::~USBTransport() {
    close();
}

void USBTransport::close() noexcept {
    events_.reset();
    if (claimed_) libusb_release_interface(device_, interfaceNumber_);
    claimed_ = false;
    if (device_) libusb_close(device_);
    device_ = nullptr;
    if (context_) libusb_exit(context_);
    context_ = nullptr;
}

void USBTransport::write(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        transferOut(bytes);
        return;
    }
    size_t packet = maxPacketSize_ > 0 ? static_cast<size_t>(maxPacketSize_) : 512;
    size_t piece = largestOutPiece / packet * packet;
    while (!bytes.empty()) {
        size_t n = std::min(piece, bytes.size());
        transferOut(bytes.first(n));
        bytes = bytes.subspan(n);
    }
}

void USBTransport::transferOut(std::span<const uint8_t> bytes) {
    double seconds = static_cast<double>(bytes.size()) / 1'000'000.0;
    auto limit = limits_.writeBase + std::chrono::milliseconds(static_cast<long long>(std::ceil(
                                         seconds * limits_.writePerMillionBytes.count())));
    int sent = 0;
    counters_.bulkOutTransfers++;
    // libusb takes a mutable pointer but never writes through it for an OUT transfer.
    int result = libusb_bulk_transfer(device_, bulkOut_, const_cast<uint8_t*>(bytes.data()),
                                      static_cast<int>(bytes.size()), &sent, timeoutMs(limit));
    counters_.bytesOut += static_cast<uint64_t>(std::max(sent, 0));
    if (result != LIBUSB_SUCCESS) throw usbError("bulk write failed", result);
    if (static_cast<size_t>(sent) != bytes.size()) {
        throw MTPTransportError("bulk write incomplete: " + std::to_string(sent) + " of " +
                                    std::to_string(bytes.size()) + " bytes",
                                TransportErrorKind::io);
    }
}

size_t USBTransport::read(std::span<uint8_t> buffer) {
    if (buffer.size() > INT_MAX) {
        throw MTPTransportError("bulk read longer than a transfer can be", TransportErrorKind::io,
                                LIBUSB_ERROR_INVALID_PARAM);
    }
    if (inData_.size() != buffer.size()) inData_.assign(buffer.size(), 0);
    // Straight into the caller's buffer: the kernel copies each transfer once, and a copy out
    // of the receive buffer would cost as much again.
    int received = 0;
    counters_.bulkInTransfers++;
    int result =
        libusb_bulk_transfer(device_, bulkIn_, buffer.data(), static_cast<int>(buffer.size()),
                             &received, timeoutMs(limits_.read));
    if (result != LIBUSB_SUCCESS) throw usbError("bulk read failed", result);
    counters_.bytesIn += static_cast<uint64_t>(received);
    return static_cast<size_t>(received);
}

void USBTransport::drainInput() noexcept {
    drain(limits_.drainRead);
}

void USBTransport::drain(std::chrono::milliseconds firstReadLimit) noexcept {
    for (int i = 0; i < drainReadCount; ++i) {
        int received = 0;
        counters_.drainReads++;
        int result =
            libusb_bulk_transfer(device_, bulkIn_, inData_.data(), static_cast<int>(inData_.size()),
                                 &received, timeoutMs(i == 0 ? firstReadLimit : limits_.drainRead));
        if (result == LIBUSB_ERROR_TIMEOUT && received > 0) continue;
        if (result != LIBUSB_SUCCESS) {
            libusb_clear_halt(device_, bulkIn_);  // ignored: the next transaction will tell
            counters_.bulkHaltClears++;
            return;
        }
        if (received == 0) return;
    }
}

USBTransportCounters USBTransport::counters() const {
    return USBTransportCounters{
        .bulkInTransfers = counters_.bulkInTransfers,
        .bulkOutTransfers = counters_.bulkOutTransfers,
        .bytesIn = counters_.bytesIn,
        .bytesOut = counters_.bytesOut,
        .drainReads = counters_.drainReads,
        .bulkHaltClears = counters_.bulkHaltClears,
        .eventTransfers = counters_.eventTransfers,
        .eventCompleted = counters_.eventCompleted,
        .eventHaltClears = counters_.eventHaltClears,
    };
}

bool USBTransport::eventLoopRunning() const {
    return events_ && events_->running();
}

}  // namespace mtp
