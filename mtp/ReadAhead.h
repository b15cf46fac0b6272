#pragma once
// Turns sequential reads of one object into 4 MiB requests; random and large reads go direct.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "mtp/MTPSession.h"

namespace mtp {

// Not thread-safe: its owner serialises calls with every other use of the session.
class ReadAhead {
  public:
    static constexpr size_t window = 4 << 20;
    static constexpr size_t maxStates = 9;

    struct State {
        uint64_t start = 0;
        uint64_t length = 0;
        uint64_t lastEnd = UINT64_MAX;  // all bits set: no previous read
        bool operator==(const State&) const = default;
    };

    // Allocates the 4 MiB window buffer once; sends nothing.
    ReadAhead();

    // Serves a read of object handle whose current size is size (bytes) at offset (below 0 is
    // taken as 0). Returns the bytes read (empty at or past the end): a view of the window when
    // it holds them, valid until the next call, else the start of scratch, filled. Serving from
    // the window saves a copy of every request. At most one request per call, through
    // session.readPartial; nothing is allocated. Throws what readPartial throws; the object's
    // state before the transfer is kept then, and a failed fill leaves the buffer without an
    // owner.
    [[nodiscard]] std::span<const uint8_t> read(MTPSession& session, uint32_t handle, uint64_t size,
                                                int64_t offset, std::span<uint8_t> scratch);
    // Forgets the object's state and, if it owns the buffer, its bytes.
    void invalidate(uint32_t handle);
    // Stores a state; a tenth distinct handle empties the map first.
    void remember(uint32_t handle, State state);

    State state(uint32_t handle) const;
    std::optional<uint32_t> bufferOwner() const { return bufferOwner_; }
    size_t stateCount() const { return states_.size(); }

  private:
    std::unique_ptr<uint8_t[]> buffer_;
    std::optional<uint32_t> bufferOwner_;
    std::unordered_map<uint32_t, State> states_;
};

}  // namespace mtp
