#pragma once
// The placeholder marker: the one message from the app to the file system, naming the phone
// to serve, the volume name and whether writing is requested.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mtp {

// A UUID as 16 bytes in RFC 4122 (network) byte order.
struct UUID {
    std::array<uint8_t, 16> bytes{};

    // Version 4 from the system's random source (OpenSSL, falling back to the C++ library's).
    static UUID random();
    // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either case; none for anything else.
    static std::optional<UUID> parse(std::string_view text);
    // Upper case, e.g. "42DF93AC-E832-50C3-959F-289FAF7C4C35".
    std::string toString() const;
    // GPT's mixed-endian form: bytes 0-3, 4-5 and 6-7 reversed, 8-15 unchanged.
    std::array<uint8_t, 16> mixedEndian() const;

    bool operator==(const UUID&) const = default;
};

// The longest prefix of text of at most maxBytes bytes that keeps whole UTF-8 characters.
std::string cutUTF8(std::string_view text, size_t maxBytes);

struct PlaceholderMarker {
    static constexpr size_t encodedSize = 217;
    static constexpr size_t serialBytes = 64;
    static constexpr size_t nameBytes = 128;

    UUID containerID;
    std::string serial;  // the device id, at most 64 UTF-8 bytes
    std::string name;    // the volume name, at most 128 UTF-8 bytes
    bool writable = false;

    PlaceholderMarker() = default;
    // Derives the marker of a phone from its device id (USBDeviceRecord::id): the container ID
    // is the name-based (version 5, SHA-1) UUID of the id; id and name are cut to their limits.
    PlaceholderMarker(std::string_view id, std::string_view name, bool writable);

    // The 217-byte record: "MTPFSPH1", containerID (RFC byte order), serial and name
    // zero-padded to 64 and 128 bytes, then 1 or 0 for writable. Fields longer than their
    // limits are cut as the derivation does.
    std::vector<uint8_t> encode() const;

    // None when fewer than 216 bytes or the magic differs. Text fields end at their first zero
    // byte; invalid UTF-8 is replaced by U+FFFD. writable is false when byte 216 is missing.
    static std::optional<PlaceholderMarker> decode(std::span<const uint8_t> bytes);

    bool operator==(const PlaceholderMarker&) const = default;
};

// The container ID a marker made for this device id carries.
UUID containerIDFor(std::string_view id);

}  // namespace mtp
