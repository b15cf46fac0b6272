#pragma once
// The served file system: one phone, one MTP session, the items with their stable IDs and every
// cache the operations share. Independent of FUSE: the host (fs/FuseHost*) submits each queued
// operation to queue() as a closure, calls the method there, and turns a thrown PosixError into
// the errno of its reply.
//
// Threads: methods marked "queue" must run on queue() (inside a submitted closure or runSync);
// methods marked "any thread" touch no session and no cache. Operations throw PosixError; the
// constructor throws the MTP core's errors.
//
// Sources: Volume.cpp (creation, attributes, statistics, shared routines, lifecycle),
// VolumeLookup.cpp (listings, lookup, enumeration, reclaim), VolumeRead.cpp (read),
// VolumeWrite.cpp (open, close, write, truncation), VolumeNamespace.cpp (create, remove, rename,
// links), VolumeXattr.cpp (extended attributes, held by fs/Xattrs); the in-memory files live in
// fs/MemoryItems.

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fs/Item.h"
#include "fs/MemoryItems.h"
#include "fs/SerialQueue.h"
#include "fs/Xattrs.h"
#include "mtp/MTPEditor.h"
#include "mtp/MTPSession.h"
#include "mtp/ReadAhead.h"
#include "mtp/ThreadSafety.h"

namespace kestrum {

// What getattr, lookup and readdirplus report for an item.
struct Attributes {
    uint64_t id = 0;  // file ID; the host reports rootID as FUSE node 1
    uint64_t parentID = 0;
    bool isDirectory = false;
    uint32_t mode = 0;       // type and permission bits: S_IFDIR | 0755 (writable) or 0555,
                             // S_IFREG | 0644 (writable) or 0444
    uint32_t uid = 0;        // the process's real user ID
    uint32_t gid = 0;        // the process's real group ID
    uint32_t linkCount = 0;  // 2 for directories, 1 for files
    uint32_t flags = 0;
    uint64_t size = 0;           // bytes
    uint64_t allocatedSize = 0;  // size rounded up to a multiple of 4096
    int64_t modified = 0;        // seconds since 1970; also the access, change and birth time

    // st_ino = id, st_blocks in 512-byte units, st_blksize 4096.
    struct stat toStat() const;
    bool operator==(const Attributes&) const = default;
};

// One entry of an enumeration: nextCookie is the cookie that resumes after this entry.
struct DirectoryEntry {
    std::string name;
    uint64_t id = 0;  // "." and ".." included; the root's ".." is rootID
    bool isDirectory = false;
    uint64_t nextCookie = 0;
    std::optional<Attributes> attributes;  // present only in the attributes form
    bool operator==(const DirectoryEntry&) const = default;
};

// Receives entries in order; returns false when the entry did not fit (it is then not counted
// and enumeration stops; the caller resumes with that entry's cookie).
using Packer = std::function<bool(const DirectoryEntry&)>;

// Volume statistics; all sizes in bytes, blocks of blockSize.
struct Statistics {
    uint64_t blockSize = 0;  // 4096
    uint64_t ioSize = 0;     // 4,194,304: the read-ahead window
    uint64_t totalBytes = 0;
    uint64_t availableBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t usedBytes = 0;
    uint64_t totalBlocks = 0;
    uint64_t availableBlocks = 0;
    uint64_t freeBlocks = 0;
    uint64_t usedBlocks = 0;

    // f_bsize = ioSize, f_frsize = blockSize, f_namemax = Volume::maximumNameLength.
    struct statvfs toStatvfs() const;
    bool operator==(const Statistics&) const = default;
};

// The modes a file stays open with (close) or is opened with (open).
struct OpenModes {
    bool read = false;
    bool write = false;
    bool operator==(const OpenModes&) const = default;
};

enum class ItemType { file, directory, other };

class Volume {
  public:
    static constexpr uint32_t maximumNameLength = 254;  // UTF-16 code units
    static constexpr uint64_t blockSize = 4096;
    static constexpr const char* queueLabel = "com.tavrel.kestrum.fs.device";

    // Takes an opened session (which owns its transport). Lists the storages, decides whether
    // the volume is writable (writableRequest and the phone supports the seven operations
    // writing needs), hooks the transaction trace into the log and builds the root. Any thread
    // (nothing else uses the session yet). Throws the session's errors, and MTPTransportError
    // "phone exposes no storage (locked?)" when the phone lists none. The session is closed by
    // shutdown(), never by the destructor.
    Volume(std::unique_ptr<mtp::MTPSession> session, bool writableRequest);
    // Waits for queued work, then frees everything; sends nothing to the phone.
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // ---- Identity and properties: any thread. ----
    SerialQueue& queue() { return *queue_; }
    bool isWritable() const { return writable_; }
    // The mount should be read-only (the volume cannot change the phone).
    bool requestsReadOnly() const { return !writable_; }
    // From the free-space copy, under its lock. Never fails.
    Statistics statistics() const EXCLUDES(spaceLock_);

    // ---- Items: queue. ----
    Attributes attributes(const Item& item) const;

    // ENOENT when id is unknown (an item removed or replaced since the kernel learned it).
    Attributes getAttributes(uint64_t id);
    // Only newSize has an effect; every other attribute change is accepted and ignored.
    // ENOENT unknown id; EROFS read-only volume; with a size different from the current one:
    // EISDIR directory, EFBIG object of unknown size or memory item above MemoryItems::maximumSize,
    // phone failures translated by report("truncate", ...). Returns the new attributes.
    Attributes setAttributes(uint64_t id, std::optional<uint64_t> newSize);

    // ---- Lookup and enumeration: queue. ----
    // The item of the directory spelled exactly name, else the first one (in listing order)
    // whose name equals it ignoring case (Unicode case folding). ENOENT unknown directory or no
    // match; ENAMETOOLONG name longer than maximumNameLength; EIO when listing fails (logged
    // "lookup <name>: <error>").
    ItemPtr lookup(uint64_t directory, std::string_view name);
    // Packs entries from cookie (0 first) on; each entry's nextCookie resumes after it.
    // withAttributes false: "." (cookie 1), ".." (2) then the children, each at its sequence
    // number in the listing + 2; true: the children only, at their sequence numbers, each with
    // attributes. A cookie stays valid across changes: entries not removed meanwhile are all
    // packed exactly once. ENOTDIR unknown id or not a directory; EIO when listing fails (logged
    // "list <name>: <error>").
    void enumerate(uint64_t directory, uint64_t cookie, bool withAttributes, const Packer& pack);
    // The kernel forgot the item: ends an object's edit; the item stays in every cache.
    void reclaim(uint64_t id);
    // Any thread: there are no symbolic links; always throws EINVAL.
    [[noreturn]] void readSymbolicLink(uint64_t id) const;

    // ---- Reading: queue. ----
    // Reads up to scratch.size() bytes at offset, fewer at the end of the file. Returns them
    // as a view valid until the next read: of the read-ahead window when it holds them (no
    // copy), else of the start of scratch. EISDIR unknown id or directory; EFBIG object of
    // unknown size; EIO when the phone fails (logged "read <name>: <error>"). Negative offsets
    // of memory items read from 0.
    [[nodiscard]] std::span<const uint8_t> read(uint64_t id, int64_t offset,
                                                std::span<uint8_t> scratch);

    // ---- Writing (VolumeWrite.cpp). ----
    // Any thread: EROFS when modes.write on a read-only volume; nothing else happens.
    void open(OpenModes modes) const;
    // Queue. kept: the modes other open descriptors still hold. Never throws.
    void close(uint64_t id, OpenModes kept);
    // Queue. Writes bytes at offset through the object's edit (begun on the first write after
    // an open, ended at the last release without write mode, fsync, reclaim, rename, remove or
    // unmount) or into a memory item. Returns bytes.size(), or fewer when the phone failed
    // after part of the bytes was stored (a short write: the item's size covers exactly what
    // is stored, and the next write reports the error). A write of 0 bytes changes nothing.
    // EROFS, EINVAL (unknown id, directory, negative offset), EFBIG (unknown size, memory item
    // past MemoryItems::maximumSize, end past 2^63), or report("write", ...) translations (ENOSPC
    // when the phone is full, EIO when it is gone).
    size_t write(uint64_t id, int64_t offset, std::span<const uint8_t> bytes);

    // Queue. FUSE open and create (after create()): one open handle of id with these modes;
    // the caller must release() it exactly once. truncate is O_TRUNC: the file is cut to 0 as
    // setAttributes does. EROFS when modes.write or truncate on a read-only volume, ENOENT
    // unknown id, EISDIR truncating a directory, and setAttributes' errors; a handle whose
    // open failed is not counted.
    void open(uint64_t id, OpenModes modes, bool truncate);
    // Queue. FUSE release of one handle opened with modes (O_RDONLY read, O_WRONLY write,
    // O_RDWR both). Releases arrive in any order after later opens: the modes kept are those
    // of the item's handles still open, and close(id, kept) runs with them (the edit ends when
    // no handle keeps write mode). Never throws.
    void release(uint64_t id, OpenModes modes);
    // Queue. The modes the item's open handles hold together (none when not open).
    OpenModes openModes(uint64_t id) const;
    // Queue. FUSE fsync and fdatasync: ends the object's open edit so that the phone commits
    // what was written, then refreshes the free space; a later write begins a new edit.
    // Nothing to do for memory items, directories, objects without an edit and items removed
    // or replaced since they were opened. A failing EndEditObject is reported
    // (report("fsync", ...), usually EIO), never swallowed.
    void fsync(uint64_t id);

    // ---- Namespace changes (VolumeNamespace.cpp): queue unless marked. ----
    // EROFS, EINVAL, ENAMETOOLONG, ENOTSUP, EEXIST, EACCES, report("create", ...) translations.
    ItemPtr create(uint64_t directory, std::string_view name, ItemType type);
    // FUSE unlink and rmdir of the item lookup() finds for name in directory. A file that open
    // handles hold leaves its folder at once but stays readable and writable through them, on
    // the phone under a hidden name, until the last release deletes it. ENOENT no such item;
    // unlink of a directory EISDIR, rmdir of a file ENOTDIR; EROFS, EINVAL, EACCES, ENOTEMPTY,
    // report("remove", ...) translations.
    void unlink(uint64_t directory, std::string_view name);
    void rmdir(uint64_t directory, std::string_view name);
    // FUSE rename: the item named name in source goes to destination as newName, replacing the
    // item that holds newName there (both found as lookup() finds them; a case-only rename of
    // one item replaces nothing). The replaced item is moved aside under ".kestrum-<handle>.tmp"
    // and deleted only once the move succeeded (detached as unlink does while open handles hold
    // it); on failure it gets its name back (if the phone fails even then, it stays under the
    // temporary name and the caches show it there). flags: renameat2 flags; RENAME_NOREPLACE
    // gives EEXIST when another item holds newName; RENAME_EXCHANGE and unknown flags give
    // EINVAL. Returns the new name. ENOENT when name is missing; EROFS, EINVAL (also: a folder
    // into itself), ENAMETOOLONG, EACCES, EISDIR, ENOTDIR, ENOTEMPTY, EXDEV (across storages, or
    // the phone cannot move), report("rename", ...).
    std::string renameEntry(uint64_t source, std::string_view name, uint64_t destination,
                            std::string_view newName, unsigned int flags);
    // Any thread: EROFS on a read-only volume, else ENOTSUP.
    [[noreturn]] void createSymbolicLink() const;
    [[noreturn]] void createLink() const;

    // ---- Extended attributes (VolumeXattr.cpp): queue; as Xattrs keeps them. ----
    // ENODATA unknown id or no such attribute.
    Bytes getXattr(uint64_t id, std::string_view name);
    // EROFS, EINVAL unknown id, then as Xattrs::set.
    void setXattr(uint64_t id, std::string_view name, std::span<const uint8_t> value,
                  XattrPolicy policy);
    // Names in ascending order. EINVAL unknown id.
    std::vector<std::string> listXattrs(uint64_t id);

    // ---- Lifecycle: queue. ----
    // Finishes edits, sends CloseSession (failure ignored) and releases the session and its
    // transport (the USB interface). Later operations that need the phone fail with EIO.
    // Never throws.
    void shutdown();

  private:
    // Tests reach the caches and the single-item operations through this (tests/fs).
    friend struct VolumeTestAccess;

    // The arithmetic: total = sum of capacities, free = min(sum of free, total), blocks of
    // blockSize rounded down. Sums saturate instead of wrapping.
    static Statistics statisticsOf(std::span<const mtp::MTPStorage> storages);
    // Any item known to the caches (root, listed, created or inserted items), or null. Queue.
    ItemPtr item(uint64_t id) const;
    // unlink and rmdir below their lookup: the item leaves its folder (see retire()).
    void remove(uint64_t id);
    // renameEntry below its lookups: moves id from source into destination under newName,
    // replacing over (an item found under newName; ignored when it is id itself). EINVAL also
    // when over does not hold newName in destination or id is not in source; EEXIST newName
    // taken and no over given.
    std::string rename(uint64_t id, uint64_t source, uint64_t destination, std::string_view newName,
                       std::optional<uint64_t> over);

    // ---- Shared routines of the operations: queue. ----
    // The directory's cached listing, built on first use (phone folder, storage folders or the
    // root's composition). Throws the listing error and caches nothing then. The reference stays
    // valid until the directory itself is discarded.
    Listing& children(const Item& directory);
    // Lists the directory if needed (its error is passed on) and adds the item at the end of
    // its listing (an entry with the item's ID leaves).
    void insert(const ItemPtr& item, const Item& directory);
    // Forgets an item: its listing, contents and attributes (and those of its listed children),
    // an object's open edit (without ending it) and read-ahead state, its entry in the parent's
    // listing and in the ID index. Never throws.
    void discard(const Item& item);
    // Logs "<op> <name>: <error>", plus the fault line when the session is stalled, and returns
    // the POSIX error to reply (a PosixError's own code, else mtp::errnoFor).
    int report(std::string_view op, std::string_view name, const std::exception& error);
    // Ends the handle's edit if one is open (a failure is logged "end edit %u: <error>"), then
    // refreshes the free space. Never throws.
    void closeEdit(uint32_t handle);
    // closeEdit for every open edit. Never throws.
    void finishEdits();
    // Lists the storages again and replaces the free-space copy when the count still matches.
    // Never throws.
    void refreshSpace() EXCLUDES(spaceLock_);

    // VERIFY_ON_QUEUE(*queue_) for the caller (function: its __func__), except while the
    // constructor loads: the queue does not exist yet and nothing else can reach the volume.
    void verifyOnQueue(const char* function) const {
        if (queue_ && !queue_->isCurrent()) queue_->failNotCurrent(function);
    }
    // The session and the editor, or MTPTransportError "volume is shut down" after shutdown().
    // Use these, not the members, wherever the phone is reached.
    mtp::MTPSession& session();
    mtp::MTPEditor& editor();
    // The item, or PosixError(code) when the ID is unknown.
    Item& require(uint64_t id, int code) const;
    // A phone folder's entries: plain listing at a storage's top level or without
    // GetObjectPropList, else the property-list listing with the plain one as fallback on an
    // MTPError.
    std::vector<mtp::MTPEntry> listFolder(uint32_t storage, uint32_t parent);
    // The StorageID an object created in or moved to this directory goes to.
    uint32_t storageOf(const Item& directory) const;
    // The item of a phone object listed in parent, or null for a name no listing can carry.
    ItemPtr objectItem(mtp::MTPEntry entry, uint32_t storage, uint64_t parent) const;
    void index(const ItemPtr& item);
    // Renames a cached item, keeping its folder's name index in step.
    void setName(Item& item, std::string name);
    // The phone's name of an object removed while open; unique by its handle, never listed.
    static std::string detachedName(uint32_t handle);
    // Whether a listed entry is a removed file kept for its open handles; one that no open
    // handle of this volume holds (left by a volume that went away) is deleted on a writable
    // volume. Never throws.
    bool isLeftBehind(const mtp::MTPEntry& entry);
    // Removal: the item leaves its folder. When nothing holds it open it goes (a phone object
    // is deleted); otherwise it is detached: it keeps serving its open handles (a phone object
    // under detachedName) and goes at the last release. Throws the phone's errors, having
    // changed nothing then.
    void retire(Item& item);
    // The caches' part of retire(): discard, or detach while open handles hold the item.
    void drop(Item& item);
    // Deletes a detached item whose last handle was released. Never throws.
    void dropDetached(Item& item);
    static timespec now();
    // The write path (VolumeWrite.cpp, VolumeNamespace.cpp).
    size_t writeObject(Item& file, uint64_t offset, std::span<const uint8_t> bytes);
    // Whether the object's current size can be known before editing it: the volume's own,
    // the phone's answer, or a listing's size that is exact.
    bool editableSize(const Item& file);
    // rename() below its argument checks: the rules, then the move in memory or on the phone
    // (undone as far as the phone lets when a step fails). Throws PosixError and the phone's
    // errors; OperationNotSupported becomes EXDEV.
    void move(Item& item, const Item& source, const Item& destination, std::string_view newName,
              const ItemPtr& over);
    void checkMove(const Item& item, const Item& source, const Item& destination,
                   std::string_view newName, const ItemPtr& over);
    void moveOnPhone(Item& item, const Item& source, const Item& destination,
                     const std::string& newName, const ItemPtr& over);
    // Moves a cached item from source's listing to the end of destination's.
    void relocate(Item& item, const Item& source, const Item& destination);
    bool isEmptyOnPhone(const Item& folder);

    std::unique_ptr<mtp::MTPSession> session_;
    std::vector<mtp::MTPStorage> storages_;
    mutable mtp::Mutex spaceLock_;
    std::vector<mtp::MTPStorage> space_ GUARDED_BY(spaceLock_);
    std::unique_ptr<mtp::ReadAhead> readAhead_;
    std::unordered_map<uint64_t, Listing> children_;
    MemoryItems memory_;
    Xattrs xattrs_;
    std::unique_ptr<mtp::MTPEditor> editor_;
    bool writable_ = false;
    // Open handles per item ID (write path): kept until the last release.
    struct OpenHandles {
        uint32_t handles = 0;
        uint32_t reading = 0;
        uint32_t writing = 0;
    };
    std::unordered_map<uint64_t, OpenHandles> opens_;
    std::unordered_map<uint64_t, ItemPtr> items_;  // every item of the caches, by ID
    std::unique_ptr<SerialQueue> queue_;           // last: joined first on destruction
};

}  // namespace kestrum
