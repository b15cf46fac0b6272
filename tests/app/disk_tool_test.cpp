// The disk tool with the real mount helper, loop devices and FUSE, a simulated phone on the
// virtual bus: the whole life of a placeholder, refused and forced unmounts, clean-up of what an
// abandoned run left behind; and the mount retries against a scripted runner.

#include <unistd.h>

#include <deque>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mtp/PlaceholderMarker.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(DiskTool, FolderNames) {
    EXPECT_EQ(DiskTool::folderName("../My:Phone/ ", {}), "-My-Phone-");
    for (const char* blank : {"", " \n", "..."}) {
        EXPECT_EQ(DiskTool::folderName(blank, {}), "Phone");
        EXPECT_EQ(DiskTool::folderName(blank, {"Phone", "Phone (2)"}), "Phone (3)");
    }
}

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

// Sleeps end at once, on the next turn of the event loop; their lengths are kept.
class RecordingClock final : public Clock {
  public:
    std::vector<std::chrono::milliseconds> delays;
    Handle schedule(std::chrono::milliseconds delay, std::function<void()> work) override {
        delays.push_back(delay);
        QMetaObject::invokeMethod(&application(), std::move(work), Qt::QueuedConnection);
        return delays.size();
    }
    void cancel(Handle) override {}
};

TEST(DiskTool, MountRetriesOnlyWhenTheHelperCouldNotStart) {
    TempFolder root;
    ScriptedRunner runner;
    RecordingClock clock;
    DiskTool tool(runner, clock, diskConfig(root.path()));

    runner.helperFailures = {"fuse: device not found", "fuse: device not found",
                             "fuse: device not found"};
    EXPECT_THROW(await(tool.mount("loop7", root.path() / "Volumes" / "P", false)), ShellError);
    EXPECT_THAT(runner.runs, ElementsAre("mount.mtpfs", "quietly modprobe", "mount.mtpfs",
                                         "quietly modprobe", "mount.mtpfs", "quietly modprobe"));
    EXPECT_THAT(clock.delays, ElementsAre(2s, 2s));

    runner.runs.clear();
    runner.helperFailures = {"failed to read the marker"};
    EXPECT_THROW(await(tool.mount("loop7", root.path() / "Volumes" / "P", false)), ShellError);
    EXPECT_THAT(runner.runs, ElementsAre("mount.mtpfs"));

    runner.runs.clear();
    runner.helperFailures = {"communicate with a helper"};
    await(tool.mount("loop7", root.path() / "Volumes" / "P", false));
    EXPECT_THAT(runner.runs, ElementsAre("mount.mtpfs", "mount.mtpfs"));
}

class DiskToolOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
        phone_.plug();
    }

    bool attached(const std::string& disk) {
        return fs::exists("/sys/block/" + disk + "/loop/backing_file");
    }

    BusPhone phone_;
    TempFolder root_;
    ShellRunner runner_;
    QtClock clock_;
};

TEST_F(DiskToolOnBus, AttachMountUnmountDetach) {
    DiskTool tool(runner_, clock_, diskConfig(root_.path()));
    const std::string disk = await(tool.attach(phone_.config.serial, "Pixel", false));
    EXPECT_THAT(disk, StartsWith("loop"));
    EXPECT_TRUE(fs::exists("/dev/" + disk + "p1"));
    EXPECT_TRUE(fs::exists(root_.path() / "Images" /
                           (mtp::containerIDFor(phone_.config.serial).toString() + ".img")));

    const fs::path mountPoint = root_.path() / "Volumes" / "Pixel";
    await(tool.mount(disk, mountPoint, false));
    ASSERT_TRUE(DiskTool::isMounted(mountPoint, "mtpfs"));
    EXPECT_FALSE(DiskTool::isMounted(mountPoint, "ext4"));
    const fs::path storage = mountPoint;  // one storage: its files are at the top
    EXPECT_EQ(outside("grep -qx hello '" + (storage / "hello.txt").string() + "'"), 0);
    EXPECT_NE(outside("touch '" + (storage / "new.txt").string() + "'"), 0);  // read-only
    {
        FileHolder open(storage / "hello.txt");
        ASSERT_TRUE(open.isOpen());

        try {
            await(tool.unmount(mountPoint, false));
            ADD_FAILURE() << "unmount with a file open was not refused";
        } catch (const DiskToolError& error) {
            EXPECT_THAT(error.description, StartsWith("unmount refused: "));
            EXPECT_THAT(error.description, HasSubstr("busy"));
        }
        EXPECT_TRUE(DiskTool::isMounted(mountPoint, "mtpfs"));
        await(tool.unmount(mountPoint, true));
        EXPECT_FALSE(DiskTool::isMounted(mountPoint, "mtpfs"));
    }
    await(tool.unmount(mountPoint, false));  // not mounted: nothing to do

    await(tool.detach(disk));
    EXPECT_FALSE(attached(disk));
}

// What a run killed with SIGKILL leaves (the helper serving on, the loop device, the image,
// the mount folder) is gone after the next run's clean-up; a folder with something in it stays,
// and links out of the two folders are not followed.
TEST_F(DiskToolOnBus, CleanupRemovesWhatAnAbandonedRunLeft) {
    const fs::path volumes = root_.path() / "Volumes", images = root_.path() / "Images";
    TempFolder outside;
    std::string disk;
    {
        DiskTool abandoned(runner_, clock_, diskConfig(root_.path()));
        disk = await(abandoned.attach(phone_.config.serial, "Pixel", false));
        await(abandoned.mount(disk, volumes / "Pixel", false));
    }
    ASSERT_TRUE(DiskTool::isMounted(volumes / "Pixel", "mtpfs"));
    fs::create_directories(volumes / "Kept");
    std::ofstream(volumes / "Kept" / "note") << "mine";
    fs::create_directories(outside.path() / "empty");
    std::ofstream(outside.path() / "victim.img") << "not ours";
    fs::create_directory_symlink(outside.path(), volumes / "out");
    fs::create_symlink(outside.path() / "victim.img", images / "link.img");

    DiskTool next(runner_, clock_, diskConfig(root_.path()));
    await(next.cleanup());

    EXPECT_FALSE(DiskTool::isMounted(volumes / "Pixel", "mtpfs"));
    EXPECT_FALSE(attached(disk));
    EXPECT_FALSE(fs::exists(volumes / "Pixel"));
    EXPECT_TRUE(fs::exists(volumes / "Kept" / "note"));
    EXPECT_TRUE(fs::is_symlink(volumes / "out"));
    EXPECT_TRUE(fs::exists(outside.path() / "empty"));
    EXPECT_TRUE(fs::exists(outside.path() / "victim.img"));
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(images)) left.push_back(entry.path());
    EXPECT_TRUE(left.empty());
}

}  // namespace
