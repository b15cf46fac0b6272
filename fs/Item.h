#pragma once
// One file or folder of the volume: the root, a storage folder, a phone object or a file that
// exists only in memory. Items have identity: the volume's caches and the host share one Item per
// ID, and changes (size, name, parent) made by an operation are seen by everyone holding it.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kestrum {

// Ordered: root and storage come before object; object and memory are "object or later".
enum class Kind { root, storage, object, memory };

// Item IDs. Phone objects are handle + objectIDBase, storage folders StorageID + storageIDBase,
// memory items created by the system firstMemoryID upward. The FUSE host shows rootID as node 1.
inline constexpr uint64_t parentOfRootID = 1;
inline constexpr uint64_t rootID = 2;
inline constexpr uint64_t neverIndexID = 3;  // ".metadata_never_index" in the root
inline constexpr uint64_t dsStoreID = 4;     // ".DS_Store" in the root
inline constexpr uint64_t objectIDBase = 16;
inline constexpr uint64_t storageIDBase = 1ull << 32;
inline constexpr uint64_t firstMemoryID = 1ull << 33;

inline constexpr uint64_t objectID(uint32_t handle) {
    return uint64_t{handle} + objectIDBase;
}
inline constexpr uint64_t storageFolderID(uint32_t storage) {
    return uint64_t{storage} + storageIDBase;
}

// Touched only on the volume's queue.
class Item {
  public:
    Kind kind = Kind::object;
    uint64_t id = 0;
    uint64_t parentID = 0;  // the directory whose listing holds the item
    uint32_t storage = 0;   // MTP StorageID; 0 for the root and memory items
    uint32_t handle = 0;    // MTP ObjectHandle; 0xFFFFFFFF for root and storage folders, 0 memory
    std::string name;       // UTF-8
    bool isDirectory = false;
    uint64_t size = 0;         // bytes
    bool sizeIsOurs = false;   // the volume set the size itself (created, written, truncated)
    bool sizeUnknown = false;  // the phone could not give the 64-bit size; never read or edited
    timespec modified{0, 0};   // whole seconds since 1970 UTC; tv_nsec always 0
    // Removed from its folder while open: it keeps serving its open handles, on the phone under
    // a hidden name, and goes when the last one is released.
    bool detached = false;

    bool isRootOrStorage() const { return kind < Kind::object; }
    bool isObjectOrMemory() const { return kind >= Kind::object; }
};

using ItemPtr = std::shared_ptr<Item>;
using Bytes = std::vector<uint8_t>;

// The items of one folder, in the order they joined it. Each holds a sequence number that stays
// while it is listed (a rename in place keeps it): enumeration cookies are sequence numbers, so
// removals during a listing make it skip nothing. Names are found through an index by folded
// name. Touched only on the volume's queue.
class Listing {
  public:
    // Appends item with the next sequence number; an item with its ID already listed leaves.
    void add(ItemPtr item);
    // Removes the item with this ID, if listed.
    void remove(uint64_t id);
    // Gives the listed item a new name in place (the same sequence number).
    void rename(Item& item, std::string name);
    // The item spelled exactly name, else the first one (in listing order) whose name equals it
    // ignoring case; null when none does.
    [[nodiscard]] ItemPtr find(std::string_view name) const;
    // Whether an item other than `except` holds name ignoring case.
    [[nodiscard]] bool holds(std::string_view name, uint64_t except) const;
    [[nodiscard]] bool contains(uint64_t id) const { return sequences_.contains(id); }
    [[nodiscard]] size_t size() const { return sequences_.size(); }
    // Calls visit(sequence, item) for the items whose sequence number is above `after`, in
    // order, while it returns true. Sequence numbers start at 1. visit must not change the
    // listing.
    template <typename Visit>
    void visitAfter(uint64_t after, Visit&& visit) const;
    // The items in order.
    [[nodiscard]] std::vector<ItemPtr> items() const;

  private:
    struct Slot {
        uint64_t sequence = 0;
        ItemPtr item;  // null once removed, until the slots are compacted
    };
    std::vector<Slot>::const_iterator slotAfter(uint64_t sequence) const;
    void compact();

    uint64_t last_ = 0;
    std::vector<Slot> slots_;  // ascending sequence numbers
    size_t vacant_ = 0;        // removed slots not compacted yet
    std::unordered_map<uint64_t, uint64_t> sequences_;  // item ID -> sequence number
    std::unordered_multimap<std::string, ItemPtr> byFoldedName_;
};

template <typename Visit>
void Listing::visitAfter(uint64_t after, Visit&& visit) const {
    for (auto slot = slotAfter(after); slot != slots_.end(); ++slot)
        if (slot->item && !visit(slot->sequence, slot->item)) return;
}

}  // namespace kestrum
