// Probe, load and unload of MTPFileSystem below the kernel: a block resource in memory (block
// sizes, short and failing reads) and phones in the same process (which record is served, what is
// logged, what a failure leaves behind). The real device node, loop backing file and libusb
// transport are covered by the end-to-end scripts.

#include <cerrno>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fs/MTPFileSystem.h"
#include "mtp/MTPError.h"
#include "mtp/PlaceholderMarker.h"
#include "tests/fs/LogCapture.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using kestrum::LogLevel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A device whose first block holds the given bytes (zeros after them).
class MemoryResource : public kestrum::BlockResource {
  public:
    MemoryResource(std::vector<uint8_t> bytes, uint32_t blockSize)
        : bytes_(std::move(bytes)), blockSize_(blockSize) {}
    uint32_t blockSize() const override { return blockSize_; }
    size_t read(uint64_t offset, std::span<uint8_t> buffer) const override {
        requested = buffer.size();
        if (fails) throw std::system_error(EIO, std::generic_category(), "read");
        size_t n = 0;
        for (; n < buffer.size() && offset + n < bytes_.size(); ++n) buffer[n] = bytes_[offset + n];
        return n;
    }
    mutable size_t requested = 0;
    bool fails = false;

  private:
    std::vector<uint8_t> bytes_;
    uint32_t blockSize_;
};

std::vector<uint8_t> block(const mtp::PlaceholderMarker& marker, size_t size = 4096) {
    auto bytes = marker.encode();
    bytes.resize(size);
    return bytes;
}

mtp::USBDeviceRecord record(const std::string& id) {
    mtp::USBDeviceRecord device;
    device.id = id;
    device.serial = id;
    device.kind = mtp::DeviceKind::mtp(0);
    return device;
}

class FileSystemTest : public ::testing::Test {
  protected:
    // A phone with one in-memory storage per id; attached in the given order.
    void attach(const std::vector<std::string>& ids, phonesim::Faults faults = {}) {
        for (const auto& id : ids) {
            phonesim::PhoneConfig config;
            config.serial = id;
            config.faults = faults;
            phones_.emplace_back(id, std::make_unique<phonesim::SimulatedPhone>(config));
            records_.push_back(record(id));
        }
    }

    kestrum::MTPFileSystem::Phones phones() {
        return {[this] { return records_; },
                [this](const mtp::USBDeviceRecord& device) -> std::unique_ptr<mtp::BulkTransport> {
                    opened_.push_back(device.id);
                    for (auto& [id, phone] : phones_) {
                        if (id == device.id) {
                            return std::make_unique<phonesim::SimulatedTransport>(*phone);
                        }
                    }
                    throw mtp::MTPTransportError("device " + device.id + " has no MTP interface");
                }};
    }

    phonesim::SimulatedPhone& phone(const std::string& id) {
        for (auto& [phoneID, phone] : phones_) {
            if (phoneID == id) return *phone;
        }
        throw std::logic_error("no phone " + id);
    }

    kestrumtest::LogCapture log_;
    std::vector<std::pair<std::string, std::unique_ptr<phonesim::SimulatedPhone>>> phones_;
    std::vector<mtp::USBDeviceRecord> records_;
    std::vector<std::string> opened_;
};

TEST_F(FileSystemTest, ReadsOneBlockOfAtLeast512Bytes) {
    const mtp::PlaceholderMarker marker("ABC123", "Phone", true);
    MemoryResource large(block(marker), 4096);
    EXPECT_EQ(kestrum::MTPFileSystem::readMarker(large), marker);
    EXPECT_EQ(large.requested, 4096u);

    MemoryResource small(block(marker), 256);
    EXPECT_EQ(kestrum::MTPFileSystem::readMarker(small), marker);
    EXPECT_EQ(small.requested, 512u);

    // A device shorter than its block, a failing read, and another magic: no marker.
    MemoryResource shortDevice(block(marker, 1000), 4096);
    EXPECT_EQ(kestrum::MTPFileSystem::readMarker(shortDevice), std::nullopt);
    MemoryResource failing(block(marker), 512);
    failing.fails = true;
    EXPECT_EQ(kestrum::MTPFileSystem::readMarker(failing), std::nullopt);
    auto other = block(marker);
    other[7] = '2';
    EXPECT_EQ(kestrum::MTPFileSystem::readMarker(MemoryResource(other, 512)), std::nullopt);
}

TEST_F(FileSystemTest, ProbeNamesTheMarkersPhone) {
    kestrum::MTPFileSystem fileSystem(phones());
    const mtp::PlaceholderMarker marker("ABC123", "Pixel", false);
    const auto result = fileSystem.probe(MemoryResource(block(marker), 512));
    EXPECT_EQ(result, (kestrum::ProbeResult{true, "Pixel", mtp::containerIDFor("ABC123")}));
    MemoryResource shortDevice(block(marker, 300), 512);
    EXPECT_FALSE(fileSystem.probe(shortDevice).recognized);
    EXPECT_EQ(fileSystem.load(shortDevice).error, EINVAL);
    EXPECT_THAT(log_.at(LogLevel::error), IsEmpty());
    EXPECT_THAT(opened_, IsEmpty());
}

TEST_F(FileSystemTest, ServesThePhoneWhoseIdDerivesTheContainerID) {
    for (const auto& order : {std::vector<std::string>{"SIM0001", "SIM0002"},
                              std::vector<std::string>{"SIM0002", "SIM0001"}}) {
        phones_.clear();
        records_.clear();
        opened_.clear();
        log_.clear();
        attach(order);
        kestrum::MTPFileSystem fileSystem(phones());
        const auto reply = fileSystem.load(
            MemoryResource(block(mtp::PlaceholderMarker("SIM0002", "Second", false)), 512));
        ASSERT_TRUE(reply.volume) << reply.description;
        EXPECT_EQ(fileSystem.volume(), reply.volume);
        EXPECT_THAT(opened_, ElementsAre("SIM0002"));
        EXPECT_THAT(log_.at(LogLevel::info), ElementsAre("serving Second (SIM0002) read-only"));
        EXPECT_TRUE(phone("SIM0002").isSessionOpen());
        fileSystem.unload();
        EXPECT_EQ(fileSystem.volume(), nullptr);
        EXPECT_FALSE(phone("SIM0002").isSessionOpen());
    }
}

// A phone that cannot be opened fails its load; the end-to-end scripts show locked and absent
// phones. The volume served before stays.
TEST_F(FileSystemTest, FailedLoadIsEIOAndKeepsTheServedVolume) {
    attach({"GOOD"});
    records_.push_back(record("BROKEN"));  // attached, but cannot be opened
    kestrum::MTPFileSystem fileSystem(phones());
    kestrum::Volume* served =
        fileSystem.load(MemoryResource(block(mtp::PlaceholderMarker("GOOD", "G", false)), 512))
            .volume;
    ASSERT_TRUE(served);
    const auto broken =
        fileSystem.load(MemoryResource(block(mtp::PlaceholderMarker("BROKEN", "B", false)), 512));
    EXPECT_EQ(broken.volume, nullptr);
    EXPECT_EQ(broken.error, EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("load BROKEN failed: device BROKEN has no MTP interface"));
    EXPECT_EQ(fileSystem.volume(), served);
    fileSystem.unload();
    fileSystem.unload();  // nothing held: nothing happens
}

}  // namespace
