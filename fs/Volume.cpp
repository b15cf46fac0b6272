// Creation, attributes, statistics, the shared routines and the lifecycle of the volume.

#include "fs/Volume.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "mtp/MTPCodes.h"
#include "mtp/MTPError.h"

namespace kestrum {

namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// "op 0x<hex> [p1, p2] out=<bytes> <ms>ms" for every finished transaction.
void traceTransaction(mtp::Op op, std::span<const uint32_t> params, size_t outBytes,
                      double seconds) {
    if (!Log::wants(LogLevel::debug)) return;
    char hex[8];
    snprintf(hex, sizeof hex, "%x", mtp::wire(op));
    std::string list = "[";
    for (size_t i = 0; i < params.size(); ++i) {
        if (i) list += ", ";
        list += std::to_string(params[i]);
    }
    list += "]";
    Log::debug("op 0x%s %s out=%ld %ldms", hex, list.c_str(), static_cast<long>(outBytes),
               static_cast<long>(seconds * 1000));
}

}  // namespace

struct stat Attributes::toStat() const {
    struct stat result {};
    result.st_ino = id;
    result.st_mode = mode;
    result.st_nlink = linkCount;
    result.st_uid = uid;
    result.st_gid = gid;
    result.st_size = static_cast<off_t>(size);
    result.st_blksize = Volume::blockSize;
    result.st_blocks = static_cast<blkcnt_t>(allocatedSize / 512);
    result.st_atim = result.st_mtim = result.st_ctim = timespec{modified, 0};
    return result;
}

struct statvfs Statistics::toStatvfs() const {
    struct statvfs result {};
    result.f_bsize = ioSize;
    result.f_frsize = blockSize;
    result.f_blocks = totalBlocks;
    result.f_bfree = freeBlocks;
    result.f_bavail = availableBlocks;
    result.f_namemax = Volume::maximumNameLength;
    return result;
}

Volume::Volume(std::unique_ptr<mtp::MTPSession> session, bool writableRequest)
    : session_(std::move(session)), readAhead_(std::make_unique<mtp::ReadAhead>()) {
    storages_ = session_->storages();
    if (storages_.empty()) throw mtp::MTPTransportError("phone exposes no storage (locked?)");
    space_ = storages_;
    writable_ = writableRequest && session_->supportsWriting();
    editor_ = std::make_unique<mtp::MTPEditor>(*session_);
    session_->setTrace(traceTransaction);

    auto root = std::make_shared<Item>();
    root->kind = Kind::root;
    root->id = rootID;
    root->parentID = parentOfRootID;
    root->handle = mtp::RootParent;
    root->isDirectory = true;
    index(root);
    queue_ = std::make_unique<SerialQueue>(queueLabel);
}

Volume::~Volume() {
    queue_.reset();
}

Statistics Volume::statistics() const {
    std::vector<mtp::MTPStorage> copy;
    {
        mtp::MutexLocker guard(spaceLock_);
        copy = space_;
    }
    return statisticsOf(copy);
}

Statistics Volume::statisticsOf(std::span<const mtp::MTPStorage> storages) {
    uint64_t total = 0, free = 0;
    for (const mtp::MTPStorage& storage : storages) {
        total = saturatingAdd(total, storage.capacity);
        free = saturatingAdd(free, storage.free);
    }
    free = std::min(free, total);
    Statistics result;
    result.blockSize = blockSize;
    result.ioSize = mtp::ReadAhead::window;
    result.totalBytes = total;
    result.availableBytes = result.freeBytes = free;
    result.usedBytes = total - free;
    result.totalBlocks = total / blockSize;
    result.availableBlocks = result.freeBlocks = free / blockSize;
    result.usedBlocks = result.usedBytes / blockSize;
    return result;
}

ItemPtr Volume::item(uint64_t id) const {
    verifyOnQueue(__func__);
    auto found = items_.find(id);
    return found == items_.end() ? nullptr : found->second;
}

Item& Volume::require(uint64_t id, int code) const {
    auto found = items_.find(id);
    if (found == items_.end()) throw PosixError(code);
    return *found->second;
}

void Volume::index(const ItemPtr& item) {
    items_[item->id] = item;
}

Attributes Volume::attributes(const Item& item) const {
    verifyOnQueue(__func__);
    Attributes result;
    result.id = item.id;
    result.parentID = item.parentID;
    result.isDirectory = item.isDirectory;
    if (item.isDirectory)
        result.mode = S_IFDIR | (writable_ ? 0755 : 0555);
    else
        result.mode = S_IFREG | (writable_ ? 0644 : 0444);
    result.uid = getuid();
    result.gid = getgid();
    result.linkCount = item.isDirectory ? 2 : 1;
    result.size = item.size;
    result.allocatedSize = (item.size + blockSize - 1) / blockSize * blockSize;
    if (item.size > UINT64_MAX - blockSize) result.allocatedSize = item.size;
    result.modified = item.modified.tv_sec;
    return result;
}

Attributes Volume::getAttributes(uint64_t id) {
    verifyOnQueue(__func__);
    // A node the kernel still holds for an item removed since: the name is gone.
    return attributes(require(id, ENOENT));
}

Attributes Volume::setAttributes(uint64_t id, std::optional<uint64_t> newSize) {
    verifyOnQueue(__func__);
    Item& item = require(id, ENOENT);
    if (!writable_) throw PosixError(EROFS);
    if (newSize && *newSize != item.size) {
        try {
            if (item.isDirectory) throw PosixError(EISDIR);
            if (item.kind == Kind::object) {
                if (!editableSize(item)) throw PosixError(EFBIG);
                // As for writes: a phone that cannot tell the size keeps the listing's.
                editor().truncate(item.handle, *newSize, item.size,
                                  !item.sizeIsOurs &&
                                      session().supports(mtp::Op::GetObjectPropValue));
                item.sizeIsOurs = true;
                readAhead_->invalidate(item.handle);
            } else if (item.kind == Kind::memory) {
                memory_.resize(item.id, *newSize);
            }
            item.size = *newSize;
            item.modified = now();
        } catch (const std::exception& error) {
            throw PosixError(report("truncate", item.name, error));
        }
    }
    return attributes(item);
}

mtp::MTPSession& Volume::session() {
    verifyOnQueue(__func__);
    if (!session_) throw mtp::MTPTransportError("volume is shut down");
    return *session_;
}

mtp::MTPEditor& Volume::editor() {
    verifyOnQueue(__func__);
    if (!editor_) throw mtp::MTPTransportError("volume is shut down");
    return *editor_;
}

timespec Volume::now() {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return timespec{static_cast<time_t>(seconds.count()), 0};
}

int Volume::report(std::string_view op, std::string_view name, const std::exception& error) {
    Log::error("%.*s %.*s: %s", static_cast<int>(op.size()), op.data(),
               static_cast<int>(name.size()), name.data(), error.what());
    if (session_ && session_->isStalled())
        Log::fault("phone stopped responding; it must be reconnected");
    if (auto posix = dynamic_cast<const PosixError*>(&error)) return posix->code;
    return mtp::errnoFor(error);
}

void Volume::closeEdit(uint32_t handle) {
    if (!editor_ || !editor_->editedSize(handle)) return;
    try {
        editor_->endEdit(handle);
    } catch (const std::exception& error) {
        Log::error("end edit %u: %s", handle, error.what());
    }
    refreshSpace();
}

void Volume::finishEdits() {
    if (!editor_) return;
    std::map<uint32_t, uint64_t> open = editor_->edits();
    for (const auto& [handle, size] : open) closeEdit(handle);
}

void Volume::refreshSpace() {
    try {
        std::vector<mtp::MTPStorage> listed = session().storages();
        if (listed.size() != storages_.size()) return;
        mtp::MutexLocker guard(spaceLock_);
        space_ = std::move(listed);
    } catch (const std::exception&) {
        // The figures stay as they were; statistics never fail.
    }
}

void Volume::shutdown() {
    verifyOnQueue(__func__);
    if (!session_) return;
    finishEdits();
    try {
        session_->transact(mtp::Op::CloseSession);
    } catch (const std::exception&) {
        // The phone may already be gone; the interface is released all the same.
    }
    editor_.reset();
    session_.reset();
}

}  // namespace kestrum
