#include "fs/PosixError.h"

#include <cstring>

namespace kestrum {

PosixError::PosixError(int code)
    : code(code),
      text_(std::string(strerrordesc_np(code) ? strerrordesc_np(code) : "Unknown error") +
            " (errno " + std::to_string(code) + ")") {}

}  // namespace kestrum
