#pragma once
// Name rules shared by the volume's operations: names are UTF-8 in the volume and compared the
// way a case-insensitive, case-preserving file system does.

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrum {

// Whether the bytes are well-formed UTF-8 (a name the volume can read as text).
bool isText(std::string_view name);

// The name under Unicode default full case folding, in UTF-8: two names are equal ignoring
// case exactly when their folded forms are equal. ASCII is folded without ICU. Ill-formed bytes
// fold as U+FFFD.
std::string foldedName(std::string_view name);

// foldedName(a) == foldedName(b), without building them for ASCII.
bool sameNameIgnoringCase(std::string_view a, std::string_view b);

// Length in UTF-16 code units (ill-formed sequences count one unit each).
size_t utf16Length(std::string_view name);

}  // namespace kestrum
