// The simulated phone's Android behaviours, checked at the bytes of the bulk pipes.

#include <atomic>
#include <thread>

#include "tests/common/TestSupport.h"
#include "tests/tools/RawHost.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace phonesim::test {
namespace {

using testsupport::pattern;

constexpr uint32_t Internal = 0x00010001;
constexpr uint32_t SD = 0x00020001;
constexpr uint32_t Root = 0xFFFFFFFF;

PhoneConfig twoStorages(uint64_t capacity = 1 << 20) {
    PhoneConfig config;
    config.storages = {StorageConfig{"Internal shared storage", capacity, std::nullopt, false},
                       StorageConfig{"SD card", capacity, std::nullopt, true}};
    return config;
}

// StorageInfo: capacity, free, description.
struct Info {
    uint64_t capacity, free;
    std::string description;
};
Info storageInfo(RawHost& host, uint32_t id) {
    RawResult r = host.ok(0x1005, {id});
    size_t at = 26;
    return {get64(r.data, 6), get64(r.data, 14), getString(r.data, at)};
}

TEST(PhoneSession, OpenTwiceAndOperationsWithoutSession) {
    SimulatedPhone phone;
    RawHost host(phone);
    EXPECT_EQ(host.run(0x1004).code, 0x2003);  // SessionNotOpen
    EXPECT_EQ(host.run(0x1001).code, 0x2001);  // DeviceInfo needs no session
    host.open();
    RawResult again = host.run(0x1002, {1});
    EXPECT_EQ(again.code, 0x201E);
    // A host process that went away leaves the session open, as on a phone; reset closes it.
    RawHost other(phone);
    EXPECT_EQ(other.run(0x1002, {1}).code, 0x201E);
    phone.reset();
    EXPECT_FALSE(phone.isSessionOpen());
    other.open();
}

// What a host learns from DeviceInfo decides what it may send: without the features, their
// operations are neither listed nor served.
TEST(PhoneSession, DeviceInfoListsOnlyWhatThePhoneSupports) {
    SimulatedPhone phone;
    RawHost host(phone);
    const auto lists = [&](uint16_t op) {
        RawResult r = host.ok(0x1001);
        size_t at = 8;
        getString(r.data, at);  // MTPExtensions
        at += 2;
        for (uint32_t i = 0; i < get32(r.data, at); ++i) {
            if (get16(r.data, at + 4 + 2 * i) == op) return true;
        }
        return false;
    };
    const uint16_t optional[] = {0x95C1, 0x95C2, 0x95C3, 0x95C4, 0x95C5, 0x9803, 0x9805};
    for (uint16_t op : optional) EXPECT_TRUE(lists(op)) << std::hex << op;
    EXPECT_TRUE(lists(0x100C) && lists(0x100D));
    phone.updateFaults(
        [](Faults& f) { f.noEdit = f.no64bit = f.noPropList = f.noPropValue = true; });
    for (uint16_t op : optional) EXPECT_FALSE(lists(op)) << std::hex << op;
    host.open();
    EXPECT_EQ(host.run(0x95C1, {1, 0, 0, 10}).code, 0x2005);
    // libmtp reads the friendly name.
    RawResult name = host.ok(0x1015, {0xD402});
    size_t at = 0;
    EXPECT_EQ(getString(name.data, at), "Simulated Phone");
    EXPECT_EQ(host.run(0x1015, {0x5003}).code, 0x200A);
}

TEST(PhoneObjects, SendObjectInfoCreatesFoldersAtOnceAndFilesWithSendObject) {
    SimulatedPhone phone;
    RawHost host(phone);
    host.open();
    uint32_t folder = host.makeFolder(Internal, Root, "Docs");
    EXPECT_EQ(host.handles(Internal, Root), std::vector<uint32_t>{folder});

    RawResult info = host.ok(0x100C, {Internal, folder}, objectInfo("a.txt", false, 5));
    ASSERT_EQ(info.params.size(), 3u);
    EXPECT_EQ(info.params[0], Internal);
    EXPECT_EQ(info.params[1], folder);
    EXPECT_FALSE(phone.readFile(Internal, "Docs/a.txt"));  // not before SendObject
    host.ok(0x100D, {}, Bytes{'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(phone.readFile(Internal, "docs/A.TXT"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(host.handles(Internal, folder), std::vector<uint32_t>{info.params[2]});

    // Any other operation between the two cancels the file.
    host.ok(0x100C, {Internal, folder}, objectInfo("b.txt", false, 3));
    host.ok(0x1004);
    EXPECT_EQ(host.run(0x100D, {}, Bytes{1, 2, 3}).code, 0x2015);
    EXPECT_FALSE(phone.readFile(Internal, "Docs/b.txt"));
    EXPECT_EQ(host.run(0x100D, {}, Bytes{}).code, 0x2015);

    // An empty SendObject makes an empty file; the top level answers parent 0.
    RawResult top = host.ok(0x100C, {Internal, Root}, objectInfo("empty.bin", false));
    EXPECT_EQ(top.params[1], 0u);
    host.ok(0x100D, {}, Bytes{});
    EXPECT_EQ(phone.readFile(Internal, "empty.bin"), Bytes{});
}

TEST(PhoneObjects, NamesCompareCaseInsensitivelyAndClashesAndBadNamesAreRefused) {
    SimulatedPhone phone;
    phone.addFile(Internal,
                  "Stra\xC3\x9F"
                  "e.txt",
                  {1});  // Straße.txt
    phone.addFile(Internal, "photo.JPG", {2});
    phone.addFile(Internal, "Sub/PHOTO.jpg", {3});
    RawHost host(phone);
    host.open();
    host.handles(Internal, Root);
    const uint32_t sub = *phone.handleOf(Internal, "Sub");
    EXPECT_EQ(host.run(0x100C, {Internal, Root}, objectInfo("PHOTO.jpg", false)).code, 0x2002);
    EXPECT_EQ(host.run(0x100C, {Internal, Root}, objectInfo("STRASSE.TXT", false)).code, 0x2002);
    for (const char* bad : {".", "..", "a/b", ""}) {
        EXPECT_EQ(host.run(0x100C, {Internal, Root}, objectInfo(bad, true)).code, 0x201D) << bad;
    }
    EXPECT_TRUE(phone.readFile(Internal, "PHOTO.jpg"));

    // Renaming: only the file name can be set; clashes and bad names refused; case changes fine.
    uint32_t photo = *phone.handleOf(Internal, "photo.jpg");
    Bytes name;
    putString(name, "strasse.txt");
    EXPECT_EQ(host.run(0x9804, {photo, 0xDC07}, name).code, 0x2002);
    name.clear();
    putString(name, "Photo.jpg");
    host.ok(0x9804, {photo, 0xDC07}, name);
    EXPECT_EQ(host.info(photo).first, "Photo.jpg");
    name.clear();
    putString(name, "..");
    EXPECT_EQ(host.run(0x9804, {photo, 0xDC07}, name).code, 0x201D);
    EXPECT_EQ(host.run(0x9804, {photo, 0xDC04}, Bytes(8)).code, 0x200F);
    EXPECT_EQ(host.run(0x9804, {photo, 0xDC99}, Bytes(8)).code, 0xA801);

    // Moving: not over a name taken in the folder, not into itself.
    EXPECT_EQ(host.run(0x1019, {photo, Internal, sub}).code, 0x2002);
    EXPECT_EQ(host.run(0x1019, {sub, Internal, sub}).code, 0x201A);
}

TEST(PhoneObjects, HandlesAreHandedOutWhenListedAndNeverReused) {
    SimulatedPhone phone;
    phone.addFile(Internal, "DCIM/Camera/a.jpg", {1});
    phone.addFile(Internal, "DCIM/Camera/b.jpg", {2});
    EXPECT_FALSE(phone.handleOf(Internal, "DCIM"));
    RawHost host(phone);
    host.open();
    EXPECT_EQ(host.run(0x1008, {1}).code, 0x2009);
    std::vector<uint32_t> top = host.handles(Internal, Root);
    ASSERT_EQ(top, std::vector<uint32_t>{1});
    EXPECT_FALSE(phone.handleOf(Internal, "DCIM/Camera"));
    uint32_t camera = host.handles(Internal, 1).at(0);
    EXPECT_EQ(camera, 2u);
    EXPECT_EQ(host.handles(Internal, camera), (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(host.handles(Internal, camera), (std::vector<uint32_t>{3, 4}));  // stable

    host.ok(0x100B, {3, 0});
    EXPECT_EQ(host.run(0x1008, {3}).code, 0x2009);
    uint32_t again = host.sendFile(Internal, camera, "a.jpg", {9});
    EXPECT_EQ(again, 5u);
    EXPECT_EQ(host.handles(Internal, camera), (std::vector<uint32_t>{4, 5}));
    EXPECT_EQ(host.run(0x1007, {Internal, 0, 4}).code, 0x201A);  // a file is no parent
}

TEST(PhoneObjects, DeletingAFolderRemovesEverythingInsideAndFreesTheSpace) {
    SimulatedPhone phone(twoStorages());
    RawHost host(phone);
    host.open();
    uint64_t freeBefore = storageInfo(host, Internal).free;
    uint32_t a = host.makeFolder(Internal, Root, "A");
    uint32_t b = host.makeFolder(Internal, a, "B");
    uint32_t f1 = host.sendFile(Internal, a, "one", pattern(1000));
    uint32_t f2 = host.sendFile(Internal, b, "two", pattern(3000));
    EXPECT_EQ(storageInfo(host, Internal).free, freeBefore - 4000);
    host.ok(0x100B, {a, 0});
    for (uint32_t h : {a, b, f1, f2}) EXPECT_EQ(host.run(0x1008, {h}).code, 0x2009);
    EXPECT_TRUE(phone.listAll().empty());
    EXPECT_EQ(storageInfo(host, Internal).free, freeBefore);
}

TEST(PhoneObjects, StorageInfoTracksCapacityAndStoreFullIsReported) {
    SimulatedPhone phone(twoStorages(10000));
    RawHost host(phone);
    host.open();
    RawResult ids = host.ok(0x1004);
    EXPECT_EQ(get32(ids.data, 0), 2u);
    EXPECT_EQ(get32(ids.data, 8), SD);
    Info sd = storageInfo(host, SD);
    EXPECT_EQ(sd.capacity, 10000u);
    EXPECT_EQ(sd.free, 10000u);
    EXPECT_EQ(sd.description, "SD card");

    uint32_t file = host.sendFile(SD, Root, "f", pattern(6000));
    EXPECT_EQ(storageInfo(host, SD).free, 4000u);
    EXPECT_EQ(storageInfo(host, Internal).free, 10000u);
    EXPECT_EQ(host.run(0x100C, {SD, Root}, objectInfo("g", false, 5000)).code, 0x200C);
    // A SendObject bigger than its announcement still cannot overfill the storage.
    host.ok(0x100C, {SD, Root}, objectInfo("h", false, 10));
    EXPECT_EQ(host.run(0x100D, {}, pattern(5000)).code, 0x200C);
    EXPECT_FALSE(phone.readFile(SD, "h"));

    host.ok(0x95C4, {file});
    EXPECT_EQ(host.run(0x95C3, {file, 12000, 0}).code, 0x200C);
    EXPECT_EQ(host.run(0x95C2, {file, 6000, 0, 4500}, pattern(4500)).code, 0x200C);
    host.ok(0x95C3, {file, 1000, 0});
    host.ok(0x95C5, {file});
    EXPECT_EQ(storageInfo(host, SD).free, 9000u);

    phone.updateFaults([](Faults& f) { f.storeFull = true; });
    EXPECT_EQ(storageInfo(host, SD).free, 0u);
    EXPECT_EQ(host.run(0x100C, {SD, Root}, objectInfo("x", false, 1)).code, 0x200C);
}

TEST(PhoneEdits, AndroidEditRules) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f.bin", pattern(100));
    RawHost host(phone);
    host.open();
    uint32_t f = host.handles(Internal, Root).at(0);
    // Outside an edit, partial writes and truncation are general errors.
    EXPECT_EQ(host.run(0x95C2, {f, 0, 0, 4}, Bytes{1, 2, 3, 4}).code, 0x2002);
    EXPECT_EQ(host.run(0x95C3, {f, 10, 0}).code, 0x2002);
    EXPECT_EQ(host.run(0x95C5, {f}).code, 0x2002);

    host.ok(0x95C4, {f});
    EXPECT_EQ(host.run(0x95C4, {f}).code, 0x2002);  // one edit per object
    EXPECT_EQ(phone.openEdits(), std::vector<uint32_t>{f});
    EXPECT_EQ(host.run(0x95C2, {f, 101, 0, 1}, Bytes{7}).code, 0x2002);  // would leave a hole
    host.ok(0x95C2, {f, 100, 0, 3}, Bytes{7, 8, 9});                     // appending is fine
    host.ok(0x95C2, {f, 0, 0, 2}, Bytes{0xAA, 0xBB});
    host.ok(0x95C3, {f, 102, 0});
    host.ok(0x95C5, {f});
    EXPECT_TRUE(phone.openEdits().empty());
    Bytes expected = pattern(100);
    expected[0] = 0xAA;
    expected[1] = 0xBB;
    expected.push_back(7);
    expected.push_back(8);
    EXPECT_EQ(phone.readFile(Internal, "f.bin"), expected);
    EXPECT_EQ(host.info(f).second, 102u);
    EXPECT_EQ(host.run(0x95C4, {f + 100}).code, 0x2009);

    // A host that goes away mid-edit: reset closes the session and commits the edit.
    host.ok(0x95C4, {f});
    phone.reset();
    EXPECT_TRUE(phone.openEdits().empty());
}

TEST(PhoneReads, PartialReadsAreTrimmedToTheEndOfTheFile) {
    SimulatedPhone phone;
    Bytes content = pattern(1000);
    phone.addFile(Internal, "f", content);
    RawHost host(phone);
    host.open();
    uint32_t f = host.handles(Internal, Root).at(0);
    RawResult r = host.ok(0x95C1, {f, 900, 0, 500});
    EXPECT_EQ(r.params, std::vector<uint32_t>{100});
    EXPECT_EQ(r.data, Bytes(content.begin() + 900, content.end()));
    r = host.ok(0x101B, {f, 10, 20});
    EXPECT_EQ(r.params, std::vector<uint32_t>{20});
    EXPECT_EQ(r.data, Bytes(content.begin() + 10, content.begin() + 30));
    r = host.ok(0x95C1, {f, 5000, 0, 10});
    EXPECT_EQ(r.params, std::vector<uint32_t>{0});
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(host.ok(0x1009, {f}).data, content);
    EXPECT_EQ(host.run(0x95C1, {9999, 0, 0, 10}).code, 0x2009);
}

TEST(PhoneProperties, PropListRulesAndErrors) {
    SimulatedPhone phone;
    phone.addFile(Internal, "Music/a.mp3", pattern(10), 1706745599);
    phone.addFile(Internal, "Music/b.mp3", pattern(20), 1706745599);
    RawHost host(phone);
    host.open();
    uint32_t music = host.handles(Internal, Root).at(0);
    EXPECT_EQ(host.run(0x9805, {music, 0, 0, 0, 1}).code, 0x2006);
    EXPECT_EQ(host.run(0x9805, {music, 0, 0xDC07, 1, 1}).code, 0xA807);
    EXPECT_EQ(host.run(0x9805, {music, 0, 0xDC07, 0, 2}).code, 0xA808);
    EXPECT_EQ(host.run(0x9805, {9999, 0, 0xDC07, 0, 1}).code, 0x2009);

    // Depth 1 lists the children (and hands out their handles); sizes are 64-bit.
    RawResult sizes = host.ok(0x9805, {music, 0, 0xDC04, 0, 1});
    ASSERT_EQ(get32(sizes.data, 0), 2u);
    uint32_t a = get32(sizes.data, 4);
    EXPECT_EQ(get16(sizes.data, 8), 0xDC04);
    EXPECT_EQ(get16(sizes.data, 10), 0x0008);
    EXPECT_EQ(get64(sizes.data, 12), 10u);
    EXPECT_EQ(phone.handleOf(Internal, "Music/a.mp3"), a);

    RawResult date = host.ok(0x9805, {a, 0, 0xDC09, 0, 0});
    ASSERT_EQ(get32(date.data, 0), 1u);
    size_t at = 12;
    EXPECT_EQ(getString(date.data, at).size(), 15u);  // yyyyMMddTHHmmss

    phone.updateFaults([](Faults& f) { f.propListIncludesParent = true; });
    RawResult withSelf = host.ok(0x9805, {music, 0, 0xDC07, 0, 1});
    EXPECT_EQ(get32(withSelf.data, 0), 3u);

    phone.updateFaults([](Faults& f) { f.propListError = mtp::Response::GeneralError; });
    EXPECT_EQ(host.run(0x9805, {music, 0, 0xDC07, 0, 1}).code, 0x2002);

    EXPECT_EQ(host.ok(0x9803, {a, 0xDC04}).data.size(), 8u);
    EXPECT_EQ(host.run(0x9803, {a, 0xDC99}).code, 0xA801);
}

// Zero-length packets after full ones are proven through the session (SessionOnPhone).
TEST(PhoneUSB, BulkOutContainersAreReassembledByTheirLength) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f", pattern(2000));
    RawHost host(phone);
    host.open();
    uint32_t f = host.handles(Internal, Root).at(0);
    const Bytes command = container(1, 0x1008, 99, {f});
    ASSERT_EQ(phone.bulkOut(std::span(command).first(5)), TransferStatus::ok);
    Bytes small(64);
    EXPECT_EQ(phone.bulkIn(small).status, TransferStatus::pending);
    ASSERT_EQ(phone.bulkOut(std::span(command).subspan(5)), TransferStatus::ok);
    Bytes buffer(4096);
    InTransfer t = phone.bulkIn(buffer);
    EXPECT_EQ(t.status, TransferStatus::ok);
    EXPECT_EQ(get16(buffer, 4), 2);
    EXPECT_EQ(get32(buffer, 8), 99u);
}

// The model charges as a wire does: bytes at the link's rate, every packet and transfer, the
// phone's turnaround once per answer; both directions count in the phone's link time.
TEST(PhoneUSB, LinkModelChargesLikeTheWire) {
    using std::chrono::nanoseconds;
    const LinkModel usb2 = LinkModel::usb2();
    // 1 MiB: 2048 packets of 512 bytes, one transfer, 28.34 ms of payload.
    EXPECT_EQ(usb2.transferTime(1 << 20, 512),
              nanoseconds(28'339'891) + 2048 * usb2.perPacket + usb2.perTransfer);
    EXPECT_EQ(usb2.transferTime(0, 512), usb2.perPacket + usb2.perTransfer);
    EXPECT_EQ(usb2.transferTime(12, 512), usb2.transferTime(0, 512) + nanoseconds(324));
    EXPECT_EQ(LinkModel::usb3().transferTime(4096, 1024),
              LinkModel::usb3().transferTime(4096, 4096) + 3 * LinkModel::usb3().perPacket);
    EXPECT_EQ(LinkModel{}.transferTime(1 << 20, 512), nanoseconds(0));
    EXPECT_EQ(LinkModel::named("usb3"), LinkModel::usb3());
    EXPECT_EQ(LinkModel::named("usb1"), std::nullopt);

    PhoneConfig config;
    config.link = usb2;
    SimulatedPhone phone(config);
    phone.addFile(Internal, "f", pattern(1 << 20));
    RawHost host(phone);
    host.open();
    uint32_t f = host.handles(Internal, Root).at(0);
    phone.resetStats();
    Bytes cmd;
    put32(cmd, 28);
    put16(cmd, 1);
    put16(cmd, 0x95C1);
    put32(cmd, 50);
    // 1 MiB - 12 bytes: a data container of exactly 1 MiB, then a zero-length packet.
    for (uint32_t p : {f, 0u, 0u, (1u << 20) - 12}) put32(cmd, p);
    phone.bulkOut(cmd);
    Bytes buffer(1 << 20);
    InTransfer data = phone.bulkIn(buffer);
    InTransfer zero = phone.bulkIn(buffer);
    InTransfer response = phone.bulkIn(buffer);
    EXPECT_EQ(data.delay, usb2.latencyPerTransaction + usb2.transferTime(1 << 20, 512));
    EXPECT_EQ(zero.delay, usb2.transferTime(0, 512));
    EXPECT_EQ(response.delay, usb2.transferTime(16, 512));  // one parameter: the length
    EXPECT_EQ(phone.stats().linkTime,
              usb2.transferTime(28, 512) + data.delay + zero.delay + response.delay);
}

TEST(PhoneEvents, PhoneSideChangesInListedFoldersRaiseEvents) {
    SimulatedPhone phone;
    phone.addFolder(Internal, "DCIM/Camera");
    RawHost host(phone);
    host.open();
    uint32_t dcim = host.handles(Internal, Root).at(0);
    uint32_t camera = host.handles(Internal, dcim).at(0);
    EXPECT_TRUE(host.handles(Internal, camera).empty());
    EXPECT_FALSE(phone.interruptIn());

    phone.addFile(Internal, "DCIM/Camera/IMG_1.jpg", pattern(10));  // the camera took a photo
    auto event = phone.interruptIn();
    ASSERT_TRUE(event);
    uint32_t photo = *phone.handleOf(Internal, "DCIM/Camera/IMG_1.jpg");
    EXPECT_EQ(get16(*event, 4), 4);
    EXPECT_EQ(get16(*event, 6), 0x4002);
    EXPECT_EQ(get32(*event, 12), photo);
    EXPECT_EQ(host.handles(Internal, camera), std::vector<uint32_t>{photo});

    phone.addFile(Internal, "Unlisted/x.txt", {1});  // the top level was listed: one event
    ASSERT_TRUE(phone.interruptIn());
    EXPECT_FALSE(phone.interruptIn());

    ASSERT_TRUE(phone.removeObject(Internal, "DCIM/Camera/img_1.JPG"));
    event = phone.interruptIn();
    ASSERT_TRUE(event);
    EXPECT_EQ(get16(*event, 6), 0x4003);
    EXPECT_EQ(get32(*event, 12), photo);
    EXPECT_EQ(host.run(0x1008, {photo}).code, 0x2009);
}

TEST(PhoneThreads, PhoneSideChangesWhileTheHostLists) {
    SimulatedPhone phone;
    phone.addFolder(Internal, "DCIM");
    RawHost host(phone);
    host.open();
    uint32_t dcim = host.handles(Internal, Root).at(0);
    std::atomic<bool> done = false;
    std::thread camera([&] {
        for (int i = 0; i < 200; ++i) phone.addFile(Internal, "DCIM/p" + std::to_string(i), {1});
        done = true;
    });
    size_t seen = 0;
    while (!done) {
        seen = host.handles(Internal, dcim).size();
        while (phone.interruptIn()) {
        }
    }
    camera.join();
    EXPECT_LE(seen, 200u);
    EXPECT_EQ(host.handles(Internal, dcim).size(), 200u);
}

}  // namespace
}  // namespace phonesim::test
