#include "tools/phonesim/WireFormat.h"

#include <algorithm>

#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utypes.h>

namespace phonesim {

void WireWriter::str(std::string_view utf8) {
    if (utf8.empty()) {
        u8(0);
        return;
    }
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    int32_t units = std::min<int32_t>(text.length(), 254);
    u8(static_cast<uint8_t>(units + 1));
    for (int32_t i = 0; i < units; ++i) u16(text.charAt(i));
    u16(0);
}

std::string WireReader::str() {
    uint8_t count = u8();
    icu::UnicodeString text;
    for (uint8_t i = 0; i < count; ++i) text.append(static_cast<UChar>(u16()));
    while (text.length() > 0 && text.charAt(text.length() - 1) == 0)
        text.truncate(text.length() - 1);
    std::string out;
    // toUTF8String writes U+FFFD for unpaired surrogates.
    text.toUTF8String(out);
    return out;
}

std::string formatMTPDate(std::time_t time) {
    std::tm parts{};
    localtime_r(&time, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &parts);
    return text;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a == b) return true;
    auto ua =
        icu::UnicodeString::fromUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())));
    auto ub =
        icu::UnicodeString::fromUTF8(icu::StringPiece(b.data(), static_cast<int32_t>(b.size())));
    return ua.caseCompare(ub, U_FOLD_CASE_DEFAULT) == 0;
}

bool isValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace phonesim
