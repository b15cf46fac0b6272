// Extended attributes live in the volume's memory: the four set policies, the setxattr flags,
// the size limit, and attributes following their item through renames, replacement and
// removal, all without a single transaction with the phone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include "tests/fs/WriteFixture.h"

using namespace kestrum;
using namespace kestrumtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(WriteTest, XattrPoliciesAndFlags) {
    phone().addFile(storage(), "a.txt", pattern(10));
    mountWritable();
    const uint64_t a = lookup(rootID, "a.txt")->id;
    phone().resetStats();
    const phonesim::Bytes one = pattern(5, 1), two = pattern(7, 2);
    auto set = [&](const char* name, const phonesim::Bytes& value, XattrPolicy policy) {
        return errorOf([&] { volume().setXattr(a, name, value, policy); });
    };
    auto get = [&](const char* name) { return q([&] { return volume().getXattr(a, name); }); };

    EXPECT_EQ(set("user.x", one, XattrPolicy::mustReplace), ENODATA);
    EXPECT_EQ(set("user.x", one, XattrPolicy::remove), ENODATA);
    EXPECT_THAT(q([&] { return volume().listXattrs(a); }), IsEmpty());
    EXPECT_EQ(set("user.x", one, XattrPolicy::mustCreate), 0);
    EXPECT_EQ(set("user.x", two, XattrPolicy::mustCreate), EEXIST);
    EXPECT_EQ(get("user.x"), one);
    EXPECT_EQ(set("user.x", two, XattrPolicy::mustReplace), 0);
    EXPECT_EQ(get("user.x"), two);
    EXPECT_EQ(set("com.apple.FinderInfo", {}, XattrPolicy::always), 0);
    EXPECT_EQ(get("com.apple.FinderInfo"), phonesim::Bytes{});
    EXPECT_THAT(q([&] { return volume().listXattrs(a); }),
                ElementsAre("com.apple.FinderInfo", "user.x"));
    EXPECT_EQ(set("user.x", {}, XattrPolicy::remove), 0);
    EXPECT_EQ(errorOf([&] { return volume().getXattr(a, "user.x"); }), ENODATA);
    EXPECT_EQ(set("", one, XattrPolicy::always), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().setXattr(999, "user.x", one, XattrPolicy::always); }), EINVAL);

    // The advertised maximum is enforced: memory is all there is.
    const phonesim::Bytes largest(Xattrs::maximumSize, 0xAB);
    EXPECT_EQ(set("user.big", largest, XattrPolicy::always), 0);
    EXPECT_EQ(set("user.big", phonesim::Bytes(Xattrs::maximumSize + 1), XattrPolicy::always),
              E2BIG);
    EXPECT_EQ(get("user.big"), largest);

    EXPECT_EQ(Xattrs::policyOf(0), XattrPolicy::always);
    EXPECT_EQ(Xattrs::policyOf(XATTR_CREATE), XattrPolicy::mustCreate);
    EXPECT_EQ(Xattrs::policyOf(XATTR_REPLACE), XattrPolicy::mustReplace);
    EXPECT_THROW(Xattrs::policyOf(XATTR_CREATE | XATTR_REPLACE), PosixError);
    EXPECT_EQ(phone().stats().transactions(), 0u) << phone().statsJson();
}

TEST_F(WriteTest, XattrsFollowTheirItem) {
    phone().addFile(storage(), "a.txt", pattern(10, 1));
    phone().addFile(storage(), "b.txt", pattern(10, 2));
    phone().addFolder(storage(), "Docs");
    mountWritable();
    const uint64_t a = lookup(rootID, "a.txt")->id, b = lookup(rootID, "b.txt")->id;
    const uint64_t docs = lookup(rootID, "Docs")->id;
    const phonesim::Bytes tag = pattern(4, 3);
    for (uint64_t id : {a, b, docs, rootID, dsStoreID})
        q([&] { volume().setXattr(id, "user.tag", tag, XattrPolicy::always); });

    q([&] { volume().renameEntry(rootID, "a.txt", docs, "moved.txt", 0); });
    EXPECT_EQ(q([&] { return volume().getXattr(a, "user.tag"); }), tag);
    // b.txt is replaced: its attributes go with it.
    q([&] { volume().renameEntry(docs, "moved.txt", rootID, "b.txt", 0); });
    EXPECT_EQ(lookup(rootID, "b.txt")->id, a);
    EXPECT_EQ(errorOf([&] { return volume().getXattr(b, "user.tag"); }), ENODATA);
    // Removed and created again: a new file starts without attributes.
    q([&] { volume().unlink(rootID, "b.txt"); });
    const uint64_t again = create(rootID, "b.txt");
    EXPECT_THAT(q([&] { return volume().listXattrs(again); }), IsEmpty());
    EXPECT_EQ(q([&] { return volume().getXattr(rootID, "user.tag"); }), tag);
    EXPECT_EQ(q([&] { return volume().getXattr(dsStoreID, "user.tag"); }), tag);

    PhoneModel model;
    model.folder(storage(), "Docs");
    model.file(storage(), "b.txt", {});
    expectPhoneHolds(model);
}
