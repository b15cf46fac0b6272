#include "app/services/DiskWatcher.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <filesystem>
#include <stdexcept>

#include "app/services/DiskTool.h"

namespace brisvale {

DiskWatcher::DiskWatcher(OnGone onGone) : onGone_(std::move(onGone)) {
    mountInfo_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mountInfo_ < 0) throw std::runtime_error("cannot open /proc/self/mountinfo");
    // The kernel marks the table's descriptor with POLLPRI at every change.
    mountNotifier_ = std::make_unique<QSocketNotifier>(mountInfo_, QSocketNotifier::Exception);
    connect(mountNotifier_.get(), &QSocketNotifier::activated, this,
            [this] { mountTableChanged(); });

    // Kernel events, not udevd's: they arrive whether or not udevd runs.
    udev_ = udev_new();
    monitor_ = udev_ ? udev_monitor_new_from_netlink(udev_, "kernel") : nullptr;
    if (!monitor_ || udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", nullptr) ||
        udev_monitor_enable_receiving(monitor_)) {
        if (monitor_) udev_monitor_unref(monitor_);
        if (udev_) udev_unref(udev_);
        ::close(mountInfo_);
        throw std::runtime_error("cannot watch block devices");
    }
    deviceNotifier_ =
        std::make_unique<QSocketNotifier>(udev_monitor_get_fd(monitor_), QSocketNotifier::Read);
    connect(deviceNotifier_.get(), &QSocketNotifier::activated, this, [this] { deviceEvent(); });
}

DiskWatcher::~DiskWatcher() {
    deviceNotifier_.reset();
    mountNotifier_.reset();
    udev_monitor_unref(monitor_);
    udev_unref(udev_);
    ::close(mountInfo_);
}

void DiskWatcher::watch(const std::string& disk) {
    watched_.insert(disk);
    if (mountedDisks().contains(disk)) seenMounted_.insert(disk);
}

void DiskWatcher::unwatch(const std::string& disk) {
    watched_.erase(disk);
    seenMounted_.erase(disk);
}

std::set<std::string> DiskWatcher::mountedDisks() const {
    std::set<std::string> disks;
    for (const MountEntry& entry : readMountTable()) {
        if (entry.type == "fuse.mtpfs") disks.insert(DiskTool::wholeDisk(entry.source));
    }
    return disks;
}

void DiskWatcher::mountTableChanged() {
    // Reading the table again from the start is what clears the mark.
    char buffer[4096];
    ::lseek(mountInfo_, 0, SEEK_SET);
    while (::read(mountInfo_, buffer, sizeof buffer) > 0) {
    }
    const std::set<std::string> mounted = mountedDisks();
    const std::set<std::string> watched = watched_;
    for (const std::string& disk : watched) {
        if (mounted.contains(disk)) {
            seenMounted_.insert(disk);
        } else if (seenMounted_.contains(disk)) {
            gone(disk);
        }
    }
}

void DiskWatcher::deviceEvent() {
    udev_device* device = udev_monitor_receive_device(monitor_);
    if (!device) return;
    const std::string action = udev_device_get_action(device) ? udev_device_get_action(device) : "";
    const std::string name = udev_device_get_sysname(device) ? udev_device_get_sysname(device) : "";
    udev_device_unref(device);
    const std::string disk = DiskTool::wholeDisk(name);
    if (!watched_.contains(disk)) return;
    // A loop device's node stays when it is detached: the kernel says "change" for it (and
    // "remove" for its partitions); its backing file is then gone.
    const bool detached = action == "change" && name == disk &&
                          !std::filesystem::exists("/sys/block/" + disk + "/loop/backing_file");
    if (action == "remove" || detached) gone(disk);
}

void DiskWatcher::gone(const std::string& disk) {
    if (!watched_.contains(disk)) return;
    unwatch(disk);
    onGone_(disk);
}

}  // namespace brisvale
