// Extended attributes, kept per item in memory only; the phone never sees them.

#include <sys/xattr.h>

#include "fs/Names.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"

namespace kestrum {

XattrPolicy Volume::xattrPolicy(int flags) {
    switch (flags) {
        case 0:
            return XattrPolicy::always;
        case XATTR_CREATE:
            return XattrPolicy::mustCreate;
        case XATTR_REPLACE:
            return XattrPolicy::mustReplace;
        default:
            throw PosixError(EINVAL);
    }
}

Bytes Volume::getXattr(uint64_t id, std::string_view name) {
    verifyOnQueue(__func__);
    auto attributes = xattrs_.find(id);
    if (!item(id) || !isText(name) || attributes == xattrs_.end()) throw PosixError(ENODATA);
    auto value = attributes->second.find(std::string(name));
    if (value == attributes->second.end()) throw PosixError(ENODATA);
    return value->second;
}

void Volume::setXattr(uint64_t id, std::string_view name, std::span<const uint8_t> value,
                      XattrPolicy policy) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    if (!item(id) || !isText(name) || name.empty()) throw PosixError(EINVAL);
    auto attributes = xattrs_.find(id);
    const bool exists =
        attributes != xattrs_.end() && attributes->second.contains(std::string(name));
    switch (policy) {
        case XattrPolicy::mustCreate:
            if (exists) throw PosixError(EEXIST);
            break;
        case XattrPolicy::mustReplace:
            if (!exists) throw PosixError(ENODATA);
            break;
        case XattrPolicy::remove:
            if (!exists) throw PosixError(ENODATA);
            attributes->second.erase(std::string(name));
            return;
        case XattrPolicy::always:
            break;
    }
    // Memory is all they have: the advertised limit is also the one enforced.
    if (value.size() > maximumXattrSize) throw PosixError(E2BIG);
    xattrs_[id][std::string(name)] = Bytes(value.begin(), value.end());
}

std::vector<std::string> Volume::listXattrs(uint64_t id) {
    verifyOnQueue(__func__);
    if (!item(id)) throw PosixError(EINVAL);
    std::vector<std::string> names;
    if (auto attributes = xattrs_.find(id); attributes != xattrs_.end())
        for (const auto& [name, value] : attributes->second) names.push_back(name);
    return names;  // std::map keeps them in ascending order
}

}  // namespace kestrum
