// ReadAhead against the simulated phone: the requests it costs, counted where they arrive.

#include <gtest/gtest.h>

#include <memory>

#include "mtp/MTPCodes.h"
#include "mtp/MTPSession.h"
#include "mtp/ReadAhead.h"
#include "tests/common/TestSupport.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/phonesim/SimulatedTransport.h"

namespace {

using testsupport::pattern;

using namespace std::chrono_literals;
using mtp::Op::GetPartialObject;
using mtp::Op::GetPartialObject64;
using phonesim::Bytes;
using phonesim::Faults;
using phonesim::SimulatedPhone;
using phonesim::SimulatedTransport;

constexpr uint32_t Internal = 0x00010001;
constexpr size_t KiB = 1024;
constexpr size_t MiB = 1024 * KiB;

struct Reader {
    explicit Reader(SimulatedPhone& phone)
        : session(std::make_unique<SimulatedTransport>(phone, 2s)) {
        session.open();
        for (const mtp::MTPEntry& e : session.list(Internal, mtp::RootParent))
            handles.push_back(e.handle);
    }
    mtp::MTPSession session;
    mtp::ReadAhead readAhead;
    std::vector<uint32_t> handles;
};

TEST(ReadAheadOnPhone, TenMiBIn256KiBPiecesCostsFourRequests) {
    for (bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "GetPartialObject64" : "GetPartialObject");
        SimulatedPhone phone;
        Bytes content = pattern(10 * MiB, 1);
        phone.addFile(Internal, "video.mp4", content);
        phone.updateFaults([wide](Faults& f) { f.no64bit = !wide; });
        Reader r(phone);
        mtp::Op op = wide ? GetPartialObject64 : GetPartialObject;
        phone.resetStats();

        // After piece k, the requests the rules give: direct, fill at 256 KiB, 15 hits, fill
        // at 4.25 MiB, 15 hits, fill at 8.25 MiB (1.75 MiB left), hits to the end.
        std::vector<uint64_t> after;
        Bytes piece(256 * KiB);
        for (size_t k = 0; k < 40; ++k) {
            size_t got = r.readAhead.read(r.session, r.handles[0], content.size(),
                                          static_cast<int64_t>(k * piece.size()), piece);
            ASSERT_EQ(got, piece.size());
            ASSERT_TRUE(std::equal(piece.begin(), piece.end(), content.begin() + k * piece.size()));
            after.push_back(phone.stats().count(op));
        }
        EXPECT_EQ(after[0], 1u);
        EXPECT_EQ(after[1], 2u);
        EXPECT_EQ(after[16], 2u);
        EXPECT_EQ(after[17], 3u);
        EXPECT_EQ(after[32], 3u);
        EXPECT_EQ(after[33], 4u);
        EXPECT_EQ(after[39], 4u);
        EXPECT_EQ(phone.stats().transactions(), 4u);
        EXPECT_EQ(r.readAhead.read(r.session, r.handles[0], content.size(), 10 * MiB, piece), 0u);
        EXPECT_EQ(phone.stats().transactions(), 4u);
    }
}

TEST(ReadAheadOnPhone, AlternatingFilesAndLargeReads) {
    SimulatedPhone phone;
    Bytes a = pattern(2 * MiB, 2), b = pattern(2 * MiB, 3);
    phone.addFile(Internal, "a", a);
    phone.addFile(Internal, "b", b);
    Reader r(phone);
    phone.resetStats();
    Bytes piece(64 * KiB);
    for (size_t k = 0; k < 4; ++k) {
        for (size_t f = 0; f < 2; ++f) {
            const Bytes& content = f == 0 ? a : b;
            ASSERT_EQ(r.readAhead.read(r.session, r.handles[f], content.size(),
                                       static_cast<int64_t>(k * piece.size()), piece),
                      piece.size());
            ASSERT_TRUE(std::equal(piece.begin(), piece.end(), content.begin() + k * piece.size()));
        }
    }
    // The buffer holds one object: after the two direct first reads, every switch refills.
    EXPECT_EQ(phone.stats().count(GetPartialObject64), 8u);

    Bytes big(6 * MiB);
    Bytes c = pattern(8 * MiB, 4);
    phone.addFile(Internal, "c", c);
    uint32_t handle = *phone.handleOf(Internal, "c");
    phone.resetStats();
    ASSERT_EQ(r.readAhead.read(r.session, handle, c.size(), 0, big), big.size());
    ASSERT_EQ(r.readAhead.read(r.session, handle, c.size(), static_cast<int64_t>(big.size()), big),
              2 * MiB);
    EXPECT_TRUE(std::equal(big.begin(), big.begin() + 2 * MiB, c.begin() + 6 * MiB));
    EXPECT_EQ(phone.stats().count(GetPartialObject64), 2u);  // both direct, no window fill
}

}  // namespace
