#include "tools/usbbus/UrbEngine.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>

namespace usbbus {

namespace {

using phonesim::TransferStatus;

constexpr size_t kPage = 4096;
constexpr auto kBusyPoll = std::chrono::milliseconds(1);
constexpr auto kEventPoll = std::chrono::milliseconds(10);
constexpr auto kIdlePoll = std::chrono::milliseconds(100);
constexpr auto kClaimGrace = std::chrono::milliseconds(100);

// PTP still-image class requests on the interface.
constexpr uint8_t kCancelRequest = 0x64;
constexpr uint8_t kDeviceResetRequest = 0x66;
constexpr uint8_t kGetDeviceStatusRequest = 0x67;

// Not in every kernel header version.
#ifndef USBDEVFS_CONNINFO_EX
#define USBDEVFS_CONNINFO_EX(len) _IOC(_IOC_READ, 'U', 32, len)
#endif
#ifndef USBDEVFS_GET_SPEED
#define USBDEVFS_GET_SPEED _IO('U', 31)
#endif
#ifndef USBDEVFS_DROP_PRIVILEGES
#define USBDEVFS_DROP_PRIVILEGES _IOW('U', 30, __u32)
#endif
constexpr int kSpeedHigh = 3;  // enum usb_device_speed: USB_SPEED_HIGH

struct DataRef {
    UMockdevIoctlData* data = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* owned) : data(owned) {}
    DataRef(DataRef&& other) noexcept : data(std::exchange(other.data, nullptr)) {}
    DataRef& operator=(DataRef&& other) noexcept {
        std::swap(data, other.data);
        return *this;
    }
    ~DataRef() {
        if (data) g_object_unref(data);
    }
    explicit operator bool() const { return data != nullptr; }
};

// USBBUS_TRACE=1 prints the start of every bulk transfer to stderr, to see what a client sends.
bool tracing() {
    static const bool on = [] {
        const char* value = std::getenv("USBBUS_TRACE");
        return value && *value && std::strcmp(value, "0") != 0;
    }();
    return on;
}

void trace(const char* direction, std::span<const uint8_t> bytes) {
    std::string text;
    for (size_t i = 0; i < std::min<size_t>(bytes.size(), 64); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x ", bytes[i]);
        text += hex;
    }
    std::fprintf(stderr, "usbbus: %s %zu: %s%s\n", direction, bytes.size(), text.c_str(),
                 bytes.size() > 64 ? "..." : "");
}

DataRef resolve(UMockdevIoctlData* parent, size_t offset, size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error) g_error_free(error);
    return DataRef(child);
}

}  // namespace

struct UrbEngine::Urb {
    UMockdevIoctlClient* client = nullptr;       // referenced
    DataRef urb;                                 // the client's struct usbdevfs_urb
    DataRef buffer;                              // its buffer; empty for zero-length transfers
    Clock::time_point submitted = Clock::now();  // when the client's SUBMITURB arrived
    Clock::time_point due{};
    bool zeroPacketSent = false;

    Urb(UMockdevIoctlClient* c, DataRef u) : client(c), urb(std::move(u)) { g_object_ref(client); }
    ~Urb() {
        urb = DataRef();
        buffer = DataRef();
        g_object_unref(client);
    }
    usbdevfs_urb& fields() const { return *reinterpret_cast<usbdevfs_urb*>(urb.data->data); }
    std::span<uint8_t> bytes() const {
        if (!buffer) return {};
        return {buffer.data->data, static_cast<size_t>(fields().buffer_length)};
    }
};

UrbEngine::UrbEngine(DeviceProfile profile, std::shared_ptr<phonesim::SimulatedPhone> phone,
                     BusAddress address, const std::string& testbedRoot)
    : profile_(std::move(profile)),
      layout_(interfaceLayout(profile_)),
      phone_(reachesPhone(profile_.variant) ? std::move(phone) : nullptr),
      address_(std::move(address)),
      nodeFile_(testbedRoot + address_.devNode()),
      interfaceDir_(testbedRoot + address_.interfaceSysPath()),
      handler_(umockdev_ioctl_base_new()) {
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&UrbEngine::onIoctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(&UrbEngine::onVanished), this);
}

UrbEngine::~UrbEngine() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    {
        mtp::MutexLocker lock(mutex_);
        for (auto* queue : {&out_, &in_, &delayed_, &events_, &idle_, &done_}) queue->clear();
        for (UMockdevIoctlClient* client : parkedReaps_) g_object_unref(client);
        parkedReaps_.clear();
        if (owner_) g_object_unref(owner_);
        for (const PendingClaim& pending : pendingClaims_) g_object_unref(pending.client);
    }
    g_object_unref(handler_);
    if (fifo_ >= 0) ::close(fifo_);
}

void UrbEngine::makeNodeFifo() {
    mtp::MutexLocker lock(mutex_);
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(nodeFile_).parent_path(), ignored);
    ::unlink(nodeFile_.c_str());
    if (::mkfifo(nodeFile_.c_str(), 0666) != 0) {
        throw std::runtime_error("mkfifo " + nodeFile_ + ": " + std::strerror(errno));
    }
    fifo_ = ::open(nodeFile_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) throw std::runtime_error("open " + nodeFile_ + ": " + std::strerror(errno));
    static const char page[kPage] = {};
    while (::write(fifo_, page, kPage) == static_cast<ssize_t>(kPage)) {
    }
    fifoReady_ = false;
    updateReadiness();
}

void UrbEngine::removeNode() {
    ::unlink(nodeFile_.c_str());
}

// A full FIFO is not writable: libusb's poll() then sleeps. One page is taken out while a
// completed URB waits, and put back once none does.
void UrbEngine::updateReadiness() {
    if (fifo_ < 0) return;
    const bool ready = !done_.empty();
    char page[kPage] = {};
    if (ready && !fifoReady_) {
        if (::read(fifo_, page, kPage) == static_cast<ssize_t>(kPage)) fifoReady_ = true;
    } else if (!ready && fifoReady_) {
        if (::write(fifo_, page, kPage) == static_cast<ssize_t>(kPage)) fifoReady_ = false;
    }
}

int UrbEngine::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<UrbEngine*>(self)->handleIoctl(client);
    return TRUE;
}

void UrbEngine::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<UrbEngine*>(self)->clientVanished(client);
}

void UrbEngine::handleIoctl(UMockdevIoctlClient* client) {
    mtp::MutexLocker lock(mutex_);
    ++stats_.ioctls;
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Result result;
    if (unplugged_ && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        result = {-1, ENODEV};
    } else {
        result = dispatch(client, request, arg);
    }
    if (!result.deferred) umockdev_ioctl_client_complete(client, result.value, result.error);
    updateReadiness();
    // Events may wait for the next regular poll; transfers and claims may not.
    if (wakeup_ &&
        (!in_.empty() || !out_.empty() || !delayed_.empty() || !pendingClaims_.empty())) {
        wakeup_();
    }
}

void UrbEngine::clientVanished(UMockdevIoctlClient* client) {
    mtp::MutexLocker lock(mutex_);
    dropClient(client);
    updateReadiness();
}

// What the kernel does when a usbfs file is closed: its URBs go, its claim ends.
void UrbEngine::dropClient(UMockdevIoctlClient* client) {
    for (auto* queue : {&out_, &in_, &delayed_, &events_, &idle_, &done_}) {
        std::erase_if(*queue, [client](const UrbPtr& u) { return u->client == client; });
    }
    std::erase_if(parkedReaps_, [client](UMockdevIoctlClient* parked) {
        if (parked != client) return false;
        g_object_unref(parked);
        return true;
    });
    std::erase_if(pendingClaims_, [client](const PendingClaim& pending) {
        if (pending.client != client) return false;
        g_object_unref(pending.client);
        return true;
    });
    if (owner_ == client) {
        g_object_unref(owner_);
        owner_ = nullptr;
        if (!unplugged_) setDriverLink(false);
    }
}

void UrbEngine::retryClaims(Clock::time_point now) {
    std::erase_if(pendingClaims_, [&](const PendingClaim& pending) REQUIRES(mutex_) {
        const int error = unplugged_ ? ENODEV : claim(pending.client, 0);
        if (error == EBUSY && now < pending.deadline) return false;
        umockdev_ioctl_client_complete(pending.client, error ? -1 : 0, error);
        g_object_unref(pending.client);
        return true;
    });
}

// umockdev 0.17 does not signal closed clients; their connection state tells.
void UrbEngine::dropDisconnected() {
    std::vector<UMockdevIoctlClient*> closed;
    auto consider = [&closed](UMockdevIoctlClient* client) {
        if (umockdev_ioctl_client_get_connected(client)) return;
        if (std::ranges::find(closed, client) != closed.end()) return;
        closed.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
    };
    if (owner_) consider(owner_);
    for (auto* queue : {&out_, &in_, &delayed_, &events_, &idle_, &done_}) {
        for (const UrbPtr& urb : *queue) consider(urb->client);
    }
    for (UMockdevIoctlClient* client : parkedReaps_) consider(client);
    for (const PendingClaim& pending : pendingClaims_) consider(pending.client);
    for (UMockdevIoctlClient* client : closed) {
        dropClient(client);
        g_object_unref(client);
    }
}

UrbEngine::Result UrbEngine::dispatch(UMockdevIoctlClient* client, unsigned long request,
                                      UMockdevIoctlData* arg) {
    const size_t size = _IOC_SIZE(request);
    switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
            return reap(client, arg, true);
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg, false);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        case USBDEVFS_CONTROL:
            return syncControl(client, arg);
        case USBDEVFS_GET_CAPABILITIES: {
            DataRef caps = resolve(arg, 0, size);
            if (!caps) return {-1, EFAULT};
            const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_BULK_SCATTER_GATHER |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
            std::memcpy(caps.data->data, &value, sizeof value);
            return {};
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            DataRef number = resolve(arg, 0, size);
            if (!number) return {-1, EFAULT};
            unsigned value = 0;
            std::memcpy(&value, number.data->data, sizeof value);
            const int error =
                request == USBDEVFS_CLAIMINTERFACE ? claim(client, value) : release(client, value);
            if (error == EBUSY) {
                g_object_ref(client);
                pendingClaims_.push_back({client, Clock::now() + kClaimGrace});
                return {0, 0, true};
            }
            return {error ? -1 : 0, error};
        }
        case USBDEVFS_DISCONNECT_CLAIM: {
            DataRef dc = resolve(arg, 0, size);
            if (!dc) return {-1, EFAULT};
            const auto& fields = *reinterpret_cast<usbdevfs_disconnect_claim*>(dc.data->data);
            const int error = claim(client, fields.interface);
            return {error ? -1 : 0, error};
        }
        case USBDEVFS_GETDRIVER: {
            DataRef gd = resolve(arg, 0, size);
            if (!gd) return {-1, EFAULT};
            auto& fields = *reinterpret_cast<usbdevfs_getdriver*>(gd.data->data);
            if (fields.interface != 0) return {-1, EINVAL};
            if (!liveOwner()) return {-1, ENODATA};
            std::memset(fields.driver, 0, sizeof fields.driver);
            std::strcpy(fields.driver, "usbfs");
            return {};
        }
        case USBDEVFS_IOCTL: {
            // Attaching or detaching a kernel driver: none is bound here but usbfs itself.
            DataRef io = resolve(arg, 0, size);
            if (!io) return {-1, EFAULT};
            const auto& fields = *reinterpret_cast<usbdevfs_ioctl*>(io.data->data);
            if (fields.ifno != 0) return {-1, EINVAL};
            if (fields.ioctl_code == USBDEVFS_DISCONNECT) {
                if (!liveOwner()) return {-1, ENODATA};
                return {-1, EINVAL};  // usbfs's own claims cannot be broken this way
            }
            if (fields.ioctl_code == USBDEVFS_CONNECT) return {};
            return {-1, ENOTTY};
        }
        case USBDEVFS_SETCONFIGURATION: {
            DataRef value = resolve(arg, 0, size);
            if (!value) return {-1, EFAULT};
            int config = 0;
            std::memcpy(&config, value.data->data, sizeof config);
            if (config != 1 && config != 0 && config != -1) return {-1, EINVAL};
            if (liveOwner() && owner_ != client) return {-1, EBUSY};
            return {};
        }
        case USBDEVFS_SETINTERFACE: {
            DataRef si = resolve(arg, 0, size);
            if (!si) return {-1, EFAULT};
            const auto& fields = *reinterpret_cast<usbdevfs_setinterface*>(si.data->data);
            if (fields.interface != 0 || fields.altsetting != 0) return {-1, EINVAL};
            if (const int error = claim(client, 0)) return {-1, error};
            return {};
        }
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: {
            DataRef ep = resolve(arg, 0, size);
            if (!ep) return {-1, EFAULT};
            unsigned address = 0;
            std::memcpy(&address, ep.data->data, sizeof address);
            if (!endpoint(static_cast<uint8_t>(address))) return {-1, ENOENT};
            if (const int error = claim(client, 0)) return {-1, error};
            clearHalt(static_cast<uint8_t>(address));
            return {};
        }
        case USBDEVFS_RESET:
            if (phone_) phone_->reset();
            halted_.clear();
            return {};
        case USBDEVFS_CONNECTINFO: {
            DataRef ci = resolve(arg, 0, size);
            if (!ci) return {-1, EFAULT};
            auto& fields = *reinterpret_cast<usbdevfs_connectinfo*>(ci.data->data);
            fields.devnum = static_cast<unsigned>(address_.devnum);
            fields.slow = 0;
            return {};
        }
        case USBDEVFS_GET_SPEED:
            return {kSpeedHigh, 0};
        case USBDEVFS_DROP_PRIVILEGES:
            return {};
        default:
            break;
    }
    if (_IOC_TYPE(request) == 'U' && _IOC_NR(request) == 32) {  // CONNINFO_EX(size)
        DataRef ci = resolve(arg, 0, size);
        if (!ci) return {-1, EFAULT};
        usbdevfs_conninfo_ex info{};
        info.size = sizeof info;
        info.busnum = static_cast<uint32_t>(address_.busnum);
        info.devnum = static_cast<uint32_t>(address_.devnum);
        info.speed = kSpeedHigh;
        info.num_ports = 1;
        info.ports[0] = static_cast<uint8_t>(address_.port);
        std::memcpy(ci.data->data, &info, std::min(size, sizeof info));
        return {};
    }
    return {-1, ENOTTY};
}

const EndpointInfo* UrbEngine::endpoint(uint8_t address) const {
    for (const EndpointInfo& ep : layout_.endpoints) {
        if (ep.address == address) return &ep;
    }
    return nullptr;
}

UMockdevIoctlClient* UrbEngine::liveOwner() {
    if (owner_ && !umockdev_ioctl_client_get_connected(owner_)) dropClient(owner_);
    return owner_;
}

int UrbEngine::claim(UMockdevIoctlClient* client, unsigned interfaceNumber) {
    if (interfaceNumber != 0) return ENOENT;
    if (owner_ == client) return 0;
    if (liveOwner()) return EBUSY;
    owner_ = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    ++claims_;
    setDriverLink(true);
    return 0;
}

int UrbEngine::release(UMockdevIoctlClient* client, unsigned interfaceNumber) {
    if (interfaceNumber != 0 || owner_ != client) return EINVAL;
    g_object_unref(owner_);
    owner_ = nullptr;
    setDriverLink(false);
    return 0;
}

void UrbEngine::clearHalt(uint8_t address) {
    std::erase(halted_, address);
    const EndpointInfo* ep = endpoint(address);
    if (!phone_ || !ep || !ep->toPhone) return;
    if (!(address & USB_DIR_IN)) {
        phone_->clearHalt(phonesim::Endpoint::bulkOut);
    } else if ((ep->attributes & 3) == 3) {
        phone_->clearHalt(phonesim::Endpoint::interrupt);
    } else {
        phone_->clearHalt(phonesim::Endpoint::bulkIn);
    }
}

// The kernel links a claimed interface to the usbfs driver; discovery reads the link's name.
void UrbEngine::setDriverLink(bool claimed) {
    if (interfaceDir_.empty()) return;
    const std::string link = interfaceDir_ + "/driver";
    if (claimed) {
        // From .../devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0 up to the sysfs root.
        if (::symlink("../../../../../../bus/usb/drivers/usbfs", link.c_str()) != 0 &&
            errno != EEXIST) {
            g_warning("usbbus: cannot link %s: %s", link.c_str(), std::strerror(errno));
        }
    } else {
        ::unlink(link.c_str());
    }
}

UrbEngine::Result UrbEngine::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) return {-1, EFAULT};
    auto urb = std::make_unique<Urb>(client, std::move(urbData));
    const usbdevfs_urb& fields = urb->fields();
    if (fields.buffer_length < 0) return {-1, EINVAL};
    if (fields.buffer_length > 0) {
        urb->buffer = resolve(urb->urb.data, offsetof(usbdevfs_urb, buffer),
                              static_cast<size_t>(fields.buffer_length));
        if (!urb->buffer) return {-1, EFAULT};
    }
    ++stats_.urbs;

    if (fields.type == USBDEVFS_URB_TYPE_CONTROL) {
        if (fields.endpoint != 0 || fields.buffer_length < 8) return {-1, EINVAL};
        uint8_t* setup = urb->buffer.data->data;
        const uint16_t wLength = static_cast<uint16_t>(setup[6] | setup[7] << 8);
        const size_t room =
            std::min<size_t>(wLength, static_cast<size_t>(fields.buffer_length) - 8);
        const int result = control(client, setup, setup + 8, room);
        if (result == -EBUSY || result == -ENOENT) return {-1, -result};
        complete(std::move(urb), result < 0 ? result : 0, result < 0 ? 0 : result);
        return {};
    }

    const EndpointInfo* ep = endpoint(fields.endpoint);
    const uint8_t wantedType = fields.type == USBDEVFS_URB_TYPE_BULK        ? 2
                               : fields.type == USBDEVFS_URB_TYPE_INTERRUPT ? 3
                                                                            : 0;
    if (!ep) return {-1, ENOENT};
    if (wantedType == 0 || (ep->attributes & 3) != wantedType) return {-1, EINVAL};
    if (const int error = claim(client, 0)) return {-1, error};

    const bool in = fields.endpoint & USB_DIR_IN;
    if (std::ranges::find(halted_, ep->address) != halted_.end()) {
        complete(std::move(urb), -EPIPE, 0);
    } else if (!ep->toPhone || !phone_) {
        if (in) {
            idle_.push_back(std::move(urb));
        } else {
            halted_.push_back(ep->address);
            complete(std::move(urb), -EPIPE, 0);
        }
    } else if (!in) {
        out_.push_back(std::move(urb));
    } else if (wantedType == 3) {
        events_.push_back(std::move(urb));
    } else {
        in_.push_back(std::move(urb));
    }
    pump(Clock::now());
    return {};
}

void UrbEngine::pump(Clock::time_point now) {
    if (!phone_ || unplugged_) return;
    pumpOut(now);
    pumpIn(now);
    pumpEvents();
    while (!delayed_.empty() && delayed_.front()->due <= now) {
        UrbPtr urb = std::move(delayed_.front());
        delayed_.pop_front();
        const int actual = urb->fields().actual_length;
        complete(std::move(urb), 0, actual);
    }
}

// The link model's wire is one timeline per device: a transfer occupies it from when the
// client submitted it (or the wire came free) for what the model charges. The emulator's own
// time between submission and now is spent inside that window instead of on top of it.
void UrbEngine::finishOnWire(UrbPtr urb, std::chrono::nanoseconds wire, int actual,
                             Clock::time_point now) {
    // A later transfer never overtakes an earlier one that the link model still delays.
    if (wire.count() == 0 && delayed_.empty()) return complete(std::move(urb), 0, actual);
    const Clock::time_point start = std::max(urb->submitted, wireFree_);
    urb->due = std::max(start + std::chrono::duration_cast<Clock::duration>(wire), wireFree_);
    wireFree_ = urb->due;
    if (urb->due <= now && delayed_.empty()) return complete(std::move(urb), 0, actual);
    urb->fields().actual_length = actual;
    delayed_.push_back(std::move(urb));
}

void UrbEngine::pumpOut(Clock::time_point now) {
    while (!out_.empty() && !unplugged_) {
        Urb& urb = *out_.front();
        const usbdevfs_urb& fields = urb.fields();
        const bool wantsZeroPacket = (fields.flags & USBDEVFS_URB_ZERO_PACKET) &&
                                     fields.buffer_length > 0 &&
                                     fields.buffer_length % profile_.maxPacketSize == 0;
        TransferStatus status = TransferStatus::ok;
        if (!urb.zeroPacketSent) {
            if (tracing()) trace("out", urb.bytes());
            status = phone_->bulkOut(urb.bytes());
        }
        if (status == TransferStatus::ok && wantsZeroPacket) {
            urb.zeroPacketSent = true;
            status = phone_->bulkOut({});
        }
        if (status == TransferStatus::pending) return;  // not accepted yet; try again later
        if (status == TransferStatus::noDevice) return phoneGone();
        UrbPtr done = std::move(out_.front());
        out_.pop_front();
        if (status == TransferStatus::stall) {
            halted_.push_back(done->fields().endpoint);
            complete(std::move(done), -EPIPE, 0);
            continue;
        }
        ++stats_.transfersOut;
        stats_.bytesOut += static_cast<uint64_t>(fields.buffer_length);
        const phonesim::LinkModel link = phone_->link();
        auto wire =
            link.transferTime(static_cast<uint64_t>(fields.buffer_length), profile_.maxPacketSize);
        if (wantsZeroPacket) wire += link.transferTime(0, profile_.maxPacketSize);
        finishOnWire(std::move(done), wire, fields.buffer_length, now);
    }
}

void UrbEngine::pumpIn(Clock::time_point now) {
    while (!in_.empty() && !unplugged_) {
        Urb& urb = *in_.front();
        const phonesim::InTransfer transfer = phone_->bulkIn(urb.bytes());
        if (transfer.status == TransferStatus::pending) return;
        if (transfer.status == TransferStatus::noDevice) return phoneGone();
        UrbPtr taken = std::move(in_.front());
        in_.pop_front();
        if (transfer.status == TransferStatus::stall) {
            halted_.push_back(taken->fields().endpoint);
            complete(std::move(taken), -EPIPE, 0);
            continue;
        }
        const int actual = static_cast<int>(std::min(transfer.length, taken->bytes().size()));
        if (tracing()) trace("in", taken->bytes().first(static_cast<size_t>(actual)));
        ++stats_.transfersIn;
        stats_.bytesIn += static_cast<uint64_t>(actual);
        finishOnWire(std::move(taken), transfer.delay, actual, now);
    }
}

void UrbEngine::pumpEvents() {
    while (!events_.empty() && !unplugged_) {
        if (phone_->interruptStalls()) {
            UrbPtr urb = std::move(events_.front());
            events_.pop_front();
            if (std::ranges::find(halted_, urb->fields().endpoint) == halted_.end()) {
                halted_.push_back(urb->fields().endpoint);
            }
            complete(std::move(urb), -EPIPE, 0);
            continue;
        }
        std::optional<phonesim::Bytes> event = phone_->interruptIn();
        if (!event) return;
        UrbPtr urb = std::move(events_.front());
        events_.pop_front();
        const std::span<uint8_t> room = urb->bytes();
        const size_t n = std::min(room.size(), event->size());
        std::copy_n(event->begin(), n, room.begin());
        ++stats_.events;
        complete(std::move(urb), 0, static_cast<int>(n));
    }
}

void UrbEngine::complete(UrbPtr urb, int status, int actual) {
    urb->fields().status = status;
    urb->fields().actual_length = actual;
    UMockdevIoctlClient* client = urb->client;
    done_.push_back(std::move(urb));
    completeParkedReap(client);
}

void UrbEngine::completeParkedReap(UMockdevIoctlClient* client) {
    auto parked = std::ranges::find(parkedReaps_, client);
    if (parked == parkedReaps_.end()) return;
    parkedReaps_.erase(parked);
    const Result result = reap(client, umockdev_ioctl_client_get_arg(client), false);
    if (!result.deferred) umockdev_ioctl_client_complete(client, result.value, result.error);
    g_object_unref(client);
}

UrbEngine::Result UrbEngine::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool wait) {
    auto found =
        std::ranges::find_if(done_, [client](const UrbPtr& u) { return u->client == client; });
    if (found == done_.end()) {
        if (unplugged_) return {-1, ENODEV};
        if (!wait) return {-1, EAGAIN};
        g_object_ref(client);
        parkedReaps_.push_back(client);
        return {0, 0, true};
    }
    DataRef slot = resolve(arg, 0, sizeof(void*));
    if (!slot) return {-1, EFAULT};
    UrbPtr urb = std::move(*found);
    done_.erase(found);
    // The client's pointer now names its own urb; the urb and its buffer travel back with it.
    umockdev_ioctl_data_set_ptr(slot.data, 0, urb->urb.data);
    umockdev_ioctl_client_complete(client, 0, 0);
    return {0, 0, true};
}

UrbEngine::Result UrbEngine::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<size_t>(sizeof address, arg->data_len));
    for (auto* queue : {&in_, &events_, &idle_, &out_, &delayed_}) {
        auto found = std::ranges::find_if(*queue, [&](const UrbPtr& u) {
            return u->client == client && u->urb.data->client_addr == address;
        });
        if (found == queue->end()) continue;
        UrbPtr urb = std::move(*found);
        queue->erase(found);
        complete(std::move(urb), -ENOENT, 0);
        return {};
    }
    return {-1, EINVAL};  // already completed
}

UrbEngine::Result UrbEngine::syncControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef ct = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!ct) return {-1, EFAULT};
    const auto& fields = *reinterpret_cast<usbdevfs_ctrltransfer*>(ct.data->data);
    DataRef data;
    if (fields.wLength > 0) {
        data = resolve(ct.data, offsetof(usbdevfs_ctrltransfer, data), fields.wLength);
        if (!data) return {-1, EFAULT};
    }
    const uint8_t setup[8] = {fields.bRequestType,
                              fields.bRequest,
                              static_cast<uint8_t>(fields.wValue),
                              static_cast<uint8_t>(fields.wValue >> 8),
                              static_cast<uint8_t>(fields.wIndex),
                              static_cast<uint8_t>(fields.wIndex >> 8),
                              static_cast<uint8_t>(fields.wLength),
                              static_cast<uint8_t>(fields.wLength >> 8)};
    const int result = control(client, setup, data ? data.data->data : nullptr, fields.wLength);
    if (result < 0) return {-1, -result};
    return {result, 0};
}

int UrbEngine::control(UMockdevIoctlClient* client, const uint8_t setup[8], uint8_t* data,
                       size_t length) {
    const uint8_t requestType = setup[0];
    const uint8_t request = setup[1];
    const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
    const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
    const bool in = requestType & USB_DIR_IN;
    const uint8_t recipient = requestType & USB_RECIP_MASK;
    const uint8_t type = requestType & USB_TYPE_MASK;

    auto reply = [&](const Bytes& bytes) {
        const size_t n = std::min(bytes.size(), length);
        if (n) std::memcpy(data, bytes.data(), n);
        return static_cast<int>(n);
    };

    // The kernel makes a standard or class request to an interface or endpoint claim that
    // interface; vendor requests pass unchecked.
    if (type != USB_TYPE_VENDOR &&
        (recipient == USB_RECIP_INTERFACE || recipient == USB_RECIP_ENDPOINT)) {
        if (recipient == USB_RECIP_INTERFACE && (index & 0xFF) != 0) return -ENOENT;
        if (recipient == USB_RECIP_ENDPOINT && !endpoint(static_cast<uint8_t>(index))) {
            return -ENOENT;
        }
        if (const int error = claim(client, 0)) return -error;
    }

    if (type == USB_TYPE_STANDARD) {
        switch (request) {
            case USB_REQ_GET_DESCRIPTOR: {
                if (!in) return -EPIPE;
                const uint8_t kind = value >> 8, which = value & 0xFF;
                if (kind == USB_DT_DEVICE) return reply(deviceDescriptor(profile_));
                if (kind == USB_DT_CONFIG && which == 0)
                    return reply(configurationDescriptor(profile_));
                if (kind == USB_DT_STRING) {
                    if (auto bytes = stringDescriptor(profile_, which)) return reply(*bytes);
                }
                return -EPIPE;
            }
            case USB_REQ_GET_STATUS:
                return reply(Bytes{0, 0});
            case USB_REQ_GET_CONFIGURATION:
                return reply(Bytes{1});
            case USB_REQ_GET_INTERFACE:
                return reply(Bytes{0});
            case USB_REQ_SET_CONFIGURATION:
            case USB_REQ_SET_INTERFACE:
                return 0;
            case USB_REQ_CLEAR_FEATURE:
                if (recipient == USB_RECIP_ENDPOINT && value == USB_ENDPOINT_HALT) {
                    clearHalt(static_cast<uint8_t>(index));
                }
                return 0;
            default:
                return -EPIPE;
        }
    }
    if (type == USB_TYPE_VENDOR && in && request == msVendorCode && index == 4) {
        if (auto bytes = msCompatIDDescriptor(profile_)) return reply(*bytes);
        return -EPIPE;
    }
    if (type == USB_TYPE_CLASS && recipient == USB_RECIP_INTERFACE && phone_) {
        if (!in && request == kCancelRequest) {
            phone_->cancel();
            return static_cast<int>(length);
        }
        if (!in && request == kDeviceResetRequest) {
            phone_->reset();
            halted_.clear();
            return 0;
        }
        if (in && request == kGetDeviceStatusRequest) {
            const uint16_t code = mtp::wire(phone_->deviceStatus());
            return reply(Bytes{4, 0, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
        }
    }
    return -EPIPE;
}

UrbEngine::Clock::time_point UrbEngine::poll() {
    mtp::MutexLocker lock(mutex_);
    const Clock::time_point now = Clock::now();
    dropDisconnected();
    if (phone_ && !unplugged_ && phone_->isUnplugged()) phoneGone();
    retryClaims(now);
    pump(now);
    updateReadiness();
    Clock::time_point next = now + kIdlePoll;
    if (!events_.empty()) next = now + kEventPoll;
    if (!in_.empty() || !out_.empty() || !pendingClaims_.empty()) next = now + kBusyPoll;
    if (!delayed_.empty()) next = std::min(next, delayed_.front()->due);
    return next;
}

void UrbEngine::phoneGone() {
    phoneVanished_ = true;
    disconnect();
}

void UrbEngine::disconnect() {
    if (unplugged_) return;
    unplugged_ = true;
    // The interface is gone with its driver link; claims are moot (every ioctl fails now).
    if (owner_) setDriverLink(false);
    for (auto* queue : {&out_, &in_, &delayed_, &events_, &idle_}) {
        while (!queue->empty()) {
            UrbPtr urb = std::move(queue->front());
            queue->pop_front();
            complete(std::move(urb), -ESHUTDOWN, 0);
        }
    }
    retryClaims(Clock::now());
    // Blocking reaps with nothing left to return learn that the device is gone.
    for (UMockdevIoctlClient* client : std::exchange(parkedReaps_, {})) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        g_object_unref(client);
    }
}

void UrbEngine::unplug() {
    mtp::MutexLocker lock(mutex_);
    disconnect();
    updateReadiness();
}

bool UrbEngine::isUnplugged() const {
    mtp::MutexLocker lock(mutex_);
    return unplugged_;
}

bool UrbEngine::phoneVanished() const {
    mtp::MutexLocker lock(mutex_);
    return phoneVanished_;
}

uint64_t UrbEngine::currentClaim() {
    mtp::MutexLocker lock(mutex_);
    return liveOwner() ? claims_ : 0;
}

EngineStats UrbEngine::stats() const {
    mtp::MutexLocker lock(mutex_);
    return stats_;
}

}  // namespace usbbus
