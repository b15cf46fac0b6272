// Listings, the root's composition, case-insensitive lookup, enumeration cookies, the listing
// cache, and listing failures.

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(VolumeTest, OneStorageRootShowsItsTopLevelThenTheMemoryFilesLookupsIgnoreCase) {
    phone().addFile(storage(), "DCIM/Camera/École.jpg", pattern(10));
    phone().addFile(storage(), "notes.txt", pattern(10));
    mount();
    EXPECT_EQ(item(dsStoreID), nullptr) << "the root is not listed yet";
    const auto entries = this->entries(rootID, true);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_THAT(names(rootID),
                ElementsAre("DCIM", "notes.txt", ".metadata_never_index", ".DS_Store"));
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_EQ(entries[2].id, neverIndexID);
    EXPECT_EQ(entries[2].attributes->size, 0u);
    EXPECT_EQ(entries[3].id, dsStoreID);
    EXPECT_EQ(entries[3].attributes->size, 8196u);
    EXPECT_EQ(entries[3].attributes->parentID, rootID);
    // The top level is listed plainly, with no property lists.
    EXPECT_EQ(count(Op::GetObjectPropList), 0u);

    // Lookups ignore case.
    const ItemPtr dcim = lookup(rootID, "dcim");
    EXPECT_EQ(dcim->name, "DCIM");
    const ItemPtr camera = lookup(dcim->id, "CAMERA");
    const ItemPtr photo = lookup(camera->id, "éCOLE.JPG");
    EXPECT_EQ(photo->name, "École.jpg");
    EXPECT_EQ(photo->parentID, camera->id);
    for (const auto& missing :
         std::vector<std::pair<uint64_t, std::string>>{{rootID, "DCIM2"},
                                                       {rootID, "\xff"},
                                                       {777, "DCIM"},
                                                       {photo->id, "x"},
                                                       {rootID, std::string(254, 'x')}})
        EXPECT_EQ(errorOf([&] { return volume().lookup(missing.first, missing.second); }), ENOENT)
            << missing.second;
    // Longer than any name can be: every path operation through it says so.
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, std::string(255, 'x')); }),
              ENAMETOOLONG);
    EXPECT_EQ(lookup(rootID, ".ds_store")->id, dsStoreID);
    EXPECT_THAT(log_.at(LogLevel::error), IsEmpty());
}

TEST_F(VolumeTest, SeveralStoragesBecomeStorageFolders) {
    makePhoneWith({{}, {"SD/Card", 32ull << 30, {}, true}});
    phone().addFile(storage(1), "song.mp3", pattern(10));
    mount();
    const auto entries = this->entries(rootID, true);
    EXPECT_THAT(names(rootID), ElementsAre("Internal shared storage", "SD-Card",
                                           ".metadata_never_index", ".DS_Store"));
    EXPECT_EQ(entries[1].id, storageFolderID(storage(1)));
    EXPECT_EQ(entries[1].attributes->mode, S_IFDIR | 0555u);
    EXPECT_EQ(phone().stats().transactions(), 0u) << "composed from the storage list";

    const ItemPtr card = lookup(rootID, "sd-card");
    const auto dots = this->entries(card->id, false);
    EXPECT_THAT(std::vector({dots[0].name, dots[1].name, dots[2].name}),
                ElementsAre(".", "..", "song.mp3"));
    EXPECT_EQ(dots[1].id, rootID);
    const ItemPtr song = lookup(card->id, "SONG.MP3");
    EXPECT_EQ(song->storage, storage(1));
    EXPECT_EQ(song->parentID, card->id);
}

TEST_F(VolumeTest, CaseTwinsEachKeepTheirOwnSpelling) {
    // The phone's own apps may put names that differ only in case into one folder.
    testsupport::TempDir folder;
    std::ofstream(folder.path() / "a.txt") << "lower";
    std::ofstream(folder.path() / "A.TXT") << "upper!";
    makePhoneWith({{"Internal", 1ull << 30, folder.path()}});
    mount(true);
    const auto listed = entries(rootID, true);
    for (const DirectoryEntry& twin : {listed.at(0), listed.at(1)})
        EXPECT_EQ(lookup(rootID, twin.name)->id, twin.id) << twin.name;
    EXPECT_EQ(lookup(rootID, "A.txt")->id, listed[0].id) << "no exact match: the first one";

    const uint64_t upper = lookup(rootID, "A.TXT")->id;
    EXPECT_EQ(readAll(upper).size(), 6u);
    q([&] { volume().unlink(rootID, "a.txt"); });
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "a.txt"));
    EXPECT_EQ(lookup(rootID, "a.txt")->id, upper);
}

TEST_F(VolumeTest, EnumerationResumesAtCookiesWhileEntriesAreRemoved) {
    std::vector<std::string> all;
    for (int i = 0; i < 20; ++i) {
        all.push_back("song" + std::to_string(i) + ".mp3");
        phone().addFile(storage(), "Music/" + all.back(), pattern(1));
    }
    mount(true);
    const uint64_t music = lookup(rootID, "Music")->id;

    // Both forms resume where the host says, three entries at a time (the packer is then
    // full); the names-only form counts "." and ".." first.
    for (const bool withAttributes : {false, true}) {
        if (withAttributes)
            for (const std::string& name : all) create(music, name);
        std::vector<std::string> seen;
        uint64_t cookie = 0;
        for (bool more = true; more;) {
            std::vector<DirectoryEntry> batch;
            bool full = false;  // an entry that did not fit ends the batch: nothing after it
            q([&] {
                volume().enumerate(music, cookie, withAttributes, [&](const DirectoryEntry& e) {
                    EXPECT_FALSE(full) << e.name << " offered after a full packer";
                    full = batch.size() == 3;
                    if (!full) batch.push_back(e);
                    return !full;
                });
            });
            more = !batch.empty();
            for (const DirectoryEntry& entry : batch) {
                cookie = entry.nextCookie;
                if (entry.name == "." || entry.name == "..") continue;
                seen.push_back(entry.name);
                q([&] { volume().unlink(music, entry.name); });
            }
        }
        EXPECT_EQ(seen, all);
        EXPECT_THAT(names(music), IsEmpty());
    }
    const uint64_t file = create(music, "f");
    for (const uint64_t id : {file, uint64_t{4242}})
        EXPECT_EQ(errorOf([&] { volume().enumerate(id, 0, false, [](auto&) { return true; }); }),
                  ENOTDIR);
}

// Phones whose property lists fail or are missing are listed with one ObjectInfo per object.
TEST_F(VolumeTest, PropertyListErrorOrAbsenceFallsBackToThePlainListing) {
    for (const bool missing : {false, true}) {
        makePhoneWith({}, missing ? &phonesim::Faults::noPropList : nullptr);
        for (int i = 0; i < 3; ++i)
            phone().addFile(storage(), "DCIM/p" + std::to_string(i) + ".jpg", pattern(10));
        mount();
        const uint64_t dcim = lookup(rootID, "DCIM")->id;
        phone().updateFaults(
            [](phonesim::Faults& f) { f.propListError = mtp::Response::GeneralError; });
        phone().resetStats();
        EXPECT_THAT(names(dcim), ElementsAre("p0.jpg", "p1.jpg", "p2.jpg"));
        EXPECT_EQ(count(Op::GetObjectInfo), 3u);
        EXPECT_THAT(log_.at(LogLevel::error), IsEmpty());
    }
}

TEST_F(VolumeTest, FailedListingsAreEIOAndNotKeptGoodOnesAreKeptAndUsePropertyLists) {
    for (int i = 0; i < 3; ++i)
        phone().addFile(storage(), "DCIM/Camera/p" + std::to_string(i) + ".jpg", pattern(100 + i),
                        1600000000 + i);
    mount();
    misanswer(Op::GetObjectHandles);
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "DCIM"); }), EIO);
    EXPECT_EQ(item(objectID(*phone().handleOf(storage(), "DCIM"))), nullptr);
    const uint64_t dcim = lookup(rootID, "DCIM")->id;
    // A transport error in a property-list listing is not an MTP error: no fallback.
    misanswer(Op::GetObjectPropList);
    EXPECT_EQ(errorOf([&] { volume().enumerate(dcim, 0, false, [](auto&) { return true; }); }),
              EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("lookup DCIM: response for another transaction",
                            "list DCIM: response for another transaction"));
    EXPECT_EQ(count(Op::GetObjectHandles), 2u);

    const ItemPtr camera = lookup(dcim, "Camera");
    phone().resetStats();
    const auto listed = entries(camera->id, true);
    EXPECT_THAT(names(camera->id), ElementsAre("p0.jpg", "p1.jpg", "p2.jpg"));
    EXPECT_EQ(listed[2].attributes->size, 102u);
    EXPECT_EQ(listed[2].attributes->modified, 1600000002);
    EXPECT_EQ(count(Op::GetObjectInfo), 0u);
}

TEST_F(VolumeTest, ObjectsWithoutAUsableNameAreLeftOutOfTheListing) {
    phone().addFile(storage(), "a.txt", pattern(10));
    mount();
    // ObjectInfo cut right before its Filename: the phone gives the object no name.
    phone().updateFaults([](phonesim::Faults& f) { f.objectInfoLength = 52; });
    EXPECT_THAT(names(rootID), ElementsAre(".metadata_never_index", ".DS_Store"));
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("object " + std::to_string(*phone().handleOf(storage(), "a.txt")) +
                            " has no usable name \"\"; not listed"));
}
