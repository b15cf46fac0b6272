// Extended attributes of the volume's items (fs/Xattrs holds them).

#include "fs/PosixError.h"
#include "fs/Volume.h"

namespace kestrum {

Bytes Volume::getXattr(uint64_t id, std::string_view name) {
    verifyOnQueue(__func__);
    if (!item(id)) throw PosixError(ENODATA);
    return xattrs_.get(id, name);
}

void Volume::setXattr(uint64_t id, std::string_view name, std::span<const uint8_t> value,
                      XattrPolicy policy) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    if (!item(id)) throw PosixError(EINVAL);
    xattrs_.set(id, name, value, policy);
}

std::vector<std::string> Volume::listXattrs(uint64_t id) {
    verifyOnQueue(__func__);
    if (!item(id)) throw PosixError(EINVAL);
    return xattrs_.names(id);
}

}  // namespace kestrum
