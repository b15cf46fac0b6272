// MTPEditor against the simulated Android phone: creation, edits and their Android rules.

#include <gtest/gtest.h>

#include <memory>

#include "mtp/MTPCodes.h"
#include "mtp/MTPEditor.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "tests/common/TestSupport.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using testsupport::pattern;

using namespace std::chrono_literals;
using mtp::MTPEditor;
using mtp::MTPError;
using mtp::MTPSession;
using phonesim::Bytes;
using phonesim::Faults;
using phonesim::FaultTrigger;
using phonesim::PhoneConfig;
using phonesim::SimulatedPhone;
using phonesim::SimulatedTransport;
using phonesim::StorageConfig;

constexpr uint32_t Internal = 0x00010001;

struct Connected {
    explicit Connected(SimulatedPhone& phone)
        : session(std::make_unique<SimulatedTransport>(phone, 2s)), editor(session) {
        session.open();
    }
    // A new empty file, as the volume creates one: SendObjectInfo, then an empty SendObject.
    uint32_t createFile(uint32_t parent, const std::string& name) {
        uint32_t handle = editor.createObject(Internal, parent, name, false);
        session.transact(mtp::Op::SendObject, {}, std::span<const uint8_t>());
        return handle;
    }
    MTPSession session;
    MTPEditor editor;
};

TEST(EditorOnPhone, WritesTenMiBInThreeChunksAndCommits) {
    SimulatedPhone phone;
    Connected c(phone);
    uint32_t docs = c.editor.createObject(Internal, mtp::RootParent, "Docs", true);
    uint32_t file = c.createFile(docs, "big.bin");
    EXPECT_EQ(phone.readFile(Internal, "Docs/big.bin"), Bytes{});
    phone.resetStats();

    Bytes content = pattern(10 << 20);
    EXPECT_EQ(c.editor.beginEdit(file, 0, false), 0u);
    c.editor.write(file, 0, content);
    c.editor.recordSize(file, content.size());
    c.editor.endEdit(file);
    EXPECT_EQ(phone.stats().count(mtp::Op::SendPartialObject), 3u);  // 4 + 4 + 2 MiB
    EXPECT_EQ(phone.stats().count(mtp::Op::BeginEditObject), 1u);
    EXPECT_EQ(phone.stats().count(mtp::Op::EndEditObject), 1u);
    EXPECT_EQ(phone.stats().bytesFromHost, content.size() + 3 * 12 + 3 * 28 + 16 + 24 + 16);
    EXPECT_TRUE(phone.openEdits().empty());
    EXPECT_EQ(phone.readFile(Internal, "Docs/big.bin"), content);
    EXPECT_EQ(c.session.entry(file).size, 10u << 20);
}

TEST(EditorOnPhone, EditsFollowAndroidRules) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f.txt", pattern(1000));
    Connected c(phone);
    uint32_t f = c.session.list(Internal, mtp::RootParent).at(0).handle;

    // The size is fetched when the caller does not trust its own.
    EXPECT_EQ(c.editor.beginEdit(f, 0, true), 1000u);
    EXPECT_EQ(c.editor.beginEdit(f, 0, true), 1000u);
    EXPECT_EQ(phone.stats().count(mtp::Op::BeginEditObject), 1u);
    EXPECT_EQ(phone.openEdits(), std::vector<uint32_t>{f});

    // Writing past the edited size needs the object extended first, as the volume does.
    EXPECT_THROW(c.editor.write(f, 2000, pattern(10)), MTPError);
    c.editor.truncate(f, 2000, 1000, false);
    c.editor.write(f, 2000, pattern(10, 5));
    c.editor.truncate(f, 2005, 0, false);
    c.editor.endEdit(f);
    Bytes expected = pattern(1000);
    expected.resize(2000);
    Bytes tail = pattern(5, 5);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(phone.readFile(Internal, "f.txt"), expected);

    // Outside an edit the phone refuses partial writes.
    try {
        c.session.transact(mtp::Op::SendPartialObject, {f, 0, 0, 1}, Bytes{1});
        FAIL();
    } catch (const MTPError& error) {
        EXPECT_EQ(error.response, mtp::Response::GeneralError);
    }
}

TEST(EditorOnPhone, FailedTruncationEndsTheEditOnThePhone) {
    PhoneConfig config;
    config.storages = {StorageConfig{"Internal shared storage", 4096, std::nullopt, false}};
    SimulatedPhone phone(config);
    phone.addFile(Internal, "f", pattern(100));
    Connected c(phone);
    uint32_t f = c.session.list(Internal, mtp::RootParent).at(0).handle;
    try {
        c.editor.beginEdit(f, 10000, false);  // the phone cannot grow it that far
        FAIL();
    } catch (const MTPError& error) {
        EXPECT_EQ(error, MTPError(mtp::Op::TruncateObject, mtp::Response::StoreFull));
    }
    EXPECT_FALSE(c.editor.editedSize(f));
    EXPECT_TRUE(phone.openEdits().empty());
    EXPECT_EQ(phone.stats().count(mtp::Op::EndEditObject), 1u);
    EXPECT_EQ(c.editor.beginEdit(f, 100, false), 100u);  // a fresh edit is possible
}

TEST(EditorOnPhone, CreateRenameAndTheSendObjectPairing) {
    SimulatedPhone phone;
    phone.addFile(Internal, "taken.txt", {1});
    Connected c(phone);
    try {
        (void)c.editor.createObject(Internal, mtp::RootParent, "TAKEN.TXT", false);
        FAIL();
    } catch (const MTPError& error) {
        EXPECT_EQ(error.response, mtp::Response::GeneralError);
    }
    uint32_t file = c.editor.createObject(Internal, mtp::RootParent, "new.txt", false);
    c.session.storages();  // anything in between cancels the announced file
    try {
        c.session.transact(mtp::Op::SendObject, {}, std::span<const uint8_t>());
        FAIL();
    } catch (const MTPError& error) {
        EXPECT_EQ(error.response, mtp::Response::NoValidObjectInfo);
    }
    EXPECT_THROW(c.session.entry(file), MTPError);

    uint32_t again = c.createFile(mtp::RootParent, "new.txt");
    EXPECT_GT(again, file);
    c.editor.rename(again, std::string(300, 'n'));
    EXPECT_EQ(c.session.entry(again).name, std::string(254, 'n'));
}

TEST(EditorOnPhone, PhonesWithoutTheEditExtensionAreReadOnly) {
    SimulatedPhone phone;
    phone.updateFaults([](Faults& f) { f.noEdit = true; });
    Connected c(phone);
    EXPECT_FALSE(c.session.supportsWriting());
    phone.setFaults({});
    Connected d(phone);
    EXPECT_TRUE(d.session.supportsWriting());
}

TEST(EditorOnPhone, StallDuringAWriteStallsTheSession) {
    SimulatedPhone phone;
    phone.addFile(Internal, "f", pattern(10));
    Connected c(phone);
    uint32_t f = c.session.list(Internal, mtp::RootParent).at(0).handle;
    c.editor.beginEdit(f, 10, false);
    phone.updateFaults([](Faults& x) {
        x.stallOut = FaultTrigger::once(mtp::Op::SendPartialObject);
        x.stallInDataPhase = true;
    });
    EXPECT_THROW(c.editor.write(f, 0, pattern(100)), mtp::MTPTransportError);
    EXPECT_TRUE(c.session.isStalled());
    EXPECT_EQ(phone.readFile(Internal, "f"), pattern(10));
}

}  // namespace
