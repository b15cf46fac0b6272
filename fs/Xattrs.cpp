#include "fs/Xattrs.h"

#include <sys/xattr.h>

#include "fs/Names.h"
#include "fs/PosixError.h"

namespace kestrum {

XattrPolicy Xattrs::policyOf(int flags) {
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

Bytes Xattrs::get(uint64_t id, std::string_view name) const {
    auto attributes = byItem_.find(id);
    if (!isText(name) || attributes == byItem_.end()) throw PosixError(ENODATA);
    auto value = attributes->second.find(name);
    if (value == attributes->second.end()) throw PosixError(ENODATA);
    return value->second;
}

void Xattrs::set(uint64_t id, std::string_view name, std::span<const uint8_t> value,
                 XattrPolicy policy) {
    if (!isText(name) || name.empty()) throw PosixError(EINVAL);
    auto attributes = byItem_.find(id);
    const bool exists = attributes != byItem_.end() && attributes->second.contains(name);
    switch (policy) {
        case XattrPolicy::mustCreate:
            if (exists) throw PosixError(EEXIST);
            break;
        case XattrPolicy::mustReplace:
            if (!exists) throw PosixError(ENODATA);
            break;
        case XattrPolicy::remove:
            if (!exists) throw PosixError(ENODATA);
            attributes->second.erase(attributes->second.find(name));
            return;
        case XattrPolicy::always:
            break;
    }
    if (value.size() > maximumSize) throw PosixError(E2BIG);
    byItem_[id].insert_or_assign(std::string(name), Bytes(value.begin(), value.end()));
}

std::vector<std::string> Xattrs::names(uint64_t id) const {
    std::vector<std::string> names;
    if (auto attributes = byItem_.find(id); attributes != byItem_.end())
        for (const auto& [name, value] : attributes->second) names.push_back(name);
    return names;  // the map keeps them in ascending order
}

}  // namespace kestrum
