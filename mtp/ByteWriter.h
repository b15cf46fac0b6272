#pragma once
// Little-endian appenders for the payloads the computer sends (ObjectInfo, property values).

#include <cstdint>
#include <vector>

namespace mtp {

using Bytes = std::vector<uint8_t>;

inline void appendU8(Bytes& out, uint8_t value) {
    out.push_back(value);
}

inline void appendU16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void appendU32(Bytes& out, uint32_t value) {
    appendU16(out, static_cast<uint16_t>(value));
    appendU16(out, static_cast<uint16_t>(value >> 16));
}

inline void appendU64(Bytes& out, uint64_t value) {
    appendU32(out, static_cast<uint32_t>(value));
    appendU32(out, static_cast<uint32_t>(value >> 32));
}

}  // namespace mtp
