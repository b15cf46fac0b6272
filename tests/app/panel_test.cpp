// The panel's rows, switches and keyboard, and screenshots under build/screenshots/.

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QTest>
#include <QTextDocumentFragment>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <qcoro/qcorotimer.h>

#include "app/ui/PanelView.h"
#include "app/ui/TrayApp.h"

namespace {

using namespace brisvale;
using namespace brisvale::ui;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Call = std::pair<std::string, bool>;

QApplication& application() {
    static int argc = 1;
    static char name[] = "panel_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's GUI objects must not be torn down by exit handlers after their
    // own statics are gone.
    static auto* instance = new QApplication(argc, argv);
    return *instance;
}

DeviceRow row(DevicePhase phase, std::string id = "SIM0001", DeviceStatus status = {}) {
    DeviceRow r;
    r.record.id = id;
    r.record.name = "Pixel 7";
    r.status = std::move(status);
    r.status.phase = std::move(phase);
    if (is<phase::Mounted>(r.status.phase)) r.folder = "Pixel 7 (2)";
    return r;
}

DeviceStatus flags(bool canWrite, bool writable = false, bool remounting = false,
                   bool refused = false, std::optional<uint64_t> free = 12'400'000'000) {
    return {{}, false, free, 128'000'000'000, writable, canWrite, remounting, refused};
}

const phase::Mounted mounted{"/home/u/.local/share/Kestrum/Volumes/Pixel 7 (2)", "loop7"};

struct RowCase {
    DeviceRow row;
    Tint tint, leadTint;
    std::string line;  // the lead part in leadTint, then "|" and the plain rest, if any
    Accessory accessory;
    bool bar;
};

// Every phase, and the flags that change a mounted row; ids are unique.
std::vector<RowCase> everyRow() {
    const Tint O = Tint::orange, P = Tint::plain, G = Tint::green;
    const auto S = Accessory::mountSwitch, N = Accessory::spinner;
    std::vector<RowCase> cases = {
        {row(phase::Busy{"gvfsd-mtp"}), O, O, "In use by gvfsd-mtp|: quit it to mount", S, false},
        {row(mounted, "a", flags(true)), P, G, "● Mounted| · 12 GB free of 128 GB", S, true},
        {row(mounted, "a", flags(true, false, false, false, std::nullopt)), P, G, "● Mounted", S,
         true},
        {row(mounted, "a", flags(true, false, false, true)), P, O,
         "Couldn't switch|: close files on the phone first", S, true},
        {row(phase::Failed{"the phone stopped responding. Reconnect it and try again"}), O, O,
         "Couldn't mount|: the phone stopped responding. Reconnect it and try again", S, false},
        {row(phase::NotMounted{}), P, P, "Not mounted", S, false},
        {row(phase::Preparing{}), P, P, "Mounting…", N, false},
        {row(phase::Locked{}), O, O,
         "Unlock the phone|, then choose “File transfer” or tap “Allow”", S, false},
        {row(phase::Mounting{}), P, P, "Mounting…", N, false},
        {row(phase::Unmounting{}), P, P, "Unmounting…", N, false},
        {row(phase::ChargingOnly{}), O, O, "Charging only|: pick “File transfer” on the phone",
         Accessory::none, false},
        {row(mounted, "a", flags(true, true, true)), P, P, "Remounting…", S, true},
        {row(phase::Unmounting{}, "a", flags(true, true, true)), P, P, "Remounting…", N, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) cases[i].row.record.id = std::to_string(i);
    return cases;
}

TEST(RowPresentation, EveryPhaseAndFlagBytesVersionsAndUpdateStatus) {
    for (const RowCase& c : everyRow()) {
        SCOPED_TRACE(describe(c.row.status.phase));
        const bool charging = is<phase::ChargingOnly>(c.row.status.phase);
        EXPECT_EQ(rowTitle(c.row),
                  is<phase::Mounted>(c.row.status.phase) ? "Pixel 7 (2)" : "Pixel 7");
        EXPECT_EQ(rowSymbol(c.row), charging ? "cable.connector" : "iphone");
        EXPECT_EQ(rowTint(c.row), c.tint);
        const size_t bar = c.line.find('|');
        StyledText line{{c.line.substr(0, bar), c.leadTint}};
        if (bar != std::string::npos) line.push_back({c.line.substr(bar + 1)});
        EXPECT_EQ(statusLine(c.row), line);
        EXPECT_EQ(rowAccessory(c.row), c.accessory);
        EXPECT_EQ(showsActionBar(c.row), c.bar);
    }
    // What the screenshots below do not show.
    const std::pair<uint64_t, const char*> sizes[] = {
        {1'000'000'000, "1 GB"}, {999'499'999, "999 MB"},  {500'000, "1 MB"},
        {1'499'999'999, "1 GB"}, {999'999'999, "1000 MB"}, {0, "0 MB"}};
    for (auto [bytes, text] : sizes) EXPECT_EQ(formatBytes(bytes), text) << bytes;
    EXPECT_EQ(formatFileSize(0), "Zero bytes");
    EXPECT_EQ(statusSummary(true, 1), "1 device connected");
    EXPECT_EQ(versionLine({"1.4", std::nullopt, {}}), "Version 1.4 (?)");
    const LatestRelease release{"1.5", 28, 1, QUrl("https://x/")};
    EXPECT_EQ(updateStatus(UpdatePhase::checking, release), "Checking…");
    EXPECT_EQ(updateStatus(UpdatePhase::upToDate, std::nullopt), "Up to date");
    EXPECT_EQ(updateStatus(UpdatePhase::failed, std::nullopt), std::nullopt);
}

QAbstractButton* button(QWidget* root, const QString& text) {
    for (auto* b : root->findChildren<QAbstractButton*>())
        if (b->text() == text) return b;
    ADD_FAILURE() << "no button " << text.toStdString();
    return nullptr;
}

TEST(Panel, ReadWriteAsksFirstSwitchesFollowTheModel) {
    application();
    std::vector<Call> mounts, writable;  // what the panel asks of the model
    std::vector<QUrl> opened;
    int quits = 0;
    PanelActions actions;
    actions.setMounted = [&](const std::string& id, bool on) { mounts.emplace_back(id, on); };
    actions.setWritable = [&](const std::string& id, bool w) { writable.emplace_back(id, w); };
    actions.openUrl = [&](const QUrl& url) { opened.push_back(url); };
    actions.quit = [&] { ++quits; };
    actions.volumesFolder = "/home/u/.local/share/Kestrum/Volumes";
    UpdateModel updates({"1.4", "27", {}}, QUrl("http://127.0.0.1:9/"));
    PanelView panel(actions, &updates, {"1.4", "27", {}});
    panel.show();
    auto view = [&](const std::string& id = "SIM0001") { return panel.devicesTab()->rowView(id); };
    panel.setRows({row(mounted, "SIM0001", flags(true))});
    QTest::mouseClick(view()->modeSwitch()->readWrite(), Qt::LeftButton);
    EXPECT_TRUE(view()->askToWrite()->isVisible());
    EXPECT_FALSE(view()->modeSwitch()->isVisible());
    EXPECT_THAT(writable, IsEmpty());
    QTest::mouseClick(view()->askToWrite()->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(view()->askToWrite()->isVisible());
    EXPECT_THAT(writable, IsEmpty());

    QTest::mouseClick(view()->modeSwitch()->readWrite(), Qt::LeftButton);
    panel.setRows({row(mounted, "SIM0001", flags(true))});  // a redraw keeps it open
    EXPECT_TRUE(view()->askToWrite()->isVisible());
    panel.setRows({row(phase::Unmounting{}, "SIM0001", flags(true))});  // left mounted: gone
    panel.setRows({row(mounted, "SIM0001", flags(true))});
    EXPECT_FALSE(view()->asking());
    EXPECT_FALSE(view()->askToWrite()->isVisible());
    EXPECT_THAT(writable, IsEmpty());

    QTest::mouseClick(view()->modeSwitch()->readWrite(), Qt::LeftButton);
    QTest::keyClick(view()->askToWrite()->allowButton(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return writable.size() == 1; }));
    EXPECT_EQ(writable[0], Call("SIM0001", true));
    EXPECT_FALSE(view()->asking());

    panel.setRows({row(mounted, "SIM0001", flags(true, true))});
    QTest::mouseClick(view()->modeSwitch()->readWrite(), Qt::LeftButton);  // already selected
    QTest::mouseClick(view()->modeSwitch()->readOnly(), Qt::LeftButton);
    EXPECT_THAT(writable, ElementsAre(Call("SIM0001", true), Call("SIM0001", false)));
    EXPECT_FALSE(view()->asking());

    panel.setRows({row(mounted, "SIM0001", flags(false)), row(phase::NotMounted{}, "SIM0002")});
    QAbstractButton* readWrite = view()->modeSwitch()->readWrite();
    EXPECT_FALSE(readWrite->isEnabled());
    EXPECT_EQ(readWrite->toolTip(), "This phone doesn't allow changes over USB.");

    QTest::mouseClick(view()->mountSwitch(), Qt::LeftButton);
    QTest::keyClick(view("SIM0002")->mountSwitch(), Qt::Key_Space);
    EXPECT_THAT(mounts, ElementsAre(Call("SIM0001", false), Call("SIM0002", true)));
    EXPECT_TRUE(view()->mountSwitch()->isChecked());  // until the model says otherwise

    QTest::mouseClick(view()->showInFiles(), Qt::LeftButton);
    EXPECT_THAT(
        opened,
        ElementsAre(QUrl::fromLocalFile("/home/u/.local/share/Kestrum/Volumes/Pixel 7 (2)")));
    DeviceRow unnamed = row(mounted, "SIM0001", flags(true));
    unnamed.folder.reset();
    panel.setRows({unnamed});
    QTest::mouseClick(view()->showInFiles(), Qt::LeftButton);
    EXPECT_EQ(opened.size(), 1u);
    EXPECT_EQ(view()->mountSwitch()->accessibleName(), "Mounted: Pixel 7");

    QTest::keyClick(button(&panel, "Quit"), Qt::Key_Enter);  // Enter presses a focused button
    EXPECT_TRUE(QTest::qWaitFor([&] { return quits == 1; }));
}

// Every text the widget tree shows or names, rich text as plain.
std::vector<std::string> texts(QWidget* root) {
    std::vector<std::string> out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root)) continue;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            text = label->textFormat() == Qt::PlainText
                       ? label->text()
                       : QTextDocumentFragment::fromHtml(label->text()).toPlainText();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            text = button->text();  // as drawn: "&&" is "&", a single "&" marks a mnemonic
            text.replace("&&", "\x01").remove('&').replace("\x01", "&");
        }
        for (const QString& t : {text, w->toolTip(), w->accessibleName()})
            if (!t.isEmpty()) out.push_back(t.toStdString());
    }
    return out;
}

// Controls that Tab skips or that assistive technology could not name.
std::vector<std::string> unreachableOrUnnamed(QWidget* root) {
    std::vector<std::string> out;
    for (QWidget* w : root->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(w) || (w->focusPolicy() & Qt::TabFocus);
        if (!w->isVisibleTo(root) || !control) continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        if (!(w->focusPolicy() & Qt::TabFocus) || !a || a->text(QAccessible::Name).isEmpty())
            out.push_back(w->metaObject()->className() +
                          (": " + w->accessibleName().toStdString()));
    }
    return out;
}

struct Shot {
    const char* file;
    std::function<void(PanelView&)> set;
    std::vector<std::string> mustShow;
};

TEST(PanelScreenshots, EveryTabAndPhase) {
    application();
    const QString folder = SCREENSHOT_DIR;
    QDir().mkpath(folder);
    std::vector<DeviceRow> everyPhase;
    for (const RowCase& c : everyRow()) everyPhase.push_back(c.row);
    std::vector<std::string> everyPhaseShows = {
        "Phones always mount read-only; unplugging switches back. Mounted phones also appear "
        "in Files under Locations.",
        "Brisvale",
        "13 devices connected",
        "Devices",
        "Settings",
        "About",
        "Quit",
        "Read-only",
        "Read & write",
        "Show in Files",
        "Mounted: Pixel 7"};
    for (const DeviceRow& r : everyPhase) everyPhaseShows.push_back(plainText(statusLine(r)));
    const Shot shots[] = {
        {"devices-every-phase.png", [&](PanelView& p) { p.setRows(everyPhase); }, everyPhaseShows},
        {"devices-asking.png",
         [](PanelView& p) {
             p.setRows({row(mounted, "1", flags(true))});
             p.devicesTab()->rowView("1")->modeSwitch()->readWrite()->click();
         },
         {"Allow changes to Pixel 7 (2)?", "Cancel", "Allow changes",
          "Files on the phone can then be edited, moved and deleted from this computer. The "
          "phone remounts, and goes back to read-only when you unplug it."}},
        {"devices-empty.png",
         [](PanelView& p) { p.setRows({}); },
         {"No devices", "Connect an Android phone with a USB cable and choose File transfer."}},
        {"devices-setup.png",
         [&](PanelView& p) {
             p.setRows(everyPhase);
             p.setExtensionEnabled(false);
         },
         {"Setup needed", "Setup", "Allow Brisvale in setup", "Open setup",
          "Brisvale's file system helper must be installed once before phones can appear in "
          "Files.",
          "This panel switches to your devices on its own once setup is done."}},
        {"settings.png",
         [](PanelView& p) {
             p.setPreferences(true, false);
             p.select(PanelTab::settings);
         },
         {"General", "Open at login", "Start Brisvale when you log in", "Auto-mount",
          "Mount supported phones as soon as they connect"}},
        {"about.png",
         [](PanelView& p) { p.select(PanelTab::about); },
         {"Version 1.4 (27)", "Android phones in Files, like any USB drive.", "Developer", "Tavrel",
          "Check for updates", "Website & support"}},
        {"about-update.png",
         [](PanelView& p) { p.select(PanelTab::about); },
         {"Update available", "Brisvale 1.5 is available", "You have 1.4 · 48.3 MB", "Download",
          "1.5 available"}},
    };
    for (const Shot& shot : shots) {
        SCOPED_TRACE(shot.file);
        std::optional<LatestRelease> release;
        if (std::string(shot.file) == "about-update.png")
            release = LatestRelease{"1.5", 28, 48'300'000, QUrl("https://x/b.deb")};
        UpdateModel updates({"1.4", "27", {}}, QUrl("http://127.0.0.1:9/"), release);
        PanelView panel(PanelActions{}, &updates, {"1.4", "27", {}});
        panel.show();
        shot.set(panel);
        // The panel fits its height once the rows' layouts have settled: rounds of posted events,
        // not a wait, so that a loaded machine sees the same picture.
        for (int round = 0; round < 10; ++round) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
        }
        const QImage image = panel.grab().toImage();
        ASSERT_TRUE(image.save(folder + "/" + shot.file));
        std::set<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 20u) << "blank";
        const auto shown = texts(&panel);
        for (const std::string& text : shot.mustShow) EXPECT_THAT(shown, Contains(text));
        for (auto* label : panel.findChildren<QLabel*>()) {
            if (!label->isVisibleTo(&panel) || label->text().isEmpty()) continue;
            EXPECT_GE(label->height(), label->wordWrap() ? label->heightForWidth(label->width())
                                                         : label->minimumSizeHint().height())
                << "cut off: " << label->text().toStdString();
        }
        EXPECT_THAT(unreachableOrUnnamed(&panel), IsEmpty());
    }
}

// Without a tray host the panel is a window; SIGTERM, closing it and Quit all wait for the one
// shutdown.
TEST(TrayApp, EveryQuitWaitsForOneShutdown) {
    application();
    UpdateModel updates({"1.4", "27", {}}, QUrl("http://127.0.0.1:9/"));
    int shutdowns = 0;
    bool unmounted = false, finishedAfterUnmount = false, finished = false;
    TrayApp app(PanelActions{}, &updates, {}, [&]() -> QCoro::Task<void> {
        ++shutdowns;
        co_await QCoro::sleepFor(std::chrono::milliseconds(100));
        unmounted = true;
    });
    QObject::connect(&app, &TrayApp::finished, [&] {
        finished = true;
        finishedAfterUnmount = unmounted;
    });
    app.show();
    ASSERT_FALSE(app.hasTray());
    EXPECT_TRUE(app.panel().isWindow() && app.panel().isVisible());

    std::raise(SIGTERM);
    app.panel().close();
    button(&app.panel(), "Quit")->click();
    EXPECT_TRUE(app.panel().isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished; }));
    EXPECT_TRUE(finishedAfterUnmount);
    EXPECT_EQ(shutdowns, 1);
}

// Only a copy elsewhere with this app's identifier goes to the trash.
TEST(TrayApp, OldCopyTrashedOnlyWhenItIsThisApp) {
    application();
    const QString home = QDir::tempPath() + "/brisvale-old-copy";
    QDir(home).removeRecursively();
    qputenv("XDG_DATA_HOME", (home + "/data").toUtf8());
    const std::filesystem::path old = (home + "/opt/Kestrum").toStdString();
    const std::tuple<const char*, std::filesystem::path, bool> cases[] = {
        {"com.tavrel.brisvale", old, true},  // the running copy itself
        {"com.other.kestrum", "/usr/bin", true},
        {nullptr, "/usr/bin", true},
        {"com.tavrel.brisvale", "/usr/bin", false}};
    for (const auto& [identifier, running, kept] : cases) {
        std::filesystem::create_directories(old);
        std::filesystem::remove(old / "bundle-id");
        if (identifier) std::ofstream(old / "bundle-id") << identifier << "\n";
        removeOldCopy({"1.4", "27", "com.tavrel.brisvale"}, running, old);
        EXPECT_EQ(std::filesystem::exists(old), kept) << (identifier ? identifier : "none");
    }
    EXPECT_TRUE(std::filesystem::exists((home + "/data/Trash/files/Kestrum").toStdString()));
    QDir(home).removeRecursively();
}

}  // namespace
