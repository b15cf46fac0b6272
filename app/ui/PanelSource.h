#pragma once
// What the panel asks of the rest of the app. The panel keeps no phone state: rows and flags come
// in through PanelView's setters, and every change the user asks for goes out through these
// callbacks (AppModel's operations in the app, recorders in tests). An empty callback does
// nothing.

#include <QUrl>
#include <filesystem>
#include <functional>
#include <string>

namespace brisvale {

struct PanelActions {
    // A row's mount switch: the row's record id and the switch's new value.
    std::function<void(const std::string& id, bool on)> setMounted;
    // Read-only chosen (false), or "Allow changes" confirmed (true).
    std::function<void(const std::string& id, bool writable)> setWritable;
    std::function<void(bool on)> setAutoMount;
    std::function<void(bool on)> setOpenAtLogin;
    // The Quit control; the app answers it after unmounting everything.
    std::function<void()> quit;
    // Opens an address or folder with the desktop's default handler (QDesktopServices when
    // empty).
    std::function<void(const QUrl&)> openUrl;
    // The parent of every mount folder; Show in Files opens <volumesFolder>/<row folder>.
    std::filesystem::path volumesFolder;
    // Where the setup card's button leads: the page that says how to install the helper.
    QUrl setupPage;
};

}  // namespace brisvale
