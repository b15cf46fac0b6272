// Writing through the volume (the random-operations test covers the bytes): the edit's life,
// memory-only Finder files, refusals, and the phone filling up or going away mid-write.

#include <gmock/gmock.h>

#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

TEST_F(VolumeTest, CopiesGetOneEditEachEndedByTheLastWritingHandle) {
    mount(true);
    const Bytes large = pattern(20 << 20, 2);
    copyIn(create(rootID, "A", ItemType::directory), "large.bin", large);
    EXPECT_EQ(count(Op::BeginEditObject), 1u);
    EXPECT_EQ(count(Op::GetObjectPropValue), 0u) << "a created file's size is the volume's own";
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    expectPhoneHolds({{"A", folder}, {"A/large.bin", large}});

    const uint64_t id = create(rootID, "shared.txt");
    const Bytes shared = pattern(200, 1);
    phone().resetStats();
    // Two writers and a reader; releases come late and in any order.
    q([&] { volume().open(id, {.write = true}, false); });
    writeAll(id, Bytes(shared.begin(), shared.begin() + 100));
    q([&] { volume().open(id, {.read = true, .write = true}, false); });
    q([&] { volume().open(id, {.read = true}, false); });
    q([&] { volume().release(id, {.write = true}); });
    writeAll(id, Bytes(shared.begin() + 100, shared.end()), 100);
    EXPECT_EQ(count(Op::EndEditObject), 0u);
    q([&] { volume().release(id, {.read = true, .write = true}); });
    EXPECT_EQ(count(Op::EndEditObject), 1u) << "only the reader keeps the file open";
    EXPECT_EQ(q([&] { return volume().openModes(id); }), (OpenModes{.read = true}));
    q([&] { volume().release(id, {.read = true}); });
    EXPECT_EQ(q([&] { return volume().openModes(id); }), OpenModes{});
    // A stray release (the host lost count) ends nothing twice and never throws.
    q([&] { volume().release(id, {.write = true}); });
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    EXPECT_EQ(count(Op::BeginEditObject), 1u);
    EXPECT_EQ(onPhone("shared.txt"), shared);
}

TEST_F(VolumeTest, FsyncCommitsAndReportsAFailedCommit) {
    phone().addFile(storage(), "doc.txt", pattern(100, 1));
    mount(true);
    const uint64_t id = create(rootID, "safe.txt");
    q([&] { volume().open(id, {.write = true}, false); });
    writeAll(id, pattern(500, 1));
    q([&] { volume().fsync(id); });  // fsx checks what it commits
    // The next write opens a new edit with the volume's own size.
    writeAll(id, pattern(500, 2), 500);
    EXPECT_EQ(count(Op::BeginEditObject), 2u);
    refuse(Op::EndEditObject, Response::GeneralError);
    EXPECT_EQ(errorOf([&] { volume().fsync(id); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error), Contains(HasSubstr("fsync safe.txt: ")));
    // Nothing left to commit: fsync of a file without an edit, of a folder, of memory items.
    for (const uint64_t nothing : {id, rootID, dsStoreID})
        EXPECT_EQ(errorOf([&] { volume().fsync(nothing); }), 0);
    q([&] { volume().release(id, {.write = true}); });

    // A file replaced while open (an editor's save): its close has nothing to commit.
    const uint64_t old = lookup(rootID, "doc.txt")->id;
    q([&] { volume().open(old, {.write = true}, false); });
    writeAll(old, pattern(10, 2));
    writeAll(create(rootID, "doc.txt.tmp"), pattern(50, 3));
    q([&] { volume().renameEntry(rootID, "doc.txt.tmp", rootID, "doc.txt", 0); });
    EXPECT_EQ(errorOf([&] { volume().fsync(old); }), 0);
    q([&] { volume().release(old, {.write = true}); });
    EXPECT_EQ(onPhone("doc.txt"), pattern(50, 3));
}

TEST_F(VolumeTest, BadWritesAndChangesToAReadOnlyVolumeAreRefusedBeforeThePhone) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "a.txt", pattern(10));
    mount(true);
    uint64_t dcim = lookup(rootID, "DCIM")->id;
    const uint64_t id = create(rootID, "f");
    phone().resetStats();
    const Bytes bytes(4, 1);
    EXPECT_EQ(errorOf([&] { volume().write(dcim, 0, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(id, -1, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(999, 0, bytes); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().write(id, INT64_MAX - 2, bytes); }), EFBIG);
    EXPECT_EQ(q([&] { return volume().write(id, 5000, {}); }), 0u);
    EXPECT_EQ(sizeOf(id), 0u) << "a write of nothing changes nothing, even past the end";
    EXPECT_EQ(errorOf([&] { volume().open(999, {.read = true}, false); }), ENOENT);
    EXPECT_EQ(errorOf([&] { volume().open(dcim, {.write = true}, true); }), EISDIR);
    EXPECT_EQ(phone().stats().transactions(), 0u);

    mount(false);
    dcim = lookup(rootID, "DCIM")->id;
    const uint64_t a = lookup(rootID, "a.txt")->id;
    phone().resetStats();
    EXPECT_EQ(errorOf([&] { volume().open({.read = true, .write = true}); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().open(a, {.read = true}, false); }), 0);
    EXPECT_EQ(errorOf([&] { volume().open(a, {.write = true}, false); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().open(a, {.read = true}, true); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().write(a, 0, bytes); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().write(dsStoreID, 0, bytes); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, "new", ItemType::file); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, ".DS_Store", ItemType::file); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().create(dcim, "new", ItemType::directory); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().unlink(rootID, "a.txt"); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().rmdir(rootID, "DCIM"); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(rootID, "a.txt", rootID, "b.txt", 0); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().setXattr(a, "user.x", {}, XattrPolicy::remove); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().createLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().readSymbolicLink(a); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().fsync(a); }), 0);
    q([&] { volume().release(a, {.read = true}); });
    EXPECT_EQ(phone().stats().transactions(), 0u) << phone().statsJson();
    expectPhoneHolds({{"DCIM", folder}, {"a.txt", pattern(10)}, {"f", Bytes{}}});
}

TEST_F(VolumeTest, AWriteCutShortByAFullPhoneReportsWhatWasStored) {
    makePhoneWith({{"Internal", 6 << 20, {}}});
    mount(true);
    const Bytes content = pattern(8 << 20, 10);
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
    expectPhoneHolds({{"big.bin", Bytes(content.begin(), content.begin() + (4 << 20))}});
}

}  // namespace
