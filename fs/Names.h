#pragma once
// Name rules shared by the volume's operations: names are UTF-8 in the volume and compared the
// way a case-insensitive, case-preserving file system does.

#include <cstddef>
#include <string_view>

namespace kestrum {

// Whether the bytes are well-formed UTF-8 (a name the volume can read as text).
bool isText(std::string_view name);

// Equal under Unicode default case folding; ASCII compared without ICU. Ill-formed bytes are
// compared as U+FFFD.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

// Length in UTF-16 code units (ill-formed sequences count one unit each).
size_t utf16Length(std::string_view name);

}  // namespace kestrum
