// Writing files through the volume: copies in, overwrites, appends, truncation, the edit
// lifecycle across opens, releases and fsync, memory-only Finder files, a read-only volume, and
// the phone filling up or going away in the middle of a write.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "fs/Log.h"
#include "tests/fs/WriteFixture.h"

using namespace kestrum;
using namespace kestrumtest;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

phonesim::Bytes concat(phonesim::Bytes a, const phonesim::Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(WriteTest, CopiesSmallAndLargeFilesWithOneEditEach) {
    phone().addFolder(storage(), "Music");
    mountWritable();
    const uint64_t music = lookup(rootID, "Music")->id;
    const phonesim::Bytes small = pattern(1000, 1), large = pattern(20 << 20, 2);
    phone().resetStats();

    const uint64_t a = copyIn(rootID, "small.txt", small);
    const uint64_t b = copyIn(music, "large.bin", large);

    EXPECT_EQ(count(Op::SendObjectInfo), 2u);
    EXPECT_EQ(count(Op::BeginEditObject), 2u);
    EXPECT_EQ(count(Op::EndEditObject), 2u);
    EXPECT_EQ(count(Op::GetObjectPropValue), 0u) << "a created file's size is the volume's own";
    EXPECT_EQ(count(Op::SendPartialObject), 1u + (20u << 20) / (128u << 10));
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    EXPECT_EQ(sizeOf(a), small.size());
    EXPECT_EQ(sizeOf(b), large.size());
    EXPECT_EQ(readAll(b), large);

    PhoneModel model;
    model.folder(storage(), "Music");
    model.file(storage(), "small.txt", small);
    model.file(storage(), "Music/large.bin", large);
    expectPhoneHolds(model);
}

TEST_F(WriteTest, OverwritesInTheMiddleAndAppendsAskingTheSizeOnce) {
    const phonesim::Bytes original = pattern(300000, 3);
    phone().addFile(storage(), "notes.txt", original);
    mountWritable();
    const uint64_t id = lookup(rootID, "notes.txt")->id;

    // Read first so that the read-ahead holds the old bytes.
    EXPECT_EQ(readAll(id), original);
    q([&] { volume().open(id, {.read = true, .write = true}, false); });
    const phonesim::Bytes middle = pattern(1000, 4);
    writeAll(id, middle, 100000);
    EXPECT_EQ(count(Op::GetObjectPropValue), 1u);
    phonesim::Bytes expected = original;
    std::copy(middle.begin(), middle.end(), expected.begin() + 100000);
    EXPECT_EQ(readAll(id), expected) << "reads after a write see the new bytes";
    q([&] { volume().release(id, {.read = true, .write = true}); });

    // Appending in a later open: the volume's own size, no second query.
    q([&] { volume().open(id, {.write = true}, false); });
    const phonesim::Bytes tail = pattern(70000, 5);
    writeAll(id, tail, expected.size());
    q([&] { volume().release(id, {.write = true}); });
    expected = concat(expected, tail);

    EXPECT_EQ(count(Op::GetObjectPropValue), 1u);
    EXPECT_EQ(count(Op::BeginEditObject), 2u);
    EXPECT_EQ(count(Op::EndEditObject), 2u);
    EXPECT_EQ(sizeOf(id), expected.size());
    PhoneModel model;
    model.file(storage(), "notes.txt", expected);
    expectPhoneHolds(model);
}

TEST_F(WriteTest, WritingPastTheEndFillsTheGapWithZeros) {
    mountWritable();
    const uint64_t id = create(rootID, "gap.bin");
    phone().resetStats();
    const phonesim::Bytes ten = pattern(10, 6);
    EXPECT_EQ(q([&] { return volume().write(id, 100, ten); }), 10u);

    EXPECT_EQ(count(Op::GetObjectPropValue), 0u);
    EXPECT_EQ(count(Op::TruncateObject), 2u);  // the edit's start at 0, then the gap to 100
    EXPECT_EQ(sizeOf(id), 110u);
    // A write of nothing changes nothing, even past the end.
    EXPECT_EQ(q([&] { return volume().write(id, 5000, {}); }), 0u);
    EXPECT_EQ(sizeOf(id), 110u);
    q([&] { volume().fsync(id); });

    PhoneModel model;
    model.file(storage(), "gap.bin", concat(phonesim::Bytes(100, 0), ten));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, TruncatesUpDownAndOnOpen) {
    const phonesim::Bytes original = pattern(50000, 7);
    phone().addFile(storage(), "a.bin", original);
    phone().addFile(storage(), "b.bin", original);
    mountWritable();
    const uint64_t a = lookup(rootID, "a.bin")->id, b = lookup(rootID, "b.bin")->id;

    q([&] { volume().setAttributes(a, 20000); });
    EXPECT_EQ(readAll(a), phonesim::Bytes(original.begin(), original.begin() + 20000));
    q([&] { volume().setAttributes(a, 30000); });
    EXPECT_EQ(sizeOf(a), 30000u);
    q([&] { volume().release(a, {}); });  // ends the edit like any close without write mode

    // O_TRUNC comes inside the open; the file is then written from scratch.
    q([&] { volume().open(b, {.write = true}, true); });
    EXPECT_EQ(sizeOf(b), 0u);
    const phonesim::Bytes fresh = pattern(1234, 8);
    writeAll(b, fresh);
    q([&] { volume().release(b, {.write = true}); });
    EXPECT_EQ(count(Op::GetObjectPropValue), 2u) << "one size query per object";
    EXPECT_THAT(phone().openEdits(), IsEmpty());

    PhoneModel model;
    model.file(storage(), "a.bin",
               concat(phonesim::Bytes(original.begin(), original.begin() + 20000),
                      phonesim::Bytes(10000, 0)));
    model.file(storage(), "b.bin", fresh);
    expectPhoneHolds(model);
}

TEST_F(WriteTest, TheEditEndsWhenTheLastWritingHandleIsReleased) {
    mountWritable();
    const uint64_t id = create(rootID, "shared.txt");
    phone().resetStats();

    // Two writers and a reader; releases come late and in any order.
    q([&] { volume().open(id, {.write = true}, false); });
    writeAll(id, pattern(100, 1));
    q([&] { volume().open(id, {.read = true, .write = true}, false); });
    q([&] { volume().open(id, {.read = true}, false); });
    q([&] { volume().release(id, {.write = true}); });
    EXPECT_EQ(count(Op::EndEditObject), 0u);
    writeAll(id, pattern(100, 2), 100);
    q([&] { volume().release(id, {.read = true, .write = true}); });
    EXPECT_EQ(count(Op::EndEditObject), 1u) << "only the reader keeps the file open";
    EXPECT_EQ(q([&] { return volume().openModes(id); }), (OpenModes{.read = true}));
    q([&] { volume().release(id, {.read = true}); });
    EXPECT_EQ(q([&] { return volume().openModes(id); }), OpenModes{});

    EXPECT_EQ(count(Op::BeginEditObject), 1u);
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    // A stray release (the host lost count) ends nothing twice and never throws.
    q([&] { volume().release(id, {.write = true}); });
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    EXPECT_EQ(onPhone("shared.txt"), concat(pattern(100, 1), pattern(100, 2)));
}

TEST_F(WriteTest, FsyncCommitsAndReportsAFailedCommit) {
    mountWritable();
    const uint64_t id = create(rootID, "safe.txt");
    q([&] { volume().open(id, {.write = true}, false); });
    writeAll(id, pattern(500, 1));
    EXPECT_THAT(phone().openEdits(), Contains(*phone().handleOf(storage(), "safe.txt")));
    q([&] { volume().fsync(id); });
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    EXPECT_EQ(count(Op::EndEditObject), 1u);

    // The next write opens a new edit with the volume's own size.
    writeAll(id, pattern(500, 2), 500);
    EXPECT_EQ(count(Op::BeginEditObject), 2u);
    EXPECT_EQ(count(Op::GetObjectPropValue), 0u);

    refusals().refuse(Op::EndEditObject, mtp::Response::GeneralError);
    EXPECT_EQ(errorOf([&] { volume().fsync(id); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("fsync safe.txt: ")));
    // Nothing left to commit: fsync of a file without an edit, of a folder, of memory items.
    EXPECT_EQ(errorOf([&] { volume().fsync(id); }), 0);
    EXPECT_EQ(errorOf([&] { volume().fsync(rootID); }), 0);
    EXPECT_EQ(errorOf([&] { volume().fsync(dsStoreID); }), 0);
    q([&] { volume().release(id, {.write = true}); });
}

TEST_F(WriteTest, ClosingAFileThatWasReplacedWhileOpenSucceeds) {
    phone().addFile(storage(), "doc.txt", pattern(100, 1));
    mountWritable();
    const uint64_t old = lookup(rootID, "doc.txt")->id;
    q([&] { volume().open(old, {.write = true}, false); });
    writeAll(old, pattern(10, 2));
    // An editor saves by replacement while another program still has the file open.
    const uint64_t fresh = create(rootID, "doc.txt.tmp");
    writeAll(fresh, pattern(50, 3));
    q([&] { volume().renameEntry(rootID, "doc.txt.tmp", rootID, "doc.txt", 0); });
    // close() of the old descriptor flushes it: nothing is left to commit, and it must not fail.
    EXPECT_EQ(errorOf([&] { volume().fsync(old); }), 0);
    q([&] { volume().release(old, {.write = true}); });
    EXPECT_EQ(onPhone("doc.txt"), pattern(50, 3));
}

TEST_F(WriteTest, FinderFilesStayInMemory) {
    phone().addFolder(storage(), "DCIM");
    mountWritable();
    const uint64_t dcim = lookup(rootID, "DCIM")->id;
    EXPECT_THAT(names(dcim), IsEmpty());
    phone().resetStats();

    const uint64_t store = create(dcim, ".DS_Store");
    const uint64_t apple = create(rootID, "._photo.jpg");
    EXPECT_EQ(store, firstMemoryID);
    EXPECT_EQ(apple, firstMemoryID + 1);
    q([&] { volume().open(store, {.write = true}, true); });
    writeAll(store, pattern(3000, 1));
    q([&] { volume().release(store, {.write = true}); });
    const phonesim::Bytes ten = pattern(10, 2);
    writeAll(apple, ten);
    EXPECT_EQ(readAll(store), pattern(3000, 1));
    q([&] { volume().setAttributes(apple, 4); });
    EXPECT_EQ(readAll(apple), phonesim::Bytes(ten.begin(), ten.begin() + 4));

    // 16 MiB is the most a memory item holds.
    const phonesim::Bytes one{0x55};
    EXPECT_EQ(q([&] { return volume().write(store, (16 << 20) - 1, one); }), 1u);
    EXPECT_EQ(errorOf([&] { volume().write(store, 16 << 20, one); }), EFBIG);
    EXPECT_EQ(sizeOf(store), 16u << 20);
    // The root's own .DS_Store is written in memory too.
    writeAll(dsStoreID, pattern(16, 3));

    EXPECT_EQ(phone().stats().transactions(), 0u) << phone().statsJson();
    PhoneModel model;
    model.folder(storage(), "DCIM");
    expectPhoneHolds(model);
}

TEST_F(WriteTest, BadWritesAreRefusedBeforeThePhone) {
    phone().addFolder(storage(), "DCIM");
    mountWritable();
    const uint64_t dcim = lookup(rootID, "DCIM")->id;
    const uint64_t id = create(rootID, "f");
    phone().resetStats();
    const phonesim::Bytes bytes(4, 1);
    EXPECT_EQ(errorOf([&] { volume().write(dcim, 0, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(id, -1, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(999, 0, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(id, INT64_MAX - 2, bytes); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().open(999, {.read = true}, false); }), ENOENT);
    EXPECT_EQ(errorOf([&] { volume().open(dcim, {.write = true}, true); }), EISDIR);
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

TEST_F(WriteTest, FilesOfUnknownSizeAreNeverEdited) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kestrum-write-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    struct Cleanup {
        std::filesystem::path path;
        ~Cleanup() { std::filesystem::remove_all(path); }
    } cleanup{folder};
    phonesim::PhoneConfig config;
    config.storages[0].folder = folder;
    config.faults.sizesUnknownOver4G = true;
    makePhone(config);
    phone().addSparseFile(storage(), "huge.bin", 5ull << 30);
    mountWritable();
    const uint64_t id = lookup(rootID, "huge.bin")->id;
    phone().resetStats();

    const phonesim::Bytes bytes(4, 1);
    EXPECT_EQ(errorOf([&] { volume().write(id, 0, bytes); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().setAttributes(id, 10); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().open(id, {.write = true}, true); }), EFBIG);
    EXPECT_EQ(errorOf([&] { volume().open(id, {.write = true}, false); }), EFBIG);
    EXPECT_EQ(q([&] { return volume().openModes(id); }), OpenModes{})
        << "a failed open is no handle";
    EXPECT_EQ(count(Op::BeginEditObject), 0u);
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

// A phone that cannot be asked for an object's size: the listing's size serves where it is
// exact, and only a file beyond it is refused, before anything is sent.
TEST_F(WriteTest, WithoutSizeQueriesListedSizesServe) {
    phonesim::PhoneConfig config;
    config.faults.noPropValue = true;
    makePhone(config);
    phone().addFile(storage(), "old.txt", pattern(5000, 1));
    mountWritable();
    const uint64_t id = lookup(rootID, "old.txt")->id;
    q([&] { volume().open(id, {.write = true}, false); });
    const phonesim::Bytes tail = pattern(3000, 2);
    writeAll(id, tail, 5000);
    q([&] { volume().release(id, {.write = true}); });
    q([&] { volume().setAttributes(id, 6000); });
    phonesim::Bytes expected = concat(pattern(5000, 1), tail);
    expected.resize(6000);
    PhoneModel model;
    model.file(storage(), "old.txt", expected);
    expectPhoneHolds(model);
    EXPECT_EQ(count(Op::GetObjectPropValue), 0u);
}

TEST_F(WriteTest, ReadOnlyVolumeRefusesEveryChange) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "a.txt", pattern(10));
    mount(false);
    const uint64_t dcim = lookup(rootID, "DCIM")->id, a = lookup(rootID, "a.txt")->id;
    phone().resetStats();
    const phonesim::Bytes bytes(4, 1);

    EXPECT_EQ(errorOf([&] { volume().open(a, {.read = true}, false); }), 0);
    EXPECT_EQ(errorOf([&] { volume().open(a, {.write = true}, false); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().open(a, {.read = true}, true); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().write(a, 0, bytes); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().write(dsStoreID, 0, bytes); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().setAttributes(a, 0); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, "new", ItemType::file); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, ".DS_Store", ItemType::file); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, "new", ItemType::directory); }), EROFS);
    EXPECT_EQ(errorOf([&] { Access::remove(volume(), a); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().unlink(rootID, "a.txt"); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().rmdir(rootID, "DCIM"); }), EROFS);
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), a, rootID, dcim, "a.txt", {}); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(rootID, "a.txt", rootID, "b.txt", 0); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().setXattr(a, "user.x", bytes, XattrPolicy::always); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().setXattr(a, "user.x", {}, XattrPolicy::remove); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().createLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().fsync(a); }), 0);
    q([&] { volume().release(a, {.read = true}); });

    EXPECT_EQ(phone().stats().transactions(), 0u) << phone().statsJson();
    PhoneModel model;
    model.folder(storage(), "DCIM");
    model.file(storage(), "a.txt", pattern(10));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, AFullPhoneStopsTheCopyWithTheFileAsFarAsWritten) {
    phonesim::PhoneConfig config;
    config.storages[0].capacity = 3 << 20;
    makePhone(config);
    mountWritable();
    const phonesim::Bytes content = pattern(8 << 20, 9);
    const uint64_t id = create(rootID, "video.mp4");
    q([&] { volume().open(id, {.write = true}, false); });

    const size_t chunk = 128 << 10;
    size_t accepted = 0;
    int error = 0;
    while (accepted < content.size() && !error) {
        error = errorOf([&] {
            accepted += volume().write(id, static_cast<int64_t>(accepted),
                                       std::span(content).subspan(accepted, chunk));
        });
    }
    EXPECT_EQ(error, ENOSPC);
    EXPECT_EQ(accepted, 3u << 20);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("write video.mp4: ")));
    q([&] { volume().release(id, {.write = true}); });

    EXPECT_EQ(sizeOf(id), accepted);
    PhoneModel model;
    model.file(storage(), "video.mp4",
               phonesim::Bytes(content.begin(), content.begin() + static_cast<long>(accepted)));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, AWriteCutShortByAFullPhoneReportsWhatWasStored) {
    phonesim::PhoneConfig config;
    config.storages[0].capacity = 6 << 20;
    makePhone(config);
    mountWritable();
    const phonesim::Bytes content = pattern(8 << 20, 10);
    const uint64_t id = create(rootID, "big.bin");

    // One write of two 4 MiB chunks: the first fits, the second does not.
    EXPECT_EQ(q([&] { return volume().write(id, 0, content); }), 4u << 20);
    EXPECT_EQ(sizeOf(id), 4u << 20);
    EXPECT_EQ(errorOf([&] { volume().write(id, 4 << 20, std::span(content).subspan(4 << 20)); }),
              ENOSPC);

    // The phone fills up in the middle of a chunk, having stored part of it: the object is cut
    // back to what write reported, whether the chunk was the first of the write or a later one.
    q([&] { volume().setAttributes(id, 0); });
    const auto six = std::span(content).first(6 << 20);  // fits the phone as far as it says
    phone().updateFaults([](phonesim::Faults& faults) { faults.partialDataRoom = 300000; });
    EXPECT_EQ(errorOf([&] { volume().write(id, 0, six); }), ENOSPC);
    EXPECT_EQ(sizeOf(id), 0u);
    phone().updateFaults([](phonesim::Faults& faults) { faults.partialDataRoom = (4 << 20) + 1; });
    EXPECT_EQ(q([&] { return volume().write(id, 0, six); }), 4u << 20);
    EXPECT_EQ(sizeOf(id), 4u << 20);
    q([&] { volume().release(id, {}); });

    PhoneModel model;
    model.file(storage(), "big.bin", phonesim::Bytes(content.begin(), content.begin() + (4 << 20)));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, UnpluggingInTheMiddleOfAWriteFailsWithEIO) {
    mountWritable();
    const uint64_t id = create(rootID, "song.flac");
    q([&] { volume().open(id, {.write = true}, false); });
    const phonesim::Bytes content = pattern(4 << 20, 11);
    writeAll(id, std::vector<uint8_t>(content.begin(), content.begin() + (1 << 20)));
    phone().updateFaults([](phonesim::Faults& faults) { faults.unplugAfterBytes = 300000; });

    int error = 0;
    for (size_t done = 1 << 20; done < content.size() && !error; done += 128 << 10) {
        error = errorOf([&] {
            volume().write(id, static_cast<int64_t>(done),
                           std::span(content).subspan(done, 128 << 10));
        });
    }
    EXPECT_EQ(error, EIO);
    EXPECT_THAT(log_.at(LogLevel::fault),
                Contains("phone stopped responding; it must be reconnected"));
    // Everything after fails at once instead of waiting for a phone that is gone.
    EXPECT_EQ(errorOf([&] { volume().write(id, 0, std::span(content).subspan(0, 10)); }), EIO);
    EXPECT_EQ(errorOf([&] { volume().fsync(id); }), EIO);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "other", ItemType::file); }), EIO);
    q([&] { volume().release(id, {.write = true}); });  // never throws
    EXPECT_EQ(errorOf([&] { volume().shutdown(); }), 0);
}
