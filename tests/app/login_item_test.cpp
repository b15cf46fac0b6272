// The login item as an XDG autostart entry, and the file system helper query.

#include <QSettings>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/services/LoginItem.h"
#include "fs/Log.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace brisvale;
using namespace apptest;
using ::testing::HasSubstr;
using testsupport::TempDir;
namespace fs = std::filesystem;

std::string text(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LoginItemTest : public ::testing::Test {
  protected:
    void SetUp() override { application(); }
    LoginItem item(const std::string& executable) {
        return LoginItem(settings_, root_.path() / "autostart", executable);
    }
    TempDir root_;
    QSettings settings_{QString::fromStdString((root_.path() / "settings.ini").string()),
                        QSettings::IniFormat};
};

// A hidden entry is not enabled, and a failure to register is logged.
TEST_F(LoginItemTest, DefaultOnceThenTheUsersChoiceAMoveFollowedHiddenAndFailures) {
    LoginItem first = item("/opt/Brisvale/brisvale");
    first.applyLoginDefault();
    EXPECT_TRUE(first.isEnabled());
    EXPECT_THAT(text(first.entryPath()), HasSubstr("\nExec=\"/opt/Brisvale/brisvale\"\n"));

    first.setLoginItem(false);
    EXPECT_FALSE(first.isEnabled());
    first.applyLoginDefault();
    first.refreshLoginItem();
    EXPECT_FALSE(first.isEnabled());

    first.setLoginItem(true);
    LoginItem moved = item("/home/me/Apps/Bris vale/brisvale");  // registered again when moved
    moved.refreshLoginItem();
    EXPECT_EQ(settings_.value("loginItemPath").toString(), "/home/me/Apps/Bris vale/brisvale");
    EXPECT_THAT(text(moved.entryPath()),
                HasSubstr("\nExec=\"/home/me/Apps/Bris vale/brisvale\"\n"));

    fs::create_directories(first.entryPath().parent_path());
    std::ofstream(first.entryPath()) << "[Desktop Entry]\nHidden=true\n";
    EXPECT_FALSE(first.isEnabled());

    std::vector<std::string> lines;
    kestrum::Log::setSink(
        [&](kestrum::LogLevel, std::string_view line) { lines.emplace_back(line); });
    fs::remove(first.entryPath());
    fs::create_directories(first.entryPath());  // a folder in the entry's place
    fs::create_directories(first.entryPath() / "x");
    first.setLoginItem(true);
    kestrum::Log::setSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::StartsWith("login item register failed: "));
    EXPECT_EQ(settings_.value("loginItemPath").toString(), "/home/me/Apps/Bris vale/brisvale");
}

TEST(ExtensionStatus, HelperAndFuse) {
    EXPECT_EQ(await(isExtensionEnabled(fs::path(BUILD_BIN) / "mount.mtpfs")),
              ::access("/dev/fuse", R_OK | W_OK) == 0);
    EXPECT_FALSE(await(isExtensionEnabled("/nonexistent/mount.mtpfs")));
    TempDir folder;
    std::ofstream(folder.path() / "mount.mtpfs") << "#!/bin/sh\n";  // not executable
    EXPECT_FALSE(await(isExtensionEnabled(folder.path() / "mount.mtpfs")));
}

}  // namespace
