// Preflight against simulated phones on the virtual bus.

#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/services/Preflight.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/BusPhone.h"

namespace {

using namespace brisvale;
using namespace apptest;
using ::testing::HasSubstr;
using ::testing::VariantWith;

class PreflightOnBus : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        phone_.config.storages = {phonesim::StorageConfig{}, phonesim::StorageConfig{}};
        phone_.config.storages[0].capacity = 64'000'000'000;
        phone_.config.storages[1].capacity = 16'000'000'000;
        phone_.config.storages[1].removable = true;
    }
    mtp::USBDeviceRecord record() {
        for (const auto& device : mtp::USBDiscovery().allDevices())
            if (device.id == phone_.config.serial) return device;
        ADD_FAILURE() << "the phone is not on the bus";
        return {};
    }
    PreflightResult probe() { return await(preflight_.run(record())); }

    BusPhone phone_;
    ShellRunner runner_;
    Preflight preflight_{runner_};
};

// After every answer the session is closed and the interface released: another program can
// take the phone at once. A phone gone before the probe fails with the error's text.
TEST_F(PreflightOnBus, ReadyWithSumsNoEditLockedBusyOrGone) {
    const uint64_t sum = 80'000'000'000;  // both storages, nothing stored
    const std::tuple<bool, bool, bool, PreflightResult> cases[] = {
        {false, false, false, preflight::Ready{sum, sum, true}},
        {true, false, false, preflight::Ready{sum, sum, false}},
        {false, true, false, preflight::Locked{}},
        {false, false, true, preflight::Busy{"phonesim-hold"}}};
    for (const auto& [noEdit, locked, held, expected] : cases) {
        phone_.config.faults.noEdit = noEdit;
        phone_.config.faults.locked = locked;
        phone_.plug();
        if (held) phone_.bus->hold(1);
        EXPECT_EQ(probe(), expected) << describe(expected);
        if (held) phone_.bus->release(1);
        EXPECT_NO_THROW(phone_.bus->hold(1));
        phone_.bus->unplug(1);  // ends the holder too
    }
    phone_.plug();
    const mtp::USBDeviceRecord gone = record();
    phone_.bus->unplug(1);
    const PreflightResult result = await(preflight_.run(gone));
    ASSERT_THAT(result, VariantWith<preflight::Failed>(::testing::_)) << describe(result);
    EXPECT_THAT(std::get<preflight::Failed>(result).message, HasSubstr("SIM0001"));
}

// A holder named like the desktop's MTP daemon is killed and the probe goes on; one named like
// our mount helper, which lets go while it exits after an unmount, is waited for.
TEST_F(PreflightOnBus, DesktopDaemonIsKilledAndMountHelperWaitedFor) {
    for (const char* name : {Preflight::cameraDaemon, Preflight::mountHelper}) {
        TempDir bin;
        const fs::path holder = bin.path() / name;
        fs::copy_file(fs::path(BUILD_BIN) / "phonesim-hold", holder);
        ::setenv("PHONESIM_HOLD", holder.c_str(), 1);
        phone_.plug();
        phone_.bus->hold(1);
        ::unsetenv("PHONESIM_HOLD");
        std::thread exiting;
        if (name == Preflight::mountHelper) {
            exiting = std::thread([this] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                phone_.bus->release(1);
            });
        }
        EXPECT_THAT(probe(), VariantWith<preflight::Ready>(::testing::_)) << name;
        if (exiting.joinable()) exiting.join();
        phone_.bus->unplug(1);
    }
}

}  // namespace
