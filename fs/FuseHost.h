#pragma once
// The FUSE low-level binding of the served volume: one static function per FUSE operation,
// each replying exactly once (FuseRequest), errno only at this boundary. Operations that the volume
// queues run as closures on its serial queue and reply from there; the FUSE loop thread only
// submits them, so one loop thread is enough (the write path relies on a single loop thread: it
// hands runs of writes to the queue in request order). Answered directly on the loop thread: writes
// to phone files (gathered into runs that the queue sends, WriteGatherer.h says why), statfs,
// readlink, the link refusals, and the extended-attribute queries the kernel makes on its own
// (security.capability before every write, ACLs on every ls -l) while no such attribute was ever
// set.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fs/MTPFileSystem.h"
#include "fs/SerialQueue.h"
#include "fs/SpellingTable.h"
#include "fs/Volume.h"
#include "fs/WriteGatherer.h"

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
    static constexpr double aliasTimeout = 0;

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

    // Entry timeout of an item replied under a name: long, except on a writable volume for a
    // name that is not the item's own spelling (an alias, which the kernel then never keeps).
    double entryTimeout(bool ownSpelling) const;
    double attributeTimeout() const { return longTimeout; }

    struct Operations;  // the static FUSE functions, in FuseHost.cpp

  private:
    Volume& volume() const { return *fileSystem_.volume(); }
    // Queue, after the reply: has the kernel drop its dentries of these names. The kernel takes
    // each directory's lock for that, which a request waiting in the volume's queue may hold:
    // so the notifications go out from a thread of their own.
    void invalidate(std::vector<Spelling> spellings);
    // Queue: the kernel dropped n lookups of the item; it is reclaimed at zero.
    void forget(uint64_t itemID, uint64_t n);
    // The write gatherer over the loaded volume (created with the session).
    WriteGatherer& gatherer() { return *gatherer_; }
    // Loop thread: the FUSE file handle of a new open with these modes.
    uint64_t newHandle(OpenModes modes);
    // Queue: the item was opened (and counted by the volume) under handle with these modes.
    void opened(uint64_t handle, uint64_t itemID, OpenModes modes);
    // Queue: the handle is closed; the volume drops it from the item's open modes.
    void released(uint64_t handle, uint64_t itemID, OpenModes modes);

    MTPFileSystem& fileSystem_;
    fuse_session* session_ = nullptr;
    std::unique_ptr<uint8_t[]> readBuffer_;  // queue only
    SpellingTable spellings_;                // queue only: what the kernel knows
    std::unique_ptr<WriteGatherer> gatherer_;
    uint64_t handles_ = 0;  // loop thread: open file descriptions handed out
    // Whether any extended attribute, and any in the security and system namespaces, was set:
    // until then the kernel's own queries are answered on the loop thread.
    std::atomic<bool> anyXattr_{false};
    std::atomic<bool> systemXattr_{false};
    std::unique_ptr<SerialQueue> notifier_;  // last: joined first
};

}  // namespace kestrum
