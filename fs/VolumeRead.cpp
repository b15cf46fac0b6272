// Reading: phone objects through the shared read-ahead, memory items from memory.

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"

namespace kestrum {

std::span<const uint8_t> Volume::read(uint64_t id, int64_t offset, std::span<uint8_t> scratch) {
    verifyOnQueue(__func__);
    ItemPtr file = item(id);
    if (!file || file->isDirectory) throw PosixError(EISDIR);
    if (file->kind == Kind::memory) return scratch.first(memory_.read(id, offset, scratch));
    if (file->sizeUnknown) throw PosixError(EFBIG);
    try {
        return readAhead_->read(session(), file->handle, file->size, offset, scratch);
    } catch (const std::exception& error) {
        Log::error("read %s: %s", file->name.c_str(), error.what());
        throw PosixError(EIO);
    }
}

}  // namespace kestrum
