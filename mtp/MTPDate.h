#pragma once
// The DateModified strings phones send ("20240131T235959", often with ".0Z" or "+0100" after).

#include <chrono>
#include <optional>
#include <string_view>

namespace mtp {

using Timestamp = std::chrono::system_clock::time_point;

// Parses the first 15 characters as yyyyMMdd'T'HHmmss in the computer's current time zone;
// anything after them is ignored. Fewer than 15 characters, or a field out of range (month 13,
// 30 February, hour 24, ...), and years the timestamp cannot hold (before 1678 or after 2261),
// give no date. Thread-safe.
std::optional<Timestamp> parseMTPDate(std::string_view text);

}  // namespace mtp
