#pragma once
// The two error types of the MTP core. Everything the core throws is one of these.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace mtp {

// A response other than OK. Printed "MTP op 0x%04X failed with 0x%04X".
class MTPError : public std::exception {
  public:
    MTPError(uint16_t op, uint16_t response);
    uint16_t op;
    uint16_t response;
    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const MTPError& other) const {
        return op == other.op && response == other.response;
    }

  private:
    std::string text_;
};

// Every transport- and protocol-level failure; its printable text is the message itself.
class MTPTransportError : public std::exception {
  public:
    explicit MTPTransportError(std::string message) : message(std::move(message)) {}
    std::string message;
    const char* what() const noexcept override { return message.c_str(); }
    bool operator==(const MTPTransportError& other) const { return message == other.message; }
};

// POSIX error number the file system reports for a failure of the core (EIO when nothing closer
// applies). Works on any exception; non-MTP ones map to EIO.
int errnoFor(const std::exception& error) noexcept;

}  // namespace mtp
