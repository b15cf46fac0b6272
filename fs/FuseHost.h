#pragma once
// The FUSE low-level binding of the served volume: one static function per FUSE operation,
// each replying exactly once, errno only at this boundary. Operations that the volume queues run
// as closures on its serial queue and reply from there; the FUSE loop thread only submits them,
// so one loop thread is enough (the write path relies on a single loop thread: it hands runs of
// writes to the queue in request order). Answered directly on the loop thread: writes (gathered
// into runs that the queue sends, FuseHost.cpp says why), statfs, readlink, the link refusals,
// and the extended-attribute queries the kernel makes on its own (security.capability before
// every write, ACLs on every ls -l) while no such attribute was ever set.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fs/MTPFileSystem.h"
#include "fs/SerialQueue.h"
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
    // A name under which the kernel may hold a dentry of an item: (directory item, name).
    using Spelling = std::pair<uint64_t, std::string>;

    Volume& volume() const { return *fileSystem_.volume(); }
    // Queue: the kernel received one more entry reply for the item, under this name in this
    // directory.
    void remember(uint64_t itemID, uint64_t directory, const std::string& name);
    // Queue: the kernel moved its entry of the item to this name (rename).
    void respell(uint64_t itemID, const Spelling& spelling);
    // Queue: the kernel dropped n references; the item is reclaimed at zero.
    void forget(uint64_t itemID, uint64_t n);
    // Queue: the spellings the kernel may still hold for the item other than `except` (the one
    // the kernel updates itself), which are forgotten here.
    std::vector<Spelling> otherSpellings(uint64_t itemID, const Spelling& except);
    // Queue, after the reply: has the kernel drop its dentries of these names. The kernel takes
    // each directory's lock for that, which a request waiting in the volume's queue may hold:
    // so the notifications go out from a thread of their own.
    void invalidate(std::vector<Spelling> spellings);

    // Contiguous writes to one item, answered but not yet given to the volume.
    struct Run {
        uint64_t id = 0;
        uint64_t offset = 0;
        std::vector<uint8_t> bytes;
    };
    // Loop thread (never the queue): gives the run being gathered to the queue, after waiting
    // while two runs are queued already.
    void handOff();
    // Queue: writes a run through the volume; a failure is kept for the item's next write,
    // flush or fsync.
    void send(const Run& run);
    // Any thread: the errno of the item's failed run, once; 0 when none failed.
    int takeDeferred(uint64_t itemID);

    MTPFileSystem& fileSystem_;
    fuse_session* session_ = nullptr;
    std::unique_ptr<uint8_t[]> readBuffer_;  // queue only
    struct Node {
        uint64_t lookups = 0;
        std::vector<Spelling> spellings;
    };
    std::unordered_map<uint64_t, Node> nodes_;  // queue only: what the kernel knows
    std::mutex writeLock_;
    std::condition_variable sent_;                // a queued run was sent
    Run filling_;                                 // guarded by writeLock_
    int runsQueued_ = 0;                          // guarded by writeLock_
    std::unordered_map<uint64_t, int> deferred_;  // guarded by writeLock_
    // Whether any extended attribute, and any in the security and system namespaces, was set:
    // until then the kernel's own queries are answered on the loop thread.
    std::atomic<bool> anyXattr_{false};
    std::atomic<bool> systemXattr_{false};
    std::unique_ptr<SerialQueue> notifier_;  // last: joined first
};

}  // namespace kestrum
