// Creating, removing, renaming and moving files and folders through the volume, with the names
// the volume refuses, and the caches and the phone compared after each change.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "fs/Log.h"
#include "tests/fs/WriteFixture.h"

using namespace kestrum;
using namespace kestrumtest;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

phonesim::PhoneConfig twoStorages() {
    phonesim::PhoneConfig config;
    phonesim::StorageConfig card;
    card.description = "SD/Card";
    card.removable = true;
    config.storages.push_back(card);
    return config;
}

std::string repeat(const std::string& text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

}  // namespace

TEST_F(WriteTest, CreatesNestedFoldersWithoutListingThem) {
    mountWritable();
    const uint64_t a = mkdir(rootID, "A");
    const uint64_t b = mkdir(a, "B");
    const uint64_t c = mkdir(b, "C");
    const uint64_t file = create(c, "deep.txt");
    writeAll(file, pattern(2000, 1));
    EXPECT_THAT(names(c), ElementsAre("deep.txt"));
    EXPECT_EQ(lookup(a, "b")->id, b);
    EXPECT_EQ(count(Op::GetObjectHandles), 1u) << "only the root was listed";
    EXPECT_EQ(count(Op::SendObject), 1u) << "one empty SendObject for the file, none for folders";
    Attributes attributes = q([&] { return volume().getAttributes(c); });
    EXPECT_TRUE(attributes.isDirectory);
    EXPECT_EQ(attributes.parentID, b);
    q([&] { volume().release(file, {}); });

    PhoneModel model;
    model.folder(storage(), "A");
    model.folder(storage(), "A/B");
    model.folder(storage(), "A/B/C");
    model.file(storage(), "A/B/C/deep.txt", pattern(2000, 1));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, RefusesNamesItMustNotCreate) {
    phone().addFolder(storage(), "Photos");
    mountWritable();
    for (const char* name : {".Trashes", ".fseventsd", ".Spotlight-V100", ".TemporaryItems"}) {
        EXPECT_EQ(errorOf([&] { volume().create(rootID, name, ItemType::directory); }), EACCES)
            << name;
    }
    EXPECT_THAT(log_.at(LogLevel::error),
                Contains("create .Trashes: Permission denied (errno 13)"));
    EXPECT_EQ(errorOf([&] { volume().create(rootID, ".trashes", ItemType::directory); }), 0)
        << "the refusal is case-sensitive";
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "._folder", ItemType::directory); }), EACCES);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "photos", ItemType::file); }), EEXIST);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, ".DS_Store", ItemType::file); }), EEXIST)
        << "the root has its own";
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "link", ItemType::other); }), ENOTSUP);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "a/b", ItemType::file); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "", ItemType::file); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "\xff\xfe", ItemType::file); }), EINVAL);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), ENOTSUP);
    EXPECT_EQ(errorOf([&] { volume().createLink(); }), ENOTSUP);

    // 254 UTF-16 units is the longest name; characters outside the BMP count two.
    EXPECT_EQ(errorOf([&] { volume().create(rootID, std::string(254, 'n'), ItemType::file); }), 0);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, std::string(255, 'n'), ItemType::file); }),
              ENAMETOOLONG);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, repeat("\U0001F600", 127), ItemType::file); }),
              0);
    EXPECT_EQ(
        errorOf([&] { volume().create(rootID, repeat("\U0001F600", 127) + "x", ItemType::file); }),
        ENAMETOOLONG);

    PhoneModel model;
    model.folder(storage(), "Photos");
    model.folder(storage(), ".trashes");
    model.file(storage(), std::string(254, 'n'), {});
    model.file(storage(), repeat("\U0001F600", 127), {});
    expectPhoneHolds(model);
}

TEST_F(WriteTest, TwoStoragesKeepNewItemsInsideAStorageAndMovesWithinOne) {
    makePhone(twoStorages());
    phone().addFile(storage(0), "a.txt", pattern(10));
    mountWritable();
    const uint64_t internal = storageFolderID(storage(0)), card = storageFolderID(storage(1));
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "x", ItemType::file); }), EACCES);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "._x", ItemType::file); }), 0)
        << "memory items need no storage";
    const uint64_t onCard = create(card, "b.txt");
    EXPECT_EQ(lookup(card, "b.txt")->id, onCard);

    const uint64_t a = lookup(internal, "a.txt")->id;
    phone().resetStats();
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), a, internal, card, "a.txt", {}); }), EXDEV);
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), a, internal, rootID, "a.txt", {}); }), EACCES);
    EXPECT_EQ(phone().stats().transactions(), 0u) << "refused before the phone";
    EXPECT_THAT(names(internal), ElementsAre("a.txt"));

    PhoneModel model;
    model.file(storage(0), "a.txt", pattern(10));
    model.file(storage(1), "b.txt", {});
    expectPhoneHolds(model);
}

TEST_F(WriteTest, RemovesFilesAndOnlyFoldersThatThePhoneSaysAreEmpty) {
    phone().addFile(storage(), "a.txt", pattern(10));
    phone().addFolder(storage(), "Empty");
    phone().addFolder(storage(), "Later");
    mountWritable();
    const uint64_t later = lookup(rootID, "Later")->id;
    EXPECT_THAT(names(later), IsEmpty());
    // Something arrives on the phone after the folder was listed: the cache does not know.
    phone().addFile(storage(), "Later/new.jpg", pattern(100));
    EXPECT_EQ(errorOf([&] { volume().rmdir(rootID, "Later"); }), ENOTEMPTY);
    EXPECT_EQ(errorOf([&] { Access::remove(volume(), later); }), ENOTEMPTY);
    // ...and from then on the folder shows what stops its removal, once.
    EXPECT_THAT(names(later), UnorderedElementsAre("new.jpg"));

    EXPECT_EQ(errorOf([&] { volume().unlink(rootID, "Empty"); }), EISDIR);
    EXPECT_EQ(errorOf([&] { volume().rmdir(rootID, "a.txt"); }), ENOTDIR);
    EXPECT_EQ(errorOf([&] { volume().unlink(rootID, "missing"); }), ENOENT);
    EXPECT_EQ(errorOf([&] { Access::remove(volume(), rootID); }), EACCES);

    // A file with an open edit: the edit is ended before the object goes.
    const uint64_t a = lookup(rootID, "a.txt")->id;
    writeAll(a, pattern(5, 1), 10);
    q([&] { volume().unlink(rootID, "A.TXT"); });
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    EXPECT_EQ(count(Op::EndEditObject), 1u);
    q([&] { volume().rmdir(rootID, "Empty"); });
    EXPECT_EQ(errorOf([&] { return lookup(rootID, "a.txt"); }), ENOENT);
    EXPECT_EQ(q([&] { return Access::item(volume(), a); }), nullptr);
    // The memory files of the root go the same way, without the phone.
    q([&] { volume().unlink(rootID, ".DS_Store"); });
    EXPECT_THAT(names(rootID), ElementsAre("Later", ".metadata_never_index"));
    q([&] { volume().release(a, {.write = true}); });  // a late release of the removed file

    PhoneModel model;
    model.folder(storage(), "Later");
    model.file(storage(), "Later/new.jpg", pattern(100));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, RenamesWithinAFolder) {
    phone().addFile(storage(), "report.txt", pattern(100, 1));
    phone().addFile(storage(), "notes.txt", pattern(200, 2));
    mountWritable();
    const uint64_t report = lookup(rootID, "report.txt")->id;
    phone().resetStats();

    // A case-only rename is one SetObjectPropValue.
    EXPECT_EQ(
        q([&] { return volume().renameEntry(rootID, "report.txt", rootID, "Report.txt", 0); }),
        "Report.txt");
    EXPECT_EQ(count(Op::SetObjectPropValue), 1u);
    EXPECT_EQ(phone().stats().transactions(), 1u);
    q([&] { volume().renameEntry(rootID, "notes.txt", rootID, "ideas.txt", RENAME_NOREPLACE); });
    EXPECT_EQ(lookup(rootID, "report.txt")->id, report);
    EXPECT_EQ(lookup(rootID, "REPORT.TXT")->name, "Report.txt");
    EXPECT_EQ(errorOf([&] { return lookup(rootID, "notes.txt"); }), ENOENT);

    PhoneModel model;
    model.file(storage(), "Report.txt", pattern(100, 1));
    model.file(storage(), "ideas.txt", pattern(200, 2));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, MovesAcrossFolders) {
    phone().addFile(storage(), "Inbox/a.txt", pattern(100, 1));
    phone().addFile(storage(), "Inbox/b.txt", pattern(200, 2));
    phone().addFile(storage(), "Inbox/Album/c.jpg", pattern(300, 3));
    phone().addFolder(storage(), "Archive");
    mountWritable();
    const uint64_t inbox = lookup(rootID, "Inbox")->id, archive = lookup(rootID, "Archive")->id;
    const uint64_t a = lookup(inbox, "a.txt")->id, album = lookup(inbox, "Album")->id;
    const uint64_t c = lookup(album, "c.jpg")->id;
    EXPECT_THAT(names(archive), IsEmpty());
    phone().resetStats();

    // Same name: one MoveObject.
    q([&] { volume().renameEntry(inbox, "a.txt", archive, "a.txt", 0); });
    EXPECT_EQ(count(Op::MoveObject), 1u);
    EXPECT_EQ(phone().stats().transactions(), 1u);
    EXPECT_EQ(lookup(archive, "a.txt")->id, a);
    EXPECT_EQ(q([&] { return volume().getAttributes(a).parentID; }), archive);

    // New name: temporary name, MoveObject, new name.
    phone().resetStats();
    q([&] { volume().renameEntry(inbox, "b.txt", rootID, "b-moved.txt", 0); });
    EXPECT_EQ(count(Op::SetObjectPropValue), 2u);
    EXPECT_EQ(count(Op::MoveObject), 1u);

    // A folder moves with what is inside; its listing stays cached.
    q([&] { volume().renameEntry(inbox, "Album", archive, "Album 2024", 0); });
    EXPECT_EQ(lookup(lookup(archive, "Album 2024")->id, "c.jpg")->id, c);
    EXPECT_EQ(readAll(c), pattern(300, 3));
    EXPECT_THAT(names(inbox), IsEmpty());
    EXPECT_THAT(names(archive), UnorderedElementsAre("a.txt", "Album 2024"));

    PhoneModel model;
    model.folder(storage(), "Inbox");
    model.folder(storage(), "Archive");
    model.file(storage(), "Archive/a.txt", pattern(100, 1));
    model.file(storage(), "b-moved.txt", pattern(200, 2));
    model.folder(storage(), "Archive/Album 2024");
    model.file(storage(), "Archive/Album 2024/c.jpg", pattern(300, 3));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, RenamesOverAnExistingFile) {
    phone().addFile(storage(), "a.txt", pattern(100, 1));
    phone().addFile(storage(), "b.txt", pattern(200, 2));
    phone().addFile(storage(), "Docs/c.txt", pattern(300, 3));
    mountWritable();
    const uint64_t a = lookup(rootID, "a.txt")->id, b = lookup(rootID, "b.txt")->id;
    const uint64_t docs = lookup(rootID, "Docs")->id;
    const uint32_t bHandle = *phone().handleOf(storage(), "b.txt");
    q([&] { volume().setXattr(b, "user.tag", pattern(3), XattrPolicy::always); });
    phone().resetStats();

    EXPECT_EQ(
        errorOf([&] { volume().renameEntry(rootID, "a.txt", rootID, "b.txt", RENAME_NOREPLACE); }),
        EEXIST);
    EXPECT_EQ(phone().stats().transactions(), 0u);
    q([&] { volume().renameEntry(rootID, "a.txt", rootID, "b.txt", 0); });
    // b.txt moved aside, a.txt renamed, the moved-aside object deleted.
    EXPECT_EQ(count(Op::SetObjectPropValue), 2u);
    EXPECT_EQ(count(Op::DeleteObject), 1u);
    EXPECT_EQ(lookup(rootID, "b.txt")->id, a);
    EXPECT_EQ(q([&] { return Access::item(volume(), b); }), nullptr);
    EXPECT_EQ(phone().handleOf(storage(), ".kestrum-" + std::to_string(bHandle) + ".tmp"),
              std::nullopt);

    // Across folders, over a file of the destination.
    q([&] { volume().renameEntry(rootID, "b.txt", docs, "C.TXT", 0); });
    EXPECT_THAT(names(docs), ElementsAre("C.TXT"));
    EXPECT_EQ(readAll(a), pattern(100, 1));

    PhoneModel model;
    model.folder(storage(), "Docs");
    model.file(storage(), "Docs/C.TXT", pattern(100, 1));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, SavesByReplacement) {
    phone().addFile(storage(), "Documents/thesis.txt", pattern(5000, 1));
    mountWritable();
    const uint64_t documents = lookup(rootID, "Documents")->id;
    const uint64_t original = lookup(documents, "thesis.txt")->id;
    q([&] { volume().open(original, {.read = true}, false); });
    EXPECT_EQ(readAll(original), pattern(5000, 1));

    // An editor writes the new version beside it, makes it safe, and renames it over.
    const phonesim::Bytes saved = pattern(7000, 2);
    const uint64_t temp = create(documents, ".thesis.txt.swp");
    q([&] { volume().open(temp, {.write = true}, false); });
    writeAll(temp, saved);
    q([&] { volume().fsync(temp); });
    q([&] { volume().renameEntry(documents, ".thesis.txt.swp", documents, "thesis.txt", 0); });
    q([&] { volume().release(temp, {.write = true}); });
    // The reader still has the version it opened, out of sight under a name of its own.
    EXPECT_EQ(readAll(original), pattern(5000, 1));
    EXPECT_EQ(phone().listAll().size(), 3u);
    q([&] { volume().release(original, {.read = true}); });

    EXPECT_EQ(lookup(documents, "thesis.txt")->id, temp);
    EXPECT_EQ(readAll(temp), saved);
    EXPECT_THAT(names(documents), ElementsAre("thesis.txt"));
    EXPECT_THAT(phone().openEdits(), IsEmpty());
    PhoneModel model;
    model.folder(storage(), "Documents");
    model.file(storage(), "Documents/thesis.txt", saved);
    expectPhoneHolds(model);
}

TEST_F(WriteTest, ARemovedFileServesItsOpenHandlesUntilTheLastRelease) {
    phone().addFile(storage(), "Docs/c.txt", pattern(3000, 1));
    phone().addFile(storage(), "Docs/d.txt", pattern(100, 2));
    mountWritable();
    const uint64_t docs = lookup(rootID, "Docs")->id, c = lookup(docs, "c.txt")->id;
    const std::string hidden = ".kestrum-" + std::to_string(c - objectIDBase) + ".removed";
    q([&] { volume().open(c, {.read = true}, false); });
    q([&] { volume().open(c, {.read = true, .write = true}, false); });
    q([&] { volume().unlink(docs, "c.txt"); });

    EXPECT_EQ(errorOf([&] { return volume().lookup(docs, "c.txt"); }), ENOENT);
    EXPECT_THAT(names(docs), ElementsAre("d.txt"));
    EXPECT_EQ(readAll(c), pattern(3000, 1));
    writeAll(c, pattern(10, 3), 3000);
    EXPECT_EQ(sizeOf(c), 3010u);
    q([&] { volume().fsync(c); });
    EXPECT_EQ(onPhone("Docs/" + hidden)->size(), 3010u);
    EXPECT_EQ(errorOf([&] { volume().create(docs, hidden, ItemType::file); }), EACCES);
    const uint64_t again = copyIn(docs, "c.txt", pattern(5, 4));
    q([&] { volume().release(c, {.read = true, .write = true}); });
    EXPECT_TRUE(onPhone("Docs/" + hidden));
    q([&] { volume().release(c, {.read = true}); });
    EXPECT_FALSE(onPhone("Docs/" + hidden));
    EXPECT_EQ(q([&] { return Access::item(volume(), c); }), nullptr);
    EXPECT_EQ(lookup(docs, "c.txt")->id, again);

    // A volume that goes away with a removed file still open leaves it hidden on the phone; the
    // next writable listing of its folder deletes it.
    const uint64_t d = lookup(docs, "d.txt")->id;
    q([&] { volume().open(d, {.read = true}, false); });
    q([&] { volume().unlink(docs, "d.txt"); });
    q([&] { volume().shutdown(); });
    mountWritable();
    EXPECT_THAT(names(lookup(rootID, "Docs")->id), ElementsAre("c.txt"));
    PhoneModel model;
    model.folder(storage(), "Docs");
    model.file(storage(), "Docs/c.txt", pattern(5, 4));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, RenameRulesForFoldersAndNames) {
    phone().addFile(storage(), "Full/x.txt", pattern(10, 1));
    phone().addFolder(storage(), "Empty");
    phone().addFolder(storage(), "Outer/Inner");
    phone().addFile(storage(), "file.txt", pattern(20, 2));
    mountWritable();
    const uint64_t outer = lookup(rootID, "Outer")->id;
    const uint64_t inner = lookup(outer, "Inner")->id;
    const uint64_t full = lookup(rootID, "Full")->id;
    const uint64_t file = lookup(rootID, "file.txt")->id;
    auto renameError = [&](const std::string& from, uint64_t to, const std::string& name,
                           unsigned int flags = 0) {
        return errorOf([&] { volume().renameEntry(rootID, from, to, name, flags); });
    };

    EXPECT_EQ(renameError("Outer", inner, "Outer"), EINVAL) << "into itself";
    EXPECT_EQ(renameError("Outer", outer, "Outer"), EINVAL);
    EXPECT_EQ(renameError("Empty", rootID, "Full"), ENOTEMPTY);
    EXPECT_EQ(renameError("file.txt", rootID, "Empty"), EISDIR);
    EXPECT_EQ(renameError("Empty", rootID, "file.txt"), ENOTDIR);
    EXPECT_EQ(renameError("file.txt", rootID, "._file.txt"), EACCES);
    EXPECT_EQ(renameError("file.txt", rootID, ".DS_Store"), EACCES);
    EXPECT_EQ(renameError("file.txt", rootID, ".Trashes"), EACCES);
    EXPECT_EQ(renameError("file.txt", file, "x"), ENOTDIR);
    EXPECT_EQ(renameError("file.txt", rootID, std::string(255, 'n')), ENAMETOOLONG);
    EXPECT_EQ(renameError("file.txt", rootID, "other", RENAME_EXCHANGE), EINVAL);
    EXPECT_EQ(renameError("file.txt", rootID, "other", 4), EINVAL);
    EXPECT_EQ(renameError("nothing", rootID, "other"), ENOENT);
    EXPECT_EQ(renameError(".metadata_never_index", rootID, "visible"), EACCES);
    // An over item that does not hold the name is never replaced.
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, rootID, rootID, "y.txt", full); }), EINVAL);
    // A name taken without an over item given.
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, rootID, rootID, "EMPTY", {}); }), EEXIST);
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, outer, rootID, "z.txt", {}); }), EINVAL)
        << "not in that folder";

    // A folder over an empty folder replaces it.
    q([&] { volume().renameEntry(rootID, "Outer", rootID, "Empty", 0); });
    EXPECT_EQ(lookup(rootID, "Empty")->id, outer);
    EXPECT_EQ(lookup(outer, "Inner")->id, inner);

    PhoneModel model;
    model.folder(storage(), "Full");
    model.file(storage(), "Full/x.txt", pattern(10, 1));
    model.folder(storage(), "Empty");
    model.folder(storage(), "Empty/Inner");
    model.file(storage(), "file.txt", pattern(20, 2));
    expectPhoneHolds(model);
}

TEST_F(WriteTest, MemoryFilesRenameWithoutThePhone) {
    phone().addFolder(storage(), "DCIM");
    mountWritable();
    const uint64_t dcim = lookup(rootID, "DCIM")->id;
    EXPECT_THAT(names(dcim), IsEmpty());
    const uint64_t a = create(rootID, "._a");
    writeAll(a, pattern(50, 1));
    const uint64_t b = create(dcim, "._b");
    phone().resetStats();

    q([&] { volume().renameEntry(rootID, "._a", dcim, "._b", 0); });
    EXPECT_EQ(lookup(dcim, "._b")->id, a);
    EXPECT_EQ(readAll(a), pattern(50, 1));
    EXPECT_EQ(q([&] { return Access::item(volume(), b); }), nullptr);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(dcim, "._b", dcim, "plain", 0); }), EACCES);
    q([&] { volume().renameEntry(rootID, ".DS_Store", dcim, "._root-settings", 0); });
    EXPECT_EQ(sizeOf(dsStoreID), 8196u);
    EXPECT_EQ(phone().stats().transactions(), 0u);

    PhoneModel model;
    model.folder(storage(), "DCIM");
    expectPhoneHolds(model);
}
