// Read-ahead consequences, counted as requests on the wire.

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"
#include "mtp/ReadAhead.h"
#include "tests/mtp/ScriptedTransport.h"

using namespace mtp;
using namespace mtptest;

namespace {

constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

struct Request {
    uint32_t handle;
    uint64_t offset;
    uint32_t length;
    bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
    return out << "{" << r.handle << ", " << r.offset << ", " << r.length << "}";
}

class ReadAheadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        phone->respond([](const Command&) { return Reply{deviceInfo({Op::GetPartialObject64})}; });
        session.open();
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
        Bytes& content = objects[handle];
        content.resize(size);
        for (size_t i = 0; i < size; ++i)
            content[i] = static_cast<uint8_t>(i * 31 + handle + (i >> 11));
    }

    // Reads and checks the bytes against the object's content.
    size_t read(uint32_t handle, int64_t offset, size_t length) {
        Bytes scratch(length, 0xCC);
        std::span<const uint8_t> got =
            cache.read(session, handle, objects.at(handle).size(), offset, scratch);
        const Bytes& content = objects.at(handle);
        uint64_t from = offset < 0 ? 0 : static_cast<uint64_t>(offset);
        EXPECT_TRUE(
            std::equal(got.begin(), got.end(), content.begin() + static_cast<ptrdiff_t>(from)))
            << "wrong bytes at " << offset;
        return got.size();
    }

    ScriptedTransport* phone = new ScriptedTransport;
    MTPSession session{std::unique_ptr<BulkTransport>(phone)};
    ReadAhead cache;
    std::map<uint32_t, Bytes> objects;
    std::vector<Request> requests;
};

TEST_F(ReadAheadTest, SequentialReaderCostsOneRequestPerWindow) {
    addObject(1, 10 * MiB);
    for (size_t offset = 0; offset < 10 * MiB; offset += 256 * KiB) {
        ASSERT_EQ(read(1, static_cast<int64_t>(offset), 256 * KiB), 256 * KiB);
    }
    EXPECT_EQ(requests, (std::vector<Request>{{1, 0, 256 * KiB},
                                              {1, 256 * KiB, 4 * MiB},
                                              {1, 4 * MiB + 256 * KiB, 4 * MiB},
                                              {1, 8 * MiB + 256 * KiB, 2 * MiB - 256 * KiB}}));
    EXPECT_EQ(read(1, 10 * MiB, 4096), 0u);
}

TEST_F(ReadAheadTest, ShortFileAndTheEnd) {
    addObject(2, 100);
    EXPECT_EQ(read(2, 0, 8 * KiB), 100u);
    EXPECT_EQ(requests, (std::vector<Request>{{2, 0, 100}}));
    EXPECT_EQ(read(2, 100, 8 * KiB), 0u);
    EXPECT_EQ(read(2, 5000, 8 * KiB), 0u);
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(read(2, -20, 10), 10u);  // a negative offset reads from 0
}

TEST_F(ReadAheadTest, LargeReadsGoDirectButKeepTheSequence) {
    addObject(3, 20 * MiB);
    read(3, 0, 64 * KiB);
    read(3, 64 * KiB, 6 * MiB);
    read(3, 64 * KiB + 6 * MiB, 64 * KiB);
    read(3, 128 * KiB + 6 * MiB, 64 * KiB);
    EXPECT_EQ(requests,
              (std::vector<Request>{
                  {3, 0, 64 * KiB}, {3, 64 * KiB, 6 * MiB}, {3, 64 * KiB + 6 * MiB, 4 * MiB}}));
    EXPECT_EQ(cache.bufferOwner(), 3u);
}

TEST_F(ReadAheadTest, RandomReadsBypassTheWindow) {
    addObject(4, 8 * MiB);
    read(4, 0, 4096);
    read(4, 4096, 4096);            // fills 4 MiB from 4096
    read(4, 6 * MiB, 4096);         // outside: direct
    read(4, 8192, 4096);            // back inside the window: from memory
    read(4, 6 * MiB + 4096, 4096);  // the read before ended elsewhere: direct
    read(4, 6 * MiB + 8192, 4096);  // continues it: fills
    EXPECT_EQ(requests, (std::vector<Request>{{4, 0, 4096},
                                              {4, 4096, 4 * MiB},
                                              {4, 6 * MiB, 4096},
                                              {4, 6 * MiB + 4096, 4096},
                                              {4, 6 * MiB + 8192, 2 * MiB - 8192}}));
}

TEST_F(ReadAheadTest, AlternatingFilesRefillOnEverySwitch) {
    addObject(5, 8 * MiB);
    addObject(6, 8 * MiB);
    for (size_t i = 0; i < 4; ++i) {
        read(5, static_cast<int64_t>(i * 4096), 4096);
        read(6, static_cast<int64_t>(i * 4096), 4096);
    }
    EXPECT_EQ(requests.size(), 8u);  // the buffer holds one object only
    EXPECT_EQ(requests[2], (Request{5, 4096, 4 * MiB}));
    EXPECT_EQ(requests[3], (Request{6, 4096, 4 * MiB}));
    EXPECT_EQ(requests[4], (Request{5, 8192, 4 * MiB}));
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

TEST_F(ReadAheadTest, AFailedTransferKeepsThePreviousState) {
    addObject(8, 8 * MiB);
    read(8, 0, 4096);
    ReadAhead::State before = cache.state(8);
    phone->respond([](const Command&) { return Reply{std::nullopt, Response::GeneralError}; });
    Bytes destination(4096);
    EXPECT_THROW((void)cache.read(session, 8, 8 * MiB, 4096, destination), MTPError);
    EXPECT_EQ(cache.state(8), before);
    EXPECT_THROW((void)cache.read(session, 8, 8 * MiB, 6 * MiB, destination), MTPError);
    EXPECT_EQ(cache.state(8), before);
}

TEST_F(ReadAheadTest, AFillThatFailsHalfwayLeavesNoStaleBytes) {
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
    Bytes destination(4096);
    EXPECT_THROW((void)cache.read(session, 21, 8 * MiB, 4096, destination), MTPTransportError);
    EXPECT_FALSE(cache.bufferOwner());

    // Object 20 within its old window must come from the phone, not from 21's bytes.
    SetUp();
    size_t before = requests.size();
    read(20, 8192, 4096);
    EXPECT_EQ(requests.size(), before + 1);
}

}  // namespace

// Without GetPartialObject64 nothing past 4 GB can be asked for: a sequential reader must still
// reach the last bytes below it, as a cold read of the same range does.
TEST(ReadAheadWithout64Bit, SequentialReadsReachTheLastBytesBelow4GB) {
    auto* phone = new ScriptedTransport;
    MTPSession session{std::unique_ptr<BulkTransport>(phone)};
    phone->respond([](const Command&) { return Reply{deviceInfo({Op::GetPartialObject})}; });
    session.open();
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
