// mount.mtpfs against a phone whose faults change while it is mounted: the test hosts the
// virtual USB bus itself, so it can arm a fault or unplug the phone between two commands on the
// mount point. Destructors unmount and detach whatever the outcome; a watchdog ends a test that
// hangs before ctest's time-out would kill it without them.

#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mtp/MTPCodes.h"
#include "tests/fs/e2e_support.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace {

using namespace kestrume2e;
using ::testing::HasSubstr;

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching loop devices needs root";
        fs::create_directories(store_.path() / "Pictures" / "Trip");
        for (int i = 0; i < 20; ++i) {
            std::ofstream(store_.path() / "Pictures/Trip" / ("IMG_" + std::to_string(i) + ".jpg"))
                << std::string(1000 + i, 'x');
        }
        std::ofstream(store_.path() / "hello.txt") << "hello\n";
        phonesim::PhoneConfig config;
        config.storages = {phonesim::StorageConfig{}};
        config.storages[0].folder = store_.path();
        phone_ = std::make_shared<phonesim::SimulatedPhone>(config);
        bus_.plug(1, usbbus::profileFor(config), phone_);
        writeImage(work_.path() / "image", config.serial, "Faulty");
        attached_ = std::make_unique<Attached>(work_.path() / "image");
        fs::create_directory(mountPoint());
        mounted_ = std::make_unique<HelperMount>(
            fs::path(E2E_BIN) / "mount.mtpfs", attached_->partition(), mountPoint(),
            work_.path() / "helper.err", bus_.clientEnvironment());
        watchdog_ = std::make_unique<Watchdog>(std::chrono::seconds(120), *mounted_, *attached_);
        ASSERT_TRUE(mounted_->ok()) << mounted_->log();
    }

    fs::path mountPoint() const { return work_.path() / "mnt"; }
    std::string at(const std::string& relative) const { return quoted(mountPoint() / relative); }

    TempDir store_, work_;
    usbbus::VirtualUSBBus bus_;
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<Attached> attached_;
    std::unique_ptr<HelperMount> mounted_;
    std::unique_ptr<Watchdog> watchdog_;  // last: goes first
};

// A listing that fails in transport reaches the kernel as EIO and is not cached: the next
// listing asks the phone again and succeeds.
TEST_F(FaultTest, TransportErrorInListingIsEIOAndRetried) {
    ASSERT_EQ(run("ls " + at("Pictures")).status, 0);
    phone_->updateFaults([](phonesim::Faults& faults) {
        faults.wrongTransactionID = phonesim::FaultTrigger::once(mtp::Op::GetObjectPropList);
    });
    const Result failed = run("ls " + at("Pictures/Trip"));
    EXPECT_NE(failed.status, 0);
    EXPECT_THAT(failed.output, HasSubstr("Input/output error"));
    EXPECT_THAT(mounted_->log(), HasSubstr("list Trip: "));
    EXPECT_EQ(run("ls " + at("Pictures/Trip") + " | wc -l").output, "20\n");
}

// The phone is pulled out while mounted: reads fail with EIO, what was listed before is still
// shown, and the mount can be unmounted, ending the helper.
TEST_F(FaultTest, UnpluggedWhileMounted) {
    ASSERT_EQ(run("cat " + at("hello.txt")).output, "hello\n");
    bus_.unplug(1);
    const Result failed = run("cat " + at("Pictures/Trip/IMG_1.jpg"));
    EXPECT_NE(failed.status, 0);
    EXPECT_THAT(failed.output, HasSubstr("Input/output error"));
    EXPECT_EQ(run("ls " + at("")).status, 0);
    watchdog_.reset();
    mounted_.reset();
    EXPECT_FALSE(isMounted(mountPoint()));
}

}  // namespace
