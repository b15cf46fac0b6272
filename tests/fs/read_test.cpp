// Reading phone files through the read-ahead, in-memory files, and the read failures.

#include <gmock/gmock.h>

#include "fs/DSStore.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::ElementsAre;

namespace {

constexpr size_t KiB = 1024, MiB = 1024 * 1024;

class ReadTest : public VolumeTest {
  protected:
    // A mounted phone with a sparse 5 GiB file "huge.bin".
    ItemPtr hugeFile(bool phonesim::Faults::*fault) {
        makePhoneWith({{"Internal", 64ull << 30, folder_.path()}}, fault);
        phone().addSparseFile(storage(), "huge.bin", 5ull << 30);
        mount(true);
        return lookup(rootID, "huge.bin");
    }
    testsupport::TempDir folder_;
};

TEST_F(ReadTest, SequentialReadingAsksThePhoneOncePerWindowUntilTheLastClose) {
    const Bytes content = pattern(10 * MiB, 3);
    phone().addFile(storage(), "movie.mp4", content);
    mount();
    const uint64_t movie = lookup(rootID, "movie.mp4")->id;
    std::vector<uint8_t> piece(256 * KiB), whole;
    for (size_t offset = 0; offset < content.size(); offset += piece.size()) {
        ASSERT_EQ(read(movie, offset, piece), piece.size());
        whole.insert(whole.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(whole, content);
    // Direct 256 KiB, then windows at 0.25, 4.25 and 8.25 MiB.
    EXPECT_EQ(count(Op::GetPartialObject64), 4u);
    EXPECT_EQ(read(movie, content.size() + 5, piece), 0u);

    // Closed with a reader left: the window serves on; with none, a new history begins.
    read(movie, 0, piece);
    read(movie, piece.size(), piece);  // fills the window
    q([&] { volume().close(movie, {.read = true}); });
    phone().resetStats();
    read(movie, 2 * piece.size(), piece);
    EXPECT_EQ(phone().stats().transactions(), 0u);
    q([&] { volume().close(movie, {}); });
    read(movie, 3 * piece.size(), piece);  // direct: only the piece crosses the wire
    EXPECT_LT(phone().stats().bytesToHost, 2 * piece.size());
}

TEST_F(ReadTest, MemoryFilesAreCopiedFromTheVolumeAndReadFailures) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "a.bin", pattern(1000));
    mount();
    lookup(rootID, ".DS_Store");
    phone().resetStats();
    const std::vector<uint8_t> store = makeDSStore();
    std::vector<uint8_t> buffer(4096);
    ASSERT_EQ(read(dsStoreID, 8000, buffer), 196u);
    EXPECT_TRUE(std::equal(store.begin() + 8000, store.end(), buffer.begin()));
    ASSERT_EQ(read(dsStoreID, -100, buffer), 4096u) << "a negative offset reads from the start";
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), store.begin()));
    EXPECT_EQ(read(dsStoreID, 8196, buffer), 0u);
    EXPECT_EQ(read(neverIndexID, 0, buffer), 0u);
    EXPECT_EQ(phone().stats().transactions(), 0u);

    for (const uint64_t id : {lookup(rootID, "DCIM")->id, rootID, uint64_t{5000}})
        EXPECT_EQ(errorOf([&] { return volume().read(id, 0, buffer); }), EISDIR);
    const uint64_t file = lookup(rootID, "a.bin")->id;
    phone().removeObject(storage(), "a.bin");
    EXPECT_EQ(errorOf([&] { return volume().read(file, 0, buffer); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("read a.bin: MTP op 0x95C1 failed with 0x2009"));
}

// Files of unknown size are never read or edited: nothing is sent.
TEST_F(ReadTest, FilesOfUnknownSizeAreNeitherReadNorEdited) {
    const ItemPtr huge = hugeFile(&phonesim::Faults::sizesUnknownOver4G);
    EXPECT_TRUE(huge->sizeUnknown);
    phone().resetStats();
    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(errorOf([&] { return volume().read(huge->id, 0, buffer); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().write(huge->id, 0, buffer); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().setAttributes(huge->id, 10); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().open(huge->id, {.write = true}, true); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().open(huge->id, {.write = true}, false); }), EFBIG);
    EXPECT_EQ(q([&] { return volume().openModes(huge->id); }), OpenModes{})
        << "a failed open is no handle";
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

TEST_F(ReadTest, WithoutPartialObject64ReadingStopsAt4GB) {
    const ItemPtr huge = hugeFile(&phonesim::Faults::no64bit);
    EXPECT_EQ(huge->size, 5ull << 30);
    std::vector<uint8_t> piece(MiB);
    const int64_t start = (4ll << 30) - 4 * MiB;
    EXPECT_EQ(read(huge->id, start, piece), MiB);  // direct, below the bound
    // Sequential: the read-ahead fill stops at the bound instead of failing across it.
    EXPECT_EQ(read(huge->id, start + MiB, piece), MiB);
    EXPECT_EQ(errorOf([&] { return volume().read(huge->id, (4ll << 30) - MiB / 2, piece); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("read huge.bin: device cannot read past 4 GB"));
}

}  // namespace
