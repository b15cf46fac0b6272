#pragma once
// The kernel's usbfs, as far as libusb needs it, for one enumeration of one simulated device:
// answers the ioctls that clients send to /dev/bus/usb/BBB/DDD, runs their URBs against the
// simulated phone and keeps the device node "writable" (libusb's sign that a URB can be reaped)
// only while a completed URB waits.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mtp/ThreadSafety.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/USBDescriptors.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace usbbus {

// Counts of one enumeration, for figures and for tests.
struct EngineStats {
    uint64_t ioctls = 0;
    uint64_t urbs = 0;          // submitted
    uint64_t transfersOut = 0;  // bulk OUT transfers delivered to the phone
    uint64_t transfersIn = 0;   // bulk IN transfers completed with data from the phone
    uint64_t bytesOut = 0;
    uint64_t bytesIn = 0;
    uint64_t events = 0;  // interrupt transfers completed
    bool operator==(const EngineStats&) const = default;
};

class UrbEngine {
  public:
    using Clock = std::chrono::steady_clock;

    // The device at `address` of the test bed rooted at `testbedRoot` (its UMOCKDEV_DIR).
    // `phone` may be null; it is not used when no endpoint of the variant reaches a phone.
    UrbEngine(DeviceProfile profile, std::shared_ptr<phonesim::SimulatedPhone> phone,
              BusAddress address, const std::string& testbedRoot);
    ~UrbEngine();
    UrbEngine(const UrbEngine&) = delete;
    UrbEngine& operator=(const UrbEngine&) = delete;

    // The umockdev handler to attach to the device node. Its signals run on umockdev's worker
    // thread; every other member may be called from any thread.
    UMockdevIoctlBase* handler() const { return handler_; }

    // Makes the device node: a FIFO whose write readiness follows the completed URBs (a plain
    // file would always poll ready and make libusb spin). Call before the device is added, so
    // that no client ever opens anything else. Throws std::runtime_error.
    void makeNodeFifo();
    // Removes the node (the device left the bus); clients that have it open keep it.
    void removeNode();

    // Called (from umockdev's worker thread) when a URB waits for the phone, so that whoever
    // calls poll() does so soon. Set before the handler is attached.
    void setWakeup(std::function<void()> wakeup) { wakeup_ = std::move(wakeup); }

    // Runs what became possible since the last call (phone data, events, delayed completions)
    // and returns when it wants to be called again. Never blocks.
    Clock::time_point poll();

    // The device left the bus: in-flight URBs complete with -ESHUTDOWN, later ioctls fail ENODEV.
    void unplug();
    bool isUnplugged() const;
    // The phone itself stopped answering (its transfers report noDevice); the bus then removes
    // the device.
    bool phoneVanished() const;

    // Which claim of interface 0 holds now: 0 when none, else a number that changes with
    // every new claim. A claim of a client that closed the device no longer counts.
    uint64_t currentClaim();
    EngineStats stats() const;

  private:
    struct Urb;
    using UrbPtr = std::unique_ptr<Urb>;
    struct Result {
        long value = 0;
        int error = 0;
        bool deferred = false;
    };

    static int onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self);
    void handleIoctl(UMockdevIoctlClient* client) EXCLUDES(mutex_);
    void clientVanished(UMockdevIoctlClient* client) EXCLUDES(mutex_);
    void dropClient(UMockdevIoctlClient* client) REQUIRES(mutex_);
    void dropDisconnected() REQUIRES(mutex_);

    Result dispatch(UMockdevIoctlClient* client, unsigned long request, UMockdevIoctlData* arg)
        REQUIRES(mutex_);
    Result submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) REQUIRES(mutex_);
    Result reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool wait) REQUIRES(mutex_);
    Result discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) REQUIRES(mutex_);
    Result syncControl(UMockdevIoctlClient* client, UMockdevIoctlData* arg) REQUIRES(mutex_);
    int claim(UMockdevIoctlClient* client, unsigned interfaceNumber) REQUIRES(mutex_);
    UMockdevIoctlClient* liveOwner() REQUIRES(mutex_);  // owner_, unless it has closed the device
    int release(UMockdevIoctlClient* client, unsigned interfaceNumber) REQUIRES(mutex_);
    // A control request; returns the bytes placed in `data` (IN) or accepted (OUT), or -errno.
    int control(UMockdevIoctlClient* client, const uint8_t setup[8], uint8_t* data, size_t length)
        REQUIRES(mutex_);
    const EndpointInfo* endpoint(uint8_t address) const;

    void pump(Clock::time_point now) REQUIRES(mutex_);
    void pumpOut(Clock::time_point now) REQUIRES(mutex_);
    void finishOnWire(UrbPtr urb, std::chrono::nanoseconds wire, int actual, Clock::time_point now)
        REQUIRES(mutex_);
    void pumpIn(Clock::time_point now) REQUIRES(mutex_);
    void pumpEvents() REQUIRES(mutex_);
    void complete(UrbPtr urb, int status, int actual) REQUIRES(mutex_);
    void completeParkedReap(UMockdevIoctlClient* client) REQUIRES(mutex_);
    void retryClaims(Clock::time_point now) REQUIRES(mutex_);
    void disconnect() REQUIRES(mutex_);
    void phoneGone() REQUIRES(mutex_);
    void updateReadiness() REQUIRES(mutex_);
    void setDriverLink(bool claimed) REQUIRES(mutex_);
    void clearHalt(uint8_t address) REQUIRES(mutex_);

    const DeviceProfile profile_;
    const InterfaceLayout layout_;
    const std::shared_ptr<phonesim::SimulatedPhone> phone_;
    const BusAddress address_;
    const std::string nodeFile_;      // the device node's file inside the test bed
    const std::string interfaceDir_;  // where the `driver` link of a claim goes
    UMockdevIoctlBase* handler_ = nullptr;
    std::function<void()> wakeup_;

    mutable mtp::Mutex mutex_;
    // Bulk OUT the phone has not accepted yet.
    std::deque<UrbPtr> out_ GUARDED_BY(mutex_);
    // Bulk IN waiting for phone data.
    std::deque<UrbPtr> in_ GUARDED_BY(mutex_);
    // Bulk transfers done, due at Urb::due (link model).
    std::deque<UrbPtr> delayed_ GUARDED_BY(mutex_);
    // Interrupt IN waiting for an event.
    std::deque<UrbPtr> events_ GUARDED_BY(mutex_);
    // IN on endpoints without a function: pending until discarded.
    std::deque<UrbPtr> idle_ GUARDED_BY(mutex_);
    // Completed, waiting to be reaped.
    std::deque<UrbPtr> done_ GUARDED_BY(mutex_);
    // Blocking REAPURB calls (referenced).
    std::vector<UMockdevIoctlClient*> parkedReaps_ GUARDED_BY(mutex_);
    // CLAIMINTERFACE calls that met another client's claim, retried until their deadline:
    // umockdev learns of a closed client only a little after its close() returned, while the
    // kernel drops the claim at once.
    struct PendingClaim {
        UMockdevIoctlClient* client;  // referenced
        Clock::time_point deadline;
    };
    std::vector<PendingClaim> pendingClaims_ GUARDED_BY(mutex_);
    // Endpoint addresses that stalled until CLEAR_HALT.
    std::vector<uint8_t> halted_ GUARDED_BY(mutex_);
    // Who claimed interface 0 (referenced).
    UMockdevIoctlClient* owner_ GUARDED_BY(mutex_) = nullptr;
    uint64_t claims_ GUARDED_BY(mutex_) = 0;  // claims made so far
    // When the link model's wire is free again.
    Clock::time_point wireFree_ GUARDED_BY(mutex_) = {};
    bool unplugged_ GUARDED_BY(mutex_) = false;
    bool phoneVanished_ GUARDED_BY(mutex_) = false;
    int fifo_ GUARDED_BY(mutex_) = -1;
    bool fifoReady_ GUARDED_BY(mutex_) = false;
    EngineStats stats_ GUARDED_BY(mutex_);
};

}  // namespace usbbus
