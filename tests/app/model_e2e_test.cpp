// The app model on the virtual bus with the real services; every test ends with nothing left.

#include <functional>
#include <mutex>

#include <gtest/gtest.h>

#include "app/model/AppModel.h"
#include "app/services/AppLog.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;

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
        return std::any_of(log_.begin(), log_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    bool mountedWithin(std::chrono::milliseconds limit, const std::string& id = "SIM0001") {
        return spinUntil([&] { return in<phase::Mounted>(id); }, limit);
    }
    bool settledIn(const std::function<bool()>& done) {
        return spinUntil([&] { return done() && !model_->isBusy(); });
    }

    TempDir root_;
    BusPhone phone_;
    std::unique_ptr<AppModel> model_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// Unmounted outside the app or by the user, the phone stays down until the user mounts it.
TEST_F(ModelOnBus, EjectedStaysDownUntilMountedAgainThenSwitchedToReadWrite) {
    phone_.plug();
    start();
    ASSERT_TRUE(mountedWithin(10s));
    ASSERT_EQ(outside("fusermount3 -u '" + mountPoint() + "'"), 0);
    ASSERT_TRUE(settledIn([&] { return in<phase::NotMounted>(); }));
    EXPECT_TRUE(row()->status.userEjected);
    EXPECT_TRUE(logged("Simulated Phone was ejected outside the app"));
    model_->setMounted("SIM0001", true);
    ASSERT_TRUE(mountedWithin(10s));

    model_->setMounted("SIM0001", false);
    ASSERT_TRUE(settledIn([&] { return in<phase::NotMounted>(); }));
    EXPECT_TRUE(row()->status.userEjected);
    EXPECT_FALSE(spinUntil([&] { return !in<phase::NotMounted>(); }, 4500ms));  // two ticks
    model_->setMounted("SIM0001", true);
    ASSERT_TRUE(mountedWithin(10s));

    // Read-write is refused while a file is open; once it is closed the switch goes through
    // (panel_e2e checks that a write reaches the phone).
    {
        FileHolder holder(mountPoint() + "/hello.txt");
        ASSERT_TRUE(holder.isOpen());
        model_->setWritable("SIM0001", true);
        ASSERT_TRUE(spinUntil([&] { return row()->status.switchRefused; }));
        EXPECT_TRUE(in<phase::Mounted>());
        EXPECT_FALSE(row()->status.writable);
        EXPECT_FALSE(row()->status.remounting);
    }
    model_->setWritable("SIM0001", true);
    ASSERT_TRUE(spinUntil([&] { return in<phase::Mounted>() && !row()->status.remounting; }));
    EXPECT_TRUE(row()->status.writable);
    EXPECT_EQ(outside("touch '" + mountPoint() + "/new.txt'"), 0);
}

// Each blocked probe is tried again on the next tick (2 s): held, then locked, then mounted.
// Meanwhile a phone set to charging only is never probed.
TEST_F(ModelOnBus, HeldThenLockedIsMountedSoonAfterBothChargingOnlyNeverProbed) {
    phone_.config.faults.locked = true;
    phone_.plug();
    phone_.bus->hold(1);
    phone_.plug(2, usbbus::Variant::chargingOnly, "SIM0002");
    start();
    ASSERT_TRUE(spinUntil([&] { return in<phase::ChargingOnly>("SIM0002"); }));
    ASSERT_TRUE(spinUntil([&] { return in<phase::Busy>(); }));
    EXPECT_EQ(row()->status.phase, DevicePhase(phase::Busy{"phonesim-hold"}));
    phone_.bus->release(1);
    ASSERT_TRUE(spinUntil([&] { return in<phase::Locked>(); }, 2s + 3s));
    phone_.bus->phone(1)->updateFaults([](phonesim::Faults& f) { f.locked = false; });
    EXPECT_TRUE(mountedWithin(2s + 3s));  // the next tick, then the mount
    EXPECT_TRUE(in<phase::ChargingOnly>("SIM0002"));
    EXPECT_EQ(phone_.bus->phone(2)->stats().operations.size(), 0u);
}

// Two phones plugged in at once while the app runs get two folders, read-only with their files
// readable; unplugging one takes down its row, mount and loop device only.
TEST_F(ModelOnBus, TwoPhonesPluggedInAtOnceAndOneUnplugged) {
    phone_.bus = std::make_unique<usbbus::VirtualUSBBus>();
    start();
    ASSERT_TRUE(spinUntil([&] { return !model_->isBusy(); }));  // the monitor is watching
    phone_.plug();
    phone_.plug(2, usbbus::Variant::mtpClass, "SIM0002");
    ASSERT_TRUE(mountedWithin(15s) && mountedWithin(15s, "SIM0002"));
    const std::string first = mountPoint();
    EXPECT_NE(first, mountPoint("SIM0002"));
    EXPECT_EQ(outside("grep -qx hello '" + first + "/hello.txt'"), 0);
    EXPECT_FALSE(row()->status.writable);
    EXPECT_TRUE(logged("mounted Simulated Phone on " + first + " read-only"));

    phone_.bus->unplug(1);
    ASSERT_TRUE(settledIn([&] { return model_->devices().size() == 1; }));
    EXPECT_FALSE(DiskTool::isMounted(first, "mtpfs"));
    EXPECT_TRUE(in<phase::Mounted>("SIM0002"));
    EXPECT_EQ(loopsBackedBy(folders().images).size(), 1u);
    EXPECT_FALSE(logged("ejected outside"));
}

}  // namespace
