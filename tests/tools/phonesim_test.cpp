// The simulated phone answers as an Android phone does: sessions, objects, edits, properties,
// storage space, events, and the bulk pipes under it; and phonels' listing of it.

#include <gtest/gtest.h>

#include <sstream>

#include "mtp/ByteReader.h"
#include "mtp/Container.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/PTPString.h"
#include "tests/common/TestSupport.h"
#include "tools/phonels/PhoneLister.h"
#include "tools/phonesim/DemoContent.h"
#include "tools/phonesim/SimulatedPhone.h"

namespace {

using namespace std::chrono_literals;
using mtp::MTPSession;
using mtp::Op;
using mtp::Prop;
using mtp::Response;
using phonesim::Bytes;
using phonesim::Faults;
using phonesim::PhoneConfig;
using phonesim::SimulatedPhone;
using testsupport::connectPhone;
using testsupport::pattern;
using testsupport::ptpString;

constexpr uint32_t Internal = 0x00010001;
constexpr uint32_t SD = 0x00020001;
constexpr uint32_t Root = mtp::RootParent;

// The phone's response to one transaction.
Response answer(MTPSession& s, Op op, const std::vector<uint32_t>& params = {},
                std::optional<std::span<const uint8_t>> dataOut = std::nullopt) {
    try {
        s.transact(op, params, dataOut);
        return Response::OK;
    } catch (const mtp::MTPError& error) {
        return error.response;
    }
}

// One request of a script and the response the phone must give to it.
struct Step {
    Op op;
    std::vector<uint32_t> params;
    Response response = Response::OK;
    std::optional<Bytes> data = std::nullopt;
};

void expectAnswers(MTPSession& s, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        auto data = step.data ? std::optional<std::span<const uint8_t>>(*step.data) : std::nullopt;
        EXPECT_EQ(answer(s, step.op, step.params, data), step.response)
            << "step " << i << ", operation " << std::hex << mtp::wire(step.op);
    }
}

// The ObjectInfo a host sends with SendObjectInfo, announcing size bytes.
Bytes announce(std::string_view name, uint32_t size = 0, bool folder = false) {
    Bytes info = mtp::encodeObjectInfo(0, name, folder);
    for (int i = 0; i < 4; ++i) info[8 + i] = static_cast<uint8_t>(size >> 8 * i);
    return info;
}

std::vector<uint32_t> handles(MTPSession& s, uint32_t storage, uint32_t parent) {
    return mtp::ByteReader(s.transact(Op::GetObjectHandles, {storage, 0, parent})).readArrayU32();
}

mtp::StorageInfo storageInfo(MTPSession& s, uint32_t storage) {
    return mtp::parseStorageInfo(s.transact(Op::GetStorageInfo, {storage}));
}

// A file made as a host makes one: SendObjectInfo, then SendObject; returns its handle.
uint32_t sendFile(MTPSession& s, uint32_t storage, uint32_t parent, std::string_view name,
                  const Bytes& content) {
    s.transact(Op::SendObjectInfo, {storage, parent},
               announce(name, static_cast<uint32_t>(content.size())));
    uint32_t handle = s.responseParams().at(2);
    s.transact(Op::SendObject, {}, content);
    return handle;
}

uint32_t makeFolder(MTPSession& s, uint32_t storage, uint32_t parent, std::string_view name) {
    s.transact(Op::SendObjectInfo, {storage, parent}, announce(name, 0, true));
    return s.responseParams().at(2);
}

TEST(PhoneSession, SessionsAndWhatDeviceInfoOffers) {
    SimulatedPhone phone;
    MTPSession first(std::make_unique<phonesim::SimulatedTransport>(phone, 2s));
    EXPECT_EQ(answer(first, Op::GetStorageIDs), Response::SessionNotOpen);
    EXPECT_EQ(answer(first, Op::GetDeviceInfo), Response::OK);  // needs no session
    EXPECT_EQ(answer(first, Op::OpenSession, {1}), Response::OK);
    EXPECT_EQ(answer(first, Op::OpenSession, {1}), Response::SessionAlreadyOpen);
    // A host process that went away leaves the session open, as on a phone; reset closes it.
    phone.reset();
    EXPECT_FALSE(phone.isSessionOpen());

    const std::vector<Op> optional{
        Op::GetPartialObject64, Op::SendPartialObject,  Op::TruncateObject,   Op::BeginEditObject,
        Op::EndEditObject,      Op::GetObjectPropValue, Op::GetObjectPropList};
    auto full = connectPhone(phone);
    for (Op op : optional) EXPECT_TRUE(full->supports(op)) << mtp::wire(op);
    EXPECT_TRUE(full->supportsWriting());
    EXPECT_EQ(mtp::ByteReader(full->transact(Op::GetDevicePropValue, {0xD402})).readString(),
              "Simulated Phone");  // libmtp reads it
    EXPECT_EQ(answer(*full, Op::GetDevicePropValue, {0x5003}), Response::DevicePropNotSupported);

    // Without the features, their operations are neither listed nor served.
    phone.updateFaults(
        [](Faults& f) { f.noEdit = f.no64bit = f.noPropList = f.noPropValue = true; });
    auto bare = connectPhone(phone);
    for (Op op : optional) EXPECT_FALSE(bare->supports(op)) << mtp::wire(op);
    EXPECT_TRUE(bare->supports(Op::SendObjectInfo) && bare->supports(Op::SendObject));
    EXPECT_EQ(answer(*bare, Op::GetPartialObject64, {1, 0, 0, 10}),
              Response::OperationNotSupported);
}

TEST(PhoneObjects, SendObjectInfoCreatesFoldersAtOnceAndFilesWithSendObject) {
    SimulatedPhone phone;
    auto s = connectPhone(phone);
    uint32_t folder = makeFolder(*s, Internal, Root, "Docs");
    EXPECT_EQ(handles(*s, Internal, Root), std::vector<uint32_t>{folder});

    s->transact(Op::SendObjectInfo, {Internal, folder}, announce("a.txt", 5));
    EXPECT_EQ(s->responseParams(), (std::vector<uint32_t>{Internal, folder, folder + 1}));
    EXPECT_FALSE(phone.readFile(Internal, "Docs/a.txt"));  // not before SendObject
    s->transact(Op::SendObject, {}, Bytes{'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(phone.readFile(Internal, "docs/A.TXT"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(handles(*s, Internal, folder), std::vector<uint32_t>{folder + 1});

    // Any other operation between the two cancels the file.
    s->transact(Op::SendObjectInfo, {Internal, folder}, announce("b.txt", 3));
    s->transact(Op::GetStorageIDs);
    EXPECT_EQ(answer(*s, Op::SendObject, {}, Bytes{1, 2, 3}), Response::NoValidObjectInfo);
    EXPECT_FALSE(phone.readFile(Internal, "Docs/b.txt"));
    EXPECT_EQ(answer(*s, Op::SendObject, {}, Bytes{}), Response::NoValidObjectInfo);

    // An empty SendObject makes an empty file; the top level answers parent 0.
    s->transact(Op::SendObjectInfo, {Internal, Root}, announce("empty.bin"));
    EXPECT_EQ(s->responseParams().at(1), 0u);
    s->transact(Op::SendObject, {}, Bytes{});
    EXPECT_EQ(phone.readFile(Internal, "empty.bin"), Bytes{});
}

TEST(PhoneObjects, NamesClashCaseInsensitivelyAndPropertyListsFollowHostRules) {
    SimulatedPhone phone;
    phone.addFile(Internal, "Straße.txt", {1});
    phone.addFile(Internal, "photo.JPG", {2});
    phone.addFile(Internal, "Sub/PHOTO.jpg", {3});
    auto s = connectPhone(phone);
    handles(*s, Internal, Root);
    const uint32_t sub = *phone.handleOf(Internal, "Sub");
    const uint32_t photo = *phone.handleOf(Internal, "photo.jpg");
    const uint32_t size = mtp::wire(Prop::ObjectSize), name = mtp::wire(Prop::ObjectFileName);
    const std::vector<uint32_t> top{Internal, Root}, rename{photo, name};
    expectAnswers(
        *s,
        {
            {Op::SendObjectInfo, top, Response::GeneralError, announce("PHOTO.jpg")},
            {Op::SendObjectInfo, top, Response::GeneralError, announce("STRASSE.TXT")},
            {Op::SendObjectInfo, top, Response::InvalidParameter, announce(".", 0, true)},
            {Op::SendObjectInfo, top, Response::InvalidParameter, announce("..", 0, true)},
            {Op::SendObjectInfo, top, Response::InvalidParameter, announce("a/b", 0, true)},
            {Op::SendObjectInfo, top, Response::InvalidParameter, announce("", 0, true)},
            // Renaming: only the file name can be set; clashes and bad names refused.
            {Op::SetObjectPropValue, rename, Response::GeneralError, ptpString("strasse.txt")},
            {Op::SetObjectPropValue, rename, Response::InvalidParameter, ptpString("..")},
            {Op::SetObjectPropValue, rename, Response::OK, ptpString("Photo.jpg")},
            {Op::SetObjectPropValue, {photo, size}, Response::AccessDenied, Bytes(8)},
            {Op::SetObjectPropValue, {photo, 0xDC99}, Response::InvalidObjectPropCode, Bytes(8)},
            // Moving: not over a name taken in the folder, not into itself.
            {Op::MoveObject, {photo, Internal, sub}, Response::GeneralError},
            {Op::MoveObject, {sub, Internal, sub}, Response::InvalidParentObject},
        });
    EXPECT_EQ(mtp::parseObjectInfo(s->transact(Op::GetObjectInfo, {photo})).filename, "Photo.jpg");

    // The property list as hosts ask for it: one property, no group, the children (depth 1).
    const Op list = Op::GetObjectPropList;
    expectAnswers(*s, {{list, {sub, 0, 0, 0, 1}, Response::ParameterNotSupported},
                       {list, {sub, 0, name, 1, 1}, Response::SpecificationByGroupUnsupported},
                       {list, {sub, 0, name, 0, 2}, Response::SpecificationByDepthUnsupported},
                       {list, {9999, 0, name, 0, 1}, Response::InvalidObjectHandle}});
    // Listing the children hands out their handles, as GetObjectHandles does.
    auto names = mtp::parseObjectPropList(s->transact(list, {sub, 0, name, 0, 1}));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(phone.handleOf(Internal, "Sub/PHOTO.jpg"), names[0].handle);
    EXPECT_EQ(names[0].text, "PHOTO.jpg");
    EXPECT_EQ(answer(*s, Op::GetObjectPropValue, {names[0].handle, 0xDC99}),
              Response::InvalidObjectPropCode);
}

TEST(PhoneObjects, HandlesAreHandedOutWhenListedAndNeverReused) {
    SimulatedPhone phone;
    phone.addFile(Internal, "DCIM/Camera/a.jpg", {1});
    phone.addFile(Internal, "DCIM/Camera/b.jpg", {2});
    auto s = connectPhone(phone);
    EXPECT_EQ(answer(*s, Op::GetObjectInfo, {1}), Response::InvalidObjectHandle);
    ASSERT_EQ(handles(*s, Internal, Root), std::vector<uint32_t>{1});
    EXPECT_FALSE(phone.handleOf(Internal, "DCIM/Camera"));
    const uint32_t camera = handles(*s, Internal, 1).at(0);
    EXPECT_EQ(camera, 2u);
    EXPECT_EQ(handles(*s, Internal, camera), (std::vector<uint32_t>{3, 4}));
    EXPECT_EQ(handles(*s, Internal, camera), (std::vector<uint32_t>{3, 4}));  // stable

    s->transact(Op::DeleteObject, {3, 0});
    EXPECT_EQ(answer(*s, Op::GetObjectInfo, {3}), Response::InvalidObjectHandle);
    EXPECT_EQ(sendFile(*s, Internal, camera, "a.jpg", {9}), 5u);
    EXPECT_EQ(handles(*s, Internal, camera), (std::vector<uint32_t>{4, 5}));
    EXPECT_EQ(answer(*s, Op::GetObjectHandles, {Internal, 0, 4}), Response::InvalidParentObject);
}

TEST(PhoneObjects, StorageSpaceFollowsWhatIsStoredAndIsNeverOverfilled) {
    PhoneConfig config;
    config.storages = {{"Internal shared storage", 10000, std::nullopt, false},
                       {"SD card", 10000, std::nullopt, true}};
    SimulatedPhone phone(config);
    auto s = connectPhone(phone);
    EXPECT_EQ(mtp::ByteReader(s->transact(Op::GetStorageIDs)).readArrayU32(),
              (std::vector<uint32_t>{Internal, SD}));
    EXPECT_EQ(storageInfo(*s, SD), (mtp::StorageInfo{10000, 10000, "SD card"}));

    // Deleting a folder removes everything inside and frees the space.
    const uint32_t a = makeFolder(*s, Internal, Root, "A");
    const uint32_t b = makeFolder(*s, Internal, a, "B");
    const uint32_t f1 = sendFile(*s, Internal, a, "one", pattern(1000));
    const uint32_t f2 = sendFile(*s, Internal, b, "two", pattern(3000));
    EXPECT_EQ(storageInfo(*s, Internal).freeSpaceInBytes, 6000u);
    s->transact(Op::DeleteObject, {a, 0});
    for (uint32_t h : {a, b, f1, f2}) {
        EXPECT_EQ(answer(*s, Op::GetObjectInfo, {h}), Response::InvalidObjectHandle);
    }
    EXPECT_TRUE(phone.listAll().empty());
    EXPECT_EQ(storageInfo(*s, Internal).freeSpaceInBytes, 10000u);

    const uint32_t file = sendFile(*s, SD, Root, "f", pattern(6000));
    EXPECT_EQ(storageInfo(*s, SD).freeSpaceInBytes, 4000u);
    EXPECT_EQ(storageInfo(*s, Internal).freeSpaceInBytes, 10000u);
    expectAnswers(
        *s, {
                {Op::SendObjectInfo, {SD, Root}, Response::StoreFull, announce("g", 5000)},
                // A SendObject bigger than its announcement still cannot overfill the storage.
                {Op::SendObjectInfo, {SD, Root}, Response::OK, announce("h", 10)},
                {Op::SendObject, {}, Response::StoreFull, pattern(5000)},
                // Nor can an edit.
                {Op::BeginEditObject, {file}},
                {Op::TruncateObject, {file, 12000, 0}, Response::StoreFull},
                {Op::SendPartialObject, {file, 6000, 0, 4500}, Response::StoreFull, pattern(4500)},
                {Op::TruncateObject, {file, 1000, 0}},
                {Op::EndEditObject, {file}},
            });
    EXPECT_FALSE(phone.readFile(SD, "h"));
    EXPECT_EQ(storageInfo(*s, SD).freeSpaceInBytes, 9000u);

    phone.updateFaults([](Faults& f) { f.storeFull = true; });
    EXPECT_EQ(storageInfo(*s, SD).freeSpaceInBytes, 0u);
    EXPECT_EQ(answer(*s, Op::SendObjectInfo, {SD, Root}, announce("x", 1)), Response::StoreFull);
}

TEST(PhoneEdits, AndroidEditRules) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f.bin", pattern(100));
    auto s = connectPhone(phone);
    const uint32_t f = handles(*s, Internal, Root).at(0);
    expectAnswers(
        *s,
        {
            // Outside an edit, partial writes and truncation are general errors.
            {Op::SendPartialObject, {f, 0, 0, 4}, Response::GeneralError, Bytes{1, 2, 3, 4}},
            {Op::TruncateObject, {f, 10, 0}, Response::GeneralError},
            {Op::EndEditObject, {f}, Response::GeneralError},
            {Op::BeginEditObject, {f}},
            {Op::BeginEditObject, {f}, Response::GeneralError},  // one edit per object
            {Op::SendPartialObject, {f, 101, 0, 1}, Response::GeneralError, Bytes{7}},  // a hole
            {Op::SendPartialObject, {f, 100, 0, 3}, Response::OK, Bytes{7, 8, 9}},      // appending
            {Op::SendPartialObject, {f, 0, 0, 2}, Response::OK, Bytes{0xAA, 0xBB}},
            {Op::TruncateObject, {f, 102, 0}},
            {Op::EndEditObject, {f}},
            {Op::BeginEditObject, {f + 100}, Response::InvalidObjectHandle},
        });
    Bytes expected = pattern(100);
    expected[0] = 0xAA;
    expected[1] = 0xBB;
    expected.insert(expected.end(), {7, 8});
    EXPECT_EQ(phone.readFile(Internal, "f.bin"), expected);
    EXPECT_EQ(mtp::parseObjectInfo(s->transact(Op::GetObjectInfo, {f})).compressedSize, 102u);

    // A host that goes away mid-edit: reset closes the session and commits the edit.
    s->transact(Op::BeginEditObject, {f});
    phone.reset();
    EXPECT_TRUE(phone.openEdits().empty());
}

// Bulk OUT containers are reassembled by their length (zero-length packets after full ones are
// proven through the session, PhoneTransportTest); phone-side changes raise events only for
// folders a host has listed.
TEST(PhoneUSB, BulkOutIsReassembledAndEventsFollowListedFolders) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f", pattern(2000));
    phone.addFolder(Internal, "DCIM/Camera");
    auto s = connectPhone(phone);
    handles(*s, Internal, Root);
    const uint32_t f = *phone.handleOf(Internal, "f");
    const auto command = mtp::buildCommand(Op::GetObjectInfo, 99, std::vector<uint32_t>{f});
    ASSERT_EQ(phone.bulkOut(command.bytes().first(5)), phonesim::TransferStatus::ok);
    Bytes buffer(4096);
    EXPECT_EQ(phone.bulkIn(buffer).status, phonesim::TransferStatus::pending);
    ASSERT_EQ(phone.bulkOut(command.bytes().subspan(5)), phonesim::TransferStatus::ok);
    EXPECT_EQ(phone.bulkIn(buffer).status, phonesim::TransferStatus::ok);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).type, mtp::ContainerType::Data);
    EXPECT_EQ(mtp::parseContainerHeader(buffer).transactionID, 99u);

    phone.addFile(Internal, "DCIM/Camera/IMG_0.jpg", pattern(10));  // Camera was never listed
    EXPECT_FALSE(phone.interruptIn());

    phone.addFile(Internal, "IMG_1.jpg", pattern(10));  // the top level was listed
    std::optional<Bytes> event = phone.interruptIn();
    ASSERT_TRUE(event);
    EXPECT_EQ(mtp::parseContainerHeader(*event).type, mtp::ContainerType::Event);
    EXPECT_EQ(mtp::parseContainerHeader(*event).code, mtp::wire(mtp::Event::ObjectAdded));
    EXPECT_FALSE(phone.interruptIn());
}

std::string listing(SimulatedPhone& phone, phonels::ListOptions options = {}) {
    std::ostringstream out;
    phonels::listPhone(*testsupport::connectPhone(phone), out, options);
    return out.str();
}

TEST(Phonels, PrintsStoragesAndAnAlignedTreeFromPropListsOrObjectInfo) {
    phonesim::PhoneConfig config;
    config.storages = {
        phonesim::StorageConfig{"Internal shared storage", 2'000'000, std::nullopt, false}};
    SimulatedPhone phone(config);
    phone.addFile(Internal, "Download/b.pdf", Bytes(183'201), 1706745599);
    phone.addFile(Internal, "Download/a-long-name.txt", Bytes(12), 1706745599);
    phone.addFolder(Internal, "Alarms");
    std::istringstream lines(listing(phone, phonels::ListOptions{-1, true, true}));
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), 5u);
    for (int i : {3, 4}) got[i].resize(got[i].size() - 18);  // the dates, in local time
    EXPECT_EQ(got,
              (std::vector<std::string>{
                  "Internal shared storage  2.0 MB, 1.8 MB free", "├── Alarms/", "└── Download/",
                  "    ├── a-long-name.txt      12", "    └── b.pdf            183201"}));

    phone.updateFaults([](Faults& f) { f.locked = true; });
    EXPECT_EQ(listing(phone),
              "No storage visible: the phone may be locked; unlock it and try again.\n");

    // Without GetObjectPropList (refused, or not offered: then not even asked for) the same
    // listing comes from GetObjectInfo.
    SimulatedPhone demo(phonesim::demoPhoneConfig());
    phonesim::addDemoContent(demo);
    std::string expected = listing(demo);
    EXPECT_NE(expected.find("IMG_20240131_235959.jpg  2.4 MB"), std::string::npos);
    EXPECT_GT(demo.stats().count(mtp::Op::GetObjectPropList), 0u);
    Faults refused, missing;
    refused.propListError = Response::GeneralError;
    missing.noPropList = true;
    for (const Faults& faults : {refused, missing}) {
        demo.resetStats();
        demo.setFaults(faults);
        EXPECT_EQ(listing(demo), expected);
        EXPECT_GT(demo.stats().count(mtp::Op::GetObjectInfo), 10u);
        EXPECT_EQ(demo.stats().count(mtp::Op::GetObjectPropList) == 0, faults.noPropList);
    }
}

}  // namespace
