#pragma once
// A virtual USB bus (libumockdev test bed): fakes /sys/bus/usb and /dev/bus/usb for every process
// that runs with the bus's environment, and answers the usbfs ioctls of the devices plugged
// into it, live, from the simulated phone. libusb, libudev and sysfs readers see real devices.
//
// Hosting a bus in a test process:
//     VirtualUSBBus bus;                      // the process must run under umockdev-wrapper
//     auto phone = std::make_shared<phonesim::SimulatedPhone>(config);
//     bus.plug(1, profileFor(config), phone);    // /dev/bus/usb/001/002 appears, "add" uevent
//     ... libusb / USBDiscovery / udev monitors in this process, or children started with
//     bus.clientEnvironment() ...
//     bus.unplug(1);                          // "remove" uevent; open handles fail NO_DEVICE

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mtp/ThreadSafety.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/USBDescriptors.h"
#include "tools/usbbus/UrbEngine.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace usbbus {

// The USB identity of a simulated phone: strings and packet size from its configuration; the
// product ID of a Pixel in the mode of the variant.
DeviceProfile profileFor(const phonesim::PhoneConfig& config, Variant variant = Variant::mtpClass);

class VirtualUSBBus {
  public:
    // Creates the test bed with bus 1's root hub (4 ports) and points UMOCKDEV_DIR of this
    // process at it. Hot-plug uevents reach udev monitors only when the process runs under
    // umockdev-wrapper (inMockEnvironment()). Throws std::runtime_error. One bus per process.
    VirtualUSBBus();
    // Ends holders, removes every device and the test bed. Clients should have closed first.
    ~VirtualUSBBus();
    VirtualUSBBus(const VirtualUSBBus&) = delete;
    VirtualUSBBus& operator=(const VirtualUSBBus&) = delete;

    // Whether libumockdev-preload is loaded into this process.
    static bool inMockEnvironment();
    // Runs this program again under umockdev-wrapper (same arguments) unless the preload is
    // loaded already; returns only then. Exits with a message when that cannot be done.
    static void ensureMockEnvironment(char** argv);

    // The test bed's root folder (the value of UMOCKDEV_DIR).
    const std::string& root() const { return root_; }
    // "NAME=value" entries a child process needs to reach the bus: LD_PRELOAD (the umockdev
    // preload library in front of any inherited value) and UMOCKDEV_DIR.
    std::vector<std::string> clientEnvironment() const;

    // Plugs a device into root hub port `port` (1-4) and returns where it sits; it gets the
    // next device number, as a re-enumeration does. `phone` answers the endpoints of phone
    // variants and may be null otherwise. Throws std::runtime_error (port taken or out of
    // range, test bed failure).
    BusAddress plug(int port, DeviceProfile profile,
                    std::shared_ptr<phonesim::SimulatedPhone> phone);
    // Unplugs the device at `port`: its transfers in flight fail with no device, later ones
    // too, a holder is ended, a "remove" uevent goes out. Does nothing on an empty port.
    void unplug(int port);
    // Unplugs the device at `port` and plugs it again as `profile` with the same phone, as a phone
    // that changes its USB mode re-enumerates. Throws like plug().
    BusAddress replug(int port, DeviceProfile profile);

    // Another process (comm "phonesim-hold") opens the device at `port` and claims interface 0
    // until release(port), unplug or the bus ends. Returns its pid. Throws std::runtime_error
    // when the port is empty, already held, or the claim fails (e.g. a client has it). The
    // helper is $PHONESIM_HOLD, else the one of this build, else phonesim-hold next to this
    // program.
    pid_t hold(int port);
    void release(int port);  // does nothing when not held

    std::optional<BusAddress> address(int port) const;
    std::optional<DeviceProfile> profile(int port) const;
    std::shared_ptr<phonesim::SimulatedPhone> phone(int port) const;
    // Counts of the current enumeration at `port` (zeros when empty).
    EngineStats stats(int port) const;

  private:
    struct Slot {
        DeviceProfile profile;
        BusAddress address;
        std::shared_ptr<phonesim::SimulatedPhone> phone;
        std::shared_ptr<UrbEngine> engine;
        pid_t holder = -1;
        int holderInput = -1;      // the holder lives until this pipe closes
        uint64_t holderClaim = 0;  // UrbEngine::currentClaim() of the holder
    };

    void tick(std::stop_token stop) EXCLUDES(mutex_, liveMutex_, wakeMutex_);
    void wake() EXCLUDES(wakeMutex_);
    void unplugLocked(int port) REQUIRES(mutex_) EXCLUDES(liveMutex_);
    void releaseLocked(Slot& slot) REQUIRES(mutex_);
    int nextDevnum() REQUIRES(mutex_);
    std::string sysfsPath(const std::string& path) const { return root_ + path; }

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    mutable mtp::Mutex mutex_;
    std::map<int, Slot> slots_ GUARDED_BY(mutex_);
    // Engines of earlier enumerations stay attached to their (vanished) nodes so that clients
    // still holding them get ENODEV, until their device number is used again.
    std::map<int, std::shared_ptr<UrbEngine>> retired_ GUARDED_BY(mutex_);
    int lastDevnum_ GUARDED_BY(mutex_) = 1;
    // The engines the ticker polls, apart from mutex_, which hold() and release() keep while
    // they wait for a helper process whose claim needs the ticker.
    mtp::Mutex liveMutex_ ACQUIRED_AFTER(mutex_);
    std::vector<std::pair<int, std::shared_ptr<UrbEngine>>> live_ GUARDED_BY(liveMutex_);
    mtp::Mutex wakeMutex_;
    std::condition_variable_any wakeSignal_;
    bool woken_ GUARDED_BY(wakeMutex_) = false;
    std::jthread ticker_;
};

}  // namespace usbbus
