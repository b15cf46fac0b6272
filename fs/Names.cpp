#include "fs/Names.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <string>

namespace kestrum {

namespace {

bool isASCII(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80) return false;
    return true;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

std::u16string utf16(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()),
                         0xFFFD, nullptr, &status);
    std::u16string result(length, u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(result.data(), length, &length, text.data(),
                         static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) return {};
    return result;
}

}  // namespace

bool isText(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, name.data(), static_cast<int32_t>(name.size()), &status);
    return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING ||
           U_SUCCESS(status);
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i])) return false;
        return true;
    }
    std::u16string wideA = utf16(a), wideB = utf16(b);
    UErrorCode status = U_ZERO_ERROR;
    int32_t order =
        u_strCaseCompare(wideA.data(), static_cast<int32_t>(wideA.size()), wideB.data(),
                         static_cast<int32_t>(wideB.size()), U_FOLD_CASE_DEFAULT, &status);
    return U_SUCCESS(status) && order == 0;
}

size_t utf16Length(std::string_view name) {
    if (isASCII(name)) return name.size();
    return utf16(name).size();
}

}  // namespace kestrum
