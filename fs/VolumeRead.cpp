// Reading: phone objects through the shared read-ahead, memory items from memory.

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"

namespace kestrum {

size_t Volume::read(uint64_t id, int64_t offset, std::span<uint8_t> destination) {
    verifyOnQueue(__func__);
    ItemPtr file = item(id);
    if (!file || file->isDirectory) throw PosixError(EISDIR);
    if (file->kind == Kind::memory) return memory_.read(id, offset, destination);
    if (file->sizeUnknown) throw PosixError(EFBIG);
    try {
        return readAhead_->read(session(), file->handle, file->size, offset, destination);
    } catch (const std::exception& error) {
        Log::error("read %s: %s", file->name.c_str(), error.what());
        throw PosixError(EIO);
    }
}

}  // namespace kestrum
