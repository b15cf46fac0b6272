#pragma once
// The app's login item (an XDG autostart entry that starts the running binary) and the query
// whether the file system helper is usable.

#include <QSettings>
#include <filesystem>

#include <qcoro/qcorotask.h>

namespace brisvale {

// Main thread. The settings keys are "didApplyLoginDefault" (bool) and "loginItemPath" (text).
class LoginItem {
  public:
    // Keeps a reference to the settings (QSettings("Tavrel", "Brisvale") in the app).
    // `autostartFolder`: $XDG_CONFIG_HOME/autostart by default; `executable`: the running
    // binary by default.
    explicit LoginItem(QSettings& settings, std::filesystem::path autostartFolder = {},
                       std::filesystem::path executable = {});

    // The entry: <autostart folder>/brisvale.desktop.
    std::filesystem::path entryPath() const { return folder_ / "brisvale.desktop"; }

    // Registered means the entry exists and is not Hidden=true.
    bool isEnabled() const;

    // Writes (true) or removes (false) the entry; after a registration stores the executable's
    // path under "loginItemPath". Failures are logged ("login item register failed: ...") and
    // change nothing else.
    void setLoginItem(bool on);

    // The first time for this user: sets "didApplyLoginDefault", then registers.
    void applyLoginDefault();

    // When registered for another copy of the app (moved or replaced), registers this one.
    void refreshLoginItem();

  private:
    bool registerEntry(std::string& error);
    bool unregisterEntry(std::string& error);

    QSettings& settings_;
    std::filesystem::path folder_;
    std::filesystem::path executable_;
};

// Whether the file system can be mounted: the helper is installed and executable and /dev/fuse
// opens. Never throws.
QCoro::Task<bool> isExtensionEnabled(std::filesystem::path helper);

}  // namespace brisvale
