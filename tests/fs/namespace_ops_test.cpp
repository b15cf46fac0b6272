// Creating, removing, renaming and moving through the volume; the caches and the phone compared.

#include <gmock/gmock.h>

#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

namespace {

// Characters outside the BMP: two UTF-16 units each.
std::string emojis(int count) {
    std::string result;
    while (count--) result += "\U0001F600";
    return result;
}

TEST_F(VolumeTest, CreationRefusesNamesItMustNotCreate) {
    phone().addFolder(storage(), "Photos");
    mount(true);
    // The refusal is case-sensitive; 254 UTF-16 units is the longest name.
    const std::vector<std::pair<int, std::vector<std::string>>> cases{
        {EACCES,
         {".Trashes", ".fseventsd", ".Spotlight-V100", ".TemporaryItems", "._folder",
          ".kestrum-12.removed"}},
        {EEXIST, {"photos"}},
        {EINVAL, {"a/b", "", "\xff\xfe", ".."}},
        {ENAMETOOLONG, {std::string(255, 'n'), emojis(127) + "x"}},
        {0, {".trashes", std::string(254, 'n'), emojis(127)}}};
    for (const auto& [error, spellings] : cases)
        for (const std::string& name : spellings)
            EXPECT_EQ(errorOf([&] { volume().create(rootID, name, ItemType::directory); }), error)
                << name;
    EXPECT_EQ(errorOf([&] { volume().create(rootID, ".DS_Store", ItemType::file); }), EEXIST)
        << "the root has its own";
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "link", ItemType::other); }), ENOTSUP);
    EXPECT_EQ(errorOf([&] { volume().createSymbolicLink(); }), ENOTSUP);
    EXPECT_EQ(errorOf([&] { volume().open({.write = true}); }), 0);
    EXPECT_THAT(log_.at(LogLevel::error),
                Contains("create .Trashes: Permission denied (errno 13)"));
    expectPhoneHolds({{"Photos", folder},
                      {".trashes", folder},
                      {std::string(254, 'n'), folder},
                      {emojis(127), folder}});
}

TEST_F(VolumeTest, TwoStoragesKeepNewItemsInsideAStorageAndMovesWithinOne) {
    makePhoneWith({{}, {"SD/Card", 64ull << 30, {}, true}});
    phone().addFile(storage(0), "a.txt", pattern(10));
    mount(true);
    const uint64_t internal = storageFolderID(storage(0)), card = storageFolderID(storage(1));
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "x", ItemType::file); }), EACCES);
    EXPECT_EQ(errorOf([&] { volume().create(rootID, "._x", ItemType::file); }), 0)
        << "memory items need no storage";
    const uint64_t onCard = create(card, "b.txt");
    EXPECT_EQ(lookup(card, "b.txt")->id, onCard);
    lookup(internal, "a.txt");
    phone().resetStats();
    EXPECT_EQ(errorOf([&] { volume().renameEntry(internal, "a.txt", card, "a.txt", 0); }), EXDEV);
    EXPECT_EQ(errorOf([&] { volume().renameEntry(internal, "a.txt", rootID, "a.txt", 0); }),
              EACCES);
    EXPECT_EQ(phone().stats().transactions(), 0u) << "refused before the phone";
    expectPhoneHolds({{"a.txt", pattern(10)}, {std::to_string(storage(1)) + ":b.txt", Bytes{}}});
}

TEST_F(VolumeTest, RemovesFilesAndOnlyFoldersThatThePhoneSaysAreEmpty) {
    phone().addFile(storage(), "a.txt", pattern(10));
    phone().addFolder(storage(), "Empty");
    phone().addFolder(storage(), "Later");
    mount(true);
    const uint64_t later = lookup(rootID, "Later")->id;
    EXPECT_THAT(names(later), IsEmpty());
    // Something arrives on the phone after the folder was listed: the cache does not know.
    phone().addFile(storage(), "Later/new.jpg", pattern(100));
    EXPECT_EQ(errorOf([&] { volume().rmdir(rootID, "Later"); }), ENOTEMPTY);
    // ...and from then on the folder shows what stops its removal, once.
    EXPECT_THAT(names(later), ElementsAre("new.jpg"));

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
    EXPECT_EQ(item(a), nullptr);
    // The memory files of the root go the same way, without the phone.
    q([&] { volume().unlink(rootID, ".DS_Store"); });
    EXPECT_THAT(names(rootID), ElementsAre("Later", ".metadata_never_index"));
    q([&] { volume().release(a, {.write = true}); });  // a late release of the removed file
    expectPhoneHolds({{"Later", folder}, {"Later/new.jpg", pattern(100)}});
}

TEST_F(VolumeTest, RenamesAndMovesWithTheFewestSteps) {
    phone().addFile(storage(), "Inbox/a.txt", pattern(100, 1));
    phone().addFile(storage(), "Inbox/b.txt", pattern(200, 2));
    phone().addFile(storage(), "Inbox/Album/c.jpg", pattern(300, 3));
    phone().addFolder(storage(), "Archive");
    mount(true);
    const uint64_t inbox = lookup(rootID, "Inbox")->id, archive = lookup(rootID, "Archive")->id;
    const uint64_t a = lookup(inbox, "a.txt")->id,
                   c = lookup(lookup(inbox, "Album")->id, "c.jpg")->id;
    EXPECT_THAT(names(archive), IsEmpty());

    // A case-only rename is one SetObjectPropValue; a move under the same name one MoveObject.
    phone().resetStats();
    EXPECT_EQ(q([&] { return volume().renameEntry(inbox, "a.txt", inbox, "A.txt", 0); }), "A.txt");
    q([&] { volume().renameEntry(inbox, "A.txt", archive, "A.txt", RENAME_NOREPLACE); });
    EXPECT_EQ(count(Op::SetObjectPropValue), 1u);
    EXPECT_EQ(count(Op::MoveObject), 1u);
    EXPECT_EQ(phone().stats().transactions(), 2u);
    EXPECT_EQ(lookup(archive, "a.txt")->id, a);
    EXPECT_EQ(q([&] { return volume().getAttributes(a).parentID; }), archive);

    // A new name in another folder: temporary name, MoveObject, new name.
    q([&] { volume().renameEntry(inbox, "b.txt", rootID, "b-moved.txt", 0); });
    // A folder moves with what is inside; its listing stays cached (fsx checks the bytes).
    q([&] { volume().renameEntry(inbox, "Album", archive, "Album 2024", 0); });
    EXPECT_EQ(lookup(lookup(archive, "Album 2024")->id, "c.jpg")->id, c);
    EXPECT_THAT(names(archive), UnorderedElementsAre("A.txt", "Album 2024"));
    expectPhoneHolds({{"Inbox", folder},
                      {"Archive", folder},
                      {"Archive/A.txt", pattern(100, 1)},
                      {"b-moved.txt", pattern(200, 2)},
                      {"Archive/Album 2024", folder},
                      {"Archive/Album 2024/c.jpg", pattern(300, 3)}});
}

TEST_F(VolumeTest, ARemovedFileServesItsOpenHandlesUntilTheLastRelease) {
    phone().addFile(storage(), "Docs/c.txt", pattern(3000, 1));
    phone().addFile(storage(), "Docs/d.txt", pattern(100, 2));
    mount(true);
    const uint64_t docs = lookup(rootID, "Docs")->id, c = lookup(docs, "c.txt")->id;
    const std::string hidden = "Docs/.kestrum-" + std::to_string(c - objectIDBase) + ".removed";
    q([&] { volume().open(c, {.read = true}, false); });
    q([&] { volume().open(c, {.read = true, .write = true}, false); });
    q([&] { volume().unlink(docs, "c.txt"); });

    EXPECT_THAT(names(docs), ElementsAre("d.txt"));
    EXPECT_EQ(readAll(c), pattern(3000, 1));
    writeAll(c, pattern(10, 3), 3000);
    q([&] { volume().fsync(c); });
    EXPECT_EQ(onPhone(hidden)->size(), 3010u);
    const uint64_t again = copyIn(docs, "c.txt", pattern(5, 4));
    q([&] { volume().release(c, {.read = true, .write = true}); });
    EXPECT_TRUE(onPhone(hidden));
    q([&] { volume().release(c, {.read = true}); });
    EXPECT_FALSE(onPhone(hidden));
    EXPECT_EQ(item(c), nullptr);
    EXPECT_EQ(lookup(docs, "c.txt")->id, again);

    // A volume that goes away with a removed file still open leaves it hidden on the phone; the
    // next writable listing of its folder deletes it.
    q([&] { volume().open(lookup(docs, "d.txt")->id, {.read = true}, false); });
    q([&] { volume().unlink(docs, "d.txt"); });
    mount(true);
    EXPECT_THAT(names(lookup(rootID, "Docs")->id), ElementsAre("c.txt"));
    expectPhoneHolds({{"Docs", folder}, {"Docs/c.txt", pattern(5, 4)}});
}

TEST_F(VolumeTest, RenameRulesForFoldersNamesAndMemoryFiles) {
    phone().addFile(storage(), "Full/x.txt", pattern(10, 1));
    phone().addFolder(storage(), "Empty");
    phone().addFolder(storage(), "Outer/Inner");
    phone().addFile(storage(), "file.txt", pattern(20, 2));
    mount(true);
    const uint64_t outer = lookup(rootID, "Outer")->id, inner = lookup(outer, "Inner")->id;
    const uint64_t full = lookup(rootID, "Full")->id, file = lookup(rootID, "file.txt")->id;
    for (const auto& [from, to, name, flags, error] :
         std::vector<std::tuple<std::string, uint64_t, std::string, unsigned, int>>{
             {"Outer", inner, "Outer", 0, EINVAL},  // into itself
             {"Outer", outer, "Outer", 0, EINVAL},
             {"Empty", rootID, "Full", 0, ENOTEMPTY},
             {"file.txt", rootID, "Empty", 0, EISDIR},
             {"Empty", rootID, "file.txt", 0, ENOTDIR},
             {"file.txt", rootID, "._file.txt", 0, EACCES},
             {"file.txt", rootID, ".DS_Store", 0, EACCES},
             {"file.txt", rootID, ".Trashes", 0, EACCES},
             {"file.txt", rootID, ".kestrum-1.removed", 0, EACCES},
             {"file.txt", file, "x", 0, ENOTDIR},
             {"file.txt", rootID, std::string(255, 'n'), 0, ENAMETOOLONG},
             {"file.txt", rootID, "other", RENAME_EXCHANGE, EINVAL},
             {"file.txt", rootID, "other", 4, EINVAL},
             {"nothing", rootID, "other", 0, ENOENT},
             {".metadata_never_index", rootID, "visible", 0, EACCES}})
        EXPECT_EQ(errorOf([&, &from = from, to = to, &name = name, flags = flags] {
                      volume().renameEntry(rootID, from, to, name, flags);
                  }),
                  error)
            << from << " -> " << name;
    // An over item that does not hold the name is never replaced; a name taken without an over
    // item given; an item not in the folder named.
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, rootID, rootID, "y.txt", full); }),
              EINVAL);
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, rootID, rootID, "EMPTY", {}); }),
              EEXIST);
    EXPECT_EQ(errorOf([&] { Access::rename(volume(), file, outer, rootID, "z.txt", {}); }), EINVAL);

    // A folder over an empty folder replaces it.
    q([&] { volume().renameEntry(rootID, "Outer", rootID, "Empty", 0); });
    EXPECT_EQ(lookup(rootID, "Empty")->id, outer);
    EXPECT_EQ(lookup(outer, "Inner")->id, inner);
    expectPhoneHolds({{"Full", folder},
                      {"Full/x.txt", pattern(10, 1)},
                      {"Empty", folder},
                      {"Empty/Inner", folder},
                      {"file.txt", pattern(20, 2)}});

    // Memory files rename without the phone (fsx moves them about; here what is left behind).
    const uint64_t b = (create(rootID, "._a"), create(rootID, "._b"));
    phone().resetStats();
    q([&] { volume().renameEntry(rootID, "._a", rootID, "._b", 0); });
    EXPECT_EQ(item(b), nullptr) << "the replaced file goes";
    q([&] { volume().renameEntry(rootID, ".DS_Store", rootID, "._root-settings", 0); });
    EXPECT_EQ(sizeOf(dsStoreID), 8196u);
    EXPECT_EQ(phone().stats().transactions(), 0u);
}

}  // namespace
