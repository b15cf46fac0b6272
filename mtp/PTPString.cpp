#include "mtp/PTPString.h"

#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>

namespace mtp {

namespace {
constexpr UChar32 replacement = 0xFFFD;
// UTF-8 bytes that always hold more than maxPTPStringUnits units: every unit comes from at
// most three bytes, so a cut here cannot disturb the units that are kept.
constexpr size_t ptpPrefixBytes = 3 * (maxPTPStringUnits + 2);
}  // namespace

std::string fromUTF16(std::u16string_view units) {
    if (units.empty()) return {};
    // One unit gives at most three UTF-8 bytes (a pair gives four for two units).
    units = units.substr(0, INT32_MAX / 3);
    std::string out(units.size() * 3, '\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, units.data(),
                       static_cast<int32_t>(units.size()), replacement, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<size_t>(length));
    return out;
}

std::u16string toUTF16(std::string_view utf8) {
    if (utf8.empty()) return {};
    utf8 = utf8.substr(0, INT32_MAX);
    // One byte gives at most one unit.
    std::u16string out(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), replacement, nullptr, &status);
    if (U_FAILURE(status)) return {};
    out.resize(static_cast<size_t>(length));
    return out;
}

void appendPTPString(Bytes& out, std::string_view utf8) {
    std::u16string units = toUTF16(utf8.substr(0, ptpPrefixBytes));
    if (units.size() > maxPTPStringUnits) {
        units.resize(maxPTPStringUnits);
        // A lone high surrogate would reach the phone as a broken name.
        if (U16_IS_LEAD(units.back())) units.pop_back();
    }
    if (units.empty()) {
        appendU8(out, 0);
        return;
    }
    appendU8(out, static_cast<uint8_t>(units.size() + 1));
    for (char16_t unit : units) appendU16(out, static_cast<uint16_t>(unit));
    appendU16(out, 0);
}

}  // namespace mtp
