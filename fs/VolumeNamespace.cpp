// Create, remove, rename and the link refusals. The Finder's bookkeeping files stay in memory;
// everything else becomes MTP object operations. A rename over an existing item never leaves
// the user without that item: it is moved aside under a temporary name and given back its
// name if anything fails, and the caches always describe what the phone holds.

#include <algorithm>
#include <cstdio>
#include <exception>

#include "fs/Log.h"
#include "fs/Names.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace kestrum {

namespace {

// Finder files that live only in memory.
bool isMemoryName(std::string_view name) {
    return name == ".DS_Store" || name.starts_with("._");
}

// System folders the volume must not get (the phone is no place for them).
bool isRefusedName(std::string_view name) {
    return name == ".Trashes" || name == ".fseventsd" || name == ".Spotlight-V100" ||
           name == ".TemporaryItems";
}

// A single path component the volume can store.
bool isUsableName(std::string_view name) {
    return isText(name) && !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string temporaryName(uint32_t handle) {
    return ".kestrum-" + std::to_string(handle) + ".tmp";
}

uint32_t parentParameter(const Item& folder) {
    return folder.handle == mtp::RootParent ? 0 : folder.handle;
}

// A move the phone cannot make becomes EXDEV, so that the caller copies and deletes instead.
[[noreturn]] void rethrowMoveError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const mtp::MTPRelocateError&) {
        throw PosixError(EXDEV);
    } catch (const mtp::MTPError& failure) {
        if (failure.response == mtp::Response::OperationNotSupported) throw PosixError(EXDEV);
        throw;
    }
}

}  // namespace

ItemPtr Volume::create(uint64_t directory, std::string_view name, ItemType type) {
    if (!writable_) throw PosixError(EROFS);
    ItemPtr folder = item(directory);
    if (!folder || !folder->isDirectory || !isUsableName(name)) throw PosixError(EINVAL);
    if (utf16Length(name) > maximumNameLength) throw PosixError(ENAMETOOLONG);
    if (type == ItemType::other) throw PosixError(ENOTSUP);
    const bool isFolder = type == ItemType::directory;
    try {
        for (const ItemPtr& child : children(*folder))
            if (sameNameIgnoringCase(child->name, name)) throw PosixError(EEXIST);
        ItemPtr created;
        if (isMemoryName(name)) {
            if (isFolder) throw PosixError(EACCES);
            created = makeMemoryItem(nextMemoryID_++, folder->id, std::string(name), 0);
            memory_[created->id] = {};
        } else {
            if (isRefusedName(name)) throw PosixError(EACCES);
            // At a multi-storage root there is no storage to put it in.
            if (folder->kind == Kind::root && storages_.size() > 1) throw PosixError(EACCES);
            const uint32_t storage = storageOf(*folder);
            const uint32_t handle = editor().createObject(storage, folder->handle, name, isFolder);
            // A file is complete once its (empty) data has been sent; content comes by edits.
            if (!isFolder) session().transact(mtp::Op::SendObject, {}, std::span<const uint8_t>());
            created = std::make_shared<Item>();
            created->kind = Kind::object;
            created->id = objectID(handle);
            created->parentID = folder->id;
            created->storage = storage;
            created->handle = handle;
            created->name = std::string(name);
            created->isDirectory = isFolder;
            created->sizeIsOurs = true;
            if (isFolder) children_[created->id] = {};
        }
        created->modified = now();
        insert(created, *folder);
        return created;
    } catch (const std::exception& error) {
        throw PosixError(report("create", name, error));
    }
}

bool Volume::isEmptyOnPhone(const Item& folder) {
    // The phone, not the cache: DeleteObject of a folder deletes whatever is inside it.
    std::vector<mtp::MTPEntry> entries = listFolder(folder.storage, folder.handle);
    // What the phone added since the folder was listed is shown from now on, so the user can
    // see why the folder cannot be removed.
    if (auto cached = children_.find(folder.id); cached != children_.end()) {
        for (mtp::MTPEntry& entry : entries) {
            uint64_t id = objectID(entry.handle);
            bool known = std::any_of(cached->second.begin(), cached->second.end(),
                                     [id](const ItemPtr& child) { return child->id == id; });
            if (known) continue;
            if (ItemPtr item = objectItem(std::move(entry), folder.storage, folder.id)) {
                index(item);
                cached->second.push_back(std::move(item));
            }
        }
    }
    return entries.empty();
}

void Volume::remove(uint64_t id) {
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = item(id);
    if (!target) throw PosixError(EINVAL);
    try {
        if (target->isRootOrStorage()) throw PosixError(EACCES);
        if (target->kind == Kind::object) {
            if (target->isDirectory && !isEmptyOnPhone(*target)) throw PosixError(ENOTEMPTY);
            closeEdit(target->handle);
            session().transact(mtp::Op::DeleteObject, {target->handle, 0});
        }
    } catch (const std::exception& error) {
        throw PosixError(report("remove", target->name, error));
    }
    const bool onPhone = target->kind == Kind::object;
    discard(*target);
    if (onPhone) refreshSpace();
}

void Volume::unlink(uint64_t directory, std::string_view name) {
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = lookup(directory, name);
    if (target->isDirectory) throw PosixError(EISDIR);
    remove(target->id);
}

void Volume::rmdir(uint64_t directory, std::string_view name) {
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = lookup(directory, name);
    if (!target->isDirectory) throw PosixError(ENOTDIR);
    remove(target->id);
}

std::string Volume::renameEntry(uint64_t source, std::string_view name, uint64_t destination,
                                std::string_view newName, unsigned int flags) {
    if (!writable_) throw PosixError(EROFS);
    // Exchanging two names cannot be done atomically on a phone.
    if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) throw PosixError(EINVAL);
    ItemPtr moving = lookup(source, name);
    ItemPtr over;
    try {
        over = lookup(destination, newName);
    } catch (const PosixError& error) {
        if (error.code != ENOENT) throw;
    }
    if (over && over->id == moving->id) over.reset();  // a case-only rename
    if (over && (flags & RENAME_NOREPLACE)) throw PosixError(EEXIST);
    return rename(moving->id, source, destination, newName,
                  over ? std::optional<uint64_t>(over->id) : std::nullopt);
}

std::string Volume::rename(uint64_t id, uint64_t source, uint64_t destination,
                           std::string_view newName, std::optional<uint64_t> over) {
    if (!writable_) throw PosixError(EROFS);
    ItemPtr moving = item(id), from = item(source), to = item(destination);
    if (!moving || !from || !to || !isText(newName)) throw PosixError(EINVAL);
    ItemPtr replaced = over && *over != id ? item(*over) : nullptr;
    const std::string oldName = moving->name;
    try {
        move(*moving, *from, *to, newName, replaced);
    } catch (const std::exception& error) {
        throw PosixError(report("rename", oldName, error));
    }
    return moving->name;
}

void Volume::move(Item& item, const Item& source, const Item& destination, std::string_view newName,
                  const ItemPtr& over) {
    if (!isUsableName(newName)) throw PosixError(EINVAL);
    if (utf16Length(newName) > maximumNameLength) throw PosixError(ENAMETOOLONG);
    if (!item.isObjectOrMemory()) throw PosixError(EACCES);
    const bool inMemory = item.kind == Kind::memory;
    if (isMemoryName(newName) != inMemory || isRefusedName(newName)) throw PosixError(EACCES);
    if (destination.kind == Kind::memory) throw PosixError(EACCES);
    if (!destination.isDirectory) throw PosixError(ENOTDIR);
    if (destination.kind == Kind::root && !inMemory && storages_.size() > 1)
        throw PosixError(EACCES);
    if (item.parentID != source.id) throw PosixError(EINVAL);
    if (item.isDirectory) {
        // Not into itself or below it.
        for (ItemPtr folder = this->item(destination.id); folder;
             folder = this->item(folder->parentID))
            if (folder->id == item.id) throw PosixError(EINVAL);
    }
    if (over) {
        if (!over->isObjectOrMemory()) throw PosixError(EACCES);
        // Only ever replace the item that really holds the name.
        if (over->parentID != destination.id || !sameNameIgnoringCase(over->name, newName))
            throw PosixError(EINVAL);
        if (over->isDirectory) {
            if (!item.isDirectory) throw PosixError(EISDIR);
            if (over->kind == Kind::object && !isEmptyOnPhone(*over)) throw PosixError(ENOTEMPTY);
        } else if (item.isDirectory) {
            throw PosixError(ENOTDIR);
        }
    } else {
        for (const ItemPtr& child : children(destination))
            if (child->id != item.id && sameNameIgnoringCase(child->name, newName))
                throw PosixError(EEXIST);
    }

    ItemPtr self = this->item(item.id);
    // Moves the cached item to the destination's listing.
    auto relocate = [&] {
        if (auto listing = children_.find(source.id); listing != children_.end())
            std::erase_if(listing->second,
                          [&](const ItemPtr& other) { return other->id == item.id; });
        item.parentID = destination.id;
        try {
            insert(self, destination);
        } catch (const std::exception&) {
            index(self);  // the destination's first listing will show it
        }
    };

    if (inMemory) {
        if (over) discard(*over);  // an object replaced this way stays on the phone
        if (source.id != destination.id) relocate();
        item.name = std::string(newName);
        return;
    }

    const uint32_t storage = storageOf(source);
    if (storageOf(destination) != storage)
        rethrowMoveError(std::make_exception_ptr(
            mtp::MTPRelocateError(mtp::MTPRelocateError::Kind::acrossStorages)));
    // The phone must have committed the item's content before names and places change: an
    // item whose commit failed replaces nothing.
    if (editor().editedSize(item.handle)) {
        try {
            editor().endEdit(item.handle);
        } catch (const std::exception&) {
            refreshSpace();
            throw;
        }
        refreshSpace();
    }
    ItemPtr aside = over && over->kind == Kind::object ? over : nullptr;
    const std::string overName = aside ? aside->name : std::string();
    if (aside) closeEdit(aside->handle);

    // What the phone holds, step by step: the caches are set from these at the end, whether
    // the move completed, was undone, or could not be undone (the phone went away).
    const std::string oldName = item.name;
    std::string itemName = oldName;
    bool moved = false;
    bool isAside = false;
    auto renameItem = [&](const std::string& name) {
        editor().rename(item.handle, name);
        itemName = name;
    };
    auto moveItem = [&](const Item& folder) {
        session().transact(mtp::Op::MoveObject, {item.handle, storage, parentParameter(folder)});
        moved = &folder == &destination;
    };
    auto renameAside = [&](bool away) {
        editor().rename(aside->handle, away ? temporaryName(aside->handle) : overName);
        isAside = away;
    };
    const std::string target(newName);
    std::exception_ptr failure;
    try {
        if (source.id == destination.id) {
            if (aside) renameAside(true);
            if (target != oldName) renameItem(target);
        } else if (!aside && target == oldName) {
            moveItem(destination);
        } else if (!aside) {
            renameItem(temporaryName(item.handle));
            moveItem(destination);
            renameItem(target);
        } else {
            // The item arrives under its temporary name before the destination is moved aside,
            // so that the name is vacant for one transaction only.
            renameItem(temporaryName(item.handle));
            moveItem(destination);
            renameAside(true);
            renameItem(target);
        }
    } catch (const std::exception&) {
        failure = std::current_exception();
    }

    if (failure) {
        // Undo as far as the phone lets us; each step on its own.
        auto attempt = [&](const std::string& name, auto&& step) {
            try {
                step();
            } catch (const std::exception& error) {
                Log::error("could not restore %s: %s", name.c_str(), error.what());
            }
        };
        if (isAside) attempt(overName, [&] { renameAside(false); });
        if (moved) attempt(oldName, [&] { moveItem(source); });
        if (itemName != oldName) attempt(oldName, [&] { renameItem(oldName); });
        item.name = itemName;
        if (moved) relocate();
        if (isAside) aside->name = temporaryName(aside->handle);
        rethrowMoveError(failure);
    }

    if (isAside) {
        try {
            session().transact(mtp::Op::DeleteObject, {aside->handle, 0});
        } catch (const std::exception&) {
            Log::error("could not delete %s after replacing it", overName.c_str());
        }
    }
    if (over) discard(*over);
    if (moved) relocate();
    item.name = target;
}

void Volume::createSymbolicLink() const {
    throw PosixError(writable_ ? ENOTSUP : EROFS);
}

void Volume::createLink() const {
    throw PosixError(writable_ ? ENOTSUP : EROFS);
}

}  // namespace kestrum
