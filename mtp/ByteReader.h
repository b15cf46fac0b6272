#pragma once
// The one cursor every decoder reads through. Reading never fails: a byte at or past the end
// reads as 0 and the cursor still moves, so a truncated dataset yields zeros and empty strings.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mtp {

// Does not own the bytes: they must outlive the reader. Little-endian throughout.
class ByteReader {
  public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint8_t readU8();
    // Two bytes; wider integers are built from consecutive u16 reads, low half first.
    uint16_t readU16();
    uint32_t readU32();
    uint64_t readU64();
    // PTP string: u8 unit count (NUL included), then UTF-16LE units. Trailing NULs are removed
    // and unpaired surrogates become U+FFFD. Returns UTF-8.
    std::string readString();
    // PTP arrays: u32 count, then the elements. The count is first clamped to the payload's
    // total byte length (a claim of a billion elements cannot make us allocate a billion).
    std::vector<uint16_t> readArrayU16();
    std::vector<uint32_t> readArrayU32();
    // Moves the cursor n bytes (it may go past the end; later reads give zeros).
    void skip(uint64_t n);

    // Cursor in bytes from the start; may exceed size().
    uint64_t position() const { return position_; }
    size_t size() const { return bytes_.size(); }
    bool atEnd() const { return position_ >= bytes_.size(); }

  private:
    uint32_t clampedCount();

    std::span<const uint8_t> bytes_;
    uint64_t position_ = 0;
};

}  // namespace mtp
