// Reading: phone objects through the shared read-ahead, memory items from the map.

#include <algorithm>
#include <cstring>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "fs/Volume.h"
#include "mtp/MTPError.h"

namespace kestrum {

size_t Volume::read(uint64_t id, int64_t offset, std::span<uint8_t> destination) {
    // Not verifyOnQueue(): a read served from the read-ahead window must not wait for the
    // next window's fill running in the background.
    if (queue_ && !queue_->isCurrent()) queue_->failNotCurrent(__func__);
    const auto found = items_.find(id);
    const ItemPtr file = found == items_.end() ? nullptr : found->second;
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
        if (!session_) throw mtp::MTPTransportError("volume is shut down");
        return readAhead_->read(*session_, file->handle, file->size, offset, destination);
    } catch (const std::exception& error) {
        Log::error("read %s: %s", file->name.c_str(), error.what());
        throw PosixError(EIO);
    }
}

}  // namespace kestrum
