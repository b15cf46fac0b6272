// The disk watcher with the kernel's own block events (the bus's preload fakes udev's).

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

TEST(DiskWatcher, OutsideDetachReported) {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    application();
    TempDir root;
    ShellRunner runner;
    QtClock clock;
    DiskTool tool(runner, clock, diskConfig(root.path()));
    std::vector<std::string> gone;
    DiskWatcher watcher([&](const std::string& disk) { gone.push_back(disk); });

    const std::string disk = await(tool.attach("SIM0001", "Pixel", false));
    watcher.watch(disk);
    watcher.watch("loop999");  // another disk's events are not its
    ASSERT_EQ(outside("losetup -d /dev/" + disk), 0);
    ASSERT_TRUE(spinUntil([&] { return !gone.empty(); }));
    spinUntil([] { return false; }, 300ms);
    EXPECT_THAT(gone, ElementsAre(disk));
}

}  // namespace
