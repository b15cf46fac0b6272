#pragma once
// The app on the desktop: a tray icon (a StatusNotifierItem where the desktop has a host) whose
// click opens the panel as a frameless popup beside it, or, where no tray exists, the panel as an
// ordinary window. Quit, closing that window, SIGTERM and SIGINT all end in one place: the
// caller's shutdown runs to its end, then the event loop quits.

#include <QObject>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>

#include <qcoro/qcorotask.h>

#include "app/ui/PanelView.h"

class QSocketNotifier;
class QSystemTrayIcon;

namespace brisvale::ui {

// The older product installed itself in /opt/Kestrum, with its identifier in the file
// "bundle-id" there. When that is another copy of this app (same identifier as `bundle`, not
// the folder `running` runs from), it goes to the Trash. An unrelated program of that name, a
// folder without the file, and the running copy are left alone. A failed move is one line in
// the system log; nothing else happens.
void removeOldCopy(const BundleInfo& bundle, const std::filesystem::path& running,
                   const std::filesystem::path& old = "/opt/Kestrum");

// Main thread; one per process (it owns the SIGTERM and SIGINT handlers while it lives).
class TrayApp : public QObject {
    Q_OBJECT
  public:
    // `shutdown` unmounts and detaches what the app mounted (AppModel::shutdown); it runs once,
    // however many quit requests arrive. `actions.quit` is replaced by requestQuit().
    TrayApp(PanelActions actions, UpdateModel* updates, BundleInfo bundle,
            std::function<QCoro::Task<void>()> shutdown);
    ~TrayApp() override;

    // Shows the tray icon, or the window when there is no tray. Call once the event loop runs
    // or is about to.
    void show();
    PanelView& panel() { return *panel_; }
    bool hasTray() const { return tray_ != nullptr; }

    // Answered "later": the first request starts shutdown, then finished() and the event loop's
    // quit follow; later requests change nothing.
    void requestQuit();

    // The setup help: the installed page, else the copy in the source tree.
    static QUrl setupPage();

  signals:
    void finished();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QCoro::Task<void> quit();
    void togglePanel();

    std::function<QCoro::Task<void>()> shutdown_;
    std::unique_ptr<PanelView> panel_;
    QSystemTrayIcon* tray_ = nullptr;
    QSocketNotifier* signalNotifier_ = nullptr;
    bool quitting_ = false;
};

}  // namespace brisvale::ui
