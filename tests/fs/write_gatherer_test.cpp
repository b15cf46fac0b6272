// The write gatherer and the spelling table of the FUSE host, below the kernel: runs that the
// phone refuses, whose errors must reach every writer of the file once and never a reader, and
// after which the phone keeps a prefix of what was written, never a gap filled with zeros.

#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "fs/SpellingTable.h"
#include "fs/WriteGatherer.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrumtest;

namespace {

constexpr size_t run = 4 << 20;

struct FailedRun {
    int failing;  // index of the 4 MiB run the phone refuses
    int writers;  // handles writing the file in turn, 1 MiB each
};

class GatherTest : public VolumeTest, public ::testing::WithParamInterface<FailedRun> {
  protected:
    void SetUp() override {
        mount(true);
        gatherer_ = std::make_unique<WriteGatherer>(volume(), [this](uint64_t) { ++failed_; });
    }
    void TearDown() override {
        gatherer_.reset();
        VolumeTest::TearDown();
    }
    void open(WriteGatherer::Handle handle, uint64_t id, OpenModes modes) {
        q([&] { volume().open(id, modes, false); });
        if (modes.write) gatherer_->opened(handle, id);
    }
    // FUSE flush of a writer: after the runs before it, its pending error, else the commit.
    int flush(WriteGatherer::Handle handle, uint64_t id) {
        gatherer_->handOff();
        return q([&] {
            if (const int code = gatherer_->takeError(handle)) return code;
            volume().fsync(id);
            return 0;
        });
    }
    void release(WriteGatherer::Handle handle, uint64_t id, OpenModes modes) {
        gatherer_->released(handle);
        q([&] { volume().release(id, modes); });
    }

    std::unique_ptr<WriteGatherer> gatherer_;
    std::atomic<int> failed_{0};
};

TEST_P(GatherTest, AFailedRunReachesEveryWriterOnceAndThePhoneKeepsAPrefix) {
    const FailedRun param = GetParam();
    const uint64_t id = create(rootID, "h.bin");
    const Bytes source = pattern(3 * run, 1);
    constexpr WriteGatherer::Handle reader = 100;
    open(reader, id, {.read = true});
    for (int w = 0; w < param.writers; ++w) open(w, id, {.write = true});
    refuse(Op::SendPartialObject, Response::GeneralError, param.failing);

    // Like dd: each writer stops at its first error.
    std::map<WriteGatherer::Handle, int> errors;
    for (size_t offset = 0, turn = 0; offset < source.size(); offset += 1 << 20, ++turn) {
        const WriteGatherer::Handle writer = turn % param.writers;
        if (errors.contains(writer)) continue;
        try {
            gatherer_->write(writer, id, offset, std::span(source).subspan(offset, 1 << 20));
        } catch (const PosixError& error) {
            errors[writer] = error.code;
        }
    }
    EXPECT_EQ(flush(reader, id), 0) << "a reader's close takes no writer's error";
    for (int w = 0; w < param.writers; ++w) {
        if (!errors.contains(w)) errors[w] = flush(w, id);
        EXPECT_EQ(errors[w], EIO) << "writer " << w;
        EXPECT_EQ(flush(w, id), 0) << "writer " << w << " saw the error twice";
    }
    EXPECT_GE(failed_, 1);
    for (int w = 0; w < param.writers; ++w) release(w, id, {.write = true});
    release(reader, id, {.read = true});

    expectPhoneHolds(
        {{"h.bin", Bytes(source.begin(), source.begin() + param.failing * long(run))}});

    // Once its writers are gone, the file takes writes past its end again (a sparse write).
    open(7, id, {.write = true});
    gatherer_->write(7, id, 4 * run, std::span(source).first(10));
    EXPECT_EQ(flush(7, id), 0);
    release(7, id, {.write = true});
    EXPECT_EQ(sizeOf(id), 4 * run + 10);
}

INSTANTIATE_TEST_SUITE_P(Runs, GatherTest,
                         ::testing::Values(FailedRun{0, 1}, FailedRun{1, 1}, FailedRun{2, 1},
                                           FailedRun{0, 3}, FailedRun{1, 2}, FailedRun{2, 2}));

TEST(SpellingTableTest, CountsLookupsAndGivesBackTheOtherSpellings) {
    SpellingTable table;
    table.remember(20, {2, "a.txt"});
    table.remember(20, {2, "A.TXT"});
    table.remember(20, {2, "a.txt"});
    table.respell(21, {2, "never.txt"});  // unknown to the kernel: nothing to remember
    EXPECT_TRUE(table.takeOthers(21, {2, "x"}).empty());

    EXPECT_EQ(table.takeOthers(20, {2, "a.txt"}), (std::vector<Spelling>{{2, "A.TXT"}}));
    EXPECT_TRUE(table.takeOthers(20, {2, "a.txt"}).empty()) << "given back once";
    table.respell(20, {5, "b.txt"});
    EXPECT_EQ(table.takeOthers(20, {}), (std::vector<Spelling>{{5, "b.txt"}}));

    EXPECT_FALSE(table.forget(20, 2));
    EXPECT_TRUE(table.forget(20, 1)) << "three entry replies, three lookups forgotten";
    EXPECT_FALSE(table.forget(20, 1)) << "forgotten once";

    for (size_t i = 0; i <= SpellingTable::maxSpellings; ++i)
        table.remember(30, {2, "n" + std::to_string(i)});
    const auto others = table.takeOthers(30, {});
    EXPECT_EQ(others.size(), SpellingTable::maxSpellings);
    EXPECT_EQ(others.front().second, "n1") << "the oldest goes first";
}

}  // namespace
