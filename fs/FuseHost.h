#pragma once
// The FUSE low-level binding of the served volume: one static function per FUSE operation,
// each replying exactly once, errno only at this boundary. Operations that the volume queues run
// as closures on its serial queue and reply from there; the FUSE loop thread only submits them,
// so one loop thread is enough. Answered directly on the loop thread: open, statfs, readlink, the
// link refusals and, for now, the extended-attribute queries (ENODATA, empty list).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "fs/MTPFileSystem.h"
#include "fs/Volume.h"

struct fuse_args;
struct fuse_session;
struct fuse_lowlevel_ops;

namespace kestrum {

class FuseHost {
  public:
    // The largest read or write the kernel sends (its max_pages_limit of 256 pages) and the
    // size of the host's read buffer, bytes. mount.mtpfs passes it as "-o max_read" too.
    static constexpr size_t maxTransfer = 1 << 20;
    // Entry and attribute timeouts, seconds (see FuseHost.cpp for why).
    static constexpr double longTimeout = 86400;
    static constexpr double aliasTimeout = 1;

    // Serves fileSystem's volume, which must be loaded before the first request arrives and
    // stays loaded until destroy (which unloads it). fileSystem outlives the host.
    explicit FuseHost(MTPFileSystem& fileSystem);
    FuseHost(const FuseHost&) = delete;
    FuseHost& operator=(const FuseHost&) = delete;

    // The operation table.
    static const fuse_lowlevel_ops& operations();

    // fuse_session_new over operations() with this host as user data; null when libfuse refuses
    // the arguments (it prints why).
    fuse_session* newSession(fuse_args& args);

    // Waits until everything submitted to the volume's queue so far has run and replied. Call
    // it after the FUSE loop ended and before the session's channel is closed, so that no reply
    // can reach a reused descriptor. Not on the queue's thread.
    void drain();

    // The volume's item IDs are FUSE node IDs, except the root: item 2 is node 1 and back.
    static uint64_t toNode(uint64_t itemID);
    static uint64_t toItem(uint64_t node);

    // Entry timeout of the served volume (long when read-only, short when writable).
    double entryTimeout() const;
    double attributeTimeout() const { return longTimeout; }

    struct Operations;  // the static FUSE functions, in FuseHost.cpp

  private:
    // Open descriptors of one node by mode.
    struct OpenCount {
        uint64_t readers = 0;
        uint64_t writers = 0;
    };

    Volume& volume() const { return *fileSystem_.volume(); }
    // Queue: the kernel received n more entry replies for the item.
    void remember(uint64_t itemID, uint64_t n = 1);
    // Queue: the kernel dropped n references; the item is reclaimed at zero.
    void forget(uint64_t itemID, uint64_t n);
    // Any thread: counts an open with modes; returns the file handle that records them.
    uint64_t opened(uint64_t itemID, OpenModes modes);
    // Any thread: drops the open recorded in fileHandle; returns the modes still kept.
    OpenModes released(uint64_t itemID, uint64_t fileHandle);

    MTPFileSystem& fileSystem_;
    std::unique_ptr<uint8_t[]> readBuffer_;                // queue only
    std::unordered_map<uint64_t, uint64_t> lookupCounts_;  // queue only
    std::mutex openLock_;
    std::unordered_map<uint64_t, OpenCount> openCounts_;  // guarded by openLock_
};

}  // namespace kestrum
