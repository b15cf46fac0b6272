#pragma once
// Extended attributes, kept per item in memory only: the phone has nowhere to store them, so
// they last as long as the volume and go with their item. Touched only on the volume's queue.

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/Item.h"

namespace kestrum {

// setxattr flags 0, XATTR_CREATE, XATTR_REPLACE, and removexattr.
enum class XattrPolicy { always, mustCreate, mustReplace, remove };

class Xattrs {
  public:
    // Memory is all they have: the advertised limit is also the one enforced.
    static constexpr uint64_t maximumSize = 16 << 20;  // bytes of one value

    // The policy of setxattr flags (0 always, XATTR_CREATE mustCreate, XATTR_REPLACE
    // mustReplace); removexattr is XattrPolicy::remove. EINVAL for any other flags.
    static XattrPolicy policyOf(int flags);

    // ENODATA when the item has no attribute of that name (or the name is not UTF-8).
    [[nodiscard]] Bytes get(uint64_t id, std::string_view name) const;
    // EINVAL name empty or not UTF-8, EEXIST (mustCreate), ENODATA (mustReplace, remove), E2BIG
    // value over maximumSize. Nothing changes when it throws.
    void set(uint64_t id, std::string_view name, std::span<const uint8_t> value,
             XattrPolicy policy);
    // The item's attribute names in ascending order.
    [[nodiscard]] std::vector<std::string> names(uint64_t id) const;
    // Drops every attribute of the item.
    void forget(uint64_t id) { byItem_.erase(id); }

  private:
    std::unordered_map<uint64_t, std::map<std::string, Bytes, std::less<>>> byItem_;
};

}  // namespace kestrum
