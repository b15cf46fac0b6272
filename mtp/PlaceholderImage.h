#pragma once
// The 1 MiB GPT disk image that carries a placeholder marker in its single partition, and
// reading the marker back from the partition.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "mtp/PlaceholderMarker.h"

namespace mtp {

inline constexpr size_t placeholderImageSize = 1 << 20;  // 2048 sectors of 512 bytes
inline constexpr uint64_t placeholderPartitionFirstLBA = 40;
inline constexpr uint64_t placeholderPartitionLastLBA = 2014;

// The partition type GUID of placeholder partitions.
UUID placeholderPartitionType();

// The image for the marker, with fresh random disk and partition GUIDs. The caller writes it
// to the image file. Never throws but for allocation.
std::vector<uint8_t> placeholderImage(const PlaceholderMarker& marker);
// The same with given GUIDs, for reproducible images.
std::vector<uint8_t> placeholderImage(const PlaceholderMarker& marker, const UUID& diskGUID,
                                      const UUID& partitionGUID);

// Reads up to buffer.size() bytes at a byte offset of a disk; returns the count read (less only
// at its end). May throw; the throw passes through the caller.
using DiskReader = std::function<size_t(uint64_t offset, std::span<uint8_t> buffer)>;

// Where partition 1 of a whole disk holding a placeholder image starts, in bytes: the first
// entry of its GPT (header and entry array checked against their CRCs), if that entry has the
// placeholder type. blockSize is the disk's logical block size (512 for a file). None for
// anything else, e.g. the partition itself.
std::optional<uint64_t> placeholderPartitionOffset(const DiskReader& read, uint32_t blockSize);

// Reads one block at offset 0 (the logical block size from BLKSSZGET, at least 512 bytes; 512
// for a plain file) and decodes it. A failed or short read gives no marker. Never throws.
std::optional<PlaceholderMarker> readPlaceholderMarker(int fd);
// The same after opening the path read-only (a partition such as /dev/loop0p1, or a file).
std::optional<PlaceholderMarker> readPlaceholderMarker(const std::filesystem::path& path);

}  // namespace mtp
