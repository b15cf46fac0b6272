// The app model on the virtual USB bus with the real services: udev monitor, preflight, loop
// devices, the mount helper and the mount-table watcher. One user-visible scenario per test;
// every test ends with nothing mounted, attached or left in the image folder.

#include <signal.h>

#include <cstdio>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/model/AppModel.h"
#include "app/services/AppLog.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;

// What a real system tool sees of the disks: mounts under the volumes folder, loop devices
// whose image is in the image folder, and (unless `images` is false: images are removed at
// shutdown and at the next start) files left there. Empty when nothing is left.
std::string leftovers(const DiskFolders& folders, bool images = true) {
    std::string found;
    for (const MountEntry& entry : readMountTable()) {
        if (entry.mountPoint.starts_with(folders.volumes.string()))
            found += "mounted " + entry.mountPoint + "\n";
    }
    if (FILE* loops =
            ::popen("env -u LD_PRELOAD -u UMOCKDEV_DIR losetup --list -n -O NAME,BACK-FILE", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, loops)) {
            if (std::string(line).find(folders.images.string()) != std::string::npos) found += line;
        }
        ::pclose(loops);
    }
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(images ? folders.images : "", ignored)) {
        found += "left " + entry.path().string() + "\n";
    }
    return found;
}

class ModelOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        kestrum::Log::setSink([this](kestrum::LogLevel, std::string_view text) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(text);
        });
    }
    void TearDown() override {
        if (model_) await(model_->shutdown());
        EXPECT_EQ(leftovers(folders()), "");
        model_.reset();
        kestrum::Log::setSink({});
    }
    DiskFolders folders() const { return diskConfig(root_.path()).folders; }
    void start() {
        model_ = std::make_unique<AppModel>(makeSystemServices(
            {diskConfig(root_.path()), root_.path() / "settings.ini", root_.path() / "autostart"}));
    }
    const DeviceRow* row(const std::string& id = "SIM0001") const { return model_->device(id); }
    template <typename Phase>
    bool in(const std::string& id = "SIM0001") const {
        return row(id) && is<Phase>(row(id)->status.phase);
    }
    std::string mountPoint(const std::string& id = "SIM0001") const {
        return std::get<phase::Mounted>(row(id)->status.phase).mountPoint;
    }
    bool logged(const std::string& text) {
        std::lock_guard lock(logMutex_);
        return std::find(log_.begin(), log_.end(), text) != log_.end();
    }
    bool mountedWithin(std::chrono::milliseconds limit, const std::string& id = "SIM0001") {
        return spinUntil([&] { return in<phase::Mounted>(id); }, limit);
    }

    TempFolder root_;
    BusPhone phone_;
    std::unique_ptr<AppModel> model_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(ModelOnBus, PluggedInIsMountedWithFilesReadable) {
    phone_.bus = std::make_unique<usbbus::VirtualUSBBus>();
    start();
    ASSERT_TRUE(spinUntil([&] { return !model_->isBusy(); }));  // the monitor is watching
    phone_.plug();
    ASSERT_TRUE(mountedWithin(10s));
    EXPECT_EQ(outside("grep -qx hello '" + mountPoint() + "/hello.txt'"), 0);
    EXPECT_FALSE(row()->status.writable);
    EXPECT_TRUE(logged("mounted Simulated Phone on " + mountPoint() + " read-only"));
}

TEST_F(ModelOnBus, UnpluggedRowGoesWithNothingLeft) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    phone_.bus->unplug(1);
    ASSERT_TRUE(spinUntil([&] { return model_->devices().empty() && !model_->isBusy(); }));
    EXPECT_EQ(leftovers(folders(), false), "");
    EXPECT_FALSE(std::any_of(log_.begin(), log_.end(), [](const std::string& line) {
        return line.find("ejected outside") != std::string::npos;
    }));
}

TEST_F(ModelOnBus, EjectedStaysDownUntilMountedAgain) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    model_->setMounted("SIM0001", false);
    ASSERT_TRUE(spinUntil([&] { return in<phase::NotMounted>() && !model_->isBusy(); }));
    EXPECT_TRUE(row()->status.userEjected);
    EXPECT_FALSE(spinUntil([&] { return !in<phase::NotMounted>(); }, 4500ms));  // two ticks
    model_->setMounted("SIM0001", true);
    EXPECT_TRUE(mountedWithin(10s));
}

TEST_F(ModelOnBus, LockedIsMountedSoonAfterUnlocking) {
    phone_.config.faults.locked = true;
    phone_.plug();
    start();
    ASSERT_TRUE(spinUntil([&] { return in<phase::Locked>(); }));
    phone_.bus->phone(1)->updateFaults([](phonesim::Faults& f) { f.locked = false; });
    EXPECT_TRUE(mountedWithin(2s + 3s));  // the next tick, then the mount
}

TEST_F(ModelOnBus, HeldIsBusyWithItsNameAndPickedUpWhenReleased) {
    phone_.plug();
    phone_.bus->hold(1);
    start();
    ASSERT_TRUE(spinUntil([&] { return in<phase::Busy>(); }));
    EXPECT_EQ(row()->status.phase, DevicePhase(phase::Busy{"phonesim-hold"}));
    phone_.bus->release(1);
    EXPECT_TRUE(mountedWithin(2s + 3s));
}

TEST_F(ModelOnBus, ReadWriteSwitchLetsAWriteReachThePhone) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    model_->setWritable("SIM0001", true);
    ASSERT_TRUE(spinUntil([&] { return in<phase::Mounted>() && !row()->status.remounting; }));
    EXPECT_TRUE(row()->status.writable);
    ASSERT_EQ(outside("sh -c 'echo written > \"" + mountPoint() + "/new.txt\"'"), 0);
    const auto phone = phone_.bus->phone(1);
    const auto bytes = phone->readFile(phone->storageID(0), "new.txt");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), "written\n");
}

TEST_F(ModelOnBus, SwitchRefusedWhileAFileIsOpen) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    FileHolder holder(mountPoint() + "/hello.txt");
    ASSERT_TRUE(holder.isOpen());
    model_->setWritable("SIM0001", true);
    ASSERT_TRUE(spinUntil([&] { return row()->status.switchRefused; }));
    EXPECT_TRUE(in<phase::Mounted>());
    EXPECT_FALSE(row()->status.writable);
    EXPECT_FALSE(row()->status.remounting);
}

TEST_F(ModelOnBus, UnmountedOutsideTheAppIsNotMountedAgain) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    ASSERT_EQ(outside("fusermount3 -u '" + mountPoint() + "'"), 0);
    ASSERT_TRUE(spinUntil([&] { return in<phase::NotMounted>() && !model_->isBusy(); }));
    EXPECT_TRUE(row()->status.userEjected);
    EXPECT_TRUE(logged("Simulated Phone was ejected outside the app"));
}

TEST_F(ModelOnBus, ChargingOnlyIsNeverProbed) {
    phone_.bus = std::make_unique<usbbus::VirtualUSBBus>();
    phone_.bus->plug(1, usbbus::profileFor(phone_.config, usbbus::Variant::chargingOnly),
                     std::make_shared<phonesim::SimulatedPhone>(phone_.config));
    start();
    ASSERT_TRUE(spinUntil([&] { return in<phase::ChargingOnly>(); }));
    EXPECT_FALSE(spinUntil([&] { return !in<phase::ChargingOnly>(); }, 4500ms));
    EXPECT_EQ(phone_.bus->phone(1)->stats().operations.size(), 0u);
}

TEST_F(ModelOnBus, TwoPhonesAtOnce) {
    TempFolder second;
    phonesim::PhoneConfig config = phone_.config;
    config.serial = "SIM0002";
    config.storages[0].folder = second.path();
    phone_.plug();
    phone_.bus->plug(2, usbbus::profileFor(config),
                     std::make_shared<phonesim::SimulatedPhone>(config));
    start();
    ASSERT_TRUE(mountedWithin(15s) && mountedWithin(15s, "SIM0002"));
    EXPECT_NE(mountPoint(), mountPoint("SIM0002"));
    EXPECT_EQ(outside("test -f '" + mountPoint() + "/hello.txt'"), 0);
}

// The program itself: SIGTERM with a phone mounted takes everything down before it exits.
TEST_F(ModelOnBus, TerminatedProgramLeavesNothing) {
    phone_.plug();
    const fs::path& root = root_.path();
    // The shell prints its pid, then becomes the program: pclose() waits for the program.
    FILE* program = ::popen(("echo $$; exec env HOME=" + (root / "home").string() +
                             " XDG_CACHE_HOME=" + (root / "cache").string() + " XDG_CONFIG_HOME=" +
                             (root / "config").string() + " " BUILD_BIN "/brisvale --headless")
                                .c_str(),
                            "r");
    char line[512] = {};
    ASSERT_TRUE(std::fgets(line, sizeof line, program));
    const pid_t pid = std::stoi(line);
    std::string printed;
    while (printed.find(": mounted on ") == std::string::npos &&
           printed.find(": failed: ") == std::string::npos &&
           std::fgets(line, sizeof line, program)) {
        printed = line;
    }
    EXPECT_THAT(printed, ::testing::StartsWith("Simulated Phone [SIM0001]: mounted on " +
                                               (root / "home/Phones").string()));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(::pclose(program), 0);
    EXPECT_EQ(leftovers({root / "home/Phones", root / "cache/Kestrum"}), "");
}

}  // namespace
