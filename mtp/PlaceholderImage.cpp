#include "mtp/PlaceholderImage.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <string_view>

namespace mtp {

namespace {

constexpr size_t sectorSize = 512;
constexpr uint64_t lastLBA = placeholderImageSize / sectorSize - 1;  // 2047
constexpr uint64_t primaryEntriesLBA = 2;
constexpr uint64_t backupEntriesLBA = 2015;
constexpr uint64_t firstUsableLBA = 34;
constexpr uint32_t entryCount = 128;
constexpr uint32_t entrySize = 128;
constexpr size_t entryArrayBytes = entryCount * entrySize;  // 16,384
constexpr uint32_t headerSize = 92;
constexpr std::u16string_view partitionName = u"MTP Placeholder";
static_assert(backupEntriesLBA + entryArrayBytes / sectorSize == lastLBA);
static_assert(placeholderPartitionLastLBA == backupEntriesLBA - 1);

void put32(std::span<uint8_t> out, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put64(std::span<uint8_t> out, size_t offset, uint64_t value) {
    for (size_t i = 0; i < 8; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void put(std::span<uint8_t> out, size_t offset, std::span<const uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), out.begin() + static_cast<ptrdiff_t>(offset));
}

uint32_t crc(std::span<const uint8_t> bytes) {
    return static_cast<uint32_t>(
        crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));  // IEEE 802.3, as GPT uses
}

uint32_t get32(std::span<const uint8_t> in, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t{in[offset + i]} << (8 * i);
    return value;
}

uint64_t get64(std::span<const uint8_t> in, size_t offset) {
    return uint64_t{get32(in, offset)} | uint64_t{get32(in, offset + 4)} << 32;
}

std::vector<uint8_t> gptHeader(uint64_t thisLBA, uint64_t otherLBA, uint64_t entriesLBA,
                               const UUID& diskGUID, uint32_t entriesCRC) {
    std::vector<uint8_t> header(headerSize, 0);
    constexpr std::string_view signature = "EFI PART";
    std::copy(signature.begin(), signature.end(), header.begin());
    put32(header, 8, 0x00010000);
    put32(header, 12, headerSize);
    put64(header, 24, thisLBA);
    put64(header, 32, otherLBA);
    put64(header, 40, firstUsableLBA);
    put64(header, 48, placeholderPartitionLastLBA);
    put(header, 56, diskGUID.mixedEndian());
    put64(header, 72, entriesLBA);
    put32(header, 80, entryCount);
    put32(header, 84, entrySize);
    put32(header, 88, entriesCRC);
    put32(header, 16, crc(header));
    return header;
}

}  // namespace

UUID placeholderPartitionType() {
    return *UUID::parse("682E9E56-5FFF-4A0B-804B-99CD9AE537EA");
}

std::vector<uint8_t> placeholderImage(const PlaceholderMarker& marker) {
    return placeholderImage(marker, UUID::random(), UUID::random());
}

std::vector<uint8_t> placeholderImage(const PlaceholderMarker& marker, const UUID& diskGUID,
                                      const UUID& partitionGUID) {
    std::vector<uint8_t> image(placeholderImageSize, 0);

    // Protective MBR: one entry of type 0xEE covering the whole disk after LBA 0.
    constexpr uint8_t mbrEntry[] = {0x00, 0x00, 0x02, 0x00, 0xEE, 0xFF, 0xFF, 0xFF};
    put(image, 0x1BE, mbrEntry);
    put32(image, 0x1BE + 8, 1);
    put32(image, 0x1BE + 12, static_cast<uint32_t>(lastLBA));
    image[0x1FE] = 0x55;
    image[0x1FF] = 0xAA;

    std::vector<uint8_t> entries(entryArrayBytes, 0);
    put(entries, 0, placeholderPartitionType().mixedEndian());
    put(entries, 16, partitionGUID.mixedEndian());
    put64(entries, 32, placeholderPartitionFirstLBA);
    put64(entries, 40, placeholderPartitionLastLBA);
    for (size_t i = 0; i < partitionName.size(); ++i) {
        entries[56 + 2 * i] = static_cast<uint8_t>(partitionName[i]);
        entries[56 + 2 * i + 1] = static_cast<uint8_t>(partitionName[i] >> 8);
    }
    const uint32_t entriesCRC = crc(entries);

    put(image, 1 * sectorSize, gptHeader(1, lastLBA, primaryEntriesLBA, diskGUID, entriesCRC));
    put(image, primaryEntriesLBA * sectorSize, entries);
    put(image, backupEntriesLBA * sectorSize, entries);
    put(image, lastLBA * sectorSize, gptHeader(lastLBA, 1, backupEntriesLBA, diskGUID, entriesCRC));
    put(image, placeholderPartitionFirstLBA * sectorSize, marker.encode());
    return image;
}

std::optional<uint64_t> placeholderPartitionOffset(const DiskReader& read, uint32_t blockSize) {
    if (blockSize < sectorSize) return std::nullopt;
    std::vector<uint8_t> header(blockSize);
    if (read(blockSize, header) != header.size()) return std::nullopt;
    const uint32_t size = get32(header, 12);
    if (!std::equal(header.begin(), header.begin() + 8, "EFI PART") || size < headerSize ||
        size > blockSize) {
        return std::nullopt;
    }
    const uint32_t headerCRC = get32(header, 16);
    put32(header, 16, 0);
    if (crc(std::span(header).first(size)) != headerCRC) return std::nullopt;

    // Only entry 1 matters, but the CRC covers the whole array; 128 entries are the norm and
    // anything far larger is not a placeholder.
    const uint64_t entriesLBA = get64(header, 72);
    const uint32_t count = get32(header, 80);
    const uint32_t stride = get32(header, 84);
    if (count == 0 || stride < entrySize || uint64_t{count} * stride > 1 << 20) return std::nullopt;
    std::vector<uint8_t> entries(size_t{count} * stride);
    if (read(entriesLBA * blockSize, entries) != entries.size() ||
        crc(entries) != get32(header, 88)) {
        return std::nullopt;
    }
    const auto type = placeholderPartitionType().mixedEndian();
    if (!std::equal(type.begin(), type.end(), entries.begin())) return std::nullopt;
    const uint64_t first = get64(entries, 32);
    if (first == 0 || first > get64(entries, 40)) return std::nullopt;
    return first * blockSize;
}

std::optional<PlaceholderMarker> readPlaceholderMarker(int fd) {
    int blockSize = 0;
    if (::ioctl(fd, BLKSSZGET, &blockSize) != 0 || blockSize < static_cast<int>(sectorSize)) {
        blockSize = sectorSize;
    }
    std::vector<uint8_t> block(static_cast<size_t>(blockSize));
    size_t filled = 0;
    while (filled < block.size()) {
        const auto n =
            ::pread(fd, block.data() + filled, block.size() - filled, static_cast<off_t>(filled));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        filled += static_cast<size_t>(n);
    }
    return PlaceholderMarker::decode(block);
}

std::optional<PlaceholderMarker> readPlaceholderMarker(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto marker = readPlaceholderMarker(fd);
    ::close(fd);
    return marker;
}

}  // namespace mtp
