#pragma once
// The file system's own refusal: a POSIX error number chosen by the volume. The host turns it
// into the errno of the FUSE reply; nothing inside the volume returns error codes.

#include <cerrno>
#include <exception>
#include <string>

namespace kestrum {

class PosixError : public std::exception {
  public:
    // code: a positive errno value (EIO, ENOENT, ...).
    explicit PosixError(int code);
    int code;
    // "<strerror text> (errno <code>)".
    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const PosixError& other) const { return code == other.code; }

  private:
    std::string text_;
};

}  // namespace kestrum
