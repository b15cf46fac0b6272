#pragma once
// Notices when a watched loop device's volume is taken down by someone other than the app: its
// fuse.mtpfs mount leaves the mount table (an unmount in the file manager, fusermount3 -u), or
// the device itself goes away (detached). Each such disk is reported once, by name ("loop3").

#include <QObject>
#include <functional>
#include <memory>
#include <set>
#include <string>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace brisvale {

// Lives on the main thread, as long as the app model; reports there.
class DiskWatcher : public QObject {
  public:
    using OnGone = std::function<void(const std::string& disk)>;

    // Opens /proc/self/mountinfo (watched for POLLPRI) and a kernel uevent monitor of block
    // devices. Throws std::runtime_error when either cannot be had.
    explicit DiskWatcher(OnGone onGone);
    ~DiskWatcher() override;

    // The model adds a disk after attaching it, removes it before an unmount of its own and
    // adds it again when that unmount is refused. Names are whole disks ("loop3").
    void watch(const std::string& disk);
    void unwatch(const std::string& disk);
    bool isWatched(const std::string& disk) const { return watched_.contains(disk); }

  private:
    void mountTableChanged();
    void deviceEvent();
    void gone(const std::string& disk);
    std::set<std::string> mountedDisks() const;

    OnGone onGone_;
    std::set<std::string> watched_;
    std::set<std::string> seenMounted_;  // watched disks whose mount has been seen
    int mountInfo_ = -1;
    std::unique_ptr<QSocketNotifier> mountNotifier_;
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> deviceNotifier_;
};

}  // namespace brisvale
