#include "mtp/ByteReader.h"

#include <algorithm>
#include <limits>

#include "mtp/PTPString.h"

namespace mtp {

uint8_t ByteReader::readU8() {
    uint8_t value = position_ < bytes_.size() ? bytes_[position_] : 0;
    skip(1);
    return value;
}

uint16_t ByteReader::readU16() {
    uint16_t low = readU8();
    uint16_t high = readU8();
    return static_cast<uint16_t>(low | (high << 8));
}

uint32_t ByteReader::readU32() {
    uint32_t low = readU16();
    uint32_t high = readU16();
    return low | (high << 16);
}

uint64_t ByteReader::readU64() {
    uint64_t low = readU32();
    uint64_t high = readU32();
    return low | (high << 32);
}

std::string ByteReader::readString() {
    uint8_t count = readU8();
    std::u16string units(count, u'\0');
    for (auto& unit : units) unit = static_cast<char16_t>(readU16());
    while (!units.empty() && units.back() == u'\0') units.pop_back();
    return fromUTF16(units);
}

uint32_t ByteReader::clampedCount() {
    uint64_t count = readU32();
    return static_cast<uint32_t>(std::min<uint64_t>(count, bytes_.size()));
}

std::vector<uint16_t> ByteReader::readArrayU16() {
    std::vector<uint16_t> values(clampedCount());
    for (auto& value : values) value = readU16();
    return values;
}

std::vector<uint32_t> ByteReader::readArrayU32() {
    std::vector<uint32_t> values(clampedCount());
    for (auto& value : values) value = readU32();
    return values;
}

void ByteReader::skip(uint64_t n) {
    constexpr uint64_t max = std::numeric_limits<uint64_t>::max();
    position_ = n > max - position_ ? max : position_ + n;
}

}  // namespace mtp
