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

ItemPtr Volume::makeMemoryItem(uint64_t id, uint64_t parent, std::string name,
                               uint64_t size) const {
    auto item = std::make_shared<Item>();
    item->kind = Kind::memory;
    item->id = id;
    item->parentID = parent;
    item->name = std::move(name);
    item->size = size;
    return item;
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

std::vector<ItemPtr>& Volume::children(const Item& directory) {
    if (auto cached = children_.find(directory.id); cached != children_.end())
        return cached->second;

    std::vector<ItemPtr> list;
    auto addPhoneFolder = [&](uint32_t storage, uint32_t parent) {
        for (mtp::MTPEntry& entry : listFolder(storage, parent)) {
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
            list.push_back(makeMemoryItem(neverIndexID, directory.id, ".metadata_never_index", 0));
            {
                auto contents = memory_.find(dsStoreID);
                list.push_back(
                    makeMemoryItem(dsStoreID, directory.id, ".DS_Store",
                                   contents == memory_.end() ? 0 : contents->second.size()));
            }
            break;
    }
    for (const ItemPtr& item : list) index(item);
    return children_.emplace(directory.id, std::move(list)).first->second;
}

void Volume::insert(const ItemPtr& item, const Item& directory) {
    std::vector<ItemPtr>& list = children(directory);
    std::erase_if(list, [&](const ItemPtr& other) { return other->id == item->id; });
    list.push_back(item);
    index(item);
}

void Volume::discard(const Item& item) {
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
        for (const ItemPtr& child : listing->second) {
            memory_.erase(child->id);
            xattrs_.erase(child->id);
            unindex(child->id, child.get());
        }
        children_.erase(listing);
    }
    memory_.erase(id);
    xattrs_.erase(id);
    if (kind == Kind::object) {
        if (editor_) editor_->forget(handle);
        readAhead_->invalidate(handle);
    }
    if (auto parent = children_.find(parentID); parent != children_.end())
        std::erase_if(parent->second, [&](const ItemPtr& other) { return other->id == id; });
    unindex(id, identity);
}

ItemPtr Volume::lookup(uint64_t directory, std::string_view name) {
    ItemPtr folder = item(directory);
    if (!folder || !isText(name)) throw PosixError(ENOENT);
    std::vector<ItemPtr>* list = nullptr;
    try {
        list = &children(*folder);
    } catch (const std::exception& error) {
        Log::error("lookup %.*s: %s", static_cast<int>(name.size()), name.data(), error.what());
        throw PosixError(EIO);
    }
    for (const ItemPtr& child : *list)
        if (sameNameIgnoringCase(child->name, name)) return child;
    throw PosixError(ENOENT);
}

void Volume::enumerate(uint64_t directory, uint64_t cookie, bool withAttributes,
                       const Packer& pack) {
    ItemPtr folder = item(directory);
    if (!folder || !folder->isDirectory) throw PosixError(ENOTDIR);
    std::vector<ItemPtr>* list = nullptr;
    try {
        list = &children(*folder);
    } catch (const std::exception& error) {
        Log::error("list %s: %s", folder->name.c_str(), error.what());
        throw PosixError(EIO);
    }
    const uint64_t dots = withAttributes ? 0 : 2;
    const uint64_t count = dots + list->size();
    for (uint64_t position = cookie; position < count; ++position) {
        DirectoryEntry entry;
        entry.nextCookie = position + 1;
        if (position < dots) {
            entry.name = position == 0 ? "." : "..";
            entry.id = position == 0 || folder->kind == Kind::root ? folder->id : folder->parentID;
            entry.isDirectory = true;
        } else {
            const Item& child = *(*list)[position - dots];
            entry.name = child.name;
            entry.id = child.id;
            entry.isDirectory = child.isDirectory;
            if (withAttributes) entry.attributes = attributes(child);
        }
        if (!pack(entry)) break;
    }
}

void Volume::reclaim(uint64_t id) {
    ItemPtr found = item(id);
    if (found && found->kind == Kind::object) closeEdit(found->handle);
}

void Volume::readSymbolicLink(uint64_t) const {
    throw PosixError(EINVAL);
}

}  // namespace kestrum
