#include "app/services/DeviceMonitor.h"

#include <libudev.h>

#include <QSocketNotifier>
#include <stdexcept>

namespace brisvale {

DeviceMonitor::DeviceMonitor(OnChange onChange, Clock& clock, mtp::USBDiscovery discovery)
    : onChange_(std::move(onChange)), clock_(clock), discovery_(std::move(discovery)) {}

DeviceMonitor::~DeviceMonitor() {
    for (Clock::Handle handle : pending_) clock_.cancel(handle);
    notifier_.reset();
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

void DeviceMonitor::start() {
    udev_ = udev_new();
    monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "udev") : nullptr;
    if (!monitor_ ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") ||
        udev_monitor_enable_receiving(monitor_)) {
        throw std::runtime_error("cannot watch USB devices");
    }
    notifier_ =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { udevEvent(); });
    deliver();
}

void DeviceMonitor::udevEvent() {
    // The event itself is not inspected: any add or remove means "look again".
    // One event a wake-up: the notifier fires again while more wait.
    if (udev_device* device = udev_monitor_receive_device(monitor_)) udev_device_unref(device);
    for (Clock::Handle handle : pending_) clock_.cancel(handle);
    pending_ = {clock_.schedule(firstSettle, [this] { deliver(); }),
                clock_.schedule(secondSettle, [this] { deliver(); })};
}

void DeviceMonitor::deliver() {
    onChange_(discovery_.allDevices());
}

}  // namespace brisvale
