#pragma once
// The two error types of the MTP core. Everything the core throws is one of these.

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "mtp/MTPCodes.h"

namespace mtp {

// A response other than OK. Printed "MTP op 0x%04X failed with 0x%04X".
class MTPError : public std::exception {
  public:
    MTPError(Op op, Response response);
    Op op;
    Response response;
    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const MTPError& other) const {
        return op == other.op && response == other.response;
    }

  private:
    std::string text_;
};

// What went wrong below the MTP responses. Code decides by the kind, never by the text.
enum class TransportErrorKind {
    other,       // none of the below (an owner's own failure, e.g. a volume shut down)
    noDevice,    // the phone or its MTP interface is not (or no longer) there
    busy,        // another program holds the interface
    timeout,     // a transfer did not complete within its limit
    stall,       // an endpoint halted
    io,          // any other failure of a transfer or of the USB library
    protocol,    // the phone's bytes break the protocol (wrong container, ID, length)
    stalled,     // the session gave up after a failed write; the phone must be reconnected
    unsupported  // the phone lacks what the request needs (e.g. 64-bit offsets)
};

// Every transport- and protocol-level failure; its printable text is the message itself.
// libusbCode is the libusb error (a negative LIBUSB_ERROR_*) behind it, 0 when none.
class MTPTransportError : public std::exception {
  public:
    explicit MTPTransportError(std::string message,
                               TransportErrorKind kind = TransportErrorKind::other,
                               int libusbCode = 0)
        : message(std::move(message)), kind(kind), libusbCode(libusbCode) {}
    std::string message;
    TransportErrorKind kind;
    int libusbCode;
    const char* what() const noexcept override { return message.c_str(); }
    bool operator==(const MTPTransportError& other) const {
        return message == other.message && kind == other.kind && libusbCode == other.libusbCode;
    }
};

// The one mapping of a core failure to the POSIX error number the file system reports (EIO
// when nothing closer applies). Works on any exception; non-MTP ones map to EIO.
[[nodiscard]] int errnoFor(const std::exception& error) noexcept;

}  // namespace mtp
