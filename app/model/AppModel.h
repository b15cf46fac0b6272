#pragma once
// The app's single source of truth about phones: one row per connected phone, what happens to
// each and when, and the flows that do it (probe, attach and mount, unmount, read-write switch,
// teardown). Every change is announced through the signals below.

#include <QObject>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

#include "app/model/DeviceRow.h"
#include "app/model/ModelServices.h"
#include "app/model/Transitions.h"

namespace brisvale {

// A flow's phone was unplugged or enumerated anew while the flow waited. Never logged or shown.
struct Superseded : std::exception {
    const char* what() const noexcept override { return "superseded"; }
};

// Main thread only. Flows run as tasks on the main thread's event loop and re-check their row
// (still there, same registryID) after every wait before they write to it.
class AppModel : public QObject {
    Q_OBJECT

  public:
    static constexpr std::chrono::milliseconds tickInterval{2000};

    // A live model: reads its settings and the login item, creates the disk watcher, starts the
    // 2-second tick and then, in a task, cleans up after earlier runs, asks whether the file
    // system is usable and starts the device monitor. Destroy it only after shutdown() ended.
    explicit AppModel(std::unique_ptr<ModelServices> services, QObject* parent = nullptr);
    // A static model showing `preset` (previews): it starts nothing and acts on nothing.
    AppModel(std::vector<DeviceRow> preset, bool extensionEnabled, QObject* parent = nullptr);
    ~AppModel() override;

    // In order of arrival.
    const std::vector<DeviceRow>& devices() const { return devices_; }
    // The row with that id, or null. Valid until the next change.
    const DeviceRow* device(const std::string& id) const;
    bool extensionEnabled() const { return extensionEnabled_; }
    bool autoMount() const { return autoMount_; }
    bool openAtLogin() const { return openAtLogin_; }
    // Whether any flow (probe, mount, unmount, switch, teardown, tick) is under way.
    bool isBusy() const { return running_ > 0; }

    // A USB snapshot from the device monitor: new phones get rows, missing ones are torn down,
    // re-enumerated ones start again.
    void apply(std::vector<mtp::USBDeviceRecord> snapshot);
    // The user's mount switch (on: mount, off: eject). Unknown ids are ignored.
    void setMounted(const std::string& id, bool on);
    // The user's read-write switch. Unknown ids are ignored.
    void setWritable(const std::string& id, bool writable);
    // Persisted under "autoMount"; turning it on starts probes of idle, not ejected phones.
    void setAutoMount(bool on);
    // Registers or removes the login item when it differs, then mirrors what it became.
    void setOpenAtLogin(bool on);
    // A watched disk ("loop3") was taken down outside the app.
    void diskGone(const std::string& disk);

    // Stops the tick and every new flow, lets running flows end, then unmounts and detaches
    // every phone and removes the placeholder images. Never throws.
    QCoro::Task<void> shutdown();

  signals:
    void devicesChanged();
    void extensionEnabledChanged(bool enabled);
    void autoMountChanged(bool on);
    void openAtLoginChanged(bool on);

  private:
    DeviceRow* find(const std::string& id);
    // The row is still there and is the same enumeration of the phone.
    bool current(const std::string& id, uint64_t registryID) const;
    // Applies `change` to the row, logs its phase when it changed, announces it.
    void update(DeviceRow& row, const std::function<void(DeviceRow&)>& change);
    void setStatus(const std::string& id, const DeviceStatus& status);
    void markUnmounted(DeviceRow& row);
    void add(const mtp::USBDeviceRecord& record);
    void remove(const std::string& id);
    void setExtensionEnabled(bool enabled);
    std::filesystem::path mountPoint(const std::string& folder) const;

    void perform(PolicyAction action, const std::string& id);
    void spawn(QCoro::Task<void> flow);
    void scheduleTick();

    QCoro::Task<void> startUp();
    QCoro::Task<void> tick();
    QCoro::Task<void> probeFlow(std::string id);
    QCoro::Task<void> mountFlow(std::string id);
    QCoro::Task<void> unmountFlow(std::string id);
    QCoro::Task<void> remountFlow(std::string id);
    QCoro::Task<void> teardown(DeviceRow row, bool force);
    QCoro::Task<void> outsideEject(DeviceRow row);

    std::vector<DeviceRow> devices_;
    bool extensionEnabled_ = true;
    bool autoMount_ = true;
    bool openAtLogin_ = false;
    std::unique_ptr<ModelServices> services_;  // null in a static model
    std::optional<Clock::Handle> timer_;
    std::set<std::string> preflighting_;
    int running_ = 0;
    bool stopping_ = false;
};

}  // namespace brisvale
