// Open, release, close, write and fsync. Phone objects change only through the edit extension:
// one edit spans every write from the first one after an open to the point where the system is
// done with the file, so that the phone commits each file once.

#include <algorithm>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPCodes.h"

namespace kestrum {

void Volume::open(OpenModes modes) const {
    if (modes.write && !writable_) throw PosixError(EROFS);
}

void Volume::open(uint64_t id, OpenModes modes, bool truncate) {
    verifyOnQueue(__func__);
    if ((modes.write || truncate) && !writable_) throw PosixError(EROFS);
    Item& file = require(id, ENOENT);
    if (modes.write && file.kind == Kind::object && !file.isDirectory && !editableSize(file)) {
        Log::error("open %s: the phone cannot tell its size; not opened for writing",
                   file.name.c_str());
        throw PosixError(EFBIG);
    }
    if (truncate) {
        if (file.isDirectory) throw PosixError(EISDIR);
        setAttributes(id, 0);
    }
    OpenHandles& open = opens_[id];
    ++open.handles;
    if (modes.read) ++open.reading;
    if (modes.write) ++open.writing;
}

void Volume::release(uint64_t id, OpenModes modes) {
    verifyOnQueue(__func__);
    OpenModes kept;
    if (auto found = opens_.find(id); found != opens_.end()) {
        OpenHandles& open = found->second;
        if (open.handles) --open.handles;
        if (modes.read && open.reading) --open.reading;
        if (modes.write && open.writing) --open.writing;
        kept = {.read = open.reading > 0, .write = open.writing > 0};
        if (!open.handles) opens_.erase(found);
    }
    close(id, kept);
    // Removed or replaced while open: its last descriptor takes it with it.
    if (ItemPtr file = item(id); file && file->detached && !opens_.contains(id))
        dropDetached(*file);
}

OpenModes Volume::openModes(uint64_t id) const {
    verifyOnQueue(__func__);
    auto found = opens_.find(id);
    if (found == opens_.end()) return {};
    return {.read = found->second.reading > 0, .write = found->second.writing > 0};
}

void Volume::close(uint64_t id, OpenModes kept) {
    verifyOnQueue(__func__);
    ItemPtr file = item(id);
    if (!file || file->kind != Kind::object) return;
    if (!kept.write) closeEdit(file->handle);
    if (!kept.read && !kept.write) readAhead_->invalidate(file->handle);
}

void Volume::fsync(uint64_t id) {
    verifyOnQueue(__func__);
    ItemPtr file = item(id);
    // Removed or replaced while open: its edit was settled then and nothing is left to commit.
    // Failing here would fail the close() of a file another program renamed over.
    if (!file) return;
    if (file->kind != Kind::object || !editor_ || !editor_->editedSize(file->handle)) return;
    try {
        editor_->endEdit(file->handle);
    } catch (const std::exception& error) {
        // The program asked for its data to be safe: it must learn that it may not be.
        refreshSpace();
        throw PosixError(report("fsync", file->name, error));
    }
    refreshSpace();
}

size_t Volume::write(uint64_t id, int64_t offset, std::span<const uint8_t> bytes) {
    verifyOnQueue(__func__);
    if (!writable_) throw PosixError(EROFS);
    ItemPtr file = item(id);
    if (!file || file->isDirectory || offset < 0) throw PosixError(EINVAL);
    if (bytes.size() > static_cast<uint64_t>(INT64_MAX - offset)) throw PosixError(EFBIG);
    if (bytes.empty()) return 0;
    const uint64_t start = static_cast<uint64_t>(offset);
    size_t written = 0;
    try {
        if (file->kind == Kind::object) {
            written = writeObject(*file, start, bytes);
        } else {
            file->size = memory_.write(id, start, bytes);
            written = bytes.size();
        }
    } catch (const std::exception& error) {
        throw PosixError(report("write", file->name, error));
    }
    file->modified = now();
    return written;
}

bool Volume::editableSize(const Item& file) {
    if (file.sizeUnknown) return false;
    // A phone that cannot be asked leaves the listing's size, exact only below 4 GiB.
    return file.sizeIsOurs || file.size < 0xFFFFFFFF ||
           session().supports(mtp::Op::GetObjectPropValue);
}

size_t Volume::writeObject(Item& file, uint64_t offset, std::span<const uint8_t> bytes) {
    if (!editableSize(file)) throw PosixError(EFBIG);
    mtp::MTPEditor& edits = editor();
    // The phone is asked for the size only while the volume has never set it itself.
    const bool ask = !file.sizeIsOurs && session().supports(mtp::Op::GetObjectPropValue);
    uint64_t size = edits.beginEdit(file.handle, file.size, ask);
    // beginEdit has cut or kept the object at that size: from here the phone's size is ours.
    file.size = size;
    file.sizeIsOurs = true;
    readAhead_->invalidate(file.handle);
    if (size < offset) {
        // Android refuses writes that would leave a hole; extending first fills it with zeros.
        session().transact(mtp::Op::TruncateObject,
                           {file.handle, mtp::low32(offset), mtp::high32(offset)});
        size = offset;
        edits.recordSize(file.handle, size);
        file.size = size;
    }
    // Chunk by chunk, so that what the phone stored before a failure is accounted for.
    size_t done = 0;
    try {
        while (done < bytes.size()) {
            const size_t length = std::min(mtp::MTPEditor::chunkSize, bytes.size() - done);
            edits.write(file.handle, offset + done, bytes.subspan(done, length));
            done += length;
            size = std::max(size, offset + done);
            edits.recordSize(file.handle, size);
            file.size = size;
        }
    } catch (const std::exception& error) {
        // A chunk may have been stored in part (the phone filled up in the middle): cut the
        // object back to what was accounted for, so that the phone never commits a tail the
        // volume does not know about.
        try {
            session().transact(mtp::Op::TruncateObject,
                               {file.handle, mtp::low32(size), mtp::high32(size)});
        } catch (const std::exception&) {
            // The phone is gone; the next edit begins by setting this size again.
        }
        if (done == 0) throw;
        report("write", file.name, error);
    }
    return done;
}

}  // namespace kestrum
