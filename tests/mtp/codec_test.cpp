// The byte-level rules a phone can break: short datasets, lying counts, strings without NUL or
// with broken UTF-16, dates in odd shapes, and the exact bytes we put on the wire. And the
// placeholder marker and image: the marker's fields as the app and the helper must agree on them,
// whatever bytes a device holds, and an image that partitioning tools accept.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mtp/ByteReader.h"
#include "mtp/Container.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPDate.h"
#include "mtp/PTPString.h"
#include "mtp/PlaceholderImage.h"
#include "mtp/PlaceholderMarker.h"
#include "tests/common/TestSupport.h"
#include "tests/mtp/ScriptedTransport.h"

using namespace mtp;
using mtptest::le;
using namespace std::literals;

namespace {

Bytes utf16String(std::u16string_view units, uint8_t count) {
    Bytes bytes{count};
    for (char16_t unit : units) appendU16(bytes, unit);
    return bytes;
}

constexpr auto encode = testsupport::ptpString;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(ByteReader, ReadsZeroPastTheEndAndClampsArrayCounts) {
    Bytes bytes{0x34, 0x12, 0x78};
    ByteReader reader(bytes);
    EXPECT_EQ(reader.readU16(), 0x1234);
    EXPECT_EQ(reader.readU16(), 0x0078);  // one real byte, one missing
    EXPECT_EQ(reader.position(), 4u);
    EXPECT_EQ(reader.readU64(), 0u);
    EXPECT_EQ(reader.position(), 12u);
    reader.skip(UINT64_MAX);  // saturates instead of wrapping back into the payload
    reader.skip(100);
    EXPECT_EQ(reader.readU8(), 0);
    EXPECT_TRUE(reader.atEnd());

    // An array count is clamped to the payload length, the missing values read as zero.
    std::vector<uint32_t> values{11, 22, 33, 44};
    values.resize(20);
    EXPECT_EQ(
        ByteReader(le(1000, 4) + le(11, 4) + le(22, 4) + le(33, 4) + le(44, 4)).readArrayU32(),
        values);
    EXPECT_EQ(ByteReader(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00}).readArrayU16(),
              (std::vector<uint16_t>{1, 0, 0, 0, 0, 0}));
}

// No NUL at all; the count promising more units than arrive (the missing ones are NUL);
// unpaired surrogates become U+FFFD, a real pair survives.
TEST(PTPString, DecodesWhateverThePhoneSendsAndEncodesTheWireBytes) {
    struct Case {
        std::u16string_view units;
        uint8_t count;
        std::string text;
    };
    for (const Case& c : {Case{u"", 0, ""}, Case{u"abc\0\0"sv, 5, "abc"}, Case{u"abc", 3, "abc"},
                          Case{u"ab", 200, "ab"}, Case{u"a\xD800\x62", 3, "a\uFFFDb"},
                          Case{u"x\xDC00", 2, "x\uFFFD"}, Case{u"\xD83D\xDE00", 3, "\U0001F600"}}) {
        EXPECT_EQ(ByteReader(utf16String(c.units, c.count)).readString(), c.text) << c.text;
    }
    // The cursor ends after exactly count units, whatever they held.
    const Bytes two = utf16String(u"hi\0"sv, 3) + utf16String(u"yo\0"sv, 3);
    ByteReader reader(two);
    EXPECT_EQ(reader.readString(), "hi");
    EXPECT_EQ(reader.readString(), "yo");

    // Names longer than 254 units are cut, a surrogate pair across the cut dropped whole; invalid
    // UTF-8 from a caller is repaired, not sent raw.
    EXPECT_EQ(encode(""), Bytes{0x00});
    EXPECT_EQ(encode("abc"), (Bytes{0x04, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x00, 0x00}));
    EXPECT_EQ(encode(std::string(300, 'n')).size(), 1u + 255 * 2);
    EXPECT_EQ(encode(std::string(253, 'a') + "\U0001F600")[0], 254);
    const std::string a252 = std::string(252, 'a'), a253 = a252 + 'a';
    for (const auto& [text, decoded] :
         {std::pair<std::string, std::string>{"Grüße 日本 \U0001F600", "Grüße 日本 \U0001F600"},
          {"a\xFF", "a\uFFFD"},
          {std::string(300, 'n'), std::string(254, 'n')},
          {a253 + "\U0001F600", a253},
          {a252 + "\U0001F600", a252 + "\U0001F600"}}) {
        EXPECT_EQ(ByteReader(encode(text)).readString(), decoded) << text.size();
    }
}

// Local time, summer time included; anything but the 15 characters of a valid date is no date.
// (Nothing else in this binary reads the time zone, so it is not restored.)
TEST(MTPDate, ReadsTheFirst15CharactersInLocalTime) {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    EXPECT_EQ(parseMTPDate("20240131T235959.0Z")->time_since_epoch(), 1706741999s);  // 22:59:59 UTC
    EXPECT_EQ(parseMTPDate("20240715T120000+0300")->time_since_epoch(), 1721037600s);  // 10:00 UTC
    for (const char* text : {"20240229T000000", "19700101T000000", "22000101T000000"}) {
        EXPECT_TRUE(parseMTPDate(text)) << text;
    }
    for (const char* text :
         {"", "2024", "20240131T23595", "20240131 235959", "2024013XT235959", "20241301T000000",
          "20240230T000000", "20230229T000000", "20240131T240000", "20240131T236000",
          "20240131T235960", "-0240131T235959", "２0240131T235959",
          // years the timestamp cannot hold
          "10200101T000000", "99991231T235959"}) {
        EXPECT_FALSE(parseMTPDate(text)) << text;
    }
}

TEST(Container, HeaderAndResponseParameters) {
    EXPECT_TRUE(fitsDataContainer(0xFFFFFFFFu - 12));
    EXPECT_FALSE(fitsDataContainer(0xFFFFFFFFu - 11));
    Bytes partial{0x20, 0, 0, 0, 0x03};
    EXPECT_EQ(parseContainerHeader(partial),
              (ContainerHeader{0x20, ContainerType::Response, 0, 0}));

    auto paramsOf = [](size_t chunkSize, uint32_t declared) {
        Bytes chunk = mtptest::ScriptedTransport::response(Response::OK, 1, {1, 2, 3});
        std::ranges::copy(le(declared, 4), chunk.begin());
        chunk.resize(chunkSize);
        std::vector<uint32_t> params{99, 98};  // replaced, not appended to
        parseResponseParams(chunk, params);
        return params.size();
    };
    EXPECT_EQ(paramsOf(12, 12), 0u);
    EXPECT_EQ(paramsOf(15, 15), 0u);
    EXPECT_EQ(paramsOf(20, 20), 2u);
    EXPECT_EQ(paramsOf(24, 16), 1u);  // the declared length wins when shorter
    EXPECT_EQ(paramsOf(20, 40), 2u);  // the bytes received win when fewer
    EXPECT_EQ(paramsOf(8, 40), 0u);
}

// A prop list of the given count: each element is (handle, property, data type, value bytes).
Bytes propList(uint32_t count,
               const std::vector<std::tuple<uint32_t, uint16_t, uint16_t, Bytes>>& elements) {
    Bytes bytes;
    appendU32(bytes, count);
    for (const auto& [handle, property, type, value] : elements) {
        appendU32(bytes, handle);
        appendU16(bytes, property);
        appendU16(bytes, type);
        bytes.insert(bytes.end(), value.begin(), value.end());
    }
    return bytes;
}

TEST(Datasets, PropListWalksEveryValueWidthAndStopsWhereElementsCannotBeDelimited) {
    const uint16_t size = wire(Prop::ObjectSize);
    std::vector<PropListElement> elements = parseObjectPropList(
        propList(8, {{1, wire(Prop::ObjectFileName), 0xFFFF, encode("a.txt")},
                     {1, wire(Prop::ObjectFormat), 0x0004, le(wire(Format::Association), 2)},
                     {1, size, 0x0008, le(5'000'000'000, 8)},
                     {2, 0xDC41, 0x000A, Bytes(16, 0xEE)},             // UINT128: skipped
                     {2, 0xDC42, 0x4002, le(3, 4) + Bytes(3, 0xEE)},   // AUINT8 of 3: skipped
                     {2, 0xDC43, 0x4009, le(2, 4) + Bytes(32, 0xEE)},  // AINT128 of 2: skipped
                     {2, size, 0x0006, le(7, 4)},
                     {3, 0xDC44, 0x0001, le(0xFF, 1)}}));
    ASSERT_EQ(elements.size(), 8u);
    EXPECT_EQ(elements[0].text, "a.txt");
    EXPECT_EQ(elements[1].number, wire(Format::Association));
    EXPECT_EQ(elements[2].number, 5'000'000'000u);
    for (int i : {3, 4, 5}) EXPECT_FALSE(elements[i].number) << i;
    EXPECT_EQ(elements[6],
              (PropListElement{2, Prop::ObjectSize, DataType::UINT32, 7, std::nullopt}));
    EXPECT_EQ(elements[7].number, 0xFFu);

    // The walk stops where the next element cannot be found, and never invents elements.
    struct Case {
        const char* what;
        Bytes bytes;
        std::vector<uint32_t> handles;
    };
    for (const Case& c : {
             Case{"no such data type",
                  propList(3, {{1, size, 0x0008, le(10, 8)},
                               {2, size, 0x0010, le(20, 8)},
                               {3, size, 0x0008, le(30, 8)}}),
                  {1, 2}},
             Case{"array of UNDEF",
                  propList(2, {{1, 0xDC45, 0x4000, le(1, 4)}, {2, size, 0x0006, {}}}),
                  {1}},
             Case{"a count the bytes cannot hold",
                  propList(0xFFFFFFFF, {{9, wire(Prop::ObjectFileName), 0xFFFF, encode("x")}}),
                  {9}},
         }) {
        std::vector<uint32_t> handles;
        for (const auto& element : parseObjectPropList(c.bytes)) handles.push_back(element.handle);
        EXPECT_EQ(handles, c.handles) << c.what;
    }
    // A value cut short still yields its element, with the missing bytes as zero.
    auto cut = parseObjectPropList(propList(1, {{4, size, 0x0008, le(0x1234, 2)}}));
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].number, 0x1234u);
}

namespace {

using mtp::PlaceholderMarker;
using testsupport::TempDir;

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
TEST(PlaceholderMarker, FieldsAndDecoding) {
    EXPECT_EQ(PlaceholderMarker("ABC123", "x", true).containerID,
              PlaceholderMarker("ABC123", "y", false).containerID);
    EXPECT_NE(PlaceholderMarker("ABC123", "", false).containerID,
              PlaceholderMarker("ABC124", "", false).containerID);
    PlaceholderMarker longMarker(std::string(80, 'S'), "", false);
    EXPECT_EQ(longMarker.serial, std::string(64, 'S'));
    EXPECT_NE(longMarker.containerID,
              PlaceholderMarker(std::string(64, 'S'), "", false).containerID);

    // Cuts keep whole characters.
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

    // Whatever a device holds: no marker without the magic or with too few bytes; text repaired.
    marker = PlaceholderMarker("SER", "Name", true);
    auto bytes = marker.encode();
    EXPECT_FALSE(PlaceholderMarker::decode(std::span(bytes).first(200)));
    bytes[0] ^= 0xFF;
    EXPECT_FALSE(PlaceholderMarker::decode(bytes));

    // Invalid UTF-8 becomes U+FFFD; text stops at the first zero byte.
    marker.serial = "ab\xFFgh";
    marker.name = std::string("Ph\xC3\x28one\0hidden", 13);
    const auto repaired = PlaceholderMarker::decode(marker.encode());
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->serial, "ab\xEF\xBF\xBDgh");
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

TEST(PlaceholderImage, CarriesTheMarkerInPartitionOneAndValidatesWithSgdisk) {
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

    // Reading the marker back needs a whole block; the whole image starts with its MBR.
    TempDir dir;
    writeFile(dir.path() / "block", block(marker, 512));
    EXPECT_EQ(mtp::readPlaceholderMarker(dir.path() / "block"), marker);
    writeFile(dir.path() / "short", block(marker, 511));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "short"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path() / "missing"));
    EXPECT_FALSE(mtp::readPlaceholderMarker(dir.path()));  // a directory cannot be read
    const auto file = dir.path() / "phone.img";
    writeFile(file, image);
    EXPECT_FALSE(mtp::readPlaceholderMarker(file));

    if (::system("command -v sgdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sgdisk missing";
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

}  // namespace
