#pragma once
// The synthetic ".DS_Store" served in the volume's root: a Bud1 store whose one record (the
// "bwsp" blob of ".") makes the file manager open the volume with a fixed window layout.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

inline constexpr size_t dsStoreSize = 8196;

// The window settings as a binary property list; empty if serialisation fails.
std::vector<uint8_t> windowSettingsPlist();

// Exactly dsStoreSize bytes, big-endian, zero where nothing is written.
std::vector<uint8_t> makeDSStore();

}  // namespace kestrum
