// The disk tool and the disk watcher with the real mount helper, loop devices and FUSE, a phone
// on the virtual bus.

#include <unistd.h>

#include <deque>
#include <fstream>

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
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// Records runs; the helper's runs fail with the scripted texts, everything else succeeds.
class ScriptedRunner final : public ProcessRunner {
  public:
    std::deque<std::string> helperFailures;
    std::vector<std::string> runs;
    QCoro::Task<std::string> run(std::string path, std::vector<std::string>, ChildEnvironment,
                                 std::chrono::milliseconds) override {
        runs.push_back(fs::path(path).filename());
        if (path.ends_with("mount.mtpfs") && !helperFailures.empty()) {
            std::string text = helperFailures.front();
            helperFailures.pop_front();
            throw ShellError("mount.mtpfs", 32, text);
        }
        co_return "";
    }
    void runQuietly(std::string path, std::vector<std::string>,
                    std::chrono::milliseconds) override {
        runs.push_back("quietly " + fs::path(path).filename().string());
    }
};

// Folder names, and a mount is tried again only when the helper could not start.
TEST(DiskTool, FolderNamesAndMountRetries) {
    EXPECT_EQ(DiskTool::folderName("../My:Phone/ ", {}), "-My-Phone-");
    for (const char* blank : {"", " \n", "..."}) {
        EXPECT_EQ(DiskTool::folderName(blank, {}), "Phone");
        EXPECT_EQ(DiskTool::folderName(blank, {"Phone", "Phone (2)"}), "Phone (3)");
    }

    TempDir root;
    ScriptedRunner runner;
    ManualClock clock;
    clock.runAtOnce = true;
    DiskTool tool(runner, clock, diskConfig(root.path()));

    // The runs, and "failed" when the mount threw.
    auto runsOf = [&](std::deque<std::string> failures) {
        runner.runs.clear();
        runner.helperFailures = std::move(failures);
        try {
            await(tool.mount("loop7", root.path() / "Volumes" / "P", false));
        } catch (const ShellError&) {
            runner.runs.push_back("failed");
        }
        return runner.runs;
    };
    const std::string noFuse = "fuse: device not found";
    EXPECT_THAT(runsOf({noFuse, noFuse, noFuse}),
                ElementsAre("mount.mtpfs", "quietly modprobe", "mount.mtpfs", "quietly modprobe",
                            "mount.mtpfs", "quietly modprobe", "failed"));
    EXPECT_THAT(clock.delays, ElementsAre(2s, 2s));
    EXPECT_THAT(runsOf({"failed to read the marker"}), ElementsAre("mount.mtpfs", "failed"));
    EXPECT_THAT(runsOf({"communicate with a helper"}), ElementsAre("mount.mtpfs", "mount.mtpfs"));
}

class DiskToolOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
        phone_.plug();
    }
    // A failed assertion must not leave a mount or a loop device behind.
    void TearDown() override {
        DiskTool tool(runner_, clock_, diskConfig(root_.path()));
        await(tool.cleanup());
    }

    BusPhone phone_;
    TempDir root_;
    ShellRunner runner_;
    QtClock clock_;
};

// A mount refuses to go while a file is open unless forced; the disk watcher reports only an
// unmount by someone else, once. What a run that never cleaned up leaves (killed, say: the
// helper serving on, the loop device, the image, the mount folder) is gone after the next run's
// clean-up; a folder with something in it stays, and links out of the two folders are not
// followed.
TEST_F(DiskToolOnBus, MountUnmountWatchThenCleanupAfterAnAbandonedRun) {
    const fs::path volumes = root_.path() / "Volumes", images = root_.path() / "Images";
    const fs::path mountPoint = volumes / "Pixel";
    std::vector<std::string> gone;
    DiskWatcher watcher([&](const std::string& disk) { gone.push_back(disk); });
    const auto settle = [] { spinUntil([] { return false; }, 500ms); };  // events come meanwhile
    DiskTool tool(runner_, clock_, diskConfig(root_.path()));
    const std::string disk = await(tool.attach(phone_.config.serial, "Pixel", false));
    EXPECT_THAT(loopsBackedBy(images), ElementsAre(disk));
    watcher.watch(disk);
    await(tool.mount(disk, mountPoint, false));
    ASSERT_TRUE(DiskTool::isMounted(mountPoint, "mtpfs"));
    EXPECT_FALSE(DiskTool::isMounted(mountPoint, "ext4"));
    // One storage: its files are at the top.
    EXPECT_EQ(outside("grep -qx hello '" + (mountPoint / "hello.txt").string() + "'"), 0);
    EXPECT_NE(outside("touch '" + (mountPoint / "new.txt").string() + "'"), 0);  // read-only
    {
        FileHolder open(mountPoint / "hello.txt");
        ASSERT_TRUE(open.isOpen());
        try {
            await(tool.unmount(mountPoint, false));
            ADD_FAILURE() << "unmount with a file open was not refused";
        } catch (const DiskToolError& error) {
            EXPECT_THAT(error.description, StartsWith("unmount refused: "));
            EXPECT_THAT(error.description, HasSubstr("busy"));
        }
        EXPECT_TRUE(DiskTool::isMounted(mountPoint, "mtpfs"));
        watcher.unwatch(disk);  // as the app does around its own unmount
        await(tool.unmount(mountPoint, true));
        EXPECT_FALSE(DiskTool::isMounted(mountPoint, "mtpfs"));
    }
    await(tool.unmount(mountPoint, false));  // not mounted: nothing to do
    // The forced unmount's helper ends once the file is closed; then the phone is free again.
    ASSERT_EQ(outside("timeout 10 sh -c 'while pgrep -f \"[m]ount.mtpfs .*" + mountPoint.string() +
                      "\"; do sleep 0.1; done'"),
              0);
    watcher.watch(disk);
    await(tool.mount(disk, mountPoint, false));
    settle();
    EXPECT_THAT(gone, IsEmpty());

    TempDir outside;
    fs::create_directories(volumes / "Kept");
    std::ofstream(volumes / "Kept" / "note") << "mine";
    fs::create_directories(outside.path() / "empty");
    std::ofstream(outside.path() / "victim.img") << "not ours";
    fs::create_directory_symlink(outside.path(), volumes / "out");
    fs::create_symlink(outside.path() / "victim.img", images / "link.img");

    DiskTool next(runner_, clock_, diskConfig(root_.path()));
    await(next.cleanup());
    ASSERT_TRUE(spinUntil([&] { return !gone.empty(); }));
    settle();  // the detach that followed the unmount is not reported again
    EXPECT_THAT(gone, ElementsAre(disk));

    EXPECT_EQ(leftovers({volumes, images}), "");  // the link in the image folder too
    EXPECT_FALSE(fs::exists(mountPoint));
    EXPECT_TRUE(fs::exists(volumes / "Kept" / "note"));
    EXPECT_TRUE(fs::is_symlink(volumes / "out"));
    EXPECT_TRUE(fs::exists(outside.path() / "empty"));
    EXPECT_TRUE(fs::exists(outside.path() / "victim.img"));
}

}  // namespace
