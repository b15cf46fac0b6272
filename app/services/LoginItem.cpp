#include "app/services/LoginItem.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/services/AppLog.h"

namespace brisvale {

namespace fs = std::filesystem;

namespace {

fs::path defaultAutostartFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return fs::path(config) / "autostart";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".config" / "autostart";
}

// The desktop entry's quoting of an Exec argument: always quoted, with \ " ` $ escaped.
std::string quotedExec(const std::string& path) {
    std::string text = "\"";
    for (char c : path) {
        if (c == '\\' || c == '"' || c == '`' || c == '$') text += '\\';
        text += c;
    }
    return text + "\"";
}

}  // namespace

LoginItem::LoginItem(QSettings& settings, fs::path autostartFolder, fs::path executable)
    : settings_(settings),
      folder_(autostartFolder.empty() ? defaultAutostartFolder() : std::move(autostartFolder)),
      executable_(executable.empty()
                      ? fs::path(QCoreApplication::applicationFilePath().toStdString())
                      : std::move(executable)) {}

bool LoginItem::isEnabled() const {
    std::ifstream in(entryPath());
    if (!in) return false;
    for (std::string line; std::getline(in, line);) {
        if (line == "Hidden=true") return false;
    }
    return true;
}

bool LoginItem::registerEntry(std::string& error) {
    std::error_code made;
    fs::create_directories(folder_, made);
    const fs::path temporary = entryPath().string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=Brisvale\n"
               "Comment=Shows phones as volumes\n"
               "Exec="
            << quotedExec(executable_.string())
            << "\n"
               "X-GNOME-Autostart-enabled=true\n";
        out.close();
        if (!out) {
            error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    std::error_code renamed;
    fs::rename(temporary, entryPath(), renamed);
    if (renamed) {
        error = renamed.message();
        fs::remove(temporary, renamed);
        return false;
    }
    return true;
}

bool LoginItem::unregisterEntry(std::string& error) {
    std::error_code removed;
    fs::remove(entryPath(), removed);
    if (removed) error = "cannot remove " + entryPath().string() + ": " + removed.message();
    return !removed;
}

void LoginItem::setLoginItem(bool on) {
    std::string error;
    if (on) {
        if (registerEntry(error)) {
            settings_.setValue("loginItemPath", QString::fromStdString(executable_.string()));
            return;
        }
    } else if (unregisterEntry(error)) {
        return;
    }
    APP_LOG(error, "login item %s failed: %s", on ? "register" : "unregister", error.c_str());
}

void LoginItem::applyLoginDefault() {
    if (settings_.value("didApplyLoginDefault").toBool()) return;
    settings_.setValue("didApplyLoginDefault", true);
    setLoginItem(true);
}

void LoginItem::refreshLoginItem() {
    if (!isEnabled()) return;
    const QVariant stored = settings_.value("loginItemPath");
    if (stored.isValid() && stored.toString().toStdString() == executable_.string()) return;
    std::string ignored;
    unregisterEntry(ignored);
    setLoginItem(true);
}

QCoro::Task<bool> isExtensionEnabled(fs::path helper) {
    if (::access(helper.c_str(), X_OK) != 0) co_return false;
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) co_return false;
    ::close(fuse);
    co_return true;
}

}  // namespace brisvale
