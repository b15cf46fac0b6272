// The disk watcher against the real mount table (detaching: disk_watcher_detach_test).

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/services/DiskWatcher.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DiskWatcherOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
        application();
        phone_.plug();
        watcher_ = std::make_unique<DiskWatcher>(
            [this](const std::string& disk) { gone_.push_back(disk); });
    }
    void TearDown() override {
        if (!disk_.empty()) await(tool_.unmount(mountPoint(), true));
        if (!disk_.empty()) await(tool_.detach(disk_));
    }

    fs::path mountPoint() const { return root_.path() / "Volumes" / "Pixel"; }
    // Events that would come are given their time; none is expected meanwhile.
    void settle() {
        spinUntil([] { return false; }, 500ms);
    }

    BusPhone phone_;
    TempDir root_;
    ShellRunner runner_;
    QtClock clock_;
    DiskTool tool_{runner_, clock_, diskConfig(root_.path())};
    std::unique_ptr<DiskWatcher> watcher_;
    std::vector<std::string> gone_;
    std::string disk_;
};

TEST_F(DiskWatcherOnBus, OnlyAnOutsideUnmountIsReportedOnce) {
    disk_ = await(tool_.attach(phone_.config.serial, "Pixel", false));
    watcher_->watch(disk_);
    await(tool_.mount(disk_, mountPoint(), false));
    watcher_->unwatch(disk_);  // as the app does around its own unmount
    await(tool_.unmount(mountPoint(), false));
    watcher_->watch(disk_);
    await(tool_.mount(disk_, mountPoint(), false));
    settle();
    EXPECT_THAT(gone_, IsEmpty());

    ASSERT_EQ(outside("fusermount3 -u " + mountPoint().string()), 0);
    ASSERT_TRUE(spinUntil([&] { return !gone_.empty(); }));
    // The model detaches next: the device's own going is not reported again.
    const std::string disk = disk_;
    await(tool_.detach(disk_));
    disk_.clear();
    settle();
    EXPECT_THAT(gone_, ElementsAre(disk));
}

}  // namespace
