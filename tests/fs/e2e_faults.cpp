// End-to-end tests of mount.mtpfs against a phone whose faults change while it is mounted: the
// test hosts the virtual USB bus itself, so it can arm a fault on the simulated phone between
// two commands on the mount point. Each test attaches a placeholder, mounts it through the real
// helper and undoes both in destructors, whatever the test's outcome.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "mtp/MTPCodes.h"
#include "tests/fs/e2e_support.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUsbBus.h"

namespace {

using namespace kestrume2e;
using ::testing::HasSubstr;

const fs::path bin = E2E_BIN;

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching loop devices needs root";
        store_ = std::make_unique<TempDir>();
        work_ = std::make_unique<TempDir>();
        fs::create_directories(store() / "Pictures" / "Trip");
        for (int i = 0; i < 20; ++i) {
            std::ofstream(store() / "Pictures" / "Trip" / ("IMG_" + std::to_string(i) + ".jpg"))
                << std::string(1000 + i, 'x');
        }
        std::ofstream(store() / "hello.txt") << "hello\n";
        config_.storages = {phonesim::StorageConfig{}};
        config_.storages[0].folder = store();
    }

    // Plugs the phone with config_ and mounts its placeholder.
    void mount() {
        phone_ = std::make_shared<phonesim::SimulatedPhone>(config_);
        bus_ = std::make_unique<usbbus::VirtualUsbBus>();
        bus_->plug(1, usbbus::profileFor(config_), phone_);
        writeImage(work() / "image", config_.serial, "Faulty");
        attached_ = std::make_unique<Attached>(work() / "image");
        fs::create_directory(mountPoint());
        mounted_ =
            std::make_unique<HelperMount>(bin / "mount.mtpfs", attached_->partition(), mountPoint(),
                                          work() / "helper.err", bus_->clientEnvironment());
        ASSERT_TRUE(mounted_->ok()) << mounted_->log();
    }

    void TearDown() override {
        mounted_.reset();
        attached_.reset();
        bus_.reset();
    }

    uint64_t served(uint16_t op) const { return phone_->stats().count(op); }
    fs::path store() const { return store_->path(); }
    fs::path work() const { return work_->path(); }
    fs::path mountPoint() const { return work() / "mnt"; }
    std::string at(const std::string& relative) const { return quoted(mountPoint() / relative); }

    phonesim::PhoneConfig config_;
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<TempDir> store_, work_;
    std::unique_ptr<usbbus::VirtualUsbBus> bus_;
    std::unique_ptr<Attached> attached_;
    std::unique_ptr<HelperMount> mounted_;
};

// The phone answers GetObjectPropList with an MTP error: the folder is listed again object by
// object and the listing succeeds.
TEST_F(FaultTest, PropertyListErrorFallsBackToPlainListing) {
    config_.faults.propListError = mtp::Response::GeneralError;
    mount();
    ASSERT_EQ(run("ls " + at("Pictures")).status, 0);
    const uint64_t infos = served(mtp::Op::GetObjectInfo);
    const Result listing = run("ls -l " + at("Pictures/Trip") + " | grep -c IMG_");
    EXPECT_EQ(listing.output, "20\n") << listing.output;
    EXPECT_GT(served(mtp::Op::GetObjectPropList), 0u);
    EXPECT_EQ(served(mtp::Op::GetObjectInfo) - infos, 20u);
    EXPECT_EQ(run("cmp " + at("pictures/trip/img_7.JPG") + " " +
                  quoted(store() / "Pictures/Trip/IMG_7.jpg"))
                  .status,
              0);
}

// A listing that fails in transport is EIO and is not cached: the next listing asks the phone
// again and succeeds.
TEST_F(FaultTest, TransportErrorInListingIsEIOAndRetried) {
    mount();
    ASSERT_EQ(run("ls " + at("Pictures")).status, 0);
    phone_->updateFaults([](phonesim::Faults& faults) {
        faults.wrongTransactionID = phonesim::FaultTrigger::once(mtp::Op::GetObjectPropList);
    });
    const uint64_t before = served(mtp::Op::GetObjectPropList);
    const Result failed = run("ls " + at("Pictures/Trip"));
    EXPECT_NE(failed.status, 0);
    EXPECT_THAT(failed.output, HasSubstr("Input/output error"));
    EXPECT_THAT(mounted_->log(), HasSubstr("list Trip: "));

    const Result again = run("ls " + at("Pictures/Trip") + " | wc -l");
    EXPECT_EQ(again.output, "20\n") << again.output;
    EXPECT_GT(served(mtp::Op::GetObjectPropList), before + 1);
}

// A file whose size the phone cannot give (4 GiB or more without a 64-bit size) cannot be read:
// EFBIG, and nothing is asked of the phone.
TEST_F(FaultTest, UnknownSizeIsEFBIG) {
    config_.faults.sizesUnknownOver4G = true;
    std::ofstream(store() / "huge.bin").close();
    fs::resize_file(store() / "huge.bin", 5ull << 30);
    mount();
    const uint64_t reads = served(mtp::Op::GetPartialObject64) + served(mtp::Op::GetPartialObject);
    const Result failed = run("head -c 10 " + at("huge.bin"));
    EXPECT_NE(failed.status, 0);
    EXPECT_THAT(failed.output, HasSubstr("File too large"));
    EXPECT_EQ(served(mtp::Op::GetPartialObject64) + served(mtp::Op::GetPartialObject), reads);
    EXPECT_EQ(run("cat " + at("hello.txt")).output, "hello\n");
}

// The phone is pulled out while mounted: reads fail with EIO, the mount can still be unmounted
// and the helper ends.
TEST_F(FaultTest, UnpluggedWhileMounted) {
    mount();
    ASSERT_EQ(run("cat " + at("hello.txt")).output, "hello\n");
    bus_->unplug(1);
    const Result failed = run("cat " + at("Pictures/Trip/IMG_1.jpg"));
    EXPECT_NE(failed.status, 0);
    EXPECT_THAT(failed.output, HasSubstr("Input/output error"));
    // What was read before still comes from the caches.
    EXPECT_EQ(run("ls " + at("")).status, 0);
    mounted_.reset();
    EXPECT_FALSE(isMounted(mountPoint()));
}

}  // namespace
