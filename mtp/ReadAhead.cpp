#include "mtp/ReadAhead.h"

#include <algorithm>

#include "mtp/MTPCodes.h"

namespace mtp {

ReadAhead::ReadAhead() : buffer_(std::make_unique_for_overwrite<uint8_t[]>(window)) {}

std::span<const uint8_t> ReadAhead::read(MTPSession& session, uint32_t handle, uint64_t size,
                                         int64_t offset, std::span<uint8_t> scratch) {
    uint64_t at = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    if (at >= size) return {};
    uint64_t remaining = size - at;
    size_t want = static_cast<size_t>(std::min<uint64_t>(scratch.size(), remaining));
    State state = this->state(handle);

    if (bufferOwner_ == handle && at >= state.start && state.start + state.length >= at + want) {
        state.lastEnd = at + want;
        remember(handle, state);
        return {buffer_.get() + (at - state.start), want};
    }

    const State before = state;
    try {
        // Without 64-bit offsets nothing past 4 GB can be asked for: the window stops there.
        uint64_t fillable = std::min<uint64_t>(remaining, window);
        if (!session.supports(Op::GetPartialObject64)) {
            fillable = std::min<uint64_t>(fillable, at < UINT32_MAX ? UINT32_MAX - at : 0);
        }
        if (want <= fillable && state.lastEnd == at) {
            // The fill overwrites the buffer: a failed one must not leave the old owner's
            // bytes looking valid.
            bufferOwner_.reset();
            auto fill = static_cast<uint32_t>(fillable);
            size_t received = session.readPartial(handle, at, fill, {buffer_.get(), window});
            bufferOwner_ = handle;
            state.start = at;
            state.length = received;
            size_t count = std::min(want, received);
            state.lastEnd = at + count;
            remember(handle, state);
            return {buffer_.get(), count};
        }
        // One request carries at most 4 GiB; a larger scratch gets a short read.
        auto length = static_cast<uint32_t>(std::min<uint64_t>(want, UINT32_MAX));
        size_t received = session.readPartial(handle, at, length, scratch.first(length));
        state.lastEnd = at + received;
        remember(handle, state);
        return scratch.first(received);
    } catch (...) {
        remember(handle, before);
        throw;
    }
}

void ReadAhead::invalidate(uint32_t handle) {
    states_.erase(handle);
    if (bufferOwner_ == handle) bufferOwner_.reset();
}

void ReadAhead::remember(uint32_t handle, State state) {
    // No eviction order is kept: a tenth object starts the map afresh.
    if (states_.size() >= maxStates && !states_.contains(handle)) states_.clear();
    states_[handle] = state;
}

ReadAhead::State ReadAhead::state(uint32_t handle) const {
    auto found = states_.find(handle);
    return found == states_.end() ? State{} : found->second;
}

}  // namespace mtp
