// Listings and their cache, the root's composition, lookup, enumeration and reclaim.

#include <algorithm>
#include <chrono>

#include "fs/Log.h"
#include "fs/Names.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace kestrum {

std::vector<mtp::MTPEntry> Volume::listFolder(uint32_t storage, uint32_t parent) {
    mtp::MTPSession& phone = session();
    if (parent == mtp::RootParent || !phone.supports(mtp::Op::GetObjectPropList))
        return phone.list(storage, parent);
    try {
        return phone.listByPropList(parent);
    } catch (const mtp::MTPError&) {
        return phone.list(storage, parent);
    }
}

uint32_t Volume::storageOf(const Item& directory) const {
    return directory.kind == Kind::root ? storages_.front().id : directory.storage;
}

ItemPtr Volume::objectItem(mtp::MTPEntry entry, uint32_t storage, uint64_t parent) const {
    // The kernel fails a whole directory listing over one entry that is empty or holds a "/",
    // and "." and ".." can never be looked up: keep the folder readable.
    if (entry.name.empty() || entry.name == "." || entry.name == "..") {
        Log::error("object %u has no usable name \"%s\"; not listed", entry.handle,
                   entry.name.c_str());
        return nullptr;
    }
    std::replace(entry.name.begin(), entry.name.end(), '/', '-');
    auto item = std::make_shared<Item>();
    item->kind = Kind::object;
    item->id = objectID(entry.handle);
    item->parentID = parent;
    item->storage = storage;
    item->handle = entry.handle;
    item->name = std::move(entry.name);
    item->isDirectory = entry.isFolder;
    item->size = entry.size;
    item->sizeUnknown = entry.sizeUnknown;
    if (entry.modified) {
        auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(entry.modified->time_since_epoch());
        item->modified = timespec{static_cast<time_t>(seconds.count()), 0};
    }
    return item;
}

void Listing::add(ItemPtr item) {
    remove(item->id);
    const uint64_t sequence = ++last_;
    sequences_[item->id] = sequence;
    byFoldedName_.emplace(foldedName(item->name), item);
    slots_.push_back(Slot{sequence, std::move(item)});
}

void Listing::remove(uint64_t id) {
    const auto found = sequences_.find(id);
    if (found == sequences_.end()) return;
    auto slot = std::lower_bound(
        slots_.begin(), slots_.end(), found->second,
        [](const Slot& slot, uint64_t sequence) { return slot.sequence < sequence; });
    sequences_.erase(found);
    auto [first, last] = byFoldedName_.equal_range(foldedName(slot->item->name));
    auto entry = std::find_if(first, last, [&](const auto& pair) { return pair.second->id == id; });
    // Someone renamed the item behind the listing's back: find it the slow way.
    if (entry == last)
        entry = std::find_if(byFoldedName_.begin(), byFoldedName_.end(),
                             [&](const auto& pair) { return pair.second->id == id; });
    if (entry != byFoldedName_.end()) byFoldedName_.erase(entry);
    slot->item.reset();
    if (++vacant_ > 64 && vacant_ > slots_.size() / 2) compact();
}

void Listing::compact() {
    std::erase_if(slots_, [](const Slot& slot) { return !slot.item; });
    vacant_ = 0;
}

void Listing::rename(Item& item, std::string name) {
    if (!contains(item.id)) {
        item.name = std::move(name);
        return;
    }
    auto [first, last] = byFoldedName_.equal_range(foldedName(item.name));
    auto entry =
        std::find_if(first, last, [&](const auto& pair) { return pair.second.get() == &item; });
    if (entry == last) {
        item.name = std::move(name);
        return;
    }
    ItemPtr shared = entry->second;
    byFoldedName_.erase(entry);
    item.name = std::move(name);
    byFoldedName_.emplace(foldedName(item.name), std::move(shared));
}

ItemPtr Listing::find(std::string_view name) const {
    auto [first, last] = byFoldedName_.equal_range(foldedName(name));
    ItemPtr earliest;
    uint64_t earliestSequence = UINT64_MAX;
    for (auto entry = first; entry != last; ++entry) {
        const ItemPtr& candidate = entry->second;
        if (candidate->name == name) return candidate;
        const uint64_t sequence = sequences_.at(candidate->id);
        if (sequence < earliestSequence) {
            earliest = candidate;
            earliestSequence = sequence;
        }
    }
    return earliest;
}

bool Listing::holds(std::string_view name, uint64_t except) const {
    auto [first, last] = byFoldedName_.equal_range(foldedName(name));
    return std::any_of(first, last, [&](const auto& pair) { return pair.second->id != except; });
}

std::vector<Listing::Slot>::const_iterator Listing::slotAfter(uint64_t sequence) const {
    return std::upper_bound(
        slots_.begin(), slots_.end(), sequence,
        [](uint64_t sequence, const Slot& slot) { return sequence < slot.sequence; });
}

std::vector<ItemPtr> Listing::items() const {
    std::vector<ItemPtr> result;
    result.reserve(size());
    visitAfter(0, [&](uint64_t, const ItemPtr& item) {
        result.push_back(item);
        return true;
    });
    return result;
}

Listing& Volume::children(const Item& directory) {
    verifyOnQueue(__func__);
    if (auto cached = children_.find(directory.id); cached != children_.end())
        return cached->second;

    std::vector<ItemPtr> list;
    auto addPhoneFolder = [&](uint32_t storage, uint32_t parent) {
        for (mtp::MTPEntry& entry : listFolder(storage, parent)) {
            if (isLeftBehind(entry)) continue;
            if (ItemPtr item = objectItem(std::move(entry), storage, directory.id))
                list.push_back(std::move(item));
        }
    };

    switch (directory.kind) {
        case Kind::memory:
            break;
        case Kind::storage:
        case Kind::object:
            // A file has no listing; asking the phone for one would be meaningless.
            if (directory.isDirectory) addPhoneFolder(directory.storage, directory.handle);
            break;
        case Kind::root:
            if (storages_.size() == 1) {
                addPhoneFolder(storages_.front().id, mtp::RootParent);
            } else {
                for (const mtp::MTPStorage& storage : storages_) {
                    auto folder = std::make_shared<Item>();
                    folder->kind = Kind::storage;
                    folder->id = storageFolderID(storage.id);
                    folder->parentID = directory.id;
                    folder->storage = storage.id;
                    folder->handle = mtp::RootParent;
                    folder->name = storage.name;
                    for (char& c : folder->name)
                        if (c == '/') c = '-';
                    folder->isDirectory = true;
                    list.push_back(std::move(folder));
                }
            }
            list.push_back(memory_.neverIndex(directory.id));
            list.push_back(memory_.dsStore(directory.id));
            break;
    }
    Listing& listing = children_[directory.id];
    for (ItemPtr& item : list) {
        index(item);
        listing.add(std::move(item));
    }
    return listing;
}

bool Volume::isLeftBehind(const mtp::MTPEntry& entry) {
    if (entry.name != detachedName(entry.handle)) return false;
    // Still serving its open handles in this volume: it goes at its last release.
    if (ItemPtr known = item(objectID(entry.handle)); known && known->detached) return true;
    // What a volume that went away left of a removed file nobody holds any more.
    if (writable_) {
        try {
            session().transact(mtp::Op::DeleteObject, {entry.handle, 0});
        } catch (const std::exception& error) {
            Log::error("could not delete %s: %s", entry.name.c_str(), error.what());
        }
    }
    return true;
}

std::string Volume::detachedName(uint32_t handle) {
    return ".kestrum-" + std::to_string(handle) + ".removed";
}

void Volume::insert(const ItemPtr& item, const Item& directory) {
    verifyOnQueue(__func__);
    children(directory).add(item);
    index(item);
}

void Volume::setName(Item& item, std::string name) {
    if (auto listing = children_.find(item.parentID); listing != children_.end())
        listing->second.rename(item, std::move(name));
    else
        item.name = std::move(name);
}

void Volume::discard(const Item& item) {
    verifyOnQueue(__func__);
    // Copies first: item may be owned only by the structures dropped below.
    const uint64_t id = item.id, parentID = item.parentID;
    const uint32_t handle = item.handle;
    const Kind kind = item.kind;
    const Item* identity = &item;
    ItemPtr keepAlive = this->item(id);

    auto unindex = [this](uint64_t id, const Item* identity) {
        auto found = items_.find(id);
        if (found != items_.end() && found->second.get() == identity) items_.erase(found);
    };
    if (auto listing = children_.find(id); listing != children_.end()) {
        for (const ItemPtr& child : listing->second.items()) {
            memory_.forget(child->id);
            xattrs_.forget(child->id);
            unindex(child->id, child.get());
        }
        children_.erase(listing);
    }
    memory_.forget(id);
    xattrs_.forget(id);
    if (kind == Kind::object) {
        if (editor_) editor_->forget(handle);
        readAhead_->invalidate(handle);
    }
    if (auto parent = children_.find(parentID); parent != children_.end())
        parent->second.remove(id);
    unindex(id, identity);
}

ItemPtr Volume::lookup(uint64_t directory, std::string_view name) {
    verifyOnQueue(__func__);
    ItemPtr folder = item(directory);
    if (!folder || !isText(name)) throw PosixError(ENOENT);
    // No item can hold it; the caller learns why its path fails.
    if (utf16Length(name) > maximumNameLength) throw PosixError(ENAMETOOLONG);
    Listing* listing = nullptr;
    try {
        listing = &children(*folder);
    } catch (const std::exception& error) {
        Log::error("lookup %.*s: %s", static_cast<int>(name.size()), name.data(), error.what());
        throw PosixError(EIO);
    }
    if (ItemPtr found = listing->find(name)) return found;
    throw PosixError(ENOENT);
}

void Volume::enumerate(uint64_t directory, uint64_t cookie, bool withAttributes,
                       const Packer& pack) {
    verifyOnQueue(__func__);
    ItemPtr folder = item(directory);
    if (!folder || !folder->isDirectory) throw PosixError(ENOTDIR);
    Listing* listing = nullptr;
    try {
        listing = &children(*folder);
    } catch (const std::exception& error) {
        Log::error("list %s: %s", folder->name.c_str(), error.what());
        throw PosixError(EIO);
    }
    const uint64_t dots = withAttributes ? 0 : 2;
    for (uint64_t position = cookie; position < dots; ++position) {
        DirectoryEntry entry;
        entry.nextCookie = position + 1;
        entry.name = position == 0 ? "." : "..";
        entry.id = position == 0 || folder->kind == Kind::root ? folder->id : folder->parentID;
        entry.isDirectory = true;
        if (!pack(entry)) return;
    }
    listing->visitAfter(cookie > dots ? cookie - dots : 0, [&](uint64_t sequence,
                                                               const ItemPtr& child) {
        DirectoryEntry entry;
        entry.nextCookie = sequence + dots;
        entry.name = child->name;
        entry.id = child->id;
        entry.isDirectory = child->isDirectory;
        if (withAttributes) entry.attributes = attributes(*child);
        return pack(entry);
    });
}

void Volume::reclaim(uint64_t id) {
    verifyOnQueue(__func__);
    ItemPtr found = item(id);
    if (found && found->kind == Kind::object) closeEdit(found->handle);
}

void Volume::readSymbolicLink(uint64_t) const {
    throw PosixError(EINVAL);
}

}  // namespace kestrum
