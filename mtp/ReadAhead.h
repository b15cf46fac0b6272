#pragma once
// Turns sequential reads of one object into 4 MiB requests; random and large reads go direct.
// Once a reader has gone through a whole window, the next one is filled in the background while
// the reader is served from the current one, so that the link does not idle between windows.

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>

#include "mtp/MTPSession.h"

namespace mtp {

// Not thread-safe: its owner serialises calls with every other use of the session. A read may
// leave a fill of the next window running on a thread of its own, using the session: the owner
// calls settle() before any other use of the session (one transaction at a time).
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

    // Allocates the two 4 MiB window buffers once; sends nothing.
    ReadAhead();
    // Waits for a fill in the background to end (the session must outlive it).
    ~ReadAhead() = default;

    // Serves a read of object handle whose current size is size (bytes) at offset (below 0 is
    // taken as 0). Returns the bytes delivered into destination (0 at or past the end). At most
    // one request per call on the caller's thread, through session.readPartial, and when a
    // window follows the one the reader went through, one more in the background; nothing is
    // allocated. Throws what readPartial throws; the object's state before the transfer is kept
    // then, and a failed fill leaves the buffer without an owner. Bytes of a background fill are
    // served only to a read of the same object within that window, and only if it succeeded.
    [[nodiscard]] size_t read(MTPSession& session, uint32_t handle, uint64_t size, int64_t offset,
                              std::span<uint8_t> destination);
    // Returns once no fill runs in the background. Its bytes are kept for the read that wants
    // them; a failure is dropped (that read asks the phone itself). Never throws.
    void settle() noexcept;
    // Forgets the object's state and, if it owns a buffer, its bytes. Settles first.
    void invalidate(uint32_t handle);
    // Stores a state; a tenth distinct handle empties the map first.
    void remember(uint32_t handle, State state);

    State state(uint32_t handle) const;
    std::optional<uint32_t> bufferOwner() const { return bufferOwner_; }
    size_t stateCount() const { return states_.size(); }

  private:
    struct Window {
        uint32_t handle = 0;
        uint64_t start = 0;
        uint64_t length = 0;  // asked for while the fill runs, received once settled
    };
    // Starts filling next_ with the window after state's, when there is one to fill.
    void fillNext(MTPSession& session, uint32_t handle, uint64_t size, const State& state);
    // Drops the background window (settling first).
    void dropNext();

    std::unique_ptr<uint8_t[]> buffer_;
    std::optional<uint32_t> bufferOwner_;
    std::unique_ptr<uint8_t[]> next_;
    std::optional<Window> nextWindow_;  // what next_ holds, or will once the fill is settled
    std::unordered_map<uint32_t, State> states_;
    // Last member: destroyed first, it waits for the fill that writes into next_.
    std::future<size_t> nextFill_;
};

}  // namespace mtp
