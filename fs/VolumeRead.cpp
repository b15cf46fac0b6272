// Reading: phone objects through the shared read-ahead, memory items from the map.

#include <algorithm>
#include <cstring>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"

namespace kestrum {

size_t Volume::read(uint64_t id, int64_t offset, std::span<uint8_t> destination) {
    verifyOnQueue(__func__);
    ItemPtr file = item(id);
    if (!file || file->isDirectory) throw PosixError(EISDIR);
    if (file->kind == Kind::memory) {
        auto contents = memory_.find(id);
        if (contents == memory_.end()) return 0;
        const uint64_t start = static_cast<uint64_t>(std::max<int64_t>(offset, 0));
        const Bytes& bytes = contents->second;
        if (bytes.size() <= start) return 0;
        const size_t count = std::min<uint64_t>(destination.size(), bytes.size() - start);
        memcpy(destination.data(), bytes.data() + start, count);
        return count;
    }
    if (file->sizeUnknown) throw PosixError(EFBIG);
    try {
        return readAhead_->read(session(), file->handle, file->size, offset, destination);
    } catch (const std::exception& error) {
        Log::error("read %s: %s", file->name.c_str(), error.what());
        throw PosixError(EIO);
    }
}

}  // namespace kestrum
