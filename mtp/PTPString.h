#pragma once
// PTP strings and the UTF-16 conversions behind them. Conversions never fail: malformed input
// (unpaired surrogates, invalid UTF-8) becomes U+FFFD.

#include <string>
#include <string_view>

#include "mtp/ByteWriter.h"

namespace mtp {

// Longest string a PTP string carries, in UTF-16 units (the count byte also holds the NUL).
inline constexpr size_t maxPTPStringUnits = 254;

// UTF-16 to UTF-8.
std::string fromUTF16(std::u16string_view units);
// UTF-8 to UTF-16.
std::u16string toUTF16(std::string_view utf8);

// Appends the PTP string of utf8: the empty string is the single byte 0; otherwise the first
// 254 UTF-16 units (one fewer when the cut would split a surrogate pair), a NUL unit, preceded
// by the count byte (units + 1).
void appendPTPString(Bytes& out, std::string_view utf8);

}  // namespace mtp
