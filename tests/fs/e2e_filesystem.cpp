// The placeholder marker as MTPFileSystem reads it from a block device in memory: block sizes,
// short and failing reads. Loading and serving phones through the real device node, loop
// backing file and USB transport is covered by the end-to-end scripts.

#include <cerrno>
#include <memory>
#include <span>
#include <system_error>

#include <gtest/gtest.h>

#include "fs/MTPFileSystem.h"
#include "mtp/PlaceholderMarker.h"

namespace {

using kestrum::MTPFileSystem;

const mtp::PlaceholderMarker marker("ABC123", "Phone", true);

// A device whose first bytes are the marker (zeros after them, size bytes in all).
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
