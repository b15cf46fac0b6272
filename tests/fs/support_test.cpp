// The volume's building blocks that need no phone: the serial queue, the logger, name rules and
// the synthetic .DS_Store.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "fs/DSStore.h"
#include "fs/Log.h"
#include "fs/Names.h"
#include "fs/PosixError.h"
#include "fs/SerialQueue.h"
#include "tests/fs/LogCapture.h"

using namespace kestrum;
using kestrumtest::LogCapture;
using ::testing::ElementsAre;

namespace {

uint32_t big32(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes[offset]} << 24 | uint32_t{bytes[offset + 1]} << 16 |
           uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

std::string text(const std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes.data()) + offset, length);
}

}  // namespace

TEST(SerialQueue, RunsWorkOneAtATimeInArrivalOrder) {
    SerialQueue queue("test");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < 100; ++i)
        queue.submit([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
        });
    queue.runSync([] {});
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, RunSyncReturnsResultsRethrowsAndRunsInlineOnItsOwnThread) {
    SerialQueue queue("test");
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(queue.runSync([] { return 42; }), 42);
    EXPECT_THROW(queue.runSync([]() -> int { throw PosixError(ENOENT); }), PosixError);
    // Nested runSync on the queue itself would wait forever if it were queued.
    int nested =
        queue.runSync([&] { return queue.isCurrent() ? queue.runSync([] { return 7; }) : 0; });
    EXPECT_EQ(nested, 7);
    // The check stops release builds too.
    queue.runSync([&] { VERIFY_ON_QUEUE(queue); });
    EXPECT_DEATH(VERIFY_ON_QUEUE(queue), "TestBody must run on queue test");
}

TEST(SerialQueue, EscapingExceptionIsLoggedAndLaterWorkStillRuns) {
    LogCapture log;
    SerialQueue queue("com.tavrel.kestrum.fs.device");
    queue.submit([] { throw std::runtime_error("boom"); });
    EXPECT_EQ(queue.runSync([] { return 1; }), 1);
    EXPECT_THAT(log.at(LogLevel::error), ElementsAre("queue com.tavrel.kestrum.fs.device: boom"));
}

TEST(SerialQueue, DestructionRunsWhatWasSubmitted) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test");
        queue.submit([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++ran;
        });
        queue.submit([&] { ++ran; });
    }
    EXPECT_EQ(ran, 2);
}

TEST(Log, SinkGetsEveryLevelWithTheFormattedText) {
    LogCapture log;
    EXPECT_TRUE(Log::wants(LogLevel::debug));
    Log::debug("op 0x%s %s out=%ld %ldms", "95c1", "[17, 0, 0, 4194304]", 0L, 12L);
    Log::info("serving %s (%s) %s", "Pixel", "SIM0001", "read-only");
    Log::error("lookup %s: %s", "DCIM", "MTP op 0x1007 failed with 0x2002");
    Log::fault("phone stopped responding; it must be reconnected");
    std::string longName(3000, 'x');
    Log::error("read %s: %s", longName.c_str(), "end");
    EXPECT_THAT(log.at(LogLevel::debug), ElementsAre("op 0x95c1 [17, 0, 0, 4194304] out=0 12ms"));
    EXPECT_THAT(log.at(LogLevel::info), ElementsAre("serving Pixel (SIM0001) read-only"));
    EXPECT_THAT(
        log.at(LogLevel::error),
        ElementsAre("lookup DCIM: MTP op 0x1007 failed with 0x2002", "read " + longName + ": end"));
    EXPECT_THAT(log.at(LogLevel::fault),
                ElementsAre("phone stopped responding; it must be reconnected"));
}

TEST(Log, LinesFromManyThreadsArriveWhole) {
    LogCapture log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) Log::debug("thread %d line %d", t, i);
        });
    for (auto& thread : threads) thread.join();
    auto lines = log.at(LogLevel::debug);
    ASSERT_EQ(lines.size(), 800u);
    for (const auto& line : lines)
        EXPECT_THAT(line, ::testing::MatchesRegex("thread [0-3] line [0-9]+"));
}

TEST(Names, CaseInsensitiveComparisonFoldsUnicode) {
    EXPECT_TRUE(sameNameIgnoringCase("dcim", "DCIM"));
    EXPECT_TRUE(sameNameIgnoringCase("Photo.JPG", "photo.jpg"));
    EXPECT_FALSE(sameNameIgnoringCase("photo", "photos"));
    EXPECT_FALSE(sameNameIgnoringCase("a", "b"));
    EXPECT_TRUE(sameNameIgnoringCase("École", "éCOLE"));
    EXPECT_TRUE(sameNameIgnoringCase("ΣΟΦΙΑ", "σοφια"));
    EXPECT_TRUE(sameNameIgnoringCase("Straße", "STRASSE"));  // full case folding
    EXPECT_FALSE(sameNameIgnoringCase("e\xcc\x81", "É"));    // no normalisation
    EXPECT_TRUE(sameNameIgnoringCase("", ""));
}

TEST(Names, TextAndLengthRules) {
    EXPECT_TRUE(isText("Photos"));
    EXPECT_TRUE(isText(""));
    EXPECT_TRUE(isText("caf\xc3\xa9"));
    EXPECT_FALSE(isText("caf\xc3"));
    EXPECT_FALSE(isText("\xff"));
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("caf\xc3\xa9"), 4u);
    EXPECT_EQ(utf16Length("\xf0\x9f\x98\x80"), 2u);  // one emoji, a surrogate pair
}

TEST(DSStore, HasTheFixedLayout) {
    std::vector<uint8_t> bytes = makeDSStore();
    ASSERT_EQ(bytes.size(), 8196u);
    EXPECT_EQ(big32(bytes, 0), 1u);
    EXPECT_EQ(text(bytes, 4, 4), "Bud1");
    EXPECT_EQ(big32(bytes, 8), 2048u);
    EXPECT_EQ(big32(bytes, 12), 2048u);
    EXPECT_EQ(big32(bytes, 16), 2048u);
    const uint8_t fixed[16] = {0, 0, 0x10, 0x0C, 0, 0, 0, 0x87, 0, 0, 0x20, 0x0B, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(bytes.data() + 20, fixed, 16), 0);
    // Directory master: root block 2, no levels, one record, one node, 4096-byte pages.
    EXPECT_EQ(big32(bytes, 36), 2u);
    EXPECT_EQ(big32(bytes, 40), 0u);
    EXPECT_EQ(big32(bytes, 44), 1u);
    EXPECT_EQ(big32(bytes, 48), 1u);
    EXPECT_EQ(big32(bytes, 52), 4096u);
    // Allocator.
    EXPECT_EQ(big32(bytes, 2052), 3u);
    EXPECT_EQ(big32(bytes, 2056), 0u);
    EXPECT_EQ(big32(bytes, 2060), 0x0000080Bu);
    EXPECT_EQ(big32(bytes, 2064), 0x00000025u);
    EXPECT_EQ(big32(bytes, 2068), 0x0000100Cu);
    EXPECT_EQ(big32(bytes, 3084), 1u);
    EXPECT_EQ(bytes[3088], 4);
    EXPECT_EQ(text(bytes, 3089, 4), "DSDB");
    EXPECT_EQ(big32(bytes, 3093), 1u);
    // Leaf with one record: ".", "bwsp", "blob", the property list.
    EXPECT_EQ(big32(bytes, 4100), 0u);
    EXPECT_EQ(big32(bytes, 4104), 1u);
    EXPECT_EQ(big32(bytes, 4108), 1u);
    EXPECT_EQ(bytes[4112], 0x00);
    EXPECT_EQ(bytes[4113], 0x2E);
    EXPECT_EQ(text(bytes, 4114, 4), "bwsp");
    EXPECT_EQ(text(bytes, 4118, 4), "blob");
    const uint32_t length = big32(bytes, 4122);
    std::vector<uint8_t> plist = windowSettingsPlist();
    ASSERT_EQ(length, plist.size());
    ASSERT_GT(length, 0u);
    EXPECT_EQ(memcmp(bytes.data() + 4126, plist.data(), length), 0);
    // Everything not written is zero: the address slots, the free lists and the tail.
    auto zero = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (bytes[i] != 0) return false;
        return true;
    };
    EXPECT_TRUE(zero(56, 2052));
    EXPECT_TRUE(zero(2072, 3084));
    EXPECT_TRUE(zero(3097, 4100));
    EXPECT_TRUE(zero(4126 + length, 8196));
}

TEST(DSStore, PropertyListCarriesTheWindowSettings) {
    std::vector<uint8_t> bytes = windowSettingsPlist();
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(text(bytes, 0, 8), "bplist00");
    plist_t dict = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &dict);
    ASSERT_NE(dict, nullptr);
    ASSERT_EQ(plist_get_node_type(dict), PLIST_DICT);
    EXPECT_EQ(plist_dict_get_size(dict), 9u);
    auto boolean = [&](const char* key) {
        plist_t node = plist_dict_get_item(dict, key);
        uint8_t value = 2;
        if (node && plist_get_node_type(node) == PLIST_BOOLEAN) plist_get_bool_val(node, &value);
        return value;
    };
    EXPECT_EQ(boolean("ContainerShowSidebar"), 1);
    EXPECT_EQ(boolean("PreviewPaneVisibility"), 0);
    EXPECT_EQ(boolean("ShowPathbar"), 0);
    EXPECT_EQ(boolean("ShowSidebar"), 1);
    EXPECT_EQ(boolean("ShowStatusBar"), 0);
    EXPECT_EQ(boolean("ShowTabView"), 0);
    EXPECT_EQ(boolean("ShowToolbar"), 1);
    uint64_t width = 0;
    plist_t sidebar = plist_dict_get_item(dict, "SidebarWidth");
    ASSERT_NE(sidebar, nullptr);
    ASSERT_EQ(plist_get_node_type(sidebar), PLIST_UINT);
    plist_get_uint_val(sidebar, &width);
    EXPECT_EQ(width, 196u);
    char* bounds = nullptr;
    plist_t window = plist_dict_get_item(dict, "WindowBounds");
    ASSERT_NE(window, nullptr);
    plist_get_string_val(window, &bounds);
    EXPECT_STREQ(bounds, "{{200, 200}, {920, 540}}");
    free(bounds);
    plist_free(dict);
}
