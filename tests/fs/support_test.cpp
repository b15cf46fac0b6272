// Building blocks that need no phone: the serial queue, the logger, name rules, the synthetic
// .DS_Store, and the placeholder marker as MTPFileSystem reads it from a block device.

#include <gmock/gmock.h>
#include <plist/plist.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "fs/DSStore.h"
#include "fs/MTPFileSystem.h"
#include "fs/Names.h"
#include "fs/SerialQueue.h"
#include "mtp/PlaceholderMarker.h"
#include "tests/fs/VolumeFixture.h"

using namespace kestrum;
using kestrumtest::LogCapture;
using ::testing::ElementsAre;

// Work submitted before the queue goes still runs, in arrival order.
TEST(SerialQueue, RunsWorkInArrivalOrderAndAllOfItBeforeItGoes) {
    std::vector<int> order;
    {
        SerialQueue queue("test");
        queue.submit([] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
        for (int i = 0; i < 100; ++i) queue.submit([&, i] { order.push_back(i); });
    }
    EXPECT_EQ(order.size(), 100u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

TEST(SerialQueue, RunSyncReturnsRethrowsRunsInlineAndLogsEscapingExceptions) {
    LogCapture log;
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
    // An escaping exception is logged and later work still runs.
    queue.submit([] { throw std::runtime_error("boom"); });
    EXPECT_EQ(queue.runSync([] { return 1; }), 1);
    EXPECT_THAT(log.at(LogLevel::error), ElementsAre("queue test: boom"));
}

// Lines from many threads arrive whole, and a line longer than the formatting buffer too.
TEST(Log, LinesArriveWhole) {
    LogCapture log;
    const std::string longName(3000, 'x');
    Log::error("read %s: %s", longName.c_str(), "end");
    EXPECT_THAT(log.at(LogLevel::error), ElementsAre("read " + longName + ": end"));
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

TEST(Names, FoldingAndTextRules) {
    EXPECT_TRUE(sameNameIgnoringCase("dcim", "DCIM"));
    EXPECT_FALSE(sameNameIgnoringCase("photo", "photos"));
    EXPECT_TRUE(sameNameIgnoringCase("ΣΟΦΙΑ", "σοφια"));
    EXPECT_TRUE(sameNameIgnoringCase("Straße", "STRASSE"));  // full case folding
    EXPECT_FALSE(sameNameIgnoringCase("e\xcc\x81", "É"));    // no normalisation
    EXPECT_TRUE(sameNameIgnoringCase("", ""));
    EXPECT_TRUE(isText("caf\xc3\xa9"));
    EXPECT_FALSE(isText("caf\xc3"));
    EXPECT_FALSE(isText("\xff"));
}

// Finder reads the window settings from the property list inside .DS_Store: it must parse.
TEST(DSStore, CarriesAValidPropertyList) {
    const std::vector<uint8_t> bytes = makeDSStore(), settings = windowSettingsPlist();
    ASSERT_TRUE(std::search(bytes.begin(), bytes.end(), settings.begin(), settings.end()) !=
                bytes.end());
    plist_t dict = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(settings.data()),
                   static_cast<uint32_t>(settings.size()), &dict);
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(plist_get_node_type(dict), PLIST_DICT);
    EXPECT_NE(plist_dict_get_item(dict, "WindowBounds"), nullptr);
    plist_free(dict);
}

namespace {

const mtp::PlaceholderMarker marker("ABC123", "Phone", true);

// A device whose first bytes are the marker, zeros after them.
struct MemoryResource : kestrum::BlockResource {
    MemoryResource(uint32_t blockSize, size_t size = 4096)
        : bytes(marker.encode()), block(blockSize) {
        bytes.resize(size);
    }
    uint32_t blockSize() const override { return block; }
    size_t read(uint64_t offset, std::span<uint8_t> buffer) const override {
        requested = buffer.size();
        if (fails) throw std::system_error(EIO, std::generic_category(), "read");
        size_t n = 0;
        for (; n < buffer.size() && offset + n < bytes.size(); ++n) buffer[n] = bytes[offset + n];
        return n;
    }
    std::vector<uint8_t> bytes;
    uint32_t block;
    mutable size_t requested = 0;
    bool fails = false;
};

// One block of at least 512 bytes is read; a device shorter than that, a failing read or another
// magic is no placeholder, and loading it looks for no phone.
TEST(MarkerTest, ReadsOneBlockOfAtLeast512Bytes) {
    MemoryResource large(4096), small(256);
    EXPECT_EQ(MTPFileSystem::readMarker(large), marker);
    EXPECT_EQ(large.requested, 4096u);
    EXPECT_EQ(MTPFileSystem::readMarker(small), marker);
    EXPECT_EQ(small.requested, 512u);

    MemoryResource shortDevice(4096, 1000), failing(512), other(512);
    failing.fails = true;
    other.bytes[7] = '2';
    bool looked = false;
    MTPFileSystem fileSystem({[&] {
                                  looked = true;
                                  return std::vector<mtp::USBDeviceRecord>{};
                              },
                              [](const mtp::USBDeviceRecord&) { return nullptr; }});
    for (const MemoryResource* resource : {&shortDevice, &failing, &other}) {
        EXPECT_EQ(MTPFileSystem::readMarker(*resource), std::nullopt);
        EXPECT_FALSE(fileSystem.probe(*resource).recognized);
        EXPECT_EQ(fileSystem.load(*resource).error, EINVAL);
    }
    EXPECT_FALSE(looked);
}

}  // namespace
