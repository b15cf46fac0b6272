#include "mtp/MTPError.h"

#include <cerrno>
#include <cstdio>

#include "mtp/MTPCodes.h"

namespace mtp {

MTPError::MTPError(Op op, Response response) : op(op), response(response) {
    char text[40];
    std::snprintf(text, sizeof text, "MTP op 0x%04X failed with 0x%04X", wire(op), wire(response));
    text_ = text;
}

int errnoFor(const std::exception& error) noexcept {
    if (const auto* transport = dynamic_cast<const MTPTransportError*>(&error)) {
        // The file system reports every transport failure as an I/O error: a mount whose
        // phone is gone or taken must not look like a missing or busy file. The switch has no
        // default so that a new kind has to be decided here.
        switch (transport->kind) {
            case TransportErrorKind::other:
            case TransportErrorKind::noDevice:
            case TransportErrorKind::busy:
            case TransportErrorKind::timeout:
            case TransportErrorKind::stall:
            case TransportErrorKind::io:
            case TransportErrorKind::protocol:
            case TransportErrorKind::stalled:
            case TransportErrorKind::unsupported:
                return EIO;
        }
        return EIO;
    }
    const auto* mtpError = dynamic_cast<const MTPError*>(&error);
    if (!mtpError) return EIO;
    switch (mtpError->response) {
        case Response::InvalidObjectHandle:
            return ENOENT;
        case Response::StoreFull:
            return ENOSPC;
        case Response::ObjectWriteProtected:
        case Response::AccessDenied:
            return EACCES;
        case Response::StoreReadOnly:
            return EROFS;
        case Response::ObjectTooLarge:
            return EFBIG;
        default:
            return EIO;
    }
}

}  // namespace mtp
