// Editor bookkeeping: one edit per object, chunked writes, renames and creation.

#include <gtest/gtest.h>

#include <memory>

#include "mtp/ByteReader.h"
#include "mtp/Container.h"
#include "mtp/Datasets.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPEditor.h"
#include "mtp/MTPError.h"
#include "tests/common/TestSupport.h"
#include "tests/mtp/ScriptedTransport.h"

using namespace mtp;
using namespace mtptest;

namespace {

constexpr uint32_t MiB = 1 << 20;

class EditorTest : public ::testing::Test {
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

    // The payload of the data container written right after the command at index.
    Bytes dataAfterCommand(size_t commandIndex) const {
        size_t seen = 0;
        for (size_t i = 0; i < phone->writes.size(); ++i) {
            ContainerHeader header = parseContainerHeader(phone->writes[i]);
            if (header.type == ContainerType::Command && seen++ == commandIndex) {
                const Bytes& data = phone->writes.at(i + 1);
                EXPECT_EQ(parseContainerHeader(data).type, ContainerType::Data);
                return Bytes(data.begin() + 12, data.end());
            }
        }
        ADD_FAILURE() << "no command " << commandIndex;
        return {};
    }

    ScriptedTransport* phone = new ScriptedTransport;
    MTPSession session{std::unique_ptr<BulkTransport>(phone)};
    MTPEditor editor{session};
};

TEST_F(EditorTest, BeginEditOncePerObject) {
    phoneAnswering();
    EXPECT_EQ(editor.beginEdit(5, 100, false), 100u);
    EXPECT_EQ(editor.beginEdit(5, 999, true), 100u);  // recorded size; nothing sent
    EXPECT_EQ(phone->commands, (std::vector<Command>{{Op::BeginEditObject, 1, {5}},
                                                     {Op::TruncateObject, 2, {5, 100, 0}}}));
    EXPECT_EQ(editor.editedSize(5), 100u);

    // The size the phone reports, when the caller's came from a listing.
    phone->respond([](const Command& command) {
        if (command.op != Op::GetObjectPropValue) return Reply{};
        Bytes value;
        appendU64(value, 5'000'000'000);
        return Reply{value};
    });
    phone->clearRecords();
    EXPECT_EQ(editor.beginEdit(6, 0, true), 5'000'000'000u);
    EXPECT_EQ(phone->commands[0].params, (std::vector<uint32_t>{6, wire(Prop::ObjectSize)}));
    EXPECT_EQ(phone->commands[2].params, (std::vector<uint32_t>{6, 705032704, 1}));

    // A reply shorter than a u64 is no size: nothing is begun, nothing cut.
    for (size_t length : {0u, 4u}) {
        phone->respond([length](const Command& command) {
            if (command.op != Op::GetObjectPropValue) return Reply{};
            Bytes value;
            appendU64(value, 5'000'000'000);
            value.resize(length);
            return Reply{value};
        });
        phone->clearRecords();
        try {
            (void)editor.beginEdit(7, 0, true);
            ADD_FAILURE() << "no error for " << length << " bytes";
        } catch (const MTPTransportError& error) {
            EXPECT_EQ(error.kind, TransportErrorKind::protocol);
        }
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
    for (size_t k = 0; k < 3; ++k) {
        const auto chunk = std::span(bytes).subspan(k * 4 * MiB).first(k < 2 ? 4 * MiB : 2 * MiB);
        EXPECT_EQ(dataAfterCommand(k), Bytes(chunk.begin(), chunk.end())) << k;
    }

    phone->clearRecords();
    editor.write(5, 7, {});
    EXPECT_EQ(phone->commands, (std::vector<Command>{{Op::SendPartialObject, 4, {5, 7, 0, 0}}}));
    EXPECT_EQ(phone->writes.at(1).size(), 12u);  // header-only data container
}

TEST_F(EditorTest, TheFirstFailingChunkStopsTheWrite) {
    int sent = 0;
    phone->respond([&](const Command&) {
        return Reply{std::nullopt, ++sent == 2 ? Response::StoreFull : Response::OK};
    });
    Bytes bytes(10 * MiB);
    EXPECT_THROW(editor.write(5, 0, bytes), MTPError);
    EXPECT_EQ(phone->ops(), std::vector<Op>(2, Op::SendPartialObject));
}

TEST_F(EditorTest, EndEditAndForget) {
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
}

TEST_F(EditorTest, CreateObjectReturnsTheThirdResponseParameter) {
    phoneAnswering({}, {0x10001, 0x33, 0x77});
    EXPECT_EQ(editor.createObject(0x10001, 0x33, "notes.txt", false), 0x77u);
    EXPECT_EQ(phone->commands[0].params, (std::vector<uint32_t>{0x10001, 0x33}));

    phoneAnswering({}, {0x10001, 0x33});
    try {
        (void)editor.createObject(0x10001, 0x33, "x", false);
        ADD_FAILURE() << "no error";
    } catch (const MTPTransportError& error) {
        EXPECT_EQ(error.message, "SendObjectInfo returned no handle");
    }
}

}  // namespace
