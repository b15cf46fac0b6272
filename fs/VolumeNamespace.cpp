// Create, remove, rename and the link refusals. The Finder's bookkeeping files stay in memory;
// everything else becomes MTP object operations. A rename over an existing item never leaves
// the user without that item: it is moved aside under a temporary name and given back its
// name if anything fails, and the caches always describe what the phone holds.

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <vector>

#include "fs/Log.h"
#include "fs/Names.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace kestrum {

namespace {

// The name a removed file keeps on the phone while it is open: ".kestrum-<digits>.removed".
bool isDetachedName(std::string_view name) {
    constexpr std::string_view prefix = ".kestrum-", suffix = ".removed";
    if (!name.starts_with(prefix) || !name.ends_with(suffix)) return false;
    const std::string_view digits =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                          [](char c) { return c >= '0' && c <= '9'; });
}

// System folders the volume must not get (the phone is no place for them), and the names of
// removed files still open, which a listing would delete.
bool isRefusedName(std::string_view name) {
    return name == ".Trashes" || name == ".fseventsd" || name == ".Spotlight-V100" ||
           name == ".TemporaryItems" || isDetachedName(name);
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

// Undo steps of a change made in several phone transactions, run in reverse order by
// rollback() on the error path (never from a destructor: they reach the phone). Each step
// catches and logs its own failure, so that the others still run.
class UndoList {
  public:
    UndoList() { steps_.reserve(4); }
    UndoList(const UndoList&) = delete;
    UndoList& operator=(const UndoList&) = delete;
    // step restores what the last change altered, for the item that was called name.
    template <typename Step>
    void push(std::string name, Step step) {
        steps_.emplace_back([name = std::move(name), step = std::move(step)]() noexcept {
            try {
                step();
            } catch (const std::exception& error) {
                Log::error("could not restore %s: %s", name.c_str(), error.what());
            }
        });
    }
    // Never throws.
    void rollback() noexcept {
        for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) (*step)();
        steps_.clear();
    }

  private:
    std::vector<std::function<void()>> steps_;
};

}  // namespace

ItemPtr Volume::create(uint64_t directory, std::string_view name, ItemType type) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    ItemPtr folder = item(directory);
    if (!folder || !folder->isDirectory || !isUsableName(name)) throw PosixError(EINVAL);
    if (utf16Length(name) > maximumNameLength) throw PosixError(ENAMETOOLONG);
    if (type == ItemType::other) throw PosixError(ENOTSUP);
    const bool isFolder = type == ItemType::directory;
    try {
        if (children(*folder).holds(name, 0)) throw PosixError(EEXIST);
        ItemPtr created;
        if (MemoryItems::holdsName(name)) {
            if (isFolder) throw PosixError(EACCES);
            created = memory_.create(folder->id, std::string(name));
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
            if (isFolder) children_[created->id];
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
    // A removed file still open keeps its folder. What the phone added since the folder was
    // listed is shown from now on, so the user can see why the folder cannot be removed.
    bool empty = true;
    auto cached = children_.find(folder.id);
    for (mtp::MTPEntry& entry : entries) {
        if (isLeftBehind(entry)) {
            if (ItemPtr known = item(objectID(entry.handle)); known && known->detached)
                empty = false;
            continue;
        }
        empty = false;
        if (cached == children_.end() || cached->second.contains(objectID(entry.handle)))
            continue;
        if (ItemPtr listed = objectItem(std::move(entry), folder.storage, folder.id)) {
            index(listed);
            cached->second.add(std::move(listed));
        }
    }
    return empty;
}

void Volume::remove(uint64_t id) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = item(id);
    if (!target) throw PosixError(EINVAL);
    try {
        if (target->isRootOrStorage()) throw PosixError(EACCES);
        if (target->kind == Kind::object && target->isDirectory && !isEmptyOnPhone(*target))
            throw PosixError(ENOTEMPTY);
        retire(*target);
    } catch (const std::exception& error) {
        throw PosixError(report("remove", target->name, error));
    }
    if (target->kind == Kind::object && !target->detached) refreshSpace();
}

void Volume::retire(Item& item) {
    const bool open = opens_.contains(item.id);
    if (item.kind == Kind::object) {
        closeEdit(item.handle);
        if (open) {
            // Like an unlinked inode: the name goes now, the data with the last descriptor.
            editor().rename(item.handle, detachedName(item.handle));
            drop(item);
            item.name = detachedName(item.handle);
            return;
        }
        session().transact(mtp::Op::DeleteObject, {item.handle, 0});
    }
    drop(item);
}

void Volume::drop(Item& item) {
    if (!opens_.contains(item.id)) {
        discard(item);
        return;
    }
    if (auto listing = children_.find(item.parentID); listing != children_.end())
        listing->second.remove(item.id);
    item.detached = true;
}

void Volume::dropDetached(Item& item) {
    const bool onPhone = item.kind == Kind::object;
    if (onPhone) {
        try {
            session().transact(mtp::Op::DeleteObject, {item.handle, 0});
        } catch (const std::exception& error) {
            // Left under its hidden name, which the folder's next listing deletes.
            Log::error("could not delete %s: %s", item.name.c_str(), error.what());
        }
    }
    discard(item);
    if (onPhone) refreshSpace();
}

void Volume::unlink(uint64_t directory, std::string_view name) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = lookup(directory, name);
    if (target->isDirectory) throw PosixError(EISDIR);
    remove(target->id);
}

void Volume::rmdir(uint64_t directory, std::string_view name) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    ItemPtr target = lookup(directory, name);
    if (!target->isDirectory) throw PosixError(ENOTDIR);
    remove(target->id);
}

std::string Volume::renameEntry(uint64_t source, std::string_view name, uint64_t destination,
                                std::string_view newName, unsigned int flags) {
    verifyOnQueue(__func__);
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
    verifyOnQueue(__func__);
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
    checkMove(item, source, destination, newName, over);
    if (item.kind == Kind::memory) {
        if (over) drop(*over);  // an object replaced this way stays on the phone
        if (source.id != destination.id) relocate(item, source, destination);
        setName(item, std::string(newName));
        return;
    }
    try {
        moveOnPhone(item, source, destination, std::string(newName), over);
    } catch (const mtp::MTPError& failure) {
        // EXDEV makes the caller copy and delete instead.
        if (failure.response == mtp::Response::OperationNotSupported) throw PosixError(EXDEV);
        throw;
    }
}

void Volume::checkMove(const Item& item, const Item& source, const Item& destination,
                       std::string_view newName, const ItemPtr& over) {
    if (!isUsableName(newName)) throw PosixError(EINVAL);
    if (utf16Length(newName) > maximumNameLength) throw PosixError(ENAMETOOLONG);
    if (!item.isObjectOrMemory()) throw PosixError(EACCES);
    const bool inMemory = item.kind == Kind::memory;
    if (MemoryItems::holdsName(newName) != inMemory || isRefusedName(newName))
        throw PosixError(EACCES);
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
    if (!over) {
        if (children(destination).holds(newName, item.id)) throw PosixError(EEXIST);
        return;
    }
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
}

void Volume::relocate(Item& item, const Item& source, const Item& destination) {
    if (auto listing = children_.find(source.id); listing != children_.end())
        listing->second.remove(item.id);
    item.parentID = destination.id;
    ItemPtr self = this->item(item.id);
    try {
        insert(self, destination);
    } catch (const std::exception&) {
        index(self);  // the destination's first listing will show it
    }
}

void Volume::moveOnPhone(Item& item, const Item& source, const Item& destination,
                         const std::string& newName, const ItemPtr& over) {
    const uint32_t storage = storageOf(source);
    if (storageOf(destination) != storage) throw PosixError(EXDEV);
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
    const ItemPtr aside = over && over->kind == Kind::object ? over : nullptr;
    if (aside) closeEdit(aside->handle);

    // What the phone holds, step by step: the caches follow it at the end, whether the move
    // completed, was undone, or could not be undone (the phone went away).
    const std::string oldName = item.name, overName = aside ? aside->name : std::string();
    std::string itemName = oldName, asideName = overName;
    const Item* folder = &source;
    auto renameItem = [&](const std::string& name) {
        editor().rename(item.handle, name);
        itemName = name;
    };
    auto moveItem = [&](const Item& to) {
        session().transact(mtp::Op::MoveObject, {item.handle, storage, parentParameter(to)});
        folder = &to;
    };
    auto renameAside = [&](const std::string& name) {
        editor().rename(aside->handle, name);
        asideName = name;
    };
    auto settle = [&] {
        if (folder == &destination && source.id != destination.id)
            relocate(item, source, destination);
        setName(item, itemName);
        if (aside) setName(*aside, asideName);
    };
    UndoList undo;
    try {
        if (source.id == destination.id) {
            if (aside) {
                renameAside(temporaryName(aside->handle));
                undo.push(overName, [&] { renameAside(overName); });
            }
            if (newName != oldName) renameItem(newName);
        } else if (!aside && newName == oldName) {
            moveItem(destination);
        } else {
            // The item arrives under its temporary name before the destination is moved aside,
            // so that the name is vacant for one transaction only.
            renameItem(temporaryName(item.handle));
            undo.push(oldName, [&] { renameItem(oldName); });
            moveItem(destination);
            undo.push(oldName, [&] { moveItem(source); });
            if (aside) {
                renameAside(temporaryName(aside->handle));
                undo.push(overName, [&] { renameAside(overName); });
            }
            renameItem(newName);
        }
    } catch (const std::exception&) {
        undo.rollback();
        settle();
        throw;
    }
    settle();

    if (aside && opens_.contains(aside->id)) {
        // Its readers keep it until they close it; the name is the one a removal gives.
        try {
            renameAside(detachedName(aside->handle));
        } catch (const std::exception& error) {
            Log::error("could not hide %s after replacing it: %s", overName.c_str(),
                       error.what());
        }
        drop(*aside);
        aside->name = asideName;
    } else if (aside) {
        try {
            session().transact(mtp::Op::DeleteObject, {aside->handle, 0});
        } catch (const std::exception&) {
            Log::error("could not delete %s after replacing it", overName.c_str());
        }
        discard(*aside);
    } else if (over) {
        drop(*over);
    }
}

void Volume::createSymbolicLink() const {
    throw PosixError(writable_ ? ENOTSUP : EROFS);
}

void Volume::createLink() const {
    throw PosixError(writable_ ? ENOTSUP : EROFS);
}

}  // namespace kestrum
