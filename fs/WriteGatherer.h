#pragma once
// Contiguous writes to one file, gathered into runs of up to one editor chunk (4 MiB) and
// answered at once while the volume's queue sends the previous run: cp writes 128 KiB at a time,
// and each write sent alone would be one MTP transaction whose fixed cost then dominates.
//
// A run the phone refuses cannot fail the write(2) calls it gathered (they were answered), so
// its error waits for the writers of that file: every handle open for writing when the run
// failed gets it once, at its next write, flush (close()) or fsync; read-only handles never do.
// After a failure no later run of the file is sent that starts past the bytes the phone really
// holds (the volume would fill the gap with zeros): such runs fail the same way, so the phone
// keeps a prefix of what the program wrote, until the file's last writer is released.
//
// Threads: write() and handOff() on one thread only (the FUSE loop), in request order; the runs
// are sent on the volume's queue; the other methods on any thread.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/Volume.h"
#include "mtp/ThreadSafety.h"

namespace kestrum {

class WriteGatherer {
  public:
    // One open file description (the FUSE file handle).
    using Handle = uint64_t;

    // Sends runs through volume, which outlives the gatherer. failed(id) runs on the queue after
    // a run of item id failed, once its error is recorded (the host drops the kernel's cached
    // size and pages there).
    WriteGatherer(Volume& volume, std::function<void(uint64_t id)> failed);
    WriteGatherer(const WriteGatherer&) = delete;
    WriteGatherer& operator=(const WriteGatherer&) = delete;

    // Whether writes to item id are gathered: phone objects only. Memory items are written on
    // the queue, so that a write past their limit fails itself.
    [[nodiscard]] static bool gathers(uint64_t id);

    // Any thread, before the handle's first write: handle has item id open for writing. A file
    // with no writer yet starts without a failure.
    void opened(Handle handle, uint64_t id) EXCLUDES(lock_);
    // Any thread: the handle is closed; its pending error goes with it. The last writer of a
    // file clears the file's failure.
    void released(Handle handle) EXCLUDES(lock_);

    // Loop thread. Accepts bytes at offset of item id (gathers(id)) written through handle:
    // they join the run being gathered, or start a new one after the old one is handed off.
    // Throws PosixError instead (nothing is accepted then) with the handle's pending error, or
    // with the file's failure when offset lies past what the phone holds of it.
    void write(Handle handle, uint64_t id, uint64_t offset, std::span<const uint8_t> bytes)
        EXCLUDES(lock_);
    // Loop thread: hands the run being gathered to the queue, waiting while two runs are queued
    // already. Call it before submitting any other request, so that every request sees the
    // phone as the writes before it left it.
    void handOff() EXCLUDES(lock_);
    // Any thread: the handle's pending error, once; 0 when none. On the queue after handOff(),
    // every run written before has been sent.
    [[nodiscard]] int takeError(Handle handle) EXCLUDES(lock_);

  private:
    struct Run {
        uint64_t id = 0;
        uint64_t offset = 0;
        std::vector<uint8_t> bytes;
    };
    // A file's failure: its error, and the end of the bytes the phone holds in order from the
    // failed run on (runs starting past it are refused).
    struct Failure {
        int code = 0;
        uint64_t frontier = 0;
    };
    // Queue: sends the run (or refuses it after a failure of its file); records a failure.
    void send(const Run& run) EXCLUDES(lock_);
    // Gives code to every writer of id and records the file's failure.
    void fail(uint64_t id, int code, uint64_t frontier) REQUIRES(lock_);

    Volume& volume_;
    std::function<void(uint64_t)> failed_;
    mtp::Mutex lock_;
    std::condition_variable_any sent_;  // a queued run was sent
    Run filling_ GUARDED_BY(lock_);
    int runsQueued_ GUARDED_BY(lock_) = 0;
    std::unordered_map<Handle, uint64_t> writers_ GUARDED_BY(lock_);  // handle -> id
    std::unordered_map<Handle, int> pending_ GUARDED_BY(lock_);
    std::unordered_map<uint64_t, Failure> failures_ GUARDED_BY(lock_);  // by item
};

}  // namespace kestrum
