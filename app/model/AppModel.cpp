#include "app/model/AppModel.h"

#include <QPointer>
#include <algorithm>
#include <system_error>

#include "app/services/AppLog.h"
#include "app/services/ShellRunner.h"

namespace brisvale {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The text of what a flow caught, for the log and the user message.
std::string describeError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const ShellError& shell) {
        return shell.description();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "unknown error";
    }
}

void removeIfEmpty(const fs::path& folder) {
    std::error_code ignored;  // not empty, still mounted or already gone: it stays or is gone
    if (fs::is_directory(folder, ignored) && fs::is_empty(folder, ignored)) {
        fs::remove(folder, ignored);
    }
}

// Unmounts without force. The refusal's text, or empty once the volume is gone.
QCoro::Task<std::string> unmountOrRefusal(ModelServices& services, fs::path point) {
    try {
        co_await services.unmount(point, false);
    } catch (...) {
        co_return describeError(std::current_exception());
    }
    co_return std::string();
}

bool readAutoMount(QSettings& settings) {
    const QVariant value = settings.value("autoMount");
    if (value.typeId() == QMetaType::Bool) return value.toBool();
    // An ini file keeps every value as text.
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == "true" || text == "false") return text == "true";
    }
    return true;
}

}  // namespace

AppModel::AppModel(std::unique_ptr<ModelServices> services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    autoMount_ = readAutoMount(services_->settings());
    services_->applyLoginDefault();
    services_->refreshLoginItem();
    openAtLogin_ = services_->loginItemEnabled();
    services_->startWatcher([self = QPointer(this)](const std::string& disk) {
        if (self) self->diskGone(disk);
    });
    spawn(startUp());
    scheduleTick();
}

AppModel::AppModel(std::vector<DeviceRow> preset, bool extensionEnabled, QObject* parent)
    : QObject(parent), devices_(std::move(preset)), extensionEnabled_(extensionEnabled) {}

AppModel::~AppModel() = default;

const DeviceRow* AppModel::device(const std::string& id) const {
    auto found = std::find_if(devices_.begin(), devices_.end(),
                              [&](const DeviceRow& row) { return row.record.id == id; });
    return found == devices_.end() ? nullptr : &*found;
}

DeviceRow* AppModel::find(const std::string& id) {
    return const_cast<DeviceRow*>(device(id));
}

bool AppModel::current(const std::string& id, uint64_t registryID) const {
    const DeviceRow* row = device(id);
    return row && row->record.registryID == registryID;
}

fs::path AppModel::mountPoint(const std::string& folder) const {
    return services_->folders().volumes / folder;
}

void AppModel::update(DeviceRow& row, const std::function<void(DeviceRow&)>& change) {
    const DeviceRow before = row;
    change(row);
    if (row == before) return;
    if (row.status.phase != before.status.phase) {
        APP_LOG(info, "%s: %s", row.record.name.c_str(), describe(row.status.phase).c_str());
    }
    emit devicesChanged();
}

void AppModel::setStatus(const std::string& id, const DeviceStatus& status) {
    if (DeviceRow* row = find(id)) update(*row, [&](DeviceRow& r) { r.status = status; });
}

void AppModel::markUnmounted(DeviceRow& row) {
    update(row, [](DeviceRow& r) {
        r.status.phase = phase::NotMounted{};
        r.status.userEjected = true;
        r.status.writable = false;
        r.status.remounting = false;
        r.folder.reset();
        r.disk.reset();
    });
}

void AppModel::setExtensionEnabled(bool enabled) {
    if (enabled == extensionEnabled_) return;
    extensionEnabled_ = enabled;
    emit extensionEnabledChanged(enabled);
}

// ---- Inputs ----

void AppModel::apply(std::vector<mtp::USBDeviceRecord> snapshot) {
    if (stopping_) return;
    std::erase_if(snapshot, [](const mtp::USBDeviceRecord& record) {
        return record.kind.tag() == mtp::DeviceKind::Tag::other;
    });
    std::vector<std::string> missing;
    for (const DeviceRow& row : devices_) {
        const bool present = std::any_of(snapshot.begin(), snapshot.end(), [&](const auto& record) {
            return record.id == row.record.id;
        });
        if (!present) missing.push_back(row.record.id);
    }
    for (const std::string& id : missing) remove(id);
    for (const mtp::USBDeviceRecord& record : snapshot) {
        DeviceRow* row = find(record.id);
        if (!row) {
            add(record);
        } else if (row->record.kind == record.kind && row->record.registryID == record.registryID) {
            update(*row, [&](DeviceRow& r) { r.record = record; });
        } else {
            remove(record.id);
            add(record);
        }
    }
}

void AppModel::add(const mtp::USBDeviceRecord& record) {
    DeviceRow row{record, arrivalStatus(record.kind, autoMount_), std::nullopt, std::nullopt};
    devices_.push_back(row);
    APP_LOG(info, "attached %s [%s]", record.name.c_str(), record.id.c_str());
    emit devicesChanged();
    if (record.kind.isMTP() && autoMount_) perform(PolicyAction::preflight, record.id);
}

void AppModel::remove(const std::string& id) {
    auto found = std::find_if(devices_.begin(), devices_.end(),
                              [&](const DeviceRow& row) { return row.record.id == id; });
    if (found == devices_.end()) return;
    const DeviceRow row = *found;
    devices_.erase(found);
    APP_LOG(info, "detached %s", row.record.name.c_str());
    // Taken down by us: its disk going away is no outside eject.
    if (row.disk && services_) services_->unwatch(*row.disk);
    emit devicesChanged();
    const DevicePhase& p = row.status.phase;
    if (services_ &&
        (is<phase::Mounted>(p) || is<phase::Mounting>(p) || is<phase::Unmounting>(p) || row.disk)) {
        spawn(teardown(row, true));
    }
}

void AppModel::setMounted(const std::string& id, bool on) {
    DeviceRow* row = find(id);
    if (!row) return;
    const Transition next = mountRequest(row->status, on);
    setStatus(id, next.status);
    perform(next.action, id);
}

void AppModel::setWritable(const std::string& id, bool writable) {
    DeviceRow* row = find(id);
    if (!row) return;
    const Transition next = writableRequest(row->status, writable);
    setStatus(id, next.status);
    perform(next.action, id);
}

void AppModel::setAutoMount(bool on) {
    if (services_) services_->settings().setValue("autoMount", on);
    if (on == autoMount_) return;
    autoMount_ = on;
    emit autoMountChanged(on);
    if (!on) return;
    std::vector<std::string> ids;
    for (const DeviceRow& row : devices_) {
        if (is<phase::NotMounted>(row.status.phase) && !row.status.userEjected) {
            ids.push_back(row.record.id);
        }
    }
    for (const std::string& id : ids) {
        if (DeviceRow* row = find(id)) {
            update(*row, [](DeviceRow& r) { r.status.phase = phase::Preparing{}; });
            perform(PolicyAction::preflight, id);
        }
    }
}

void AppModel::setOpenAtLogin(bool on) {
    if (!services_) return;
    if (services_->loginItemEnabled() != on) services_->setLoginItem(on);
    // A failed registration is logged by the login item; the switch shows what really is.
    const bool now = services_->loginItemEnabled();
    if (now == openAtLogin_) {
        if (now != on) emit openAtLoginChanged(now);  // the switch moved; move it back
        return;
    }
    openAtLogin_ = now;
    emit openAtLoginChanged(now);
}

void AppModel::diskGone(const std::string& disk) {
    auto found = std::find_if(devices_.begin(), devices_.end(),
                              [&](const DeviceRow& row) { return row.disk == disk; });
    if (found == devices_.end() || stopping_) return;
    APP_LOG(info, "%s was ejected outside the app", found->record.name.c_str());
    spawn(outsideEject(*found));
}

// ---- Actions and flows ----

void AppModel::perform(PolicyAction action, const std::string& id) {
    if (!services_ || stopping_) return;
    switch (action) {
        case PolicyAction::none:
            return;
        case PolicyAction::preflight:
            return spawn(probeFlow(id));
        case PolicyAction::mount:
            return spawn(mountFlow(id));
        case PolicyAction::unmount:
            return spawn(unmountFlow(id));
        case PolicyAction::cleanup:
            if (const DeviceRow* row = find(id)) spawn(teardown(*row, true));
            return;
        case PolicyAction::remount:
            return spawn(remountFlow(id));
    }
}

void AppModel::spawn(QCoro::Task<void> flow) {
    // Counted so that shutdown() can wait for it. Flows catch their own errors; anything else
    // that escapes is logged, never thrown at the event loop.
    auto counted = [](AppModel* self, QCoro::Task<void> flow) -> QCoro::Task<void> {
        ++self->running_;
        try {
            co_await std::move(flow);
        } catch (const std::exception& error) {
            APP_LOG(error, "%s", error.what());
        }
        --self->running_;
    };
    auto detached = counted(this, std::move(flow));
}

void AppModel::scheduleTick() {
    timer_ = services_->clock().schedule(tickInterval, [self = QPointer(this)] {
        if (!self || self->stopping_) return;
        self->scheduleTick();
        self->spawn(self->tick());
    });
}

QCoro::Task<void> AppModel::startUp() {
    co_await services_->cleanup();
    setExtensionEnabled(co_await services_->isExtensionEnabled());
    if (stopping_) co_return;
    try {
        services_->startMonitor([self = QPointer(this)](std::vector<mtp::USBDeviceRecord> records) {
            if (self) self->apply(std::move(records));
        });
    } catch (const std::exception& error) {
        APP_LOG(error, "cannot watch USB devices: %s", error.what());
    }
}

QCoro::Task<void> AppModel::tick() {
    const bool before = extensionEnabled_;
    const bool enabled = co_await services_->isExtensionEnabled();
    setExtensionEnabled(enabled);
    const bool becameEnabled = !before && enabled;
    std::vector<std::string> ids;
    for (const DeviceRow& row : devices_) ids.push_back(row.record.id);
    for (const std::string& id : ids) {
        DeviceRow* row = find(id);
        if (!row) continue;
        const DeviceStatus& status = row->status;
        if (becameEnabled && autoMount_ && is<phase::NotMounted>(status.phase) &&
            !status.userEjected) {
            update(*row, [](DeviceRow& r) { r.status.phase = phase::Preparing{}; });
            perform(PolicyAction::preflight, id);
        } else if (!status.userEjected &&
                   (is<phase::Busy>(status.phase) || is<phase::Locked>(status.phase))) {
            perform(PolicyAction::preflight, id);
        }
    }
}

QCoro::Task<void> AppModel::probeFlow(std::string id) {
    DeviceRow* row = find(id);
    if (!row || preflighting_.contains(id)) co_return;
    if (!extensionEnabled_) {
        update(*row, [](DeviceRow& r) {
            r.status.phase = phase::NotMounted{};
            r.status.writable = false;
            r.status.remounting = false;
        });
        co_return;
    }
    const uint64_t registryID = row->record.registryID;
    preflighting_.insert(id);
    const PreflightResult result = co_await services_->probe(row->record);
    preflighting_.erase(id);
    row = find(id);
    if (!row) co_return;
    if (row->record.registryID != registryID) {
        // The phone enumerated anew while probed: its new row's probe was skipped for this one,
        // and this result is about a device that is gone.
        if (is<phase::Preparing>(row->status.phase)) perform(PolicyAction::preflight, id);
        co_return;
    }
    const Transition next = probeResult(row->status, result);
    setStatus(id, next.status);
    perform(next.action, id);
}

QCoro::Task<void> AppModel::mountFlow(std::string id) {
    DeviceRow* row = find(id);
    if (!row) co_return;
    const uint64_t registryID = row->record.registryID;
    if (!row->folder) {
        std::set<std::string> taken;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(services_->folders().volumes, ignored)) {
            taken.insert(entry.path().filename().string());
        }
        for (const DeviceRow& other : devices_) {
            if (other.folder) taken.insert(*other.folder);
        }
        const std::string folder = DiskTool::folderName(row->record.name, taken);
        update(*row, [&](DeviceRow& r) { r.folder = folder; });
    }
    DeviceRow known = *row;  // what this flow set up, for the teardown
    const fs::path point = mountPoint(*known.folder);
    const bool writable = known.status.writable;
    std::exception_ptr error;
    bool superseded = false;
    try {
        known.disk = co_await services_->attach(known.record.id, known.record.name, writable);
        row = find(id);
        if (!current(id, registryID)) throw Superseded();
        update(*row, [&](DeviceRow& r) { r.disk = known.disk; });
        services_->watch(*known.disk);
        co_await services_->mount(*known.disk, point, writable);
        row = find(id);
        if (!current(id, registryID)) throw Superseded();
        update(*row, [&](DeviceRow& r) {
            r.status.phase = phase::Mounted{point.string(), *known.disk};
            r.status.remounting = false;
        });
        APP_LOG(info, "mounted %s on %s %s", known.record.name.c_str(), point.c_str(),
                writable ? "read-write" : "read-only");
        co_return;
    } catch (const Superseded&) {
        superseded = true;
    } catch (...) {
        error = std::current_exception();
    }
    if (known.disk) services_->unwatch(*known.disk);
    co_await teardown(known, true);
    row = find(id);
    if (superseded || !current(id, registryID)) co_return;
    const std::string description = describeError(error);
    APP_LOG(error, "mount %s failed: %s", known.record.name.c_str(), description.c_str());
    update(*row, [&](DeviceRow& r) {
        r.status.phase = phase::Failed{failureMessage(description)};
        r.status.writable = false;
        r.status.remounting = false;
        r.folder.reset();
        r.disk.reset();
    });
}

QCoro::Task<void> AppModel::unmountFlow(std::string id) {
    DeviceRow* row = find(id);
    if (!row || !row->folder || !row->disk) co_return;
    const uint64_t registryID = row->record.registryID;
    const std::string name = row->record.name, disk = *row->disk;
    const fs::path point = mountPoint(*row->folder);
    services_->unwatch(disk);
    const std::string refusal = co_await unmountOrRefusal(*services_, point);
    if (refusal.empty()) {
        co_await services_->detach(disk);
        removeIfEmpty(point);
        APP_LOG(info, "unmounted %s", name.c_str());
        row = find(id);
        if (current(id, registryID)) markUnmounted(*row);
        co_return;
    }
    APP_LOG(error, "unmount %s refused: %s", name.c_str(), refusal.c_str());
    row = find(id);
    if (!current(id, registryID)) co_return;  // unplugged meanwhile: its removal tears down
    services_->watch(disk);
    update(*row, [&](DeviceRow& r) { r.status.phase = phase::Mounted{point.string(), disk}; });
}

QCoro::Task<void> AppModel::remountFlow(std::string id) {
    DeviceRow* row = find(id);
    if (!row || !row->folder || !row->disk) co_return;
    const uint64_t registryID = row->record.registryID;
    const std::string name = row->record.name, disk = *row->disk;
    const bool before = !row->status.writable;  // the switch flipped it
    const fs::path point = mountPoint(*row->folder);
    services_->unwatch(disk);
    const std::string refusal = co_await unmountOrRefusal(*services_, point);
    if (refusal.empty()) {
        co_await services_->detach(disk);
        removeIfEmpty(point);
        row = find(id);
        if (!current(id, registryID)) co_return;
        update(*row, [](DeviceRow& r) {
            r.disk.reset();
            r.status.phase = phase::Preparing{};
        });
        perform(PolicyAction::preflight, id);
        co_return;
    }
    APP_LOG(error, "switch %s refused: %s", name.c_str(), refusal.c_str());
    row = find(id);
    if (!current(id, registryID)) co_return;
    services_->watch(disk);
    update(*row, [&](DeviceRow& r) {
        r.status.phase = phase::Mounted{point.string(), disk};
        r.status.writable = before;
        r.status.remounting = false;
        r.status.switchRefused = true;
    });
}

QCoro::Task<void> AppModel::teardown(DeviceRow row, bool force) {
    if (!row.folder) {
        if (row.disk) co_await services_->detach(*row.disk);
        co_return;
    }
    const fs::path point = mountPoint(*row.folder);
    bool unmounted = true;
    try {
        co_await services_->unmount(point, force);
    } catch (const std::exception& error) {
        unmounted = false;
        APP_LOG(debug, "unmount %s: %s", point.c_str(), error.what());
    }
    if (!unmounted && !force) {
        try {
            co_await services_->unmount(point, true);
        } catch (const std::exception& error) {
            APP_LOG(error, "unmount %s failed: %s", point.c_str(), error.what());
        }
    }
    removeIfEmpty(point);
    if (row.disk) co_await services_->detach(*row.disk);
}

QCoro::Task<void> AppModel::outsideEject(DeviceRow row) {
    co_await teardown(row, true);
    DeviceRow* now = find(row.record.id);
    if (current(row.record.id, row.record.registryID) && now->disk == row.disk) markUnmounted(*now);
}

QCoro::Task<void> AppModel::shutdown() {
    if (!services_ || stopping_) co_return;
    stopping_ = true;
    if (timer_) services_->clock().cancel(*timer_);
    // A flow half-way through a mount would otherwise leave it behind once the process ends.
    while (running_ > 0) co_await services_->clock().sleep(100ms);
    std::vector<std::string> ids;
    for (const DeviceRow& row : devices_) {
        if (row.disk) ids.push_back(row.record.id);
    }
    for (const std::string& id : ids) {
        DeviceRow* row = find(id);
        if (!row || !row->disk) continue;
        const std::string disk = *row->disk;
        const std::optional<std::string> folder = row->folder;
        services_->unwatch(disk);
        if (folder) {
            const fs::path point = mountPoint(*folder);
            bool refused = false;
            try {
                co_await services_->unmount(point, false);
            } catch (const std::exception&) {
                refused = true;
            }
            if (refused && services_->isMounted(point)) {
                try {
                    co_await services_->unmount(point, true);
                } catch (const std::exception&) {
                }
            }
            removeIfEmpty(point);
        }
        co_await services_->detach(disk);
        if ((row = find(id))) {
            update(*row, [](DeviceRow& r) {
                r.status.phase = phase::NotMounted{};
                r.folder.reset();
                r.disk.reset();
            });
        }
    }
    // The placeholder images: nothing of this run stays on disk.
    co_await services_->cleanup();
}

}  // namespace brisvale
