#include "fs/MemoryItems.h"

#include <algorithm>
#include <cstring>

#include "fs/DSStore.h"
#include "fs/PosixError.h"

namespace kestrum {

bool MemoryItems::holdsName(std::string_view name) {
    return name == ".DS_Store" || name.starts_with("._");
}

MemoryItems::MemoryItems() {
    contents_[neverIndexID] = {};
    contents_[dsStoreID] = makeDSStore();
}

ItemPtr MemoryItems::makeItem(uint64_t id, uint64_t parent, std::string name, uint64_t size) {
    auto item = std::make_shared<Item>();
    item->kind = Kind::memory;
    item->id = id;
    item->parentID = parent;
    item->name = std::move(name);
    item->size = size;
    return item;
}

ItemPtr MemoryItems::neverIndex(uint64_t parent) const {
    return makeItem(neverIndexID, parent, ".metadata_never_index", 0);
}

ItemPtr MemoryItems::dsStore(uint64_t parent) const {
    auto contents = contents_.find(dsStoreID);
    return makeItem(dsStoreID, parent, ".DS_Store",
                    contents == contents_.end() ? 0 : contents->second.size());
}

ItemPtr MemoryItems::create(uint64_t parent, std::string name) {
    ItemPtr item = makeItem(nextID_++, parent, std::move(name), 0);
    contents_[item->id] = {};
    return item;
}

size_t MemoryItems::read(uint64_t id, int64_t offset, std::span<uint8_t> destination) const {
    auto contents = contents_.find(id);
    if (contents == contents_.end()) return 0;
    const uint64_t start = static_cast<uint64_t>(std::max<int64_t>(offset, 0));
    const Bytes& bytes = contents->second;
    if (bytes.size() <= start) return 0;
    const size_t count = std::min<uint64_t>(destination.size(), bytes.size() - start);
    std::memcpy(destination.data(), bytes.data() + start, count);
    return count;
}

uint64_t MemoryItems::write(uint64_t id, uint64_t offset, std::span<const uint8_t> bytes) {
    const uint64_t end = offset + bytes.size();
    if (end > maximumSize) throw PosixError(EFBIG);
    Bytes& contents = contents_[id];
    if (contents.size() < end) contents.resize(end, 0);
    std::memcpy(contents.data() + offset, bytes.data(), bytes.size());
    return contents.size();
}

void MemoryItems::resize(uint64_t id, uint64_t size) {
    if (size > maximumSize) throw PosixError(EFBIG);
    contents_[id].resize(size, 0);
}

}  // namespace kestrum
