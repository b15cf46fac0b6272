#pragma once
// Tells its owner when the set of USB devices may have changed: after every burst of hot-plug
// events it delivers two fresh snapshots, 0.4 s and 1.5 s after the burst's last event.

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "app/services/Clock.h"
#include "mtp/USBDeviceRecord.h"
#include "mtp/USBDiscovery.h"

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace brisvale {

// Main thread only. There is no stop: the owner keeps it for its life and destroys it.
class DeviceMonitor : public QObject {
  public:
    using OnChange = std::function<void(std::vector<mtp::USBDeviceRecord>)>;
    static constexpr std::chrono::milliseconds firstSettle{400};
    static constexpr std::chrono::milliseconds secondSettle{1500};

    // Keeps a reference to the clock, which must outlive the monitor.
    DeviceMonitor(OnChange onChange, Clock& clock,
                  mtp::USBDiscovery discovery = mtp::USBDiscovery());
    ~DeviceMonitor() override;

    // Watches udev's USB device events and delivers one snapshot before returning. Throws
    // std::runtime_error when udev cannot be watched.
    void start();

  private:
    void udevEvent();
    void deliver();

    OnChange onChange_;
    Clock& clock_;
    mtp::USBDiscovery discovery_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<Clock::Handle> pending_;
};

}  // namespace brisvale
