// The model's flows against fake services that pause where a tool would wait.

#include <algorithm>
#include <coroutine>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "app/model/AppModel.h"
#include "app/services/AppLog.h"
#include "tests/app/AppTestSupport.h"
#include "tests/common/TestSupport.h"

namespace {

using namespace brisvale;
using namespace apptest;
namespace fs = std::filesystem;
using testsupport::TempDir;

// Tools that succeed at once, except the operations named in `held`, which wait for resume().
class FakeServices final : public ModelServices {
  public:
    explicit FakeServices(const fs::path& root)
        : settings_(QString::fromStdString((root / "settings.ini").string()), QSettings::IniFormat),
          folders_{root / "Volumes", root / "Images"} {}

    std::set<std::string> held;
    std::exception_ptr mountError;
    std::set<std::string> attached, watched;
    std::set<fs::path> mounted;

    // Lets the oldest operation waiting as `op` go on.
    void resume(const std::string& op) {
        auto it =
            std::find_if(parked_.begin(), parked_.end(), [&](auto& p) { return p.first == op; });
        if (it == parked_.end()) return (void)(ADD_FAILURE() << "nothing waits at " << op);
        const auto waiting = it->second;
        parked_.erase(it);
        waiting.resume();
    }
    void resumeAll() {
        while (!parked_.empty()) resume(parked_.front().first);
    }

    Clock& clock() override { return clock_; }
    QSettings& settings() override { return settings_; }
    DiskFolders folders() const override { return folders_; }
    QCoro::Task<std::string> attach(std::string, std::string, bool) override {
        co_await Pause{*this, "attach"};
        co_return *attached.insert("loop" + std::to_string(nextLoop_++)).first;
    }
    QCoro::Task<void> mount(std::string, fs::path point, bool) override {
        co_await Pause{*this, "mount"};
        if (mountError) std::rethrow_exception(mountError);
        fs::create_directories(point);
        mounted.insert(point);
    }
    QCoro::Task<void> unmount(fs::path point, bool) override {
        co_return (void) mounted.erase(point);
    }
    QCoro::Task<void> detach(std::string disk) override { co_return (void) attached.erase(disk); }
    QCoro::Task<void> cleanup() override { co_return; }
    bool isMounted(const fs::path& point) const override { return mounted.contains(point); }
    QCoro::Task<PreflightResult> probe(mtp::USBDeviceRecord) override {
        co_await Pause{*this, "probe"};
        co_return preflight::Ready{5, 9, true};
    }
    void applyLoginDefault() override {}
    void refreshLoginItem() override {}
    bool loginItemEnabled() const override { return false; }
    void setLoginItem(bool) override {}
    QCoro::Task<bool> isExtensionEnabled() override { co_return true; }
    void startWatcher(OnGone) override {}
    void watch(const std::string& disk) override { watched.insert(disk); }
    void unwatch(const std::string& disk) override { watched.erase(disk); }
    void startMonitor(OnSnapshot) override {}

  private:
    struct Pause {
        FakeServices& fake;
        const char* op;  // not a std::string: GCC 12 destroys such a temporary twice
        bool await_ready() const { return !fake.held.contains(op); }
        void await_suspend(std::coroutine_handle<> waiting) {
            fake.parked_.emplace_back(op, waiting);
        }
        void await_resume() const {}
    };
    ManualClock clock_;  // never runs: only the flows under test do
    QSettings settings_;
    DiskFolders folders_;
    std::vector<std::pair<std::string, std::coroutine_handle<>>> parked_;
    int nextLoop_ = 7;
};

mtp::USBDeviceRecord phone(uint64_t registryID = 0x100000002) {
    mtp::USBDeviceRecord r;
    r.id = "SER1", r.name = "Pixel 7", r.registryID = registryID, r.kind = mtp::DeviceKind::mtp(0);
    return r;
}

class ModelFlows : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        auto owned = std::make_unique<FakeServices>(root_.path());
        fake_ = owned.get();
        model_ = std::make_unique<AppModel>(std::move(owned));
        kestrum::Log::setSink([this](kestrum::LogLevel level, std::string_view text) {
            if (level >= kestrum::LogLevel::error) errors_.emplace_back(text);
        });
    }
    void TearDown() override {
        fake_->held.clear();
        fake_->resumeAll();
        await(model_->shutdown());
        EXPECT_TRUE(fake_->attached.empty());
        EXPECT_TRUE(fake_->mounted.empty());
        kestrum::Log::setSink({});
    }
    const DeviceRow& row() {
        EXPECT_EQ(model_->devices().size(), 1u);
        return model_->devices().front();
    }

    TempDir root_;
    FakeServices* fake_ = nullptr;
    std::unique_ptr<AppModel> model_;
    std::vector<std::string> errors_;
};

using Interruption = std::tuple<std::string, bool>;  // where the mount waits; re-enumerated
class Superseding : public ModelFlows, public ::testing::WithParamInterface<Interruption> {};

TEST_P(Superseding, EndsQuietlyWithNothingLeft) {
    const auto [op, reenumerated] = GetParam();
    fake_->held = {"probe", "attach", "mount"};
    model_->apply({phone()});
    if (op != "probe") fake_->resume("probe");
    if (op == "mount") fake_->resume("attach");
    model_->apply(reenumerated ? std::vector{phone(0x100000003)}
                               : std::vector<mtp::USBDeviceRecord>{});
    fake_->resume(op);
    EXPECT_EQ(errors_, std::vector<std::string>{});
    EXPECT_TRUE(fake_->mounted.empty());
    EXPECT_FALSE(fake_->attached.contains("loop7"));
    EXPECT_FALSE(fake_->watched.contains("loop7"));
    EXPECT_EQ(model_->isBusy(), reenumerated);  // only the new enumeration's flow waits
    if (reenumerated) {
        // The new enumeration waits at its own probe, untouched; then it mounts.
        EXPECT_EQ(row().record.registryID, 0x100000003u);
        EXPECT_EQ(row().status.phase, DevicePhase(phase::Preparing{}));
        EXPECT_EQ(row().disk, std::nullopt);
        fake_->held.clear();
        fake_->resumeAll();
        EXPECT_TRUE(is<phase::Mounted>(row().status.phase)) << describe(row().status.phase);
    } else {
        EXPECT_TRUE(model_->devices().empty());
        EXPECT_TRUE(!fs::exists(fake_->folders().volumes) ||
                    fs::is_empty(fake_->folders().volumes));
    }
}

INSTANTIATE_TEST_SUITE_P(WhileWaiting, Superseding,
                         ::testing::Combine(::testing::Values("probe", "attach", "mount"),
                                            ::testing::Bool()));

using Failure = std::pair<std::string, std::string>;  // the tool's error, the row's message
class FailedMount : public ModelFlows, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedMount, ShowsOneShortLine) {
    const auto& [description, shown] = GetParam();
    const ShellError error("mount.mtpfs", 32, description);
    fake_->mountError = std::make_exception_ptr(error);
    model_->apply({phone()});
    EXPECT_EQ(row().status.phase, DevicePhase(phase::Failed{shown}));
    EXPECT_EQ(row().folder, std::nullopt);
    EXPECT_EQ(row().disk, std::nullopt);
    EXPECT_TRUE(fake_->watched.empty());
    EXPECT_EQ(errors_, std::vector{"mount Pixel 7 failed: " + error.description()});
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FailedMount,
    ::testing::Values(Failure{"mount: /dev/loop7p1: Input/output error\n",
                              "the phone stopped responding. Reconnect it and try again"},
                      Failure{"\nmount: fuse: device not found, try 'modprobe fuse' first\nmore",
                              "Brisvale's file system didn't start. Try again"},
                      Failure{"mount: no session\nsecond line", "no session"},
                      Failure{std::string(70, 'x'), std::string(70, 'x')},
                      Failure{std::string(71, 'x'), std::string(67, 'x') + "…"},
                      Failure{std::string(70, 'x') + "é" + std::string(9, 'x'),
                              std::string(67, 'x') + "…"}));

}  // namespace
