// The placeholder marker and image: the marker's fields as the app and the helper must agree on
// them, whatever bytes a device holds, and an image that partitioning tools accept.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mtp/PlaceholderImage.h"
#include "mtp/PlaceholderMarker.h"
#include "tests/common/TestSupport.h"

namespace {

using mtp::PlaceholderMarker;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes block(const PlaceholderMarker& marker, size_t size) {
    auto bytes = marker.encode();
    bytes.resize(size, 0);
    return bytes;
}

void writeFile(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The container ID is the app's and the helper's only link between a mount and its phone: it
// follows the whole device ID, though the serial field keeps only 64 bytes of it.
TEST(PlaceholderMarker, ContainerIDFollowsTheDeviceIDOnly) {
    EXPECT_EQ(PlaceholderMarker("ABC123", "x", true).containerID,
              PlaceholderMarker("ABC123", "y", false).containerID);
    EXPECT_NE(PlaceholderMarker("ABC123", "", false).containerID,
              PlaceholderMarker("ABC124", "", false).containerID);
    PlaceholderMarker longMarker(std::string(80, 'S'), "", false);
    EXPECT_EQ(longMarker.serial, std::string(64, 'S'));
    EXPECT_NE(longMarker.containerID,
              PlaceholderMarker(std::string(64, 'S'), "", false).containerID);
}

TEST(PlaceholderMarker, CutsKeepWholeCharactersAndNeverSpill) {
    EXPECT_EQ(PlaceholderMarker("id", std::string(127, 'n') + "\xC3\xA9", false).name,
              std::string(127, 'n'));
    EXPECT_EQ(PlaceholderMarker("id", std::string(126, 'n') + "\xC3\xA9", false).name,
              std::string(126, 'n') + "\xC3\xA9");
    EXPECT_EQ(
        PlaceholderMarker(std::string(62, 's') + "\xF0\x9F\x93\xB1" + "tail", "", false).serial,
        std::string(62, 's'));

    PlaceholderMarker marker(std::string(64, 'S'), "Pixel \xE2\x80\x93 7", true);
    EXPECT_EQ(PlaceholderMarker::decode(block(marker, 4096)), marker);
    marker.writable = false;
    EXPECT_EQ(PlaceholderMarker::decode(marker.encode()), marker);
    // Fields set past their limits by hand are cut, never spilled into the next field.
    marker.serial = std::string(70, 'X');
    marker.name = std::string(200, 'Y');
    const auto cut = PlaceholderMarker::decode(marker.encode());
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->serial, std::string(64, 'X'));
    EXPECT_EQ(cut->name, std::string(128, 'Y'));
    EXPECT_FALSE(cut->writable);
}

// Whatever a device holds: no marker without the magic or with too few bytes; text repaired.
TEST(PlaceholderMarker, DecodeTakesWhateverADeviceHolds) {
    PlaceholderMarker marker("SER", "Name", true);
    auto bytes = marker.encode();
    EXPECT_FALSE(PlaceholderMarker::decode(std::span(bytes).first(200)));
    bytes[0] ^= 0xFF;
    EXPECT_FALSE(PlaceholderMarker::decode(bytes));

    // Invalid UTF-8 becomes U+FFFD; text stops at the first zero byte.
    marker.serial =
        "ab\xFF"
        "cd";
    marker.name = std::string("Ph\xC3\x28one\0hidden", 13);
    const auto repaired = PlaceholderMarker::decode(marker.encode());
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->serial,
              "ab\xEF\xBF\xBD"
              "cd");
    EXPECT_EQ(repaired->name, "Ph\xEF\xBF\xBD(one");
    marker.name = std::string(127, 'n') + "\xE2";  // a sequence cut by the end of the field
    EXPECT_EQ(PlaceholderMarker::decode(marker.encode())->name,
              std::string(127, 'n') + "\xEF\xBF\xBD");
}

// The partition the mount helper finds on a whole placeholder disk holds the marker; damage or
// another block size finds none.
std::optional<uint64_t> partitionOffset(const Bytes& disk, uint32_t blockSize = 512) {
    return mtp::placeholderPartitionOffset(
        [&](uint64_t offset, std::span<uint8_t> buffer) {
            const size_t n =
                offset >= disk.size() ? 0 : std::min<size_t>(buffer.size(), disk.size() - offset);
            std::copy_n(disk.begin() + static_cast<ptrdiff_t>(offset), n, buffer.begin());
            return n;
        },
        blockSize);
}

TEST(PlaceholderImage, ValidatesWithSgdiskAndCarriesTheMarkerInPartitionOne) {
    const PlaceholderMarker marker("ABC123", "Pixel 7", false);
    const auto image = mtp::placeholderImage(marker);
    const auto offset = partitionOffset(image);
    ASSERT_TRUE(offset);
    EXPECT_EQ(PlaceholderMarker::decode(std::span(image).subspan(*offset)), marker);
    EXPECT_NE(mtp::placeholderImage(marker), image);  // fresh GUIDs
    EXPECT_FALSE(partitionOffset(image, 4096));
    EXPECT_FALSE(
        partitionOffset(Bytes(image.begin() + static_cast<ptrdiff_t>(*offset), image.end())));
    for (const size_t damaged : {512u + 20u, 1024u + 3u}) {  // the GPT header, entry 1's type
        auto bad = image;
        bad[damaged] ^= 1;
        EXPECT_FALSE(partitionOffset(bad)) << damaged;
    }

    if (::system("command -v sgdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sgdisk missing";
    TempDir dir;
    const auto file = dir.path() / "phone.img";
    writeFile(file, image);
    FILE* pipe = ::popen(("sgdisk -v '" + file.string() + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    EXPECT_EQ(::pclose(pipe), 0) << output;
    EXPECT_NE(output.find("No problems found"), std::string::npos) << output;
    // sgdisk says "No problems found" and exits 0 even after repairing a bad backup header in
    // memory; the damage shows only in its warnings.
    for (const char* damage : {"ERROR", "corrupt", "invalid", "don't match"}) {
        EXPECT_EQ(output.find(damage), std::string::npos) << output;
    }
}

TEST(PlaceholderImage, ReadMarkerNeedsAWholeBlock) {
    TempDir dir;
    const PlaceholderMarker marker("loc-14200000", "Phone", true);
    writeFile(dir.path() / "block", block(marker, 512));
    EXPECT_EQ(mtp::readPlaceholderMarker(dir.path() / "block"), marker);
    writeFile(dir.path() / "short", block(marker, 511));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "short"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "missing"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path()));  // a directory cannot be read
    // The whole image starts with its MBR, not the marker.
    writeFile(dir.path() / "image", mtp::placeholderImage(marker));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "image"));
}

}  // namespace
