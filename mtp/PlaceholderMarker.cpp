#include "mtp/PlaceholderMarker.h"

#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace mtp {

namespace {

constexpr std::string_view magic = "MTPFSPH1";
constexpr size_t serialOffset = 24;
constexpr size_t nameOffset = serialOffset + PlaceholderMarker::serialBytes;
constexpr size_t writableOffset = nameOffset + PlaceholderMarker::nameBytes;
static_assert(writableOffset + 1 == PlaceholderMarker::encodedSize);

const UUID& containerNamespace() {
    static const UUID value = *UUID::parse("682E9E56-5FFF-4A0B-804B-99CD9AE537EA");
    return value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A field up to its first zero byte, as valid UTF-8 (invalid sequences become U+FFFD).
std::string repairedText(std::span<const uint8_t> field) {
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    const std::string_view raw(reinterpret_cast<const char*>(field.data()),
                               static_cast<size_t>(end - field.begin()));
    if (raw.empty()) return {};

    // UTF-16 never needs more units than UTF-8 has bytes.
    std::vector<UChar> wide(raw.size());
    int32_t wideLength = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &wideLength, raw.data(),
                         static_cast<int32_t>(raw.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return {};

    // Each UTF-16 unit takes at most 3 UTF-8 bytes (U+FFFD takes exactly 3).
    std::string text(static_cast<size_t>(wideLength) * 3, '\0');
    int32_t textLength = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(text.data(), static_cast<int32_t>(text.size()), &textLength, wide.data(),
                wideLength, &status);
    if (U_FAILURE(status)) return {};
    text.resize(static_cast<size_t>(textLength));
    return text;
}

}  // namespace

UUID UUID::random() {
    UUID uuid;
    if (RAND_bytes(uuid.bytes.data(), static_cast<int>(uuid.bytes.size())) != 1) {
        std::random_device device;
        for (auto& byte : uuid.bytes) byte = static_cast<uint8_t>(device());
    }
    uuid.bytes[6] = static_cast<uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);
    uuid.bytes[8] = static_cast<uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);
    return uuid;
}

std::optional<UUID> UUID::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    UUID uuid;
    size_t byte = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        uuid.bytes[byte++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return uuid;
}

std::string UUID::toString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

std::array<uint8_t, 16> UUID::mixedEndian() const {
    auto out = bytes;
    std::reverse(out.begin(), out.begin() + 4);
    std::reverse(out.begin() + 4, out.begin() + 6);
    std::reverse(out.begin() + 6, out.begin() + 8);
    return out;
}

std::string cutUTF8(std::string_view text, size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    // Back up over the continuation bytes of the character that crosses the limit; a valid
    // character has at most three of them.
    size_t cut = maxBytes;
    for (int step = 0; step < 3 && cut > 0; ++step) {
        if ((static_cast<uint8_t>(text[cut]) & 0xC0) != 0x80) break;
        --cut;
    }
    if ((static_cast<uint8_t>(text[cut]) & 0xC0) == 0x80) cut = maxBytes;  // not UTF-8 anyway
    return std::string(text.substr(0, cut));
}

UUID containerIDFor(std::string_view id) {
    std::vector<uint8_t> input(containerNamespace().bytes.begin(),
                               containerNamespace().bytes.end());
    input.insert(input.end(), id.begin(), id.end());
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA1(input.data(), input.size(), digest);

    UUID uuid;
    std::copy_n(digest, uuid.bytes.size(), uuid.bytes.begin());
    uuid.bytes[6] = static_cast<uint8_t>((uuid.bytes[6] & 0x0F) | 0x50);
    uuid.bytes[8] = static_cast<uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);
    return uuid;
}

PlaceholderMarker::PlaceholderMarker(std::string_view id, std::string_view name, bool writable)
    : containerID(containerIDFor(id)),
      serial(cutUTF8(id, serialBytes)),
      name(cutUTF8(name, nameBytes)),
      writable(writable) {}

std::vector<uint8_t> PlaceholderMarker::encode() const {
    std::vector<uint8_t> out(encodedSize, 0);
    std::copy(magic.begin(), magic.end(), out.begin());
    std::copy(containerID.bytes.begin(), containerID.bytes.end(), out.begin() + magic.size());
    const auto cutSerial = cutUTF8(serial, serialBytes);
    const auto cutName = cutUTF8(name, nameBytes);
    std::copy(cutSerial.begin(), cutSerial.end(), out.begin() + serialOffset);
    std::copy(cutName.begin(), cutName.end(), out.begin() + nameOffset);
    out[writableOffset] = writable ? 1 : 0;
    return out;
}

std::optional<PlaceholderMarker> PlaceholderMarker::decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < writableOffset) return std::nullopt;
    if (!std::equal(magic.begin(), magic.end(), bytes.begin())) return std::nullopt;
    PlaceholderMarker marker;
    std::copy_n(bytes.begin() + magic.size(), marker.containerID.bytes.size(),
                marker.containerID.bytes.begin());
    marker.serial = repairedText(bytes.subspan(serialOffset, serialBytes));
    marker.name = repairedText(bytes.subspan(nameOffset, nameBytes));
    marker.writable = bytes.size() > writableOffset && (bytes[writableOffset] & 1) != 0;
    return marker;
}

}  // namespace mtp
