#include "mtp/ReadAhead.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "mtp/MTPCodes.h"

namespace mtp {

ReadAhead::ReadAhead()
    : buffer_(std::make_unique_for_overwrite<uint8_t[]>(window)),
      next_(std::make_unique_for_overwrite<uint8_t[]>(window)) {}

size_t ReadAhead::read(MTPSession& session, uint32_t handle, uint64_t size, int64_t offset,
                       std::span<uint8_t> destination) {
    uint64_t at = offset < 0 ? 0 : static_cast<uint64_t>(offset);
    if (at >= size) return 0;
    uint64_t remaining = size - at;
    size_t want = static_cast<size_t>(std::min<uint64_t>(destination.size(), remaining));
    State state = this->state(handle);

    if (bufferOwner_ == handle && at >= state.start && state.start + state.length >= at + want) {
        if (want > 0) std::memcpy(destination.data(), buffer_.get() + (at - state.start), want);
        state.lastEnd = at + want;
        remember(handle, state);
        return want;
    }

    const auto inNext = [&] {
        return nextWindow_ && nextWindow_->handle == handle && at >= nextWindow_->start &&
               nextWindow_->start + nextWindow_->length >= at + want;
    };
    if (inNext()) {
        settle();
        if (inNext()) {
            std::swap(buffer_, next_);
            bufferOwner_ = handle;
            state.start = nextWindow_->start;
            state.length = nextWindow_->length;
            nextWindow_.reset();
            if (want > 0) std::memcpy(destination.data(), buffer_.get() + (at - state.start), want);
            state.lastEnd = at + want;
            remember(handle, state);
            fillNext(session, handle, size, state);
            return want;
        }
    }
    // From here on the session is used on this thread.
    settle();
    // A seek within the object: the window after the old position is of no use.
    if (nextWindow_ && nextWindow_->handle == handle) nextWindow_.reset();

    const State before = state;
    try {
        // Without 64-bit offsets nothing past 4 GB can be asked for: the window stops there.
        uint64_t fillable = std::min<uint64_t>(remaining, window);
        if (!session.supports(Op::GetPartialObject64)) {
            fillable = std::min<uint64_t>(fillable, at < UINT32_MAX ? UINT32_MAX - at : 0);
        }
        if (want <= fillable && state.lastEnd == at) {
            // A reader that went through the whole window before gets the next one filled in
            // the background.
            const bool continues = bufferOwner_ == handle && state.start + state.length == at;
            // The fill overwrites the buffer: a failed one must not leave the old owner's
            // bytes looking valid.
            bufferOwner_.reset();
            auto fill = static_cast<uint32_t>(fillable);
            size_t received = session.readPartial(handle, at, fill, {buffer_.get(), window});
            bufferOwner_ = handle;
            state.start = at;
            state.length = received;
            size_t count = std::min(want, received);
            if (count > 0) std::memcpy(destination.data(), buffer_.get(), count);
            state.lastEnd = at + count;
            remember(handle, state);
            if (continues) fillNext(session, handle, size, state);
            return count;
        }
        // One request carries at most 4 GiB; a larger destination gets a short read.
        auto length = static_cast<uint32_t>(std::min<uint64_t>(want, UINT32_MAX));
        size_t received = session.readPartial(handle, at, length, destination.first(length));
        state.lastEnd = at + received;
        remember(handle, state);
        return received;
    } catch (...) {
        remember(handle, before);
        throw;
    }
}

void ReadAhead::fillNext(MTPSession& session, uint32_t handle, uint64_t size, const State& state) {
    // Called settled: nothing writes into next_.
    const uint64_t from = state.start + state.length;
    if (state.length < window || from >= size) return;
    uint64_t length = std::min<uint64_t>(size - from, window);
    if (!session.supports(Op::GetPartialObject64)) {
        length = std::min<uint64_t>(length, from < UINT32_MAX ? UINT32_MAX - from : 0);
    }
    if (length == 0) return;
    nextWindow_ = Window{handle, from, length};
    try {
        nextFill_ = std::async(std::launch::async, [&session, handle, from, length,
                                                    into = next_.get()] {
            return session.readPartial(handle, from, static_cast<uint32_t>(length),
                                       {into, window});
        });
    } catch (const std::system_error&) {
        // No thread to be had: the reader fills the window itself when it gets there.
        nextWindow_.reset();
    }
}

void ReadAhead::settle() noexcept {
    if (!nextFill_.valid()) return;
    try {
        nextWindow_->length = nextFill_.get();
    } catch (...) {
        nextWindow_.reset();
    }
}

void ReadAhead::dropNext() {
    settle();
    nextWindow_.reset();
}

void ReadAhead::invalidate(uint32_t handle) {
    if (nextWindow_ && nextWindow_->handle == handle) dropNext();
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
