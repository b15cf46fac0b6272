#pragma once
// Everything the app model asks of the system, behind one interface so that its flows run
// against fakes with a manual clock in tests. SystemServices is the real set.

#include <QSettings>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "app/services/Clock.h"
#include "app/services/DiskTool.h"
#include "app/services/Preflight.h"
#include "mtp/USBDeviceRecord.h"

namespace brisvale {

// Main thread only, like the model that uses it. Tasks resume on the main thread.
class ModelServices {
  public:
    using OnSnapshot = std::function<void(std::vector<mtp::USBDeviceRecord>)>;
    using OnGone = std::function<void(const std::string& disk)>;
    virtual ~ModelServices() = default;

    virtual Clock& clock() = 0;
    // The app's settings ("autoMount", the login item's keys).
    virtual QSettings& settings() = 0;

    // The disk tool (DiskTool's contracts, errors included).
    virtual DiskFolders folders() const = 0;
    virtual QCoro::Task<std::string> attach(std::string id, std::string name, bool writable) = 0;
    virtual QCoro::Task<void> mount(std::string disk, std::filesystem::path mountPoint,
                                    bool writable) = 0;
    virtual QCoro::Task<void> unmount(std::filesystem::path mountPoint, bool force) = 0;
    virtual QCoro::Task<void> detach(std::string disk) = 0;
    virtual QCoro::Task<void> cleanup() = 0;
    virtual bool isMounted(const std::filesystem::path& mountPoint) const = 0;

    // Never throws.
    virtual QCoro::Task<PreflightResult> probe(mtp::USBDeviceRecord record) = 0;

    // The login item and the file system's status.
    virtual void applyLoginDefault() = 0;
    virtual void refreshLoginItem() = 0;
    virtual bool loginItemEnabled() const = 0;
    virtual void setLoginItem(bool on) = 0;
    virtual QCoro::Task<bool> isExtensionEnabled() = 0;

    // The disk watcher: created once, reports disks gone outside the app to `onGone`.
    virtual void startWatcher(OnGone onGone) = 0;
    virtual void watch(const std::string& disk) = 0;
    virtual void unwatch(const std::string& disk) = 0;

    // The device monitor: started once, delivers a first snapshot before returning. Throws
    // std::runtime_error when USB cannot be watched.
    virtual void startMonitor(OnSnapshot onSnapshot) = 0;
};

struct SystemServicesConfig {
    DiskTool::Config disk;
    std::filesystem::path settingsFile;     // empty: QSettings("Tavrel", "Brisvale")
    std::filesystem::path autostartFolder;  // empty: $XDG_CONFIG_HOME/autostart
};

// The real services: the shell runner, Qt timers, the disk tool, preflight, the XDG login item,
// the udev monitor and the mount-table watcher.
std::unique_ptr<ModelServices> makeSystemServices(SystemServicesConfig config = {});

}  // namespace brisvale
