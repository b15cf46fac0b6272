#include "app/ui/TrayApp.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <csignal>
#include <fstream>

namespace brisvale::ui {

namespace {

// A signal handler may only write(); the event loop reads the pipe's other end.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

}  // namespace

TrayApp::TrayApp(PanelActions actions, UpdateModel* updates, BundleInfo bundle,
                 std::function<QCoro::Task<void>()> shutdown)
    : shutdown_(std::move(shutdown)) {
    actions.quit = [this] { requestQuit(); };
    if (actions.setupPage.isEmpty()) actions.setupPage = setupPage();
    panel_ = std::make_unique<PanelView>(std::move(actions), updates, std::move(bundle));
    panel_->installEventFilter(this);
    QApplication::setQuitOnLastWindowClosed(false);

    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        signalNotifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
        connect(signalNotifier_, &QSocketNotifier::activated, this, [this] {
            char bytes[16];
            while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            requestQuit();
        });
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
}

TrayApp::~TrayApp() {
    if (signalNotifier_) {
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

void TrayApp::show() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(QIcon(":/brisvale/brisvale.svg"), this);
        tray_->setToolTip("Brisvale");
        auto* menu = new QMenu(panel_.get());
        menu->addAction("Open Brisvale", this, [this] { togglePanel(); });
        menu->addAction("Quit", this, [this] { requestQuit(); });
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](auto reason) {
            if (reason == QSystemTrayIcon::Trigger) togglePanel();
        });
        panel_->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
        tray_->show();
    } else {
        panel_->setWindowFlags(Qt::Window);
        panel_->show();
    }
}

void TrayApp::togglePanel() {
    if (panel_->isVisible()) {
        panel_->hide();
        return;
    }
    // Beside the icon when the tray says where it is; else the screen's top-trailing corner,
    // where tray areas usually are.
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const QRect icon = tray_ ? tray_->geometry() : QRect();
    panel_->adjustSize();
    QPoint at = icon.isValid() ? QPoint(icon.center().x() - panel_->width() / 2, icon.bottom() + 4)
                               : QPoint(area.right() - panel_->width() - 8, area.top() + 8);
    if (icon.isValid() && icon.center().y() > area.center().y())
        at.setY(icon.top() - 4 - panel_->height());
    at.setX(std::clamp(at.x(), area.left(), area.right() - panel_->width()));
    at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - panel_->height())));
    panel_->move(at);
    panel_->show();
    panel_->activateWindow();
}

bool TrayApp::eventFilter(QObject* watched, QEvent* event) {
    // Without a tray the window is the app: closing it quits, after unmounting.
    if (watched == panel_.get() && event->type() == QEvent::Close && !tray_ && !quitting_) {
        event->ignore();
        requestQuit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void TrayApp::requestQuit() {
    if (quitting_) return;
    quitting_ = true;
    quit();
}

QCoro::Task<void> TrayApp::quit() {
    if (shutdown_) co_await shutdown_();
    emit finished();
    QCoreApplication::quit();
}

void removeOldCopy(const BundleInfo& bundle, const std::filesystem::path& running,
                   const std::filesystem::path& old) {
    std::error_code error;
    if (std::filesystem::weakly_canonical(running, error) ==
        std::filesystem::weakly_canonical(old, error))
        return;
    std::ifstream file(old / "bundle-id");
    std::string identifier;
    if (!file || !std::getline(file, identifier) || identifier.empty() || !bundle.identifier ||
        identifier != *bundle.identifier)
        return;
    // Qt puts a home trash whose data folder is missing into the working directory.
    QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    QFile folder(QString::fromStdString(old.string()));
    if (!folder.moveToTrash())
        ::syslog(LOG_WARNING, "Brisvale: could not move the old Kestrum.app to the Trash: %s",
                 folder.errorString().toUtf8().constData());
}

QUrl TrayApp::setupPage() {
    const QString installed =
        QCoreApplication::applicationDirPath() + "/../share/brisvale/setup.html";
    if (QFileInfo::exists(installed))
        return QUrl::fromLocalFile(QFileInfo(installed).canonicalFilePath());
    return QUrl::fromLocalFile(BRISVALE_SOURCE_SETUP_PAGE);
}

}  // namespace brisvale::ui
