#pragma once
// One file or folder of the volume: the root, a storage folder, a phone object or a file that
// exists only in memory. Items have identity: the volume's caches and the host share one Item per
// ID, and changes (size, name, parent) made by an operation are seen by everyone holding it.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

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

    bool isRootOrStorage() const { return kind < Kind::object; }
    bool isObjectOrMemory() const { return kind >= Kind::object; }
};

using ItemPtr = std::shared_ptr<Item>;

}  // namespace kestrum
