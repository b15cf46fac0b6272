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

std::string foldedName(std::string_view name) {
    if (isASCII(name)) {
        std::string folded(name);
        for (char& c : folded) c = lower(c);
        return folded;
    }
    const std::u16string wide = utf16(name);
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = u_strFoldCase(nullptr, 0, wide.data(), static_cast<int32_t>(wide.size()),
                                   U_FOLD_CASE_DEFAULT, &status);
    std::u16string folded(length, u'\0');
    status = U_ZERO_ERROR;
    u_strFoldCase(folded.data(), length, wide.data(), static_cast<int32_t>(wide.size()),
                  U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status)) return std::string(name);
    status = U_ZERO_ERROR;
    int32_t bytes = 0;
    u_strToUTF8(nullptr, 0, &bytes, folded.data(), length, &status);
    std::string result(bytes, '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(result.data(), bytes, &bytes, folded.data(), length, &status);
    return U_FAILURE(status) ? std::string(name) : result;
}

bool sameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) {
        if (a.size() != b.size()) return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i])) return false;
        return true;
    }
    return foldedName(a) == foldedName(b);
}

size_t utf16Length(std::string_view name) {
    if (isASCII(name)) return name.size();
    return utf16(name).size();
}

}  // namespace kestrum
