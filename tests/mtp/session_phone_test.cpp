// MTPSession against the simulated Android phone, through the in-process transport.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "tests/common/TestSupport.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using testsupport::pattern;
using testsupport::TempDir;

using namespace std::chrono_literals;
using mtp::MTPEntry;
using mtp::MTPError;
using mtp::MTPSession;
using mtp::MTPTransportError;
using phonesim::Bytes;
using phonesim::Faults;
using phonesim::FaultTrigger;
using phonesim::PhoneConfig;
using phonesim::SimulatedPhone;
using phonesim::SimulatedTransport;
using phonesim::StorageConfig;

constexpr uint32_t Internal = 0x00010001;
constexpr uint32_t SD = 0x00020001;
constexpr std::time_t jan31 = 1706745599;

std::unique_ptr<MTPSession> connect(SimulatedPhone& phone, std::chrono::milliseconds timeout = 2s) {
    auto session =
        std::make_unique<MTPSession>(std::make_unique<SimulatedTransport>(phone, timeout));
    session->open();
    return session;
}

Faults faults(void (*set)(Faults&)) {
    Faults f;
    set(f);
    return f;
}

MTPEntry named(const std::vector<MTPEntry>& entries, const std::string& name) {
    for (const MTPEntry& e : entries) {
        if (e.name == name) return e;
    }
    ADD_FAILURE() << "no entry " << name;
    return {};
}

TEST(SessionOnPhone, StoragesAndListingsAgreeBothWays) {
    PhoneConfig config;
    config.storages = {StorageConfig{"Internal shared storage", 1'000'000, std::nullopt, false},
                       StorageConfig{"SD card", 2'000'000, std::nullopt, true}};
    SimulatedPhone phone(config);
    phone.addFile(Internal, "DCIM/Camera/IMG_1.jpg", pattern(1500), jan31);
    phone.addFile(Internal, "DCIM/Camera/IMG_2.jpg", pattern(2500), jan31 + 60);
    phone.addFolder(Internal, "DCIM/Camera/Thumbs");
    auto session = connect(phone);

    std::vector<mtp::MTPStorage> storages = session->storages();
    ASSERT_EQ(storages.size(), 2u);
    EXPECT_EQ(storages[0],
              (mtp::MTPStorage{Internal, "Internal shared storage", 1'000'000, 996'000}));
    EXPECT_EQ(storages[1], (mtp::MTPStorage{SD, "SD card", 2'000'000, 2'000'000}));

    std::vector<MTPEntry> top = session->list(Internal, mtp::RootParent);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_TRUE(top[0].isFolder);
    uint32_t camera = session->list(Internal, top[0].handle).at(0).handle;
    std::vector<MTPEntry> byInfo = session->list(Internal, camera);
    std::vector<MTPEntry> byProps = session->listByPropList(camera);
    EXPECT_EQ(byProps, byInfo);
    MTPEntry second = named(byInfo, "IMG_2.jpg");
    EXPECT_EQ(second.size, 2500u);
    EXPECT_EQ(second.modified, std::chrono::system_clock::from_time_t(jan31 + 60));
    EXPECT_TRUE(named(byInfo, "Thumbs").isFolder);
    EXPECT_EQ(phone.stats().count(mtp::Op::GetObjectPropList), 4u);  // one per property
}

TEST(SessionOnPhone, OpensOverASessionAnotherProgramLeftOpen) {
    SimulatedPhone phone;
    auto probe = connect(phone);  // never sends CloseSession
    probe.reset();
    auto volume = connect(phone);
    EXPECT_TRUE(volume->supportsWriting());
    EXPECT_EQ(volume->transactionID(), 2u);
}

TEST(SessionOnPhone, FailingPropListLeavesListAsTheFallback) {
    SimulatedPhone phone;
    phone.addFile(Internal, "Music/a.mp3", pattern(10));
    phone.addFile(Internal, "Music/b.mp3", pattern(20));
    auto session = connect(phone);
    uint32_t music = session->list(Internal, mtp::RootParent).at(0).handle;
    phone.updateFaults([](Faults& f) { f.propListError = mtp::Response::InvalidObjectPropCode; });
    try {
        session->listByPropList(music);
        FAIL() << "listByPropList succeeded";
    } catch (const MTPError& error) {
        EXPECT_EQ(error,
                  MTPError(mtp::Op::GetObjectPropList, mtp::Response::InvalidObjectPropCode));
    }
    EXPECT_FALSE(session->isStalled());
    std::vector<MTPEntry> entries = session->list(Internal, music);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].name, "b.mp3");
}

TEST(SessionOnPhone, PropListNeverListsTheFolderInsideItself) {
    SimulatedPhone phone;
    phone.addFile(Internal, "Music/a.mp3", pattern(10));
    auto session = connect(phone);
    uint32_t music = session->list(Internal, mtp::RootParent).at(0).handle;
    phone.updateFaults([](Faults& f) { f.propListIncludesParent = true; });
    std::vector<MTPEntry> entries = session->listByPropList(music);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "a.mp3");
}

TEST(SessionOnPhone, SixtyFourBitSizes) {
    TempDir dir;
    PhoneConfig config;
    config.storages = {StorageConfig{"Internal shared storage", 64ull << 30, dir.path(), false}};
    SimulatedPhone phone(config);
    phone.addSparseFile(Internal, "Movies/long.mkv", 5'000'000'000ull);
    {
        int fd = ::open((dir.path() / "Movies" / "long.mkv").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "tail", 4, 4'999'999'996ll), 4);
        ::close(fd);
    }
    auto session = connect(phone);
    uint32_t movies = session->list(Internal, mtp::RootParent).at(0).handle;
    MTPEntry movie = session->list(Internal, movies).at(0);
    EXPECT_EQ(movie.size, 5'000'000'000ull);
    EXPECT_FALSE(movie.sizeUnknown);
    EXPECT_EQ(session->listByPropList(movies).at(0).size, 5'000'000'000ull);
    Bytes tail(16);
    EXPECT_EQ(session->readPartial(movie.handle, 4'999'999'996ull, 16, tail), 4u);
    EXPECT_EQ(std::string(tail.begin(), tail.begin() + 4), "tail");

    // Without GetObjectPropValue, or on a phone whose sizes stop at 32 bits, the size is unknown.
    phone.updateFaults([](Faults& f) { f.noPropValue = true; });
    auto without = connect(phone);
    MTPEntry unknown = without->entry(movie.handle);
    EXPECT_TRUE(unknown.sizeUnknown);
    EXPECT_EQ(unknown.size, 0xFFFFFFFFu);
    phone.setFaults(faults([](Faults& f) { f.sizesUnknownOver4G = true; }));
    auto narrow = connect(phone);
    EXPECT_TRUE(narrow->entry(movie.handle).sizeUnknown);
    // The property-list listing must not take the 32-bit cap for a size either.
    MTPEntry listed = narrow->listByPropList(movies).at(0);
    EXPECT_TRUE(listed.sizeUnknown);
    EXPECT_EQ(listed.size, 0xFFFFFFFFu);

    // Without GetPartialObject64, nothing past 4 GB is asked for.
    phone.setFaults(faults([](Faults& f) { f.no64bit = true; }));
    auto old = connect(phone);
    phone.resetStats();
    try {
        old->readPartial(movie.handle, 4294967290ull, 16, tail);
        FAIL() << "read past 4 GB";
    } catch (const MTPTransportError& error) {
        EXPECT_EQ(error.message, "device cannot read past 4 GB");
    }
    EXPECT_EQ(phone.stats().transactions(), 0u);
    EXPECT_EQ(old->readPartial(movie.handle, 4294967279ull, 16, tail), 16u);
    EXPECT_EQ(phone.stats().count(mtp::Op::GetPartialObject), 1u);
}

TEST(SessionOnPhone, UnknownLengthDataContainers) {
    SimulatedPhone phone;
    Bytes content = pattern(5 << 20);
    phone.addFile(Internal, "f.bin", content);
    phone.setFaults(faults([](Faults& f) { f.unknownLengthData = true; }));
    auto session = connect(phone);
    ASSERT_EQ(session->storages().size(), 1u);
    uint32_t f = session->list(Internal, mtp::RootParent).at(0).handle;
    // 1 MiB - 12 fills one read exactly; the zero-length packet after it ends the data.
    for (uint32_t length : {100u, (1u << 20) - 12, 1u << 20, 4u << 20}) {
        Bytes out(length);
        ASSERT_EQ(session->readPartial(f, 7, length, out), length) << length;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), content.begin() + 7)) << length;
    }
}

TEST(SessionOnPhone, TruncatedDatasetsStillYieldEntries) {
    SimulatedPhone phone;
    phone.addFile(Internal, "notes.txt", pattern(42));
    phone.setFaults(faults([](Faults& f) {
        f.objectInfoLength = 52;
        f.storageInfoLength = 14;
    }));
    auto session = connect(phone);
    std::vector<mtp::MTPStorage> storages = session->storages();
    ASSERT_EQ(storages.size(), 1u);
    EXPECT_EQ(storages[0].free, 0u);
    EXPECT_EQ(storages[0].name, "");
    MTPEntry entry = session->list(Internal, mtp::RootParent).at(0);
    EXPECT_EQ(entry.size, 42u);
    EXPECT_EQ(entry.name, "");
}

TEST(SessionOnPhone, TransportFaults) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f", pattern(4000));
    auto session = connect(phone, 200ms);
    uint32_t f = session->list(Internal, mtp::RootParent).at(0).handle;

    // A read that never answers times out; the session stays usable.
    phone.updateFaults(
        [](Faults& x) { x.neverAnswer = FaultTrigger::once(mtp::Op::GetObjectInfo); });
    EXPECT_THROW(session->entry(f), MTPTransportError);
    EXPECT_FALSE(session->isStalled());
    EXPECT_EQ(session->entry(f).size, 4000u);

    phone.updateFaults([](Faults& x) { x.wrongTransactionID = FaultTrigger::next(); });
    try {
        session->storages();
        FAIL();
    } catch (const MTPTransportError& error) {
        EXPECT_EQ(error.message, "response for another transaction");
    }
    EXPECT_EQ(session->storages().size(), 1u);

    // The vendor quirk hangs a partial read whose last packet is exactly 512 bytes.
    phone.updateFaults([](Faults& x) { x.partialReadHangQuirk = true; });
    Bytes out(1012);
    EXPECT_THROW(session->readPartial(f, 0, 1012, out), MTPTransportError);
    EXPECT_EQ(session->readPartial(f, 0, 1000, out), 1000u);

    // A stalled write ends the session for good, without another word to the phone.
    phone.updateFaults([](Faults& x) { x.stallOut = FaultTrigger::once(mtp::Op::GetObjectInfo); });
    EXPECT_THROW(session->entry(f), MTPTransportError);
    EXPECT_TRUE(session->isStalled());
    phone.resetStats();
    try {
        session->storages();
        FAIL();
    } catch (const MTPTransportError& error) {
        EXPECT_EQ(error.message, "device stopped responding; reconnect it");
    }
    EXPECT_EQ(phone.stats().transfersOut, 0u);
}

TEST(SessionOnPhone, UnplugInTheMiddleOfARead) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f", pattern(3 << 20));
    auto session = connect(phone);
    uint32_t f = session->list(Internal, mtp::RootParent).at(0).handle;
    phone.updateFaults([](Faults& x) { x.unplugAfterBytes = 1'500'000; });
    Bytes out(3 << 20);
    EXPECT_THROW(session->readPartial(f, 0, 3 << 20, out), MTPTransportError);
    EXPECT_TRUE(phone.isUnplugged());
    EXPECT_THROW(session->storages(), MTPTransportError);
}

}  // namespace
