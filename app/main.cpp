// brisvale: watches USB for phones, mounts each one by itself and takes everything down at the
// end. With a display it is a tray app with the panel; with --headless, or without a display,
// the model runs alone. Either way every change of a phone is printed on standard output, and
// quitting (or SIGINT, SIGTERM) unmounts and detaches before the process exits.

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <qcoro/qcorotask.h>

#include "app/model/AppModel.h"
#include "app/services/AppLog.h"
#include "app/services/DiskTool.h"
#include "app/ui/TrayApp.h"
#include "app/update/BundleInfo.h"
#include "app/update/UpdateModel.h"

namespace {

using namespace brisvale;

int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop reads the byte.
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
}

std::string readable(const DeviceRow& row) {
    const DeviceStatus& s = row.status;
    const std::string name = row.record.name + " [" + row.record.id + "]: ";
    struct Text {
        const DeviceStatus& s;
        std::string operator()(const phase::Mounted& m) const {
            std::string text =
                "mounted on " + m.mountPoint + " (" + (s.writable ? "read-write" : "read-only");
            if (s.free) {
                char amount[32];
                std::snprintf(amount, sizeof amount, ", %.1f GB free", *s.free / 1e9);
                text += amount;
            }
            return text + ")";
        }
        std::string operator()(const phase::Busy& b) const { return "busy, held by " + b.owner; }
        std::string operator()(const phase::Failed& f) const { return "failed: " + f.message; }
        std::string operator()(const phase::NotMounted&) const {
            return s.userEjected ? "not mounted (ejected)" : "not mounted";
        }
        std::string operator()(const phase::Preparing&) const { return "preparing"; }
        std::string operator()(const phase::Locked&) const {
            return "locked: unlock the phone to mount it";
        }
        std::string operator()(const phase::Mounting&) const { return "mounting"; }
        std::string operator()(const phase::Unmounting&) const { return "unmounting"; }
        std::string operator()(const phase::ChargingOnly&) const {
            return "charging only (no file transfer)";
        }
    };
    return name + std::visit(Text{s}, s.phase);
}

// Prints a line for each phone whose shown state changed, and one when it is unplugged.
class ChangePrinter {
  public:
    void print(const std::vector<DeviceRow>& rows) {
        std::map<std::string, std::string> now;
        for (const DeviceRow& row : rows) {
            std::string line = readable(row);
            if (shown_[row.record.id] != line) std::printf("%s\n", line.c_str());
            now[row.record.id] = std::move(line);
        }
        for (const auto& [id, line] : shown_) {
            if (!now.contains(id) && !line.empty()) {
                std::printf("%s\n", (line.substr(0, line.find("]: ") + 3) + "unplugged").c_str());
            }
        }
        shown_ = std::move(now);
        std::fflush(stdout);
    }

  private:
    std::map<std::string, std::string> shown_;
};

QCoro::Task<void> stop(AppModel& model) {
    std::printf("stopping: unmounting every phone\n");
    std::fflush(stdout);
    co_await model.shutdown();
    QCoreApplication::quit();
}

// The model alone; SIGINT and SIGTERM arrive through a socket pair read on the event loop.
int runHeadless(int argc, char** argv) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        std::perror("brisvale: socketpair");
        return 1;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    QCoreApplication application(argc, argv);
    useAppLogIdentity();
    AppModel model(makeSystemServices());
    ChangePrinter printer;
    QObject::connect(&model, &AppModel::devicesChanged, [&] { printer.print(model.devices()); });

    QSocketNotifier stopRequests(signalPipe[0], QSocketNotifier::Read);
    bool stopping = false;
    QObject::connect(&stopRequests, &QSocketNotifier::activated, [&] {
        char byte;
        [[maybe_unused]] ssize_t got = ::read(signalPipe[0], &byte, 1);
        if (stopping) return;  // a second signal waits for the first shutdown
        stopping = true;
        auto detached = stop(model);
    });
    return application.exec();
}

// The tray app: the panel shows the model's rows and sends the user's requests to it. The tray
// owns quitting (its control, SIGINT, SIGTERM): the model's shutdown runs first.
int runWithPanel(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    useAppLogIdentity();
    const BundleInfo bundle = mainBundle();
    ui::removeOldCopy(bundle, QCoreApplication::applicationDirPath().toStdString());

    AppModel model(makeSystemServices());
    UpdateModel updates(bundle, QUrl(QString::fromUtf8(siteAddress())));
    ChangePrinter printer;

    PanelActions actions;
    actions.setMounted = [&](const std::string& id, bool on) { model.setMounted(id, on); };
    actions.setWritable = [&](const std::string& id, bool on) { model.setWritable(id, on); };
    actions.setAutoMount = [&](bool on) { model.setAutoMount(on); };
    actions.setOpenAtLogin = [&](bool on) { model.setOpenAtLogin(on); };
    actions.volumesFolder = DiskFolders::fromEnvironment().volumes;
    actions.setupPage = ui::TrayApp::setupPage();
    ui::TrayApp tray(std::move(actions), &updates, bundle, [&]() -> QCoro::Task<void> {
        std::printf("stopping: unmounting every phone\n");
        std::fflush(stdout);
        co_await model.shutdown();
    });

    ui::PanelView& panel = tray.panel();
    const auto showRows = [&] {
        panel.setRows(model.devices());
        printer.print(model.devices());
    };
    const auto showPreferences = [&] {
        panel.setPreferences(model.openAtLogin(), model.autoMount());
    };
    QObject::connect(&model, &AppModel::devicesChanged, showRows);
    QObject::connect(&model, &AppModel::extensionEnabledChanged, &panel,
                     &ui::PanelView::setExtensionEnabled);
    QObject::connect(&model, &AppModel::autoMountChanged, showPreferences);
    QObject::connect(&model, &AppModel::openAtLoginChanged, showPreferences);
    showRows();
    panel.setExtensionEnabled(model.extensionEnabled());
    showPreferences();

    tray.show();
    updates.start();
    return application.exec();
}

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--headless")) {
            headless = true;
        } else {
            std::fprintf(stderr, "usage: brisvale [--headless]\n");
            return std::strcmp(argv[i], "--help") && std::strcmp(argv[i], "-h") ? 2 : 0;
        }
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) headless = true;
    return headless ? runHeadless(argc, argv) : runWithPanel(argc, argv);
}
