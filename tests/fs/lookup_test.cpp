// Listings, the root's composition, case-insensitive lookup, enumeration cookies, the listing
// cache and its maintenance (insert, discard), and listing failures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fs/Names.h"
#include "tests/common/TestSupport.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrum;
using namespace kestrumtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

std::vector<std::string> namesOf(const std::vector<DirectoryEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& entry : entries) names.push_back(entry.name);
    return names;
}


using TempFolder = testsupport::TempDir;

}  // namespace

TEST_F(VolumeTest, OneStorageRootShowsItsTopLevelThenTheMemoryFiles) {
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "notes.txt", pattern(10));
    mount();
    auto entries = this->entries(rootID, true);
    ASSERT_THAT(namesOf(entries),
                ElementsAre("DCIM", "notes.txt", ".metadata_never_index", ".DS_Store"));
    EXPECT_EQ(entries[0].id, objectID(*phone().handleOf(storage(), "DCIM")));
    EXPECT_TRUE(entries[0].isDirectory);
    EXPECT_EQ(entries[2].id, neverIndexID);
    EXPECT_EQ(entries[2].attributes->size, 0u);
    EXPECT_EQ(entries[3].id, dsStoreID);
    EXPECT_EQ(entries[3].attributes->size, 8196u);
    EXPECT_FALSE(entries[3].isDirectory);
    EXPECT_EQ(entries[3].attributes->parentID, rootID);
    // The top level is listed plainly, with no property lists.
    EXPECT_EQ(count(Op::GetObjectHandles), 1u);
    EXPECT_EQ(count(Op::GetObjectPropList), 0u);
}

TEST_F(VolumeTest, SeveralStoragesBecomeStorageFolders) {
    phonesim::PhoneConfig config;
    config.storages = {phonesim::StorageConfig{"Internal shared storage", 64ull << 30, {}, false},
                       phonesim::StorageConfig{"SD/Card", 32ull << 30, {}, true}};
    makePhone(config);
    phone().addFile(storage(1), "song.mp3", pattern(10));
    mount();
    auto entries = this->entries(rootID, true);
    ASSERT_THAT(namesOf(entries), ElementsAre("Internal shared storage", "SD-Card",
                                              ".metadata_never_index", ".DS_Store"));
    EXPECT_EQ(entries[1].id, (1ull << 32) + storage(1));
    EXPECT_EQ(entries[1].attributes->mode, S_IFDIR | 0555u);
    EXPECT_EQ(phone().stats().transactions(), 0u);  // composed from the storage list

    auto card = lookup(rootID, "sd-card");
    EXPECT_EQ(card->kind, Kind::storage);
    EXPECT_EQ(card->storage, storage(1));
    EXPECT_EQ(card->handle, mtp::RootParent);
    auto names = this->entries(card->id, false);
    EXPECT_THAT(namesOf(names), ElementsAre(".", "..", "song.mp3"));
    EXPECT_EQ(names[1].id, rootID);
    auto song = lookup(card->id, "SONG.MP3");
    EXPECT_EQ(song->storage, storage(1));
    EXPECT_EQ(song->parentID, card->id);
}

TEST_F(VolumeTest, LookupIgnoresCase) {
    phone().addFolder(storage(), "DCIM/Camera");
    phone().addFile(storage(), "DCIM/Camera/École.jpg", pattern(10));
    mount();
    auto dcim = lookup(rootID, "dcim");
    EXPECT_EQ(dcim->name, "DCIM");
    auto camera = lookup(dcim->id, "CAMERA");
    auto photo = lookup(camera->id, "éCOLE.JPG");
    EXPECT_EQ(photo->name, "École.jpg");
    EXPECT_EQ(photo->parentID, camera->id);
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "DCIM2"); }), ENOENT);
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "\xff"); }), ENOENT);
    EXPECT_EQ(errorOf([&] { return volume().lookup(777, "DCIM"); }), ENOENT);
    // Longer than any name can be: every path operation through it says so.
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, std::string(255, 'x')); }),
              ENAMETOOLONG);
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, std::string(254, 'x')); }), ENOENT);
    EXPECT_EQ(lookup(rootID, ".ds_store")->id, dsStoreID);
    EXPECT_THAT(log_.at(LogLevel::error), IsEmpty());
}

TEST_F(VolumeTest, CaseTwinsEachKeepTheirOwnSpelling) {
    // The phone's own apps may put names that differ only in case into one folder.
    TempFolder folder;
    std::ofstream(folder.path() / "a.txt") << "lower";
    std::ofstream(folder.path() / "A.TXT") << "upper!";
    phonesim::PhoneConfig config;
    config.storages = {phonesim::StorageConfig{"Internal", 1ull << 30, folder.path(), false}};
    makePhone(config);
    mount(true);
    const auto listed = entries(rootID, true);
    ASSERT_GE(listed.size(), 2u);
    for (const DirectoryEntry& twin : {listed[0], listed[1]})
        EXPECT_EQ(lookup(rootID, twin.name)->id, twin.id) << twin.name;
    EXPECT_EQ(lookup(rootID, "A.txt")->id, listed[0].id) << "no exact match: the first one";

    uint8_t bytes[16];
    const uint64_t upper = lookup(rootID, "A.TXT")->id;
    EXPECT_EQ(q([&] { return volume().read(upper, 0, bytes); }), 6u);
    q([&] { volume().unlink(rootID, "a.txt"); });
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "a.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() / "A.TXT"));
    EXPECT_EQ(lookup(rootID, "a.txt")->id, upper);
}

TEST_F(VolumeTest, RemovingEntriesWhileListingSkipsNone) {
    phone().addFolder(storage(), "Music");
    std::vector<std::string> all;
    for (int i = 0; i < 20; ++i) {
        all.push_back("song" + std::to_string(i) + ".mp3");
        phone().addFile(storage(), "Music/" + all.back(), pattern(1));
    }
    mount(true);
    const uint64_t music = lookup(rootID, "Music")->id;

    // Both forms resume where the host says: the names-only form counts "." and ".." first.
    for (const bool withAttributes : {false, true}) {
        if (withAttributes) {
            for (const std::string& name : all)
                q([&] { volume().create(music, name, ItemType::file); });
        }
        std::vector<std::string> seen;
        uint64_t cookie = 0;
        for (bool more = true; more;) {
            std::vector<DirectoryEntry> batch;
            q([&] {
                volume().enumerate(music, cookie, withAttributes, [&](const DirectoryEntry& e) {
                    if (batch.size() == 3) return false;
                    batch.push_back(e);
                    return true;
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
}

TEST_F(VolumeTest, EnumerationStopsWhereThePackerIsFull) {
    phone().addFolder(storage(), "Music");
    for (const char* name : {"a", "b", "c", "d"})
        phone().addFile(storage(), std::string("Music/") + name, {});
    mount();
    auto music = lookup(rootID, "Music");
    std::vector<DirectoryEntry> packed;
    q([&] {
        volume().enumerate(music->id, 0, true, [&](const DirectoryEntry& entry) {
            if (packed.size() == 2) return false;
            packed.push_back(entry);
            return true;
        });
    });
    ASSERT_EQ(packed.size(), 2u);
    EXPECT_THAT(namesOf(entries(music->id, true, packed.back().nextCookie)), ElementsAre("c", "d"));
}

TEST_F(VolumeTest, EnumeratingAFileOrAnUnknownItemIsNotADirectory) {
    phone().addFile(storage(), "a.txt", pattern(3));
    mount();
    auto file = lookup(rootID, "a.txt");
    EXPECT_EQ(errorOf([&] { volume().enumerate(file->id, 0, false, [](auto&) { return true; }); }),
              ENOTDIR);
    EXPECT_EQ(errorOf([&] { volume().enumerate(4242, 0, false, [](auto&) { return true; }); }),
              ENOTDIR);
    EXPECT_EQ(errorOf([&] { return volume().lookup(file->id, "x"); }), ENOENT);
}

TEST_F(VolumeTest, FoldersAreListedOnceAndByPropertyListBelowTheTopLevel) {
    phone().addFolder(storage(), "DCIM/Camera");
    for (int i = 0; i < 3; ++i)
        phone().addFile(storage(), "DCIM/Camera/p" + std::to_string(i) + ".jpg", pattern(100 + i),
                        1600000000 + i);
    mount();
    auto camera = lookup(lookup(rootID, "DCIM")->id, "Camera");
    phone().resetStats();
    auto listed = entries(camera->id, true);
    EXPECT_THAT(namesOf(listed), ElementsAre("p0.jpg", "p1.jpg", "p2.jpg"));
    EXPECT_EQ(listed[2].attributes->size, 102u);
    EXPECT_EQ(listed[2].attributes->modified, 1600000002);
    EXPECT_EQ(count(Op::GetObjectPropList), 4u);
    EXPECT_EQ(count(Op::GetObjectInfo), 0u);

    // Cached: no more listings, and objects added on the phone stay unseen.
    phone().addFile(storage(), "DCIM/Camera/late.jpg", pattern(5));
    entries(camera->id, false);
    EXPECT_EQ(errorOf([&] { return volume().lookup(camera->id, "late.jpg"); }), ENOENT);
    EXPECT_EQ(count(Op::GetObjectPropList), 4u);
    EXPECT_EQ(count(Op::GetObjectHandles), 0u);
}

TEST_F(VolumeTest, PropertyListErrorFallsBackToThePlainListing) {
    phone().addFolder(storage(), "DCIM");
    for (int i = 0; i < 3; ++i)
        phone().addFile(storage(), "DCIM/p" + std::to_string(i) + ".jpg", pattern(10));
    mount();
    auto dcim = lookup(rootID, "DCIM");
    phone().updateFaults(
        [](phonesim::Faults& f) { f.propListError = mtp::Response::GeneralError; });
    phone().resetStats();
    EXPECT_THAT(names(dcim->id), ElementsAre("p0.jpg", "p1.jpg", "p2.jpg"));
    EXPECT_EQ(count(Op::GetObjectPropList), 1u);
    EXPECT_EQ(count(Op::GetObjectHandles), 1u);
    EXPECT_EQ(count(Op::GetObjectInfo), 3u);
    EXPECT_THAT(log_.at(LogLevel::error), IsEmpty());
}

TEST_F(VolumeTest, PhonesWithoutPropertyListsAreListedPlainly) {
    phonesim::PhoneConfig config;
    config.faults.noPropList = true;
    makePhone(config);
    phone().addFolder(storage(), "DCIM");
    phone().addFile(storage(), "DCIM/p.jpg", pattern(10));
    mount();
    EXPECT_THAT(names(lookup(rootID, "DCIM")->id), ElementsAre("p.jpg"));
    EXPECT_EQ(count(Op::GetObjectPropList), 0u);
    EXPECT_EQ(count(Op::GetObjectHandles), 2u);
}

TEST_F(VolumeTest, ListingFailureIsEIOAndTheNextAttemptAsksAgain) {
    phone().addFolder(storage(), "DCIM/Camera");
    mount();
    phone().updateFaults([](phonesim::Faults& f) {
        f.wrongTransactionID = phonesim::FaultTrigger::once(Op::GetObjectHandles);
    });
    EXPECT_EQ(errorOf([&] { return volume().lookup(rootID, "DCIM"); }), EIO);
    EXPECT_THAT(log_.at(LogLevel::error),
                ElementsAre("lookup DCIM: response for another transaction"));
    EXPECT_EQ(q([&] { return Access::item(volume(), objectID(*phone().handleOf(storage(), "DCIM"))); }),
              nullptr);
    auto dcim = lookup(rootID, "DCIM");
    EXPECT_EQ(count(Op::GetObjectHandles), 2u);

    // A transport error in a property-list listing is not an MTP error: no fallback.
    phone().updateFaults([](phonesim::Faults& f) {
        f.wrongTransactionID = phonesim::FaultTrigger::once(Op::GetObjectPropList);
    });
    EXPECT_EQ(errorOf([&] { volume().enumerate(dcim->id, 0, false, [](auto&) { return true; }); }),
              EIO);
    EXPECT_EQ(log_.at(LogLevel::error).back(), "list DCIM: response for another transaction");
    EXPECT_EQ(count(Op::GetObjectHandles), 2u);
    EXPECT_THAT(names(dcim->id), ElementsAre("Camera"));
    EXPECT_THAT(log_.at(LogLevel::fault), IsEmpty());
}

TEST_F(VolumeTest, ItemsAreFoundByIDOnceListed) {
    phone().addFolder(storage(), "DCIM/Camera");
    mount();
    EXPECT_EQ(q([&] { return Access::item(volume(), dsStoreID); }), nullptr);  // root not listed yet
    auto dcim = lookup(rootID, "DCIM");
    EXPECT_EQ(q([&] { return Access::item(volume(), dcim->id); }), dcim);
    EXPECT_EQ(q([&] { return Access::item(volume(), dsStoreID); })->name, ".DS_Store");
    auto camera = lookup(dcim->id, "Camera");
    EXPECT_EQ(q([&] { return Access::item(volume(), camera->id); }), camera);
    EXPECT_EQ(camera->id, objectID(*phone().handleOf(storage(), "DCIM/Camera")));
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
