// The placeholder marker and image. The LoopDevice cases attach a real loop device; they need
// root and /dev/loop-control and skip otherwise.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "mtp/PlaceholderImage.h"
#include "mtp/PlaceholderMarker.h"
#include "tests/common/TestSupport.h"

namespace fs = std::filesystem;
using mtp::PlaceholderMarker;
using mtp::UUID;

namespace {

using testsupport::TempDir;

using Bytes = std::vector<uint8_t>;

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) result.output.append(buffer, n);
    result.status = ::pclose(pipe);
    return result;
}

uint64_t le(const Bytes& bytes, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[offset + i];
    return value;
}

std::string text(const Bytes& bytes, size_t offset, size_t size) {
    return std::string(bytes.begin() + offset, bytes.begin() + offset + size);
}

Bytes validBlock(const PlaceholderMarker& marker, size_t size) {
    auto bytes = marker.encode();
    bytes.resize(size, 0);
    return bytes;
}

void writeFile(const fs::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST(PlaceholderMarker, ContainerIDIsNameBasedOnTheDeviceID) {
    EXPECT_EQ(PlaceholderMarker("ABC123", "", false).containerID.toString(),
              "42DF93AC-E832-50C3-959F-289FAF7C4C35");
    EXPECT_EQ(PlaceholderMarker("loc-14200000", "Pixel", true).containerID.toString(),
              "E6ECDF4F-D764-53F8-8DA6-53D20EB0A511");
    // Name and writable flag do not take part; the id does, and it is cut only for `serial`.
    EXPECT_EQ(PlaceholderMarker("ABC123", "x", true).containerID,
              PlaceholderMarker("ABC123", "y", false).containerID);
    const std::string longID(80, 'S');
    PlaceholderMarker longMarker(longID, "", false);
    EXPECT_EQ(longMarker.serial, std::string(64, 'S'));
    EXPECT_NE(longMarker.containerID,
              PlaceholderMarker(std::string(64, 'S'), "", false).containerID);
}

TEST(PlaceholderMarker, UUIDText) {
    const auto uuid = UUID::parse("682e9e56-5fff-4a0b-804b-99cd9ae537ea");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->toString(), "682E9E56-5FFF-4A0B-804B-99CD9AE537EA");
    EXPECT_FALSE(UUID::parse("682E9E56-5FFF-4A0B-804B-99CD9AE537E"));
    EXPECT_FALSE(UUID::parse("682E9E56+5FFF-4A0B-804B-99CD9AE537EA"));
    EXPECT_FALSE(UUID::parse("682E9E56-5FFF-4A0B-804B-99CD9AE537EG"));
    const std::array<uint8_t, 16> mixed{0x56, 0x9E, 0x2E, 0x68, 0xFF, 0x5F, 0x0B, 0x4A,
                                        0x80, 0x4B, 0x99, 0xCD, 0x9A, 0xE5, 0x37, 0xEA};
    EXPECT_EQ(uuid->mixedEndian(), mixed);

    const auto a = UUID::random();
    const auto b = UUID::random();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.bytes[6] >> 4, 4);
    EXPECT_EQ(a.bytes[8] & 0xC0, 0x80);
}

TEST(PlaceholderMarker, CutsKeepWholeCharacters) {
    EXPECT_EQ(PlaceholderMarker("id", std::string(130, 'n'), false).name, std::string(128, 'n'));
    EXPECT_EQ(PlaceholderMarker("id", std::string(127, 'n') + "\xC3\xA9", false).name,
              std::string(127, 'n'));
    EXPECT_EQ(PlaceholderMarker("id", std::string(126, 'n') + "\xC3\xA9", false).name,
              std::string(126, 'n') + "\xC3\xA9");
    // A 4-byte character crossing the serial's limit goes, with what follows it.
    EXPECT_EQ(
        PlaceholderMarker(std::string(62, 's') + "\xF0\x9F\x93\xB1" + "tail", "", false).serial,
        std::string(62, 's'));
    EXPECT_EQ(mtp::cutUTF8("\xE2\x82\xAC\xE2\x82\xAC", 5), "\xE2\x82\xAC");
    EXPECT_EQ(mtp::cutUTF8("\xE2\x82\xAC", 2), "");
}

TEST(PlaceholderMarker, EncodingLayoutAndRoundTrip) {
    PlaceholderMarker marker(std::string(64, 'S'), "Pixel \xE2\x80\x93 7", true);
    const auto bytes = marker.encode();
    ASSERT_EQ(bytes.size(), 217u);
    EXPECT_EQ(text(bytes, 0, 8), "MTPFSPH1");
    EXPECT_TRUE(std::equal(marker.containerID.bytes.begin(), marker.containerID.bytes.end(),
                           bytes.begin() + 8));
    EXPECT_EQ(text(bytes, 24, 64), std::string(64, 'S'));  // full field, no terminator
    EXPECT_EQ(text(bytes, 88, 11), "Pixel \xE2\x80\x93 7");
    EXPECT_EQ(bytes[99], 0);
    EXPECT_EQ(bytes[216], 1);
    EXPECT_EQ(PlaceholderMarker::decode(bytes), marker);
    EXPECT_EQ(PlaceholderMarker::decode(validBlock(marker, 4096)), marker);

    marker.writable = false;
    EXPECT_EQ(marker.encode()[216], 0);
    EXPECT_EQ(PlaceholderMarker::decode(marker.encode()), marker);

    // Fields set past their limits by hand are cut, never spilled into the next field.
    marker.serial = std::string(70, 'X');
    marker.name = std::string(200, 'Y');
    const auto cut = marker.encode();
    ASSERT_EQ(cut.size(), 217u);
    EXPECT_EQ(text(cut, 88, 128), std::string(128, 'Y'));
    EXPECT_EQ(cut[216], 0);
}

TEST(PlaceholderMarker, DecodeEdgeCases) {
    const PlaceholderMarker marker("SER", "Name", true);
    auto bytes = marker.encode();

    EXPECT_FALSE(PlaceholderMarker::decode(Bytes(bytes.begin(), bytes.begin() + 215)));
    EXPECT_FALSE(PlaceholderMarker::decode(Bytes{}));
    const auto short216 = PlaceholderMarker::decode(Bytes(bytes.begin(), bytes.begin() + 216));
    ASSERT_TRUE(short216);
    EXPECT_FALSE(short216->writable);
    EXPECT_EQ(short216->name, "Name");

    auto wrongMagic = bytes;
    wrongMagic[7] = '2';
    EXPECT_FALSE(PlaceholderMarker::decode(wrongMagic));

    auto flags = bytes;
    flags[216] = 0x03;
    EXPECT_TRUE(PlaceholderMarker::decode(flags)->writable);
    flags[216] = 0x02;
    EXPECT_FALSE(PlaceholderMarker::decode(flags)->writable);

    // Invalid UTF-8 is repaired with U+FFFD; text stops at the first zero byte.
    auto broken = bytes;
    const std::string serial =
        "ab\xFF"
        "cd";
    std::copy(serial.begin(), serial.end(), broken.begin() + 24);
    const std::string name = "Ph\xC3\x28one\0hidden";
    std::copy(name.begin(), name.begin() + 13, broken.begin() + 88);
    broken[88 + 127] = 0xE2;  // a truncated sequence ending the field
    const auto repaired = PlaceholderMarker::decode(broken);
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->serial,
              "ab\xEF\xBF\xBD"
              "cd");
    EXPECT_EQ(repaired->name, "Ph\xEF\xBF\xBD(one");
    EXPECT_EQ(repaired->containerID, marker.containerID);

    auto truncatedEnd = bytes;
    std::fill(truncatedEnd.begin() + 88, truncatedEnd.begin() + 216, 'n');
    truncatedEnd[215] = 0xE2;
    truncatedEnd[214] = 'x';
    const auto tail = PlaceholderMarker::decode(truncatedEnd);
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->name, std::string(126, 'n') + "x\xEF\xBF\xBD");
}

TEST(PlaceholderImage, Layout) {
    const PlaceholderMarker marker("ABC123", "Pixel 7", true);
    const auto disk = *UUID::parse("11111111-2222-4333-8444-555555555555");
    const auto part = *UUID::parse("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
    const auto image = mtp::placeholderImage(marker, disk, part);
    ASSERT_EQ(image.size(), 1048576u);

    const Bytes mbr{0x00, 0x00, 0x02, 0x00, 0xEE, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(std::equal(mbr.begin(), mbr.end(), image.begin() + 0x1BE));
    EXPECT_EQ(le(image, 0x1BE + 8, 4), 1u);
    EXPECT_EQ(le(image, 0x1BE + 12, 4), 2047u);
    EXPECT_EQ(image[0x1FE], 0x55);
    EXPECT_EQ(image[0x1FF], 0xAA);

    for (auto [header, self, other, entries] :
         {std::tuple<size_t, uint64_t, uint64_t, uint64_t>{0x200, 1, 2047, 2},
          {0xFFE00, 2047, 1, 2015}}) {
        EXPECT_EQ(text(image, header, 8), "EFI PART");
        EXPECT_EQ(le(image, header + 24, 8), self);
        EXPECT_EQ(le(image, header + 32, 8), other);
        EXPECT_EQ(le(image, header + 72, 8), entries);
        const auto guid = disk.mixedEndian();
        EXPECT_TRUE(std::equal(guid.begin(), guid.end(), image.begin() + header + 56));
    }
    EXPECT_TRUE(
        std::equal(image.begin() + 0x400, image.begin() + 0x400 + 16384, image.begin() + 0xFBE00));
    const std::u16string name = u"MTP Placeholder";
    for (size_t i = 0; i < name.size(); ++i) EXPECT_EQ(le(image, 0x400 + 56 + 2 * i, 2), name[i]);
    EXPECT_EQ(le(image, 0x400 + 56 + 30, 2), 0u);

    const auto atMarker = Bytes(image.begin() + 0x5000, image.begin() + 0x5000 + 512);
    EXPECT_EQ(PlaceholderMarker::decode(atMarker), marker);

    // Only the disk and partition GUIDs change between images of the same marker.
    EXPECT_EQ(mtp::placeholderImage(marker, disk, part), image);
    EXPECT_NE(mtp::placeholderImage(marker), mtp::placeholderImage(marker));
}

TEST(PlaceholderImage, ValidatesWithSgdisk) {
    if (::system("command -v sgdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sgdisk missing";
    TempDir dir;
    const auto file = dir.path() / "phone.img";
    writeFile(file, mtp::placeholderImage(PlaceholderMarker("ABC123", "Pixel 7", false)));

    const auto verify = run("sgdisk -v '" + file.string() + "'");
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("No problems found"), std::string::npos) << verify.output;
    // sgdisk says "No problems found" and exits 0 even after repairing a bad backup header in
    // memory; the damage shows only in its warnings.
    for (const char* damage : {"ERROR", "corrupt", "invalid", "don't match"}) {
        EXPECT_EQ(verify.output.find(damage), std::string::npos) << verify.output;
    }

    const auto info = run("sgdisk -i 1 '" + file.string() + "'");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("682E9E56-5FFF-4A0B-804B-99CD9AE537EA"), std::string::npos)
        << info.output;
    EXPECT_NE(info.output.find("First sector: 40 "), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Last sector: 2014 "), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("'MTP Placeholder'"), std::string::npos) << info.output;
}

TEST(PlaceholderImage, ReadMarkerNeedsAWholeBlock) {
    TempDir dir;
    const PlaceholderMarker marker("loc-14200000", "Phone", true);
    writeFile(dir.path() / "block", validBlock(marker, 512));
    EXPECT_EQ(mtp::readPlaceholderMarker(dir.path() / "block"), marker);
    writeFile(dir.path() / "short", validBlock(marker, 511));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "short"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "missing"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path()));  // a directory cannot be read
    // The whole image starts with its MBR, not the marker.
    writeFile(dir.path() / "image", mtp::placeholderImage(marker));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "image"));
}

// --- LoopDevice: the image attached as a real block device (root only) --------------------

std::string readSysfs(const fs::path& file) {
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    return value;
}

// Detaches whatever was attached, even when an assertion ends the test early.
class LoopDevice {
  public:
    ~LoopDevice() {
        if (!nodeMade_.empty()) ::unlink(nodeMade_.c_str());
        if (partitionsAdded_) run("partx -d '" + device + "'");
        if (!device.empty()) run("losetup -d '" + device + "'");
    }
    std::string device;  // /dev/loopN
    std::string nodeMade_;
    bool partitionsAdded_ = false;
};

TEST(LoopDevice, PartitionCarriesTheMarker) {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    if (!fs::exists("/dev/loop-control")) GTEST_SKIP() << "no /dev/loop-control";
    TempDir dir;
    const auto file = dir.path() / "phone.img";
    const PlaceholderMarker marker("R5CT10ABCDE", "Galaxy S23 \xE2\x80\x93 work", true);
    writeFile(file, mtp::placeholderImage(marker));

    LoopDevice loop;
    const auto attach = run("losetup --find --show --partscan --read-only '" + file.string() + "'");
    ASSERT_EQ(attach.status, 0) << attach.output;
    loop.device = attach.output.substr(0, attach.output.find('\n'));
    ASSERT_TRUE(loop.device.starts_with("/dev/loop")) << attach.output;
    const auto name = fs::path(loop.device).filename().string();
    const auto partition = fs::path("/sys/class/block") / (name + "p1");

    // Kernels without GPT support leave the partition to user space.
    if (!fs::exists(partition)) {
        loop.partitionsAdded_ = true;  // also when partx fails halfway
        const auto added = run("partx -a '" + loop.device + "'");
        ASSERT_EQ(added.status, 0) << added.output;
    }
    ASSERT_TRUE(fs::exists(partition));
    EXPECT_EQ(readSysfs(partition / "start"), "40");
    EXPECT_EQ(readSysfs(partition / "size"), "1975");

    // Without udev the node may not appear by itself: wait briefly, then make it.
    const auto node = loop.device + "p1";
    for (int i = 0; i < 20 && !fs::exists(node); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!fs::exists(node)) {
        unsigned major = 0, minor = 0;
        ASSERT_EQ(std::sscanf(readSysfs(partition / "dev").c_str(), "%u:%u", &major, &minor), 2);
        ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, makedev(major, minor)), 0);
        loop.nodeMade_ = node;
    }
    EXPECT_EQ(mtp::readPlaceholderMarker(node), marker);
    // The whole disk starts with the MBR, so it carries no marker at offset 0.
    EXPECT_FALSE(mtp::readPlaceholderMarker(loop.device));
}

}  // namespace
