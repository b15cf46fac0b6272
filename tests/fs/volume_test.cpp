// Creating a volume, attributes and modes, statistics, truncation through setAttributes, the
// shared routines (error report, trace, edits, free space), the lifecycle and the in-memory
// extended attributes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "mtp/MTPError.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrum;
using namespace kestrumtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

mtp::MTPStorage storageOf(uint64_t capacity, uint64_t free) {
    return mtp::MTPStorage{1, "s", capacity, free};
}

}  // namespace

TEST_F(VolumeTest, LockedPhoneFailsCreationSayingWhy) {
    phonesim::PhoneConfig config;
    config.faults.locked = true;
    makePhone(config);
    try {
        Volume volume(openSession(), false);
        FAIL() << "created a volume without storages";
    } catch (const mtp::MTPTransportError& error) {
        EXPECT_EQ(error.message, "phone exposes no storage (locked?)");
    }
}

TEST_F(VolumeTest, WritableOnlyWhenAskedAndThePhoneCanEdit) {
    mount(true);
    EXPECT_TRUE(volume().isWritable());
    EXPECT_FALSE(volume().requestsReadOnly());
    q([&] { volume().shutdown(); });

    mount(false);
    EXPECT_FALSE(volume().isWritable());
    EXPECT_TRUE(volume().requestsReadOnly());
    q([&] { volume().shutdown(); });

    phonesim::PhoneConfig config;
    config.faults.noEdit = true;
    makePhone(config);
    mount(true);
    EXPECT_FALSE(volume().isWritable());
}

TEST_F(VolumeTest, AttributesOfReadOnlyAndWritableVolumes) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "notes.txt", pattern(5000), 1700000000);
    for (bool writable : {false, true}) {
        mount(writable);
        auto folder = lookup(rootID, "DCIM");
        auto file = lookup(rootID, "notes.txt");
        Attributes root = q([&] { return volume().getAttributes(rootID); });
        Attributes dir = q([&] { return volume().attributes(*folder); });
        Attributes attrs = q([&] { return volume().getAttributes(file->id); });

        EXPECT_EQ(root.mode, S_IFDIR | (writable ? 0755u : 0555u));
        EXPECT_EQ(root.id, rootID);
        EXPECT_EQ(root.parentID, parentOfRootID);
        EXPECT_EQ(root.modified, 0);
        EXPECT_EQ(dir.mode, S_IFDIR | (writable ? 0755u : 0555u));
        EXPECT_EQ(dir.linkCount, 2u);
        EXPECT_EQ(attrs.mode, S_IFREG | (writable ? 0644u : 0444u));
        EXPECT_EQ(attrs.linkCount, 1u);
        EXPECT_EQ(attrs.uid, getuid());
        EXPECT_EQ(attrs.gid, getgid());
        EXPECT_EQ(attrs.size, 5000u);
        EXPECT_EQ(attrs.allocatedSize, 8192u);
        EXPECT_EQ(attrs.modified, 1700000000);
        EXPECT_EQ(attrs.id, *phone().handleOf(storage(), "notes.txt") + 16);
        EXPECT_EQ(attrs.parentID, rootID);

        struct stat st = attrs.toStat();
        EXPECT_EQ(st.st_ino, attrs.id);
        EXPECT_EQ(st.st_blocks, 16);
        EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
        EXPECT_EQ(st.st_nlink, 1u);
        q([&] { volume().shutdown(); });
    }
    EXPECT_EQ(errorOf([&] { return volume().getAttributes(12345); }), ENOENT);
}

TEST(Statistics, SumsStoragesAndCountsBlocksRoundingDown) {
    const uint64_t GB = 1000000000;
    std::vector<mtp::MTPStorage> two{storageOf(64 * GB, 10 * GB), storageOf(128 * GB, 100 * GB)};
    Statistics stats = Access::statisticsOf(two);
    EXPECT_EQ(stats.blockSize, 4096u);
    EXPECT_EQ(stats.ioSize, 4194304u);
    EXPECT_EQ(stats.totalBytes, 192 * GB);
    EXPECT_EQ(stats.freeBytes, 110 * GB);
    EXPECT_EQ(stats.availableBytes, 110 * GB);
    EXPECT_EQ(stats.usedBytes, 82 * GB);
    EXPECT_EQ(stats.totalBlocks, 192 * GB / 4096);
    EXPECT_EQ(stats.freeBlocks, 110 * GB / 4096);
    EXPECT_EQ(stats.availableBlocks, 110 * GB / 4096);
    EXPECT_EQ(stats.usedBlocks, 82 * GB / 4096);

    struct statvfs vfs = stats.toStatvfs();
    EXPECT_EQ(vfs.f_frsize, 4096u);
    EXPECT_EQ(vfs.f_blocks, 192 * GB / 4096);
    EXPECT_EQ(vfs.f_bavail, 110 * GB / 4096);
    EXPECT_EQ(vfs.f_namemax, 254u);
}

TEST(Statistics, FreeSpaceNeverExceedsTheTotal) {
    std::vector<mtp::MTPStorage> odd{storageOf(1000000, 5000000)};
    Statistics stats = Access::statisticsOf(odd);
    EXPECT_EQ(stats.freeBytes, 1000000u);
    EXPECT_EQ(stats.availableBytes, 1000000u);
    EXPECT_EQ(stats.usedBytes, 0u);
    EXPECT_EQ(stats.usedBlocks, 0u);

    std::vector<mtp::MTPStorage> huge{storageOf(UINT64_MAX, UINT64_MAX), storageOf(10, 10)};
    stats = Access::statisticsOf(huge);
    EXPECT_EQ(stats.totalBytes, UINT64_MAX);  // saturates instead of wrapping to 9
    EXPECT_EQ(stats.usedBytes, 0u);
}

TEST_F(VolumeTest, StatisticsFollowThePhoneAfterARefresh) {
    phonesim::PhoneConfig config;
    config.storages = {phonesim::StorageConfig{"Internal", 64000000000, {}, false},
                       phonesim::StorageConfig{"SD/Card", 128000000000, {}, true}};
    makePhone(config);
    phone().addFile(storage(0), "old.txt", {});
    mount(true);
    Statistics before = volume().statistics();
    EXPECT_EQ(before.totalBytes, 192000000000u);
    EXPECT_EQ(before.freeBytes, phone().freeSpace(storage(0)) + phone().freeSpace(storage(1)));

    phone().addFile(storage(1), "big.bin", pattern(1 << 20));
    EXPECT_EQ(volume().statistics(), before);  // a copy, refreshed after changes
    const uint64_t internal = lookup(rootID, "Internal")->id;
    q([&] { volume().unlink(internal, "old.txt"); });
    EXPECT_EQ(volume().statistics().freeBytes, before.freeBytes - (1 << 20));
}

TEST_F(VolumeTest, SetAttributesOnAReadOnlyVolumeIsRefused) {
    phone().addFile(storage(), "a.txt", pattern(10));
    mount(false);
    auto file = lookup(rootID, "a.txt");
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(file->id, 5); }), EROFS);
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(file->id, std::nullopt); }), EROFS);
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(999, 5); }), ENOENT);
}

TEST_F(VolumeTest, TruncationEditsPhoneFilesAndCutsMemoryFiles) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(true);
    auto file = lookup(rootID, "a.txt");

    // The same size: nothing reaches the phone, the attributes come back.
    Attributes same = q([&] { return volume().setAttributes(file->id, 100); });
    EXPECT_EQ(same.size, 100u);
    EXPECT_EQ(count(Op::BeginEditObject), 0u);

    // A listed file: its size is asked of the phone once, then the volume's own is used.
    Attributes cut = q([&] { return volume().setAttributes(file->id, 40); });
    EXPECT_EQ(cut.size, 40u);
    EXPECT_GT(cut.modified, 1600000000);
    EXPECT_TRUE(file->sizeIsOurs);
    EXPECT_EQ(count(Op::GetObjectPropValue), 1u);
    EXPECT_EQ(count(Op::BeginEditObject), 1u);
    q([&] { return volume().setAttributes(file->id, 60); });
    EXPECT_EQ(count(Op::GetObjectPropValue), 1u);
    EXPECT_EQ(count(Op::BeginEditObject), 1u);

    q([&] { volume().shutdown(); });
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    phonesim::Bytes expected = pattern(40);
    expected.resize(60, 0);
    EXPECT_EQ(phone().readFile(storage(), "a.txt"), expected);

    // Memory items: at most 16 MiB, new bytes are zero.
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(dsStoreID, (16 << 20) + 1); }), EFBIG);
    EXPECT_EQ(q([&] { return volume().setAttributes(dsStoreID, 16 << 20); }).size, 16u << 20);
    std::vector<uint8_t> tail(16);
    EXPECT_EQ(q([&] { return volume().read(dsStoreID, (16 << 20) - 16, tail); }), 16u);
    EXPECT_EQ(tail, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(rootID, 10); }), EISDIR);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("truncate .DS_Store: File too large (errno 27)",
                            "truncate : Is a directory (errno 21)"));
}

TEST_F(VolumeTest, StalledSessionIsReportedWithTheFaultLine) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(true);
    auto file = lookup(rootID, "a.txt");
    phone().updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(file->id, 10); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error), ElementsAre(MatchesRegex("truncate a.txt: .+")));
    EXPECT_THAT(log_.at(LogLevel::fault),
                ElementsAre("phone stopped responding; it must be reconnected"));
    // Later failures say the same; the phone is not asked again.
    phone().resetStats();
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(file->id, 10); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error)[1],
                "truncate a.txt: device stopped responding; reconnect it");
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

TEST_F(VolumeTest, ReclaimEndsTheEditAndKeepsTheItem) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(true);
    auto file = lookup(rootID, "a.txt");
    q([&] { return volume().setAttributes(file->id, 50); });
    EXPECT_EQ(phone().openEdits().size(), 1u);
    q([&] { volume().reclaim(file->id); });
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    EXPECT_EQ(q([&] { return Access::item(volume(), file->id); }), file);
    q([&] { volume().reclaim(file->id); });  // no edit open: nothing sent
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    EXPECT_EQ(phone().readFile(storage(), "a.txt")->size(), 50u);
}

TEST_F(VolumeTest, FailingEndEditIsLoggedAndForgotten) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(true);
    auto file = lookup(rootID, "a.txt");
    q([&] { return volume().setAttributes(file->id, 50); });
    phone().updateFaults([](phonesim::Faults& f) {
        f.wrongTransactionID = phonesim::FaultTrigger::once(Op::EndEditObject);
    });
    q([&] { volume().shutdown(); });
    EXPECT_THAT(log_.at(LogLevel::error), ElementsAre("end edit " + std::to_string(file->handle) +
                                                      ": response for another transaction"));
    phone().resetStats();
    q([&] { volume().shutdown(); });  // the edit is no longer the volume's
    EXPECT_EQ(count(Op::EndEditObject), 0u);
    EXPECT_EQ(count(Op::GetStorageIDs), 0u);
}

TEST_F(VolumeTest, ShutdownEndsEditsClosesTheSessionAndThenRefusesWork) {
    phone().addFile(storage(), "a.txt", pattern(100));
    phone().addFile(storage(), "b.txt", pattern(100));
    mount(true);
    auto a = lookup(rootID, "a.txt");
    auto b = lookup(rootID, "b.txt");
    q([&] { return volume().setAttributes(a->id, 1); });
    q([&] { return volume().setAttributes(b->id, 2); });
    EXPECT_EQ(phone().openEdits().size(), 2u);
    q([&] { volume().shutdown(); });
    EXPECT_EQ(count(Op::EndEditObject), 2u);
    EXPECT_EQ(count(Op::CloseSession), 1u);
    EXPECT_FALSE(phone().isSessionOpen());
    EXPECT_THAT(phone().openEdits(), IsEmpty());

    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(errorOf([&] { return volume().read(a->id, 0, buffer); }), EIO);
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(a->id, 7); }), EIO);
    q([&] { volume().shutdown(); });  // twice is harmless
    EXPECT_EQ(count(Op::CloseSession), 1u);
}

TEST_F(VolumeTest, ShutdownSurvivesAnUnpluggedPhone) {
    mount();
    phone().unplug();
    q([&] { volume().shutdown(); });
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "x"); }), EIO);
}

TEST_F(VolumeTest, ExtendedAttributesStayInMemory) {
    phone().addFile(storage(), "a.txt", pattern(10));
    mount(true);
    auto file = lookup(rootID, "a.txt");
    phone().resetStats();
    std::vector<uint8_t> value{1, 2, 3};
    q([&] { volume().setXattr(file->id, "user.b", value, XattrPolicy::always); });
    q([&] { volume().setXattr(file->id, "user.a", {}, XattrPolicy::mustCreate); });
    EXPECT_THAT(q([&] { return volume().listXattrs(file->id); }), ElementsAre("user.a", "user.b"));
    EXPECT_EQ(q([&] { return volume().getXattr(file->id, "user.b"); }), value);
    EXPECT_EQ(
        errorOf([&] { volume().setXattr(file->id, "user.a", value, XattrPolicy::mustCreate); }),
        EEXIST);
    EXPECT_EQ(
        errorOf([&] { volume().setXattr(file->id, "user.c", value, XattrPolicy::mustReplace); }),
        ENODATA);
    q([&] { volume().setXattr(file->id, "user.a", {}, XattrPolicy::remove); });
    q([&] { volume().setXattr(file->id, "user.b", {}, XattrPolicy::remove); });
    EXPECT_THAT(q([&] { return volume().listXattrs(file->id); }), IsEmpty());
    EXPECT_EQ(errorOf([&] { volume().setXattr(file->id, "user.b", {}, XattrPolicy::remove); }),
              ENODATA);
    EXPECT_EQ(errorOf([&] { return volume().getXattr(file->id, "user.b"); }), ENODATA);
    EXPECT_EQ(errorOf([&] { return volume().listXattrs(999); }), EINVAL);
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

TEST_F(VolumeTest, ExtendedAttributesNeedAWritableVolume) {
    mount(false);
    std::vector<uint8_t> value{1};
    EXPECT_EQ(errorOf([&] { volume().setXattr(rootID, "user.a", value, XattrPolicy::always); }),
              EROFS);
    EXPECT_THAT(q([&] { return volume().listXattrs(rootID); }), IsEmpty());
    EXPECT_EQ(errorOf([&] { return volume().getXattr(rootID, "security.capability"); }), ENODATA);
}

TEST_F(VolumeTest, LinksAndOpenRespectReadOnly) {
    mount(false);
    EXPECT_EQ(errorOf([&] { volume().open({.read = true, .write = true}); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().open({.read = true}); }), 0);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().createLink(); }), EROFS);
    EXPECT_EQ(errorOf([&] { volume().readSymbolicLink(rootID); }), EINVAL);
    q([&] { volume().shutdown(); });
    mount(true);
    EXPECT_EQ(errorOf([&] { volume().open({.write = true}); }), 0);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), ENOTSUP);
}
