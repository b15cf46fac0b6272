#pragma once
// The phone's own little-endian encoders and decoders. Deliberately independent of the MTP
// core's, so that a symmetric mistake in the core cannot hide behind its own test fixture.

#include <cstdint>
#include <ctime>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace phonesim {

using Bytes = std::vector<uint8_t>;

class WireWriter {
  public:
    explicit WireWriter(Bytes& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void u64(uint64_t v) {
        u32(static_cast<uint32_t>(v));
        u32(static_cast<uint32_t>(v >> 32));
    }
    // PTP string: count byte (UTF-16 units + NUL), units little-endian; "" is one 0 byte.
    // Cut to 254 units.
    void str(std::string_view utf8);
    void au16(std::span<const uint16_t> values) {
        u32(static_cast<uint32_t>(values.size()));
        for (uint16_t v : values) u16(v);
    }
    // An array of protocol codes (operations, events, formats...).
    template <typename Codes>
    void codes(const Codes& values) {
        u32(static_cast<uint32_t>(std::size(values)));
        for (auto v : values) u16(static_cast<uint16_t>(v));
    }
    void au32(std::span<const uint32_t> values) {
        u32(static_cast<uint32_t>(values.size()));
        for (uint32_t v : values) u32(v);
    }

  private:
    Bytes& out_;
};

// Reads past the end as zeros, like every MTP decoder here.
class WireReader {
  public:
    explicit WireReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint8_t u8() { return pos_ < bytes_.size() ? bytes_[pos_++] : (pos_++, 0); }
    uint16_t u16() {
        uint16_t lo = u8();
        return static_cast<uint16_t>(lo | u8() << 8);
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | static_cast<uint32_t>(u16()) << 16;
    }
    uint64_t u64() {
        uint64_t lo = u32();
        return lo | static_cast<uint64_t>(u32()) << 32;
    }
    void skip(size_t n) { pos_ += n; }
    std::string str();  // UTF-8, trailing NULs removed, bad surrogates repaired

  private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

// "YYYYMMDDThhmmss" in local time, as Android writes DateModified.
std::string formatMTPDate(std::time_t time);

// Case-insensitive name equality by Unicode case folding.
bool sameName(std::string_view a, std::string_view b);

// Android refuses these names: empty, ".", ".." and anything with '/' (or NUL).
bool isValidName(std::string_view name);

}  // namespace phonesim
