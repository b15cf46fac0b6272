// Creating a volume, attributes, statistics, truncation, errors, shutdown, extended attributes.

#include <gmock/gmock.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "mtp/MTPError.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Throws;

// A read-only volume's modes, links and times are e2e_browse's.
TEST_F(VolumeTest, WritableOnlyWhenAskedAndThePhoneCanEditItsAttributesAndALockedPhoneSaysWhy) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "notes.txt", pattern(5000));
    EXPECT_TRUE(mount(true).isWritable());
    EXPECT_EQ(q([&] { return volume().getAttributes(rootID); }).mode, S_IFDIR | 0755u);
    EXPECT_EQ(q([&] { return volume().attributes(*lookup(rootID, "DCIM")); }).mode,
              S_IFDIR | 0755u);
    const struct stat file =
        q([&] { return volume().getAttributes(lookup(rootID, "notes.txt")->id); }).toStat();
    EXPECT_EQ(file.st_mode, S_IFREG | 0644u);
    EXPECT_EQ(file.st_uid, getuid());
    EXPECT_EQ(file.st_blocks, 16) << "4 KiB blocks in 512-byte units";
    EXPECT_EQ(errorOf([&] { return volume().getAttributes(12345); }), ENOENT);
    EXPECT_TRUE(mount(false).requestsReadOnly());
    makePhoneWith({}, &phonesim::Faults::noEdit);
    EXPECT_FALSE(mount(true).isWritable());
    makePhoneWith({}, &phonesim::Faults::locked);
    EXPECT_THAT([&] { mount(); },
                Throws<mtp::MTPTransportError>(
                    Field(&mtp::MTPTransportError::message, "phone exposes no storage (locked?)")));
}

TEST_F(VolumeTest, StatisticsFollowThePhoneAfterARefresh) {
    makePhoneWith({{"Internal", 64000000000, {}}, {"SD/Card", 128000000000, {}, true}});
    phone().addFile(storage(0), "old.txt", {});
    mount(true);
    const Statistics before = volume().statistics();
    EXPECT_EQ(before.totalBytes, 192000000000u);
    EXPECT_EQ(before.freeBytes, phone().freeSpace(storage(0)) + phone().freeSpace(storage(1)));

    phone().addFile(storage(1), "big.bin", pattern(1 << 20));
    EXPECT_EQ(volume().statistics(), before) << "a copy, refreshed after the volume's changes";
    q([&] { volume().unlink(lookup(rootID, "Internal")->id, "old.txt"); });
    EXPECT_EQ(volume().statistics().freeBytes, before.freeBytes - (1 << 20));
}

TEST_F(VolumeTest, TruncationEditsPhoneFilesAndCutsMemoryFiles) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(false);
    const uint64_t id = lookup(rootID, "a.txt")->id;
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(id, 5); }), EROFS);
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(999, 5); }), ENOENT);

    mount(true);
    const ItemPtr file = lookup(rootID, "a.txt");
    EXPECT_EQ(q([&] { return volume().setAttributes(file->id, 100); }).size, 100u);
    EXPECT_EQ(count(Op::BeginEditObject), 0u) << "the same size reaches no phone";
    const Attributes cut = q([&] { return volume().setAttributes(file->id, 40); });
    EXPECT_EQ(cut.size, 40u);
    EXPECT_GT(cut.modified, 1600000000);
    q([&] { return volume().setAttributes(file->id, 60); });
    EXPECT_EQ(count(Op::GetObjectPropValue), 1u) << "then the volume's own size serves";
    EXPECT_EQ(count(Op::BeginEditObject), 1u);
    q([&] { volume().reclaim(file->id); });  // the kernel forgot it: the edit ends
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    EXPECT_EQ(item(file->id), file) << "and the item stays";

    // Memory items: at most 16 MiB, new bytes are zero.
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(dsStoreID, (16 << 20) + 1); }), EFBIG);
    EXPECT_EQ(q([&] { return volume().setAttributes(dsStoreID, 16 << 20); }).size, 16u << 20);
    std::vector<uint8_t> tail(16, 0xCC);
    EXPECT_EQ(q([&] { return volume().read(dsStoreID, (16 << 20) - 16, tail); }).size(), 16u);
    EXPECT_EQ(tail, std::vector<uint8_t>(16, 0));
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(rootID, 10); }), EISDIR);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("truncate .DS_Store: File too large (errno 27)",
                            "truncate : Is a directory (errno 21)"));
    const uint64_t finder = create(rootID, "._x");
    EXPECT_EQ(q([&] { return volume().write(finder, 0, Bytes(16 << 20)); }), 16u << 20);
    EXPECT_EQ(errorOf([&] { volume().write(finder, 16 << 20, Bytes{1}); }), EFBIG);

    // A phone that cannot be asked for an object's size: the listing's size serves.
    makePhoneWith({}, &phonesim::Faults::noPropValue);
    phone().addFile(storage(), "old.txt", pattern(5000, 1));
    mount(true);
    const uint64_t old = lookup(rootID, "old.txt")->id;
    q([&] { volume().open(old, {.write = true}, false); });
    const Bytes added = pattern(3000, 2);
    writeAll(old, added, 5000);
    q([&] { volume().release(old, {.write = true}); });
    q([&] { volume().setAttributes(old, 6000); });
    Bytes expected = pattern(5000, 1);
    expected.insert(expected.end(), added.begin(), added.begin() + 1000);
    expectPhoneHolds({{"old.txt", expected}});
    EXPECT_EQ(count(Op::GetObjectPropValue), 0u);
}

TEST_F(VolumeTest, StalledSessionIsReportedWithTheFaultLine) {
    phone().addFile(storage(), "a.txt", pattern(100));
    mount(true);
    const uint64_t id = lookup(rootID, "a.txt")->id;
    phone().updateFaults([](phonesim::Faults& f) { f.stallOut = phonesim::FaultTrigger::next(); });
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(id, 10); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::fault),
                ElementsAre("phone stopped responding; it must be reconnected"));
    // Later failures say the same; the phone is not asked again.
    phone().resetStats();
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(id, 10); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre(MatchesRegex("truncate a.txt: .+"),
                            "truncate a.txt: device stopped responding; reconnect it"));
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

TEST_F(VolumeTest, ShutdownEndsEditsLogsTheirFailureAndThenRefusesWork) {
    for (const char* name : {"a.txt", "b.txt"}) phone().addFile(storage(), name, pattern(100));
    mount(true);
    const ItemPtr a = lookup(rootID, "a.txt"), b = lookup(rootID, "b.txt");
    q([&] { return volume().setAttributes(a->id, 1); });
    q([&] { return volume().setAttributes(b->id, 2); });
    misanswer(Op::EndEditObject);
    q([&] { volume().shutdown(); });
    EXPECT_THAT(log_.at(LogLevel::error), ElementsAre("end edit " + std::to_string(a->handle) +
                                                      ": response for another transaction"));
    EXPECT_EQ(onPhone("b.txt"), pattern(2)) << "one failing edit does not stop the others";
    EXPECT_FALSE(phone().isSessionOpen());
    EXPECT_THAT(phone().openEdits(), IsEmpty());

    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(errorOf([&] { return volume().read(a->id, 0, buffer); }), EIO);
    EXPECT_EQ(errorOf([&] { return volume().setAttributes(a->id, 7); }), EIO);
    phone().resetStats();
    q([&] { volume().shutdown(); });  // twice is harmless
    EXPECT_EQ(phone().stats().transactions(), 0u);

    mount();
    phone().unplug();
    q([&] { volume().shutdown(); });
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "x"); }), EIO);
}

TEST_F(VolumeTest, ExtendedAttributesFollowTheSetPoliciesInMemoryAndTheirItem) {
    phone().addFile(storage(), "a.txt", pattern(10, 1));
    phone().addFile(storage(), "b.txt", pattern(10, 2));
    phone().addFolder(storage(), "Docs");
    mount(true);
    const uint64_t a = lookup(rootID, "a.txt")->id, b = lookup(rootID, "b.txt")->id;
    const uint64_t docs = lookup(rootID, "Docs")->id;
    phone().resetStats();
    const Bytes one = pattern(5, 1), two = pattern(7, 2);
    auto set = [&](const char* name, const Bytes& value, XattrPolicy policy) {
        return errorOf([&] { volume().setXattr(a, name, value, policy); });
    };
    auto get = [&](const char* name) { return q([&] { return volume().getXattr(a, name); }); };

    EXPECT_EQ(set("user.x", one, XattrPolicy::mustReplace), ENODATA);
    EXPECT_EQ(set("user.x", one, XattrPolicy::remove), ENODATA);
    EXPECT_EQ(set("user.x", one, XattrPolicy::mustCreate), 0);
    EXPECT_EQ(set("user.x", two, XattrPolicy::mustCreate), EEXIST);
    EXPECT_EQ(get("user.x"), one);
    EXPECT_EQ(set("user.x", two, XattrPolicy::mustReplace), 0);
    EXPECT_EQ(get("user.x"), two);
    EXPECT_EQ(set("com.apple.FinderInfo", {}, XattrPolicy::always), 0);
    EXPECT_THAT(q([&] { return volume().listXattrs(a); }),
                ElementsAre("com.apple.FinderInfo", "user.x"));
    EXPECT_EQ(set("user.x", {}, XattrPolicy::remove), 0);
    EXPECT_EQ(errorOf([&] { return volume().getXattr(a, "user.x"); }), ENODATA);
    EXPECT_EQ(set("", one, XattrPolicy::always), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().setXattr(999, "user.x", one, XattrPolicy::always); }), EINVAL);
    EXPECT_EQ(errorOf([&] { return volume().listXattrs(999); }), EINVAL);

    // The advertised maximum is enforced: memory is all there is.
    const Bytes largest(Xattrs::maximumSize, 0xAB);
    EXPECT_EQ(set("user.big", largest, XattrPolicy::always), 0);
    EXPECT_EQ(set("user.big", Bytes(Xattrs::maximumSize + 1), XattrPolicy::always), E2BIG);
    EXPECT_EQ(get("user.big"), largest);

    EXPECT_THROW(Xattrs::policyOf(XATTR_CREATE | XATTR_REPLACE), PosixError);
    EXPECT_EQ(phone().stats().transactions(), 0u) << phone().statsJson();

    const Bytes tag = pattern(4, 3);
    for (uint64_t id : {a, b, docs, rootID, dsStoreID})
        q([&] { volume().setXattr(id, "user.tag", tag, XattrPolicy::always); });

    q([&] { volume().renameEntry(rootID, "a.txt", docs, "moved.txt", 0); });
    EXPECT_EQ(q([&] { return volume().getXattr(a, "user.tag"); }), tag);
    // b.txt is replaced: its attributes go with it.
    q([&] { volume().renameEntry(docs, "moved.txt", rootID, "b.txt", 0); });
    EXPECT_EQ(errorOf([&] { return volume().getXattr(b, "user.tag"); }), ENODATA);
    // Removed and created again: a new file starts without attributes.
    q([&] { volume().unlink(rootID, "b.txt"); });
    const uint64_t again = create(rootID, "b.txt");
    EXPECT_THAT(q([&] { return volume().listXattrs(again); }), IsEmpty());
    EXPECT_EQ(q([&] { return volume().getXattr(dsStoreID, "user.tag"); }), tag);
    expectPhoneHolds({{"Docs", folder}, {"b.txt", Bytes{}}});

    mount(false);
    EXPECT_EQ(errorOf([&] { volume().setXattr(rootID, "user.a", one, XattrPolicy::always); }),
              EROFS);
    EXPECT_EQ(errorOf([&] { return volume().getXattr(rootID, "security.capability"); }), ENODATA);
}
