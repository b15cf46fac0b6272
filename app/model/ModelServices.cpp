#include "app/model/ModelServices.h"

#include "app/services/DeviceMonitor.h"
#include "app/services/DiskWatcher.h"
#include "app/services/LoginItem.h"
#include "app/services/ShellRunner.h"

namespace brisvale {

namespace {

class SystemServices final : public ModelServices {
  public:
    explicit SystemServices(SystemServicesConfig config)
        : settings_(config.settingsFile.empty()
                        ? std::make_unique<QSettings>("Tavrel", "Brisvale")
                        : std::make_unique<QSettings>(
                              QString::fromStdString(config.settingsFile.string()),
                              QSettings::IniFormat)),
          helper_(config.disk.helper),
          tool_(runner_, clock_, std::move(config.disk)),
          preflight_(runner_),
          loginItem_(*settings_, config.autostartFolder) {}

    Clock& clock() override { return clock_; }
    QSettings& settings() override { return *settings_; }

    DiskFolders folders() const override { return tool_.folders(); }
    QCoro::Task<std::string> attach(std::string id, std::string name, bool writable) override {
        return tool_.attach(std::move(id), std::move(name), writable);
    }
    QCoro::Task<void> mount(std::string disk, std::filesystem::path mountPoint,
                            bool writable) override {
        return tool_.mount(std::move(disk), std::move(mountPoint), writable);
    }
    QCoro::Task<void> unmount(std::filesystem::path mountPoint, bool force) override {
        return tool_.unmount(std::move(mountPoint), force);
    }
    QCoro::Task<void> detach(std::string disk) override { return tool_.detach(std::move(disk)); }
    QCoro::Task<void> cleanup() override { return tool_.cleanup(); }
    bool isMounted(const std::filesystem::path& mountPoint) const override {
        return DiskTool::isMounted(mountPoint, "mtpfs");
    }

    QCoro::Task<PreflightResult> probe(mtp::USBDeviceRecord record) override {
        return preflight_.run(std::move(record));
    }

    void applyLoginDefault() override { loginItem_.applyLoginDefault(); }
    void refreshLoginItem() override { loginItem_.refreshLoginItem(); }
    bool loginItemEnabled() const override { return loginItem_.isEnabled(); }
    void setLoginItem(bool on) override { loginItem_.setLoginItem(on); }
    QCoro::Task<bool> isExtensionEnabled() override {
        return brisvale::isExtensionEnabled(helper_);
    }

    void startWatcher(OnGone onGone) override {
        watcher_ = std::make_unique<DiskWatcher>(std::move(onGone));
    }
    void watch(const std::string& disk) override {
        if (watcher_) watcher_->watch(disk);
    }
    void unwatch(const std::string& disk) override {
        if (watcher_) watcher_->unwatch(disk);
    }

    void startMonitor(OnSnapshot onSnapshot) override {
        monitor_ = std::make_unique<DeviceMonitor>(std::move(onSnapshot), clock_);
        monitor_->start();
    }

  private:
    std::unique_ptr<QSettings> settings_;
    std::filesystem::path helper_;
    ShellRunner runner_;
    QtClock clock_;
    DiskTool tool_;
    Preflight preflight_;
    LoginItem loginItem_;
    std::unique_ptr<DiskWatcher> watcher_;
    std::unique_ptr<DeviceMonitor> monitor_;
};

}  // namespace

std::unique_ptr<ModelServices> makeSystemServices(SystemServicesConfig config) {
    return std::make_unique<SystemServices>(std::move(config));
}

}  // namespace brisvale
