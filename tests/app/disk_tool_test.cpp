// The disk tool with the real mount helper, loop devices and FUSE, a phone on the virtual bus.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <deque>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
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

TEST(DiskTool, MountRetriesOnlyWhenTheHelperCouldNotStart) {
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

// Attach and detach through udisks as an ordinary user. As root the test runs itself again as
// the user named by BRISVALE_TEST_USER, whom polkit must let set up loop devices.
TEST(DiskToolThroughUdisks, AttachAndDetach) {
    if (::access("/usr/bin/udisksctl", X_OK) != 0) GTEST_SKIP() << "udisks2 is not installed";
    if (outside("/usr/bin/udisksctl status") != 0) {
        GTEST_SKIP() << "udisks2 does not answer (no system bus or udisksd)";
    }
    if (::geteuid() == 0) {
        const char* user = std::getenv("BRISVALE_TEST_USER");
        if (!user || !*user) {
            GTEST_SKIP() << "as root this needs BRISVALE_TEST_USER, an ordinary user whom polkit "
                            "lets set up loop devices";
        }
        const std::string self = fs::read_symlink("/proc/self/exe");
        const std::string command =
            std::string("env -u LD_PRELOAD -u UMOCKDEV_DIR setpriv --reuid=") + user +
            " --regid=" + user + " --init-groups " + self +
            " --gtest_filter=DiskToolThroughUdisks.*";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return;
    }
    TempDir root;
    ShellRunner runner;
    QtClock clock;
    DiskTool::Config config = diskConfig(root.path());
    config.privileged = false;
    DiskTool tool(runner, clock, config);
    try {
        const std::string disk = await(tool.attach("SERIAL1", "Pixel", false));
        EXPECT_THAT(loopsBackedBy(root.path() / "Images"), ElementsAre(disk));
        await(tool.detach(disk));
    } catch (const DiskToolError& error) {
        // A kernel without a GPT parser makes no partition 1; the loop device must not stay.
        EXPECT_THAT(error.description, HasSubstr("did not appear"));
        std::printf("attach through udisks: %s\n", error.description.c_str());
    }
    EXPECT_THAT(loopsBackedBy(root.path() / "Images"), IsEmpty());
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

TEST_F(DiskToolOnBus, AttachMountUnmountDetach) {
    DiskTool tool(runner_, clock_, diskConfig(root_.path()));
    const std::string disk = await(tool.attach(phone_.config.serial, "Pixel", false));
    EXPECT_THAT(loopsBackedBy(root_.path() / "Images"), ElementsAre(disk));
    const fs::path mountPoint = root_.path() / "Volumes" / "Pixel";
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
        await(tool.unmount(mountPoint, true));
        EXPECT_FALSE(DiskTool::isMounted(mountPoint, "mtpfs"));
    }
    await(tool.unmount(mountPoint, false));  // not mounted: nothing to do

    await(tool.detach(disk));
    EXPECT_THAT(loopsBackedBy(root_.path() / "Images"), IsEmpty());
}

// Starts app_abandoned_run on the phone (it inherits the bus's environment), waits until it has
// attached and mounted, and kills it with SIGKILL. Returns its loop device, empty when it failed.
std::string killedRun(const fs::path& root, const std::string& serial) {
    const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "app_abandoned_run";
    FILE* run =
        ::popen(("exec " + program.string() + " " + root.string() + " " + serial).c_str(), "r");
    if (!run) return {};
    char line[256] = {};
    int pid = 0;
    char disk[64] = {};
    const bool ready =
        std::fgets(line, sizeof line, run) && std::sscanf(line, "ready %d %63s", &pid, disk) == 2;
    if (ready) ::kill(pid, SIGKILL);
    ::pclose(run);
    return ready ? disk : "";
}

// What a run killed with SIGKILL leaves (the helper serving on, the loop device, the image,
// the mount folder) is gone after the next run's clean-up; a folder with something in it stays,
// and links out of the two folders are not followed.
TEST_F(DiskToolOnBus, CleanupAfterARunKilledWithSigkill) {
    const fs::path volumes = root_.path() / "Volumes", images = root_.path() / "Images";
    const std::string disk = killedRun(root_.path(), phone_.config.serial);
    ASSERT_THAT(disk, StartsWith("loop"));
    ASSERT_TRUE(DiskTool::isMounted(volumes / "Pixel", "mtpfs"));
    ASSERT_THAT(loopsBackedBy(images), ElementsAre(disk));
    TempDir outside;
    fs::create_directories(volumes / "Kept");
    std::ofstream(volumes / "Kept" / "note") << "mine";
    fs::create_directories(outside.path() / "empty");
    std::ofstream(outside.path() / "victim.img") << "not ours";
    fs::create_directory_symlink(outside.path(), volumes / "out");
    fs::create_symlink(outside.path() / "victim.img", images / "link.img");

    DiskTool next(runner_, clock_, diskConfig(root_.path()));
    await(next.cleanup());

    for (const MountEntry& entry : readMountTable())
        EXPECT_THAT(entry.mountPoint, Not(StartsWith(volumes.string())));
    EXPECT_THAT(loopsBackedBy(images), IsEmpty());
    EXPECT_FALSE(fs::exists(volumes / "Pixel"));
    EXPECT_TRUE(fs::exists(volumes / "Kept" / "note"));
    EXPECT_TRUE(fs::is_symlink(volumes / "out"));
    EXPECT_TRUE(fs::exists(outside.path() / "empty"));
    EXPECT_TRUE(fs::exists(outside.path() / "victim.img"));
    EXPECT_TRUE(fs::is_empty(images));
}

}  // namespace
