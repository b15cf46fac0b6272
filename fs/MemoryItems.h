#pragma once
// Files that exist only in the volume's memory, never on the phone: the root's
// ".metadata_never_index" and ".DS_Store" (the synthetic store, fs/DSStore), and the files the
// system writes beside the user's (".DS_Store", "._<name>"), which the phone has no use for.
// They go with the volume. Touched only on the volume's queue.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fs/Item.h"

namespace kestrum {

class MemoryItems {
  public:
    static constexpr uint64_t maximumSize = 16 << 20;  // bytes of one item

    // Whether a file of this name lives in memory rather than on the phone.
    static bool holdsName(std::string_view name);

    // Holds the root's two items (neverIndexID, dsStoreID).
    MemoryItems();

    // The root's items, as its listing shows them.
    [[nodiscard]] ItemPtr neverIndex(uint64_t parent) const;
    [[nodiscard]] ItemPtr dsStore(uint64_t parent) const;
    // A new empty item in parent, with an ID of its own.
    [[nodiscard]] ItemPtr create(uint64_t parent, std::string name);

    // Copies up to destination.size() bytes from offset (negative reads from 0); returns the
    // count, 0 at or past the end or for an unknown ID.
    [[nodiscard]] size_t read(uint64_t id, int64_t offset, std::span<uint8_t> destination) const;
    // Stores bytes at offset, zero-filling any gap; returns the new size. EFBIG when the end
    // passes maximumSize (nothing changes then).
    uint64_t write(uint64_t id, uint64_t offset, std::span<const uint8_t> bytes);
    // Cuts or zero-extends the contents. EFBIG above maximumSize.
    void resize(uint64_t id, uint64_t size);
    // Drops the contents.
    void forget(uint64_t id) { contents_.erase(id); }

  private:
    static ItemPtr makeItem(uint64_t id, uint64_t parent, std::string name, uint64_t size);

    std::unordered_map<uint64_t, Bytes> contents_;
    uint64_t nextID_ = firstMemoryID;
};

}  // namespace kestrum
