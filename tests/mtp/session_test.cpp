// Transaction rules, the session's queries, the editor's bookkeeping and the read-ahead's
// requests, against scripted USB traffic.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "mtp/MTPCodes.h"
#include "mtp/MTPEditor.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/ReadAhead.h"
#include "tests/common/TestSupport.h"
#include "tests/mtp/ScriptedTransport.h"

using namespace mtp;
using namespace mtptest;

namespace {

using testsupport::pattern;
using testsupport::ptpString;

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

Bytes handles(const std::vector<uint32_t>& list) {
    Bytes bytes;
    appendU32(bytes, static_cast<uint32_t>(list.size()));
    for (uint32_t h : list) appendU32(bytes, h);
    return bytes;
}

Bytes objectInfo(Format format, uint32_t size, std::string_view name,
                 std::string_view modified = "") {
    Bytes bytes;
    appendU32(bytes, 0x10001);
    appendU16(bytes, wire(format));
    appendU16(bytes, 0);
    appendU32(bytes, size);
    bytes.resize(bytes.size() + 40);
    appendPTPString(bytes, name);
    appendPTPString(bytes, "");
    appendPTPString(bytes, modified);
    return bytes;
}

// The text of the MTPTransportError that call throws.
std::string transportFailure(const std::function<void()>& call) {
    return testsupport::transportFailure(call).message;
}

class SessionTest : public ::testing::Test {
  protected:
    void openWith(std::vector<Op> operations) {
        phone->respond([operations](const Command& command) {
            if (command.op == Op::GetDeviceInfo) return Reply{deviceInfo(operations)};
            return Reply{};
        });
        session.open();
        phone->respond(nullptr);
        phone->clearRecords();
    }

    ScriptedTransport* phone = new ScriptedTransport;  // owned by the session
    MTPSession session{std::unique_ptr<BulkTransport>(phone)};
};

TEST_F(SessionTest, OpenAcceptsOnlyOKOrSessionAlreadyOpen) {
    phone->respond([](const Command& command) {
        if (command.op == Op::OpenSession) return Reply{std::nullopt, Response::SessionAlreadyOpen};
        return Reply{
            deviceInfo({Op::GetObjectPropList, Op::SendObjectInfo, Op::SendObject, Op::DeleteObject,
                        Op::SendPartialObject, Op::TruncateObject, Op::BeginEditObject})};
    });
    session.open();
    EXPECT_EQ(phone->commands,
              (std::vector<Command>{{Op::OpenSession, 1, {1}}, {Op::GetDeviceInfo, 2, {}}}));
    EXPECT_TRUE(session.supports(Op::GetObjectPropList));
    EXPECT_FALSE(session.supportsWriting());  // EndEditObject is missing
    openWith({Op::SendObjectInfo, Op::SendObject, Op::DeleteObject, Op::SendPartialObject,
              Op::TruncateObject, Op::BeginEditObject, Op::EndEditObject});
    EXPECT_TRUE(session.supportsWriting());

    auto busy = std::make_unique<ScriptedTransport>();
    busy->respond([](const Command&) { return Reply{std::nullopt, Response::DeviceBusy}; });
    ScriptedTransport& scripted = *busy;
    MTPSession refused(std::move(busy));
    EXPECT_THROW(refused.open(), MTPError);
    EXPECT_EQ(scripted.ops(), std::vector<Op>{Op::OpenSession});
    EXPECT_TRUE(refused.operations().empty());
}

TEST_F(SessionTest, DataPhasesStreamThroughTheSinkOrAreCappedOrCutToTheDestination) {
    Bytes payload = pattern(2 * MiB + MiB / 2, 3);
    phone->respond([&](const Command&) { return Reply{payload}; });
    Bytes collected;
    std::vector<size_t> chunks;
    Bytes result =
        session.transact(Op::GetPartialObject64, {5, 0, 0, 0xFFFFFFFF}, std::nullopt,
                         [&](std::span<const uint8_t> chunk) {
                             chunks.push_back(chunk.size());
                             collected.insert(collected.end(), chunk.begin(), chunk.end());
                         });
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(collected, payload);
    EXPECT_EQ(chunks, (std::vector<size_t>{MiB - 12, MiB, MiB / 2 + 12}));

    // A data phase that does not end is cut off without a sink; a sink takes it all.
    phone->respond(nullptr);
    Bytes endless(MTPSession::maxCollected + MiB, 7);
    phone->queueData(Op::GetObjectPropList, 2, endless, unknownContainerLength);
    phone->queueResponse(Response::OK, 2);
    EXPECT_EQ(transportFailure([&] { (void)session.transact(Op::GetObjectPropList); }),
              "data phase longer than 64 MiB");
    phone->queueData(Op::GetPartialObject64, 3, endless, unknownContainerLength);
    phone->queueResponse(Response::OK, 3);
    size_t streamed = 0;
    (void)session.transact(Op::GetPartialObject64, {}, std::nullopt,
                           [&](std::span<const uint8_t> chunk) { streamed += chunk.size(); });
    EXPECT_EQ(streamed, endless.size());

    // readPartial copies into the destination only: what the phone sends beyond it is dropped.
    openWith({Op::GetPartialObject64});
    Bytes more = pattern(MiB + 500, 9);
    phone->respond([&](const Command&) { return Reply{more}; });
    Bytes destination(MiB + 100, 0);
    uint64_t offset = (5ull << 32) + 3;
    EXPECT_EQ(session.readPartial(7, offset, MiB + 100, std::span(destination).first(MiB + 10)),
              MiB + 10);
    EXPECT_EQ(phone->commands.back().params, (std::vector<uint32_t>{7, 3, 5, MiB + 100}));
    EXPECT_TRUE(std::equal(destination.begin(), destination.begin() + MiB + 10, more.begin()));
    EXPECT_EQ(destination[MiB + 10], 0);

    // The object ends early: fewer bytes than asked.
    phone->respond([&](const Command&) { return Reply{pattern(5)}; });
    EXPECT_EQ(session.readPartial(7, 0, 100, destination), 5u);
}

// Whatever a confused phone sends before it falls silent, the transaction fails with a transport
// error naming it, the input is drained once, and the next transaction starts afresh.
TEST_F(SessionTest, ConfusedPhonesFailTheTransactionAndAreDrained) {
    const Bytes zlp;
    const auto data = [](uint32_t id, size_t size) {
        return buildDataContainer(Op::GetObjectInfo, id, pattern(size));
    };
    const auto response = [](uint32_t id) { return ScriptedTransport::response(Response::OK, id); };
    Bytes event = response(5), longer = data(2, 100), cut = data(7, 3 * MiB);
    event[4] = wire(ContainerType::Event);
    longer[0] = 200;  // announces more than it sends
    cut.resize(MiB);  // the first MiB of a 3 MiB container
    struct Case {
        std::vector<Bytes> in;  // case i answers transaction i + 1
        const char* message;
    };
    const Case cases[] = {
        {{zlp, zlp, zlp, response(1)}, "device sent only zero-length packets"},
        {{longer, zlp, zlp, zlp}, "device sent only zero-length packets"},
        {{response(9), Bytes{1, 2, 3}}, "response for another transaction"},
        {{data(3, 10)}, "data for another transaction"},
        {{event}, "expected a response container, got type 4"},
        {{data(6, 4), data(6, 4)}, "expected a response container, got type 2"},
        {{cut}, "LIBUSB_ERROR_TIMEOUT"},
    };
    for (const Case& c : cases) {
        phone->clearRecords();
        for (const Bytes& transfer : c.in) phone->queueIn(transfer);
        phone->queueReadFailure("LIBUSB_ERROR_TIMEOUT");
        EXPECT_EQ(transportFailure([&] { session.transact(Op::GetObjectInfo, {1}); }), c.message);
        EXPECT_EQ(phone->drains, 1u) << c.message;
        EXPECT_EQ(phone->queued(), 0u) << c.message;
    }
    EXPECT_FALSE(session.isStalled());  // only failed writes stall

    // Two zero-length packets are skipped; the next transaction moves on.
    phone->queueZeroLength();
    phone->queueZeroLength();
    phone->queueResponse(Response::OK, 8, {7});
    session.transact(Op::CloseSession);
    EXPECT_EQ(session.responseParams(), std::vector<uint32_t>{7});

    // A proper refusal is an MTPError with its parameters, and nothing to drain.
    phone->clearRecords();
    phone->respond([](const Command&) { return Reply{std::nullopt, Response::StoreFull, {9, 8}}; });
    EXPECT_THROW(session.transact(Op::SendObjectInfo, {1, 2}), MTPError);
    EXPECT_EQ(session.responseParams(), (std::vector<uint32_t>{9, 8}));
    EXPECT_EQ(phone->drains, 0u);

    // A sink that throws is handled like any other failure.
    phone->respond([](const Command&) { return Reply{pattern(10)}; });
    EXPECT_THROW(
        session.transact(Op::GetObjectInfo, {1}, std::nullopt,
                         [](std::span<const uint8_t>) { throw std::runtime_error("full"); }),
        std::runtime_error);
    EXPECT_EQ(phone->drains, 1u);

    // Caller errors are refused before anything is sent.
    EXPECT_EQ(transportFailure([&] {
                  session.transact(Op::GetObjectPropList, {1, 2, 3, 4, 5, 6});
              }),
              "too many parameters for one command");
    EXPECT_EQ(session.transactionID(), 10u);
}

// A failed command or data write leaves the phone in an unknown state: nothing more is sent.
TEST_F(SessionTest, AFailedWriteStallsTheSessionForGood) {
    for (size_t failing : {0u, 1u}) {
        SCOPED_TRACE(failing);
        auto owned = std::make_unique<ScriptedTransport>();
        ScriptedTransport& scripted = *owned;
        MTPSession stalled(std::move(owned));
        scripted.failWriteAt = failing;  // the command, the data container
        scripted.queueIn(Bytes{0xAB});
        EXPECT_EQ(transportFailure([&] { stalled.transact(Op::SendObject, {}, Bytes{}); }),
                  "write failed");
        EXPECT_TRUE(stalled.isStalled());
        size_t writes = scripted.writes.size();
        EXPECT_EQ(transportFailure([&] { stalled.transact(Op::CloseSession); }),
                  "device stopped responding; reconnect it");
        EXPECT_EQ(transportFailure([&] { stalled.storages(); }),
                  "device stopped responding; reconnect it");
        EXPECT_EQ(scripted.writes.size(), writes);
        EXPECT_EQ(scripted.reads, 0u);
        EXPECT_EQ(stalled.transactionID(), 1u);
    }
}

TEST_F(SessionTest, StoragesAndListingsInThePhonesOrder) {
    phone->respond([](const Command& command) {
        if (command.op == Op::GetStorageIDs) return Reply{handles({0x20001, 0x10001})};
        Bytes info;
        for (uint16_t field : {3, 2, 0}) appendU16(info, field);  // storage, file system, access
        appendU64(info, command.params[0]);
        if (command.params[0] == 0x10001) {
            appendU64(info, 5);
            appendU32(info, 0);
            appendPTPString(info, "Internal");
        }
        return Reply{info};
    });
    EXPECT_EQ(session.storages(), (std::vector<MTPStorage>{{0x20001, "", 0x20001, 0},
                                                           {0x10001, "Internal", 0x10001, 5}}));

    // A listing asks for each object in the given order.
    phone->respond([](const Command& command) {
        if (command.op == Op::GetObjectHandles) {
            EXPECT_EQ(command.params, (std::vector<uint32_t>{0x10001, 0, RootParent}));
            return Reply{handles({12, 13, 11})};
        }
        if (command.params[0] == 12) return Reply{objectInfo(Format::Association, 0, "DCIM")};
        // Deleted on the phone after GetObjectHandles: left out of the listing.
        if (command.params[0] == 13) return Reply{std::nullopt, Response::InvalidObjectHandle};
        return Reply{objectInfo(Format::EXIFJPEG, 1234, "a.jpg", "20240131T235959.0Z")};
    });
    EXPECT_EQ(session.list(0x10001, RootParent),
              (std::vector<MTPEntry>{
                  {12, "DCIM", 0, true, std::nullopt, false},
                  {11, "a.jpg", 1234, false, parseMTPDate("20240131T235959"), false}}));

    // Any other failure still fails the whole listing.
    phone->respond([](const Command& command) {
        if (command.op == Op::GetObjectHandles) return Reply{handles({12})};
        return Reply{std::nullopt, Response::GeneralError};
    });
    EXPECT_THROW((void)session.list(0x10001, RootParent), MTPError);
}

// A size of 0xFFFFFFFF is asked for again; whatever keeps the answer from being a size leaves it
// unknown, and the entry is still listed.
TEST_F(SessionTest, SixtyFourBitSizeRule) {
    phone->respond(
        [](const Command&) { return Reply{objectInfo(Format::Undefined, 0xFFFFFFFF, "big.mkv")}; });
    EXPECT_TRUE(session.entry(4).sizeUnknown);
    EXPECT_EQ(phone->ops(), std::vector<Op>{Op::GetObjectInfo});  // not supported: not asked

    openWith({Op::GetObjectPropValue});
    struct Case {
        const char* what;
        Reply propValue;
        std::optional<uint64_t> size;  // none: unknown
    };
    for (const Case& c :
         {Case{"8 bytes", Reply{le(5'000'000'000, 8)}, 5'000'000'000},
          Case{"short", Reply{Bytes{1, 2, 3, 4, 5, 6, 7}}, std::nullopt},
          Case{"refused", Reply{std::nullopt, Response::InvalidObjectPropCode}, std::nullopt}}) {
        SCOPED_TRACE(c.what);
        phone->respond([&](const Command& command) {
            if (command.op == Op::GetObjectInfo)
                return Reply{objectInfo(Format::Undefined, 0xFFFFFFFF, "big.mkv")};
            EXPECT_EQ(command.params, (std::vector<uint32_t>{4, wire(Prop::ObjectSize)}));
            return c.propValue;
        });
        MTPEntry entry = session.entry(4);
        EXPECT_EQ(entry.size, c.size.value_or(0xFFFFFFFF));
        EXPECT_EQ(entry.sizeUnknown, !c.size);
    }

    // A transport failure is swallowed as well.
    phone->respond(nullptr);
    phone->queueData(Op::GetObjectInfo, session.transactionID() + 1,
                     objectInfo(Format::Undefined, 0xFFFFFFFF, "big.mkv"));
    phone->queueResponse(Response::OK, session.transactionID() + 1);
    MTPEntry timedOut = session.entry(4);
    EXPECT_TRUE(timedOut.sizeUnknown);
    EXPECT_EQ(timedOut.name, "big.mkv");
}

Bytes propList(const std::vector<std::tuple<uint32_t, Prop, DataType, Bytes>>& elements) {
    Bytes bytes;
    appendU32(bytes, static_cast<uint32_t>(elements.size()));
    for (const auto& [handle, property, type, value] : elements) {
        appendU32(bytes, handle);
        appendU16(bytes, wire(property));
        appendU16(bytes, wire(type));
        bytes.insert(bytes.end(), value.begin(), value.end());
    }
    return bytes;
}

TEST_F(SessionTest, ListByPropListMergesFourReplies) {
    phone->respond([](const Command& command) {
        Prop property{static_cast<uint16_t>(command.params[2])};
        EXPECT_EQ(command.params, (std::vector<uint32_t>{0x55, 0, wire(property), 0, 1}));
        switch (property) {
            case Prop::ObjectFileName:
                return Reply{
                    propList({{3, Prop::ObjectFileName, DataType::String, ptpString("b.txt")},
                              {2, Prop::ObjectFileName, DataType::String, ptpString("Sub")},
                              // Some Android versions list the folder among its children.
                              {0x55, Prop::ObjectFileName, DataType::String, ptpString("me")}})};
            case Prop::ObjectFormat:
                return Reply{propList(
                    {{2, Prop::ObjectFormat, DataType::UINT16, le(wire(Format::Association), 2)},
                     {3, Prop::ObjectFormat, DataType::UINT16, le(wire(Format::Text), 2)}})};
            case Prop::ObjectSize:
                return Reply{
                    propList({{3, Prop::ObjectSize, DataType::UINT64, le(6'000'000'000, 8)},
                              // A 32-bit all-ones size is the cap, not a size.
                              {9, Prop::ObjectSize, DataType::UINT32, Bytes(4, 0xFF)},
                              {2, Prop::ObjectSize, DataType::UINT32, Bytes{0, 0, 0, 0}}})};
            default:
                return Reply{propList(
                    {{3, Prop::DateModified, DataType::String, ptpString("20240131T235959")},
                     {2, Prop::DateModified, DataType::String, ptpString("garbage")}})};
        }
    });
    EXPECT_EQ(session.listByPropList(0x55),
              (std::vector<MTPEntry>{
                  {3, "b.txt", 6'000'000'000, false, parseMTPDate("20240131T235959"), false},
                  {2, "Sub", 0, true, std::nullopt, false},
                  {9, "", 0xFFFFFFFF, false, std::nullopt, true}}));
    EXPECT_EQ(phone->ops(), std::vector<Op>(4, Op::GetObjectPropList));

    phone->respond([](const Command& command) {
        if (command.params[2] == wire(Prop::ObjectSize)) {
            return Reply{std::nullopt, Response::InvalidObjectPropCode};
        }
        return Reply{propList({})};
    });
    EXPECT_THROW(session.listByPropList(0x55), MTPError);
}

class EditorTest : public SessionTest {
  protected:
    // Answers OK to everything except the operations listed in failing.
    void phoneAnswering(std::map<Op, Response> failing = {}, std::vector<uint32_t> params = {}) {
        phone->respond([failing, params](const Command& command) {
            if (auto code = failing.find(command.op); code != failing.end()) {
                return Reply{std::nullopt, code->second};
            }
            return Reply{std::nullopt, Response::OK, params};
        });
    }

    MTPEditor editor{session};
};

TEST_F(EditorTest, BeginEditOncePerObject) {
    phoneAnswering();
    EXPECT_EQ(editor.beginEdit(5, 100, false), 100u);
    EXPECT_EQ(editor.beginEdit(5, 999, true), 100u);  // recorded size; nothing sent
    EXPECT_EQ(phone->commands, (std::vector<Command>{{Op::BeginEditObject, 1, {5}},
                                                     {Op::TruncateObject, 2, {5, 100, 0}}}));
    EXPECT_EQ(editor.editedSize(5), 100u);

    // The size the phone reports, when the caller's came from a listing; a reply shorter than a
    // u64 is no size: nothing is begun, nothing cut.
    for (size_t length : {8u, 0u, 4u}) {
        phone->respond([length](const Command& command) {
            return command.op == Op::GetObjectPropValue ? Reply{le(5'000'000'000, length)}
                                                        : Reply{};
        });
        phone->clearRecords();
        if (length == 8) {
            EXPECT_EQ(editor.beginEdit(6, 0, true), 5'000'000'000u);
            EXPECT_EQ(phone->commands[0].params,
                      (std::vector<uint32_t>{6, wire(Prop::ObjectSize)}));
            EXPECT_EQ(phone->commands[2].params, (std::vector<uint32_t>{6, 705032704, 1}));
            continue;
        }
        EXPECT_EQ(testsupport::transportFailure([&] { (void)editor.beginEdit(7, 0, true); }).kind,
                  TransportErrorKind::protocol);
        EXPECT_EQ(phone->ops(), std::vector<Op>{Op::GetObjectPropValue}) << length;
        EXPECT_FALSE(editor.editedSize(7));
    }
}

// A refused step ends what was begun on the phone and leaves no edit behind.
TEST_F(EditorTest, FailedBeginEndsTheEditAndRecordsNothing) {
    struct Case {
        std::map<Op, Response> failing;
        Op reported;
        std::vector<Op> sent;
    };
    const std::vector<Op> all{Op::BeginEditObject, Op::TruncateObject, Op::EndEditObject};
    for (const Case& c :
         {Case{{{Op::TruncateObject, Response::StoreFull}}, Op::TruncateObject, all},
          // EndEditObject failing as well still reports the truncation.
          Case{{{Op::TruncateObject, Response::StoreFull},
                {Op::EndEditObject, Response::GeneralError}},
               Op::TruncateObject,
               all},
          Case{{{Op::BeginEditObject, Response::AccessDenied}},
               Op::BeginEditObject,
               {Op::BeginEditObject}}}) {
        phoneAnswering(c.failing);
        phone->clearRecords();
        try {
            (void)editor.beginEdit(5, 10, false);
            ADD_FAILURE() << "no error";
        } catch (const MTPError& error) {
            EXPECT_EQ(error.op, c.reported);
        }
        EXPECT_EQ(phone->ops(), c.sent);
        EXPECT_TRUE(editor.edits().empty());
    }
}

TEST_F(EditorTest, WritesGoOutInFourMebibyteChunks) {
    phoneAnswering();
    const Bytes bytes = testsupport::pattern(10 * MiB);
    uint64_t offset = (1ull << 32) - MiB;  // the second chunk crosses 4 GiB
    editor.write(5, offset, bytes);
    ASSERT_EQ(phone->commands.size(), 3u);
    EXPECT_EQ(phone->commands[0].params, (std::vector<uint32_t>{5, 0xFFF00000, 0, 4 * MiB}));
    EXPECT_EQ(phone->commands[1].params, (std::vector<uint32_t>{5, 3 * MiB, 1, 4 * MiB}));
    EXPECT_EQ(phone->commands[2].params, (std::vector<uint32_t>{5, 7 * MiB, 1, 2 * MiB}));
    for (size_t k = 0; k < 3; ++k) {  // command, data container: no zero-length packets
        const auto chunk = std::span(bytes).subspan(k * 4 * MiB).first(k < 2 ? 4 * MiB : 2 * MiB);
        EXPECT_EQ(phone->writes.at(2 * k + 1),
                  buildDataContainer(Op::SendPartialObject, k + 1, chunk));
    }

    phone->clearRecords();
    editor.write(5, 7, {});
    EXPECT_EQ(phone->commands, (std::vector<Command>{{Op::SendPartialObject, 4, {5, 7, 0, 0}}}));
    EXPECT_EQ(phone->writes.at(1).size(), 12u);  // header-only data container

    // The first failing chunk stops the write.
    phone->clearRecords();
    int sent = 0;
    phone->respond([&](const Command&) {
        return Reply{std::nullopt, ++sent == 2 ? Response::StoreFull : Response::OK};
    });
    EXPECT_THROW(editor.write(5, 0, bytes), MTPError);
    EXPECT_EQ(phone->ops(), std::vector<Op>(2, Op::SendPartialObject));
}

TEST_F(EditorTest, EndEditForgetAndCreateObject) {
    phoneAnswering();
    editor.endEdit(5);  // no edit open
    EXPECT_TRUE(phone->commands.empty());

    editor.beginEdit(5, 1, false);
    editor.beginEdit(6, 1, false);
    phone->clearRecords();
    editor.forget(6);  // nothing sent

    phoneAnswering({{Op::EndEditObject, Response::GeneralError}});
    EXPECT_THROW(editor.endEdit(5), MTPError);
    EXPECT_EQ(phone->ops(), std::vector<Op>{Op::EndEditObject});  // none for 6
    EXPECT_TRUE(editor.edits().empty());  // dropped even though the phone refused
    phoneAnswering();
    phone->clearRecords();
    (void)editor.beginEdit(5, 1, false);  // a fresh edit begins
    EXPECT_EQ(phone->ops().front(), Op::BeginEditObject);

    // createObject returns the third response parameter.
    phoneAnswering({}, {0x10001, 0x33, 0x77});
    EXPECT_EQ(editor.createObject(0x10001, 0x33, "notes.txt", false), 0x77u);
    EXPECT_EQ(phone->commands.back().params, (std::vector<uint32_t>{0x10001, 0x33}));

    phoneAnswering({}, {0x10001, 0x33});
    EXPECT_EQ(transportFailure([&] { (void)editor.createObject(0x10001, 0x33, "x", false); }),
              "SendObjectInfo returned no handle");
}

using Request = std::tuple<uint32_t, uint64_t, uint32_t>;  // handle, offset, length

class ReadAheadTest : public SessionTest {
  protected:
    void SetUp() override {
        openWith({Op::GetPartialObject64});
        serveObjects();
    }
    // Answers GetPartialObject64 from objects, recording each request.
    void serveObjects() {
        phone->respond([this](const Command& command) {
            uint32_t handle = command.params[0];
            uint64_t offset = command.params[1] | uint64_t{command.params[2]} << 32;
            uint32_t length = command.params[3];
            requests.push_back({handle, offset, length});
            const Bytes& content = objects.at(handle);
            uint64_t end = std::min<uint64_t>(content.size(), offset + length);
            return Reply{Bytes(content.begin() + static_cast<ptrdiff_t>(offset),
                               content.begin() + static_cast<ptrdiff_t>(end))};
        });
    }

    void addObject(uint32_t handle, size_t size) {
        objects[handle] = pattern(size, static_cast<uint8_t>(handle));
    }

    // Reads and checks the count and the bytes against the object's content.
    void read(uint32_t handle, int64_t offset, size_t length) {
        const Bytes& content = objects.at(handle);
        Bytes scratch(length, 0xCC);
        std::span<const uint8_t> got = cache.read(session, handle, content.size(), offset, scratch);
        const uint64_t from = std::min<uint64_t>(std::max<int64_t>(offset, 0), content.size());
        EXPECT_EQ(got.size(), std::min<uint64_t>(length, content.size() - from)) << offset;
        EXPECT_TRUE(
            std::equal(got.begin(), got.end(), content.begin() + static_cast<ptrdiff_t>(from)))
            << "wrong bytes at " << offset;
    }

    ReadAhead cache;
    std::map<uint32_t, Bytes> objects;
    std::vector<Request> requests;
};

// A sequential reader costs one request per window (fs ReadTest); each case here reads in the
// given order and costs the given requests on the wire.
TEST_F(ReadAheadTest, OtherReadersCostWhatTheyAskFor) {
    struct Read {
        uint32_t handle;
        int64_t offset;
        size_t length;
    };
    struct Case {
        const char* what;
        std::vector<Read> reads;
        std::vector<Request> requests;
    };
    const size_t k64 = 64 * KiB, M6 = 6 * MiB;
    const Case cases[] = {
        {"a short file, then at and past its end, and before its start",
         {{2, 0, 8 * KiB}, {2, 100, 8 * KiB}, {2, 5000, 8 * KiB}, {2, -20, 10}},
         {{2, 0, 100}, {2, 0, 10}}},
        {"a large read goes direct but keeps the sequence",
         {{3, 0, k64}, {3, k64, M6}, {3, k64 + M6, k64}, {3, 2 * k64 + M6, k64}},
         {{3, 0, k64}, {3, k64, M6}, {3, k64 + M6, 4 * MiB}}},
        // Inside the window reads come from memory; elsewhere they go direct until they continue
        // a read that ended there.
        {"random reads bypass the window",
         {{4, 0, 4096},
          {4, 4096, 4096},
          {4, 6 * MiB, 4096},
          {4, 8192, 4096},
          {4, 6 * MiB + 4096, 4096},
          {4, 6 * MiB + 8192, 4096}},
         {{4, 0, 4096},
          {4, 4096, 4 * MiB},
          {4, 6 * MiB, 4096},
          {4, 6 * MiB + 4096, 4096},
          {4, 6 * MiB + 8192, 2 * MiB - 8192}}},
        {"the buffer holds one object only",
         {{5, 0, 4096}, {6, 0, 4096}, {5, 4096, 4096}, {6, 4096, 4096}, {5, 8192, 4096}},
         {{5, 0, 4096}, {6, 0, 4096}, {5, 4096, 4 * MiB}, {6, 4096, 4 * MiB}, {5, 8192, 4 * MiB}}},
    };
    for (auto [handle, size] :
         {std::pair{2u, 100u}, {3u, 20 * MiB}, {4u, 8 * MiB}, {5u, 8 * MiB}, {6u, 8 * MiB}}) {
        addObject(handle, size);
    }
    for (const Case& c : cases) {
        requests.clear();
        for (const Read& r : c.reads) read(r.handle, r.offset, r.length);
        EXPECT_EQ(requests, c.requests) << c.what;
    }
    EXPECT_EQ(cache.bufferOwner(), 5u);
}

TEST_F(ReadAheadTest, InvalidateForgetsPositionAndBytes) {
    addObject(7, 8 * MiB);
    read(7, 0, 4096);
    read(7, 4096, 4096);
    objects[7][8192] ^= 0xFF;  // the content changes on the phone
    cache.invalidate(7);
    EXPECT_FALSE(cache.bufferOwner());
    read(7, 8192, 4096);   // continues, but the history is gone: direct
    read(7, 12288, 4096);  // refills
    EXPECT_EQ(requests,
              (std::vector<Request>{
                  {7, 0, 4096}, {7, 4096, 4 * MiB}, {7, 8192, 4096}, {7, 12288, 4 * MiB}}));
}

TEST_F(ReadAheadTest, ATenthObjectStartsTheMapAfresh) {
    for (uint32_t handle = 10; handle < 20; ++handle) addObject(handle, 100);
    for (uint32_t handle = 10; handle < 19; ++handle) read(handle, 0, 10);
    EXPECT_EQ(cache.stateCount(), 9u);
    read(10, 10, 10);  // a known handle does not clear it
    EXPECT_EQ(cache.stateCount(), 9u);
    read(19, 0, 10);
    EXPECT_EQ(cache.stateCount(), 1u);
    EXPECT_EQ(cache.state(19).lastEnd, 10u);
    EXPECT_EQ(cache.state(10).lastEnd, UINT64_MAX);
}

// A failed transfer keeps the previous state.
TEST_F(ReadAheadTest, FailedTransfersKeepTheStateAndLeaveNoStaleBytes) {
    addObject(8, 8 * MiB);
    read(8, 0, 4096);
    ReadAhead::State before = cache.state(8);
    phone->respond([](const Command&) { return Reply{std::nullopt, Response::GeneralError}; });
    Bytes destination(4096);
    EXPECT_THROW((void)cache.read(session, 8, 8 * MiB, 4096, destination), MTPError);
    EXPECT_EQ(cache.state(8), before);
    EXPECT_THROW((void)cache.read(session, 8, 8 * MiB, 6 * MiB, destination), MTPError);
    EXPECT_EQ(cache.state(8), before);

    // A fill that fails halfway leaves no stale bytes.
    serveObjects();
    addObject(20, 8 * MiB);
    addObject(21, 8 * MiB);
    read(20, 0, 4096);
    read(20, 4096, 4096);  // object 20 owns the buffer
    read(21, 0, 4096);
    // Object 21's fill delivers 2 MiB into the buffer, then the phone times out.
    phone->respond(nullptr);
    uint32_t id = session.transactionID() + 1;
    Bytes container = buildDataContainer(Op::GetPartialObject64, id,
                                         std::span(objects[21]).subspan(4096, 4 * MiB));
    phone->queueIn(Bytes(container.begin(), container.begin() + 2 * MiB));
    phone->queueReadFailure("time-out");
    EXPECT_THROW((void)cache.read(session, 21, 8 * MiB, 4096, destination), MTPTransportError);
    EXPECT_FALSE(cache.bufferOwner());

    // Object 20 within its old window must come from the phone, not from 21's bytes.
    serveObjects();
    size_t sent = requests.size();
    read(20, 8192, 4096);
    EXPECT_EQ(requests.size(), sent + 1);
}

// Without GetPartialObject64 nothing past 4 GB can be asked for: a sequential reader must still
// reach the last bytes below it, as a cold read of the same range does.
TEST_F(SessionTest, ReadAheadWithout64BitReachesTheLastBytesBelow4GB) {
    openWith({Op::GetPartialObject});
    constexpr uint64_t size = 5'000'000'000;
    std::vector<Request> requests;
    phone->respond([&](const Command& command) {
        uint32_t offset = command.params[1], length = command.params[2];
        requests.push_back({command.params[0], offset, length});
        Bytes data(static_cast<size_t>(std::min<uint64_t>(length, size - offset)));
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(offset + i);
        return Reply{data};
    });
    ReadAhead cache;
    Bytes piece(4096);
    constexpr uint64_t start = UINT32_MAX - 3 * 4096;
    // The last read ends exactly at the limit.
    for (uint64_t at = start; at < UINT32_MAX; at += 4096) {
        std::span<uint8_t> want = std::span(piece).first(std::min<uint64_t>(4096, UINT32_MAX - at));
        std::span<const uint8_t> got = cache.read(session, 9, size, static_cast<int64_t>(at), want);
        ASSERT_EQ(got.size(), want.size()) << at;
        EXPECT_EQ(got[100], static_cast<uint8_t>(at + 100));
    }
    EXPECT_EQ(requests, (std::vector<Request>{{9, start, 4096}, {9, start + 4096, 8192}}));
    // Past the limit both ways fail alike, before anything is sent.
    EXPECT_THROW((void)cache.read(session, 9, size, UINT32_MAX - 4095, piece), MTPTransportError);
    EXPECT_EQ(requests.size(), 2u);
}

}  // namespace
