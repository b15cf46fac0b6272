// The FUSE operations. Each function replies exactly once: either directly, or from the closure
// it submits to the volume's queue (queued()), which turns a thrown PosixError into the error
// reply.
//
// Caching in the kernel. The volume never refreshes its caches from the phone, and every change
// it makes passes through this kernel mount, which updates its own inode (size, times) as it
// goes. So attributes are cached for a day. Entries too on a read-only volume, where nothing can
// change. On a writable one a file looked up under several spellings ("a.txt", "A.TXT") is cached
// like hard links; a delete or rename through one spelling leaves the others behind: the host
// remembers the spellings it answered and drops the others from the kernel after such a change,
// and entries expire after a second there anyway. Misses are replied as ENOENT, which the kernel
// never caches. Files keep their page cache across opens and directories their listing (nothing
// outside this mount changes them; writes go through the page cache to the phone).
//
// Open files. The volume counts open handles per item on its queue: open and create count one,
// release drops it with the modes of that handle (kept in the file handle), so RELEASE, which
// the kernel sends asynchronously and perhaps after a later OPEN, still leaves the right modes.
// FLUSH of a handle with write mode ends the edit (close() then reports whether the phone
// committed the data), as fsync does.
//
// Writes. cp writes 128 KiB at a time, and each write sent alone is one MTP transaction, whose
// fixed cost then dominates. So contiguous writes to one file are gathered on the loop thread
// into runs of up to 4 MiB and answered at once, while the queue sends the previous run. A run
// is handed to the queue before any other request is (a read, a getattr, a flush, another
// file's write), so every request sees the phone as the writes before it left it. A run the
// phone refuses fails the file's next write, flush (close()) or fsync, and the kernel's cached
// size and pages of the file are dropped.

#include "fs/FuseHost.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/Log.h"
#include "fs/PosixError.h"
#include "mtp/MTPEditor.h"

namespace kestrum {

namespace {

constexpr uint64_t readBit = 1;
constexpr uint64_t writeBit = 2;

FuseHost& hostOf(fuse_req_t req) {
    return *static_cast<FuseHost*>(fuse_req_userdata(req));
}

OpenModes modesOf(int flags) {
    const int access = flags & O_ACCMODE;
    return OpenModes{access != O_WRONLY, access != O_RDONLY};
}

// The file handle records the modes of one open, for its release.
uint64_t handleOf(OpenModes modes) {
    return (modes.read ? readBit : 0) | (modes.write ? writeBit : 0);
}

OpenModes modesOfHandle(uint64_t fileHandle) {
    return OpenModes{(fileHandle & readBit) != 0, (fileHandle & writeBit) != 0};
}

// Attributes the kernel itself asks about (capabilities before every write, ACLs, SELinux).
bool isSystemName(std::string_view name) {
    return name.starts_with("security.") || name.starts_with("system.");
}

// A run of contiguous writes is sent to the phone once it reaches this many bytes (the
// editor's chunk: one SendPartialObject), bytes.
constexpr size_t pendingLimit = mtp::MTPEditor::chunkSize;

// Most spellings of one item the host remembers; more are rare and expire with the entry.
constexpr size_t maxSpellings = 8;

// readdir and readdirplus share one offset space, and the kernel mixes them in one listing
// (readdirplus first, readdir to go on). Offsets are those of the volume's names-only form,
// which starts with "." and ".."; readdirplus adds the two dot entries itself (the volume's
// attributes form has none) and shifts the positions of the others by two.
constexpr uint64_t dotEntries = 2;

// Names the kernel refuses in a listing ("/" or NUL inside, empty) or that would alias the
// directory itself or its parent: a phone may carry them, they are left out rather than failing
// the whole listing with EIO.
bool listable(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

}  // namespace

struct FuseHost::Operations {
    // Runs work on the volume's queue. work replies itself on success; a PosixError it throws
    // becomes the error reply, any other exception EIO (logged).
    template <typename Work>
    static void queued(fuse_req_t req, Work work) {
        // Whatever the request looks at, the phone has the written bytes by then.
        hostOf(req).handOff();
        hostOf(req).volume().queue().submit(
            [req, work = std::move(work)]() mutable { direct(req, std::move(work)); });
    }

    // Runs work where it is called (the loop thread, or the queue for queued()): a PosixError
    // it throws becomes the error reply, any other exception EIO (logged).
    template <typename Work>
    static void direct(fuse_req_t req, Work work) {
        try {
            work();
        } catch (const PosixError& error) {
            fuse_reply_err(req, error.code);
        } catch (const std::exception& error) {
            Log::error("fuse request: %s", error.what());
            fuse_reply_err(req, EIO);
        }
    }

    static fuse_entry_param entryOf(const FuseHost& host, const Attributes& attributes) {
        fuse_entry_param entry{};
        entry.ino = toNode(attributes.id);
        entry.attr = attributes.toStat();
        entry.attr_timeout = host.attributeTimeout();
        entry.entry_timeout = host.entryTimeout();
        return entry;
    }

    static void init(void* userdata, fuse_conn_info* conn) {
        (void)userdata;
        // Only together with "-o max_read" (mount.mtpfs passes both): the kernel's limit is 256
        // pages, and a larger max_write makes it drop the session.
        conn->max_read = maxTransfer;
        conn->max_write = maxTransfer;
        conn->max_readahead = maxTransfer;
        // Asynchronous reads stay on: the kernel's read-ahead then has the next 1 MiB request
        // queued while the volume serves the current one. The loop reads requests in the order
        // the kernel queued them and submits them to the volume's serial queue in that order,
        // so one reader's sequential reads still reach the read-ahead in file order and it sees
        // them as sequential (4 MiB fills). A second reader interleaves either way.
        if (conn->capable & FUSE_CAP_ASYNC_READ) conn->want |= FUSE_CAP_ASYNC_READ;
        if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;  // writes must reach the phone as they come
        // O_TRUNC comes inside OPEN, which the volume honours: one request instead of two.
        if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
        conn->time_gran = 1'000'000'000;  // whole seconds
    }

    static void destroy(void* userdata) {
        FuseHost& host = *static_cast<FuseHost*>(userdata);
        host.drain();
        host.fileSystem_.unload();
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        queued(req, [req, parent, name = std::string(name)] {
            FuseHost& host = hostOf(req);
            const ItemPtr item = host.volume().lookup(toItem(parent), name);
            const fuse_entry_param entry = entryOf(host, host.volume().attributes(*item));
            if (fuse_reply_entry(req, &entry) == 0) host.remember(item->id, toItem(parent), name);
        });
    }

    static void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
        FuseHost& host = hostOf(req);
        fuse_reply_none(req);
        host.handOff();
        host.volume().queue().submit([&host, ino, nlookup] { host.forget(toItem(ino), nlookup); });
    }

    static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
        FuseHost& host = hostOf(req);
        // The array lives in the request buffer, which is reused once this function returns.
        std::vector<fuse_forget_data> copy(forgets, forgets + count);
        fuse_reply_none(req);
        host.handOff();
        host.volume().queue().submit([&host, copy = std::move(copy)] {
            for (const auto& one : copy) host.forget(toItem(one.ino), one.nlookup);
        });
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)fi;
        queued(req, [req, ino] {
            FuseHost& host = hostOf(req);
            const struct stat attributes = host.volume().getAttributes(toItem(ino)).toStat();
            fuse_reply_attr(req, &attributes, host.attributeTimeout());
        });
    }

    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                        fuse_file_info* fi) {
        std::optional<uint64_t> newSize;
        if (toSet & FUSE_SET_ATTR_SIZE) newSize = static_cast<uint64_t>(attr->st_size);
        const bool byPath = fi == nullptr;
        queued(req, [req, ino, newSize, byPath] {
            FuseHost& host = hostOf(req);
            Volume& volume = host.volume();
            const uint64_t id = toItem(ino);
            const struct stat attributes = volume.setAttributes(id, newSize).toStat();
            // truncate(2) by path: no release will end the edit the truncation began.
            if (newSize && byPath) {
                const OpenModes kept = volume.openModes(id);
                if (!kept.write) volume.close(id, kept);
            }
            fuse_reply_attr(req, &attributes, host.attributeTimeout());
        });
    }

    static ItemType typeOf(mode_t mode) {
        if (S_ISREG(mode)) return ItemType::file;
        if (S_ISDIR(mode)) return ItemType::directory;
        return ItemType::other;
    }

    // Queue: creates name in parent and returns its entry (not yet replied).
    static std::pair<ItemPtr, fuse_entry_param> make(FuseHost& host, fuse_ino_t parent,
                                                     const std::string& name, ItemType type) {
        const ItemPtr item = host.volume().create(toItem(parent), name, type);
        return {item, entryOf(host, host.volume().attributes(*item))};
    }

    static void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                      dev_t rdev) {
        (void)rdev;
        queued(req, [req, parent, name = std::string(name), mode] {
            FuseHost& host = hostOf(req);
            const auto [item, entry] = make(host, parent, name, typeOf(mode));
            if (fuse_reply_entry(req, &entry) == 0) host.remember(item->id, toItem(parent), name);
        });
    }

    static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
        (void)mode;
        queued(req, [req, parent, name = std::string(name)] {
            FuseHost& host = hostOf(req);
            const auto [item, entry] = make(host, parent, name, ItemType::directory);
            if (fuse_reply_entry(req, &entry) == 0) host.remember(item->id, toItem(parent), name);
        });
    }

    static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* fi) {
        const OpenModes modes = modesOf(fi->flags);
        fuse_file_info info = *fi;
        queued(req, [req, parent, name = std::string(name), mode, modes, info]() mutable {
            FuseHost& host = hostOf(req);
            Volume& volume = host.volume();
            const auto [item, entry] = make(host, parent, name, typeOf(mode));
            volume.open(item->id, modes, false);
            info.fh = handleOf(modes);
            info.keep_cache = 1;
            if (fuse_reply_create(req, &entry, &info) == 0) {
                host.remember(item->id, toItem(parent), name);
            } else {
                volume.release(item->id, modes);  // no release will come for it
            }
        });
    }

    static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
        remove(req, parent, name, false);
    }

    static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
        remove(req, parent, name, true);
    }

    static void remove(fuse_req_t req, fuse_ino_t parent, const char* name, bool folder) {
        queued(req, [req, parent, name = std::string(name), folder] {
            FuseHost& host = hostOf(req);
            Volume& volume = host.volume();
            const uint64_t directory = toItem(parent);
            const uint64_t id = volume.lookup(directory, name)->id;
            if (folder) {
                volume.rmdir(directory, name);
            } else {
                volume.unlink(directory, name);
            }
            const auto stale = host.otherSpellings(id, {directory, name});
            fuse_reply_err(req, 0);
            host.invalidate(stale);
        });
    }

    static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                       const char* newName, unsigned int flags) {
        queued(req, [req, parent, name = std::string(name), newParent,
                     newName = std::string(newName), flags] {
            FuseHost& host = hostOf(req);
            Volume& volume = host.volume();
            const uint64_t source = toItem(parent), destination = toItem(newParent);
            const uint64_t id = volume.lookup(source, name)->id;
            std::optional<uint64_t> over;
            try {
                over = volume.lookup(destination, newName)->id;
            } catch (const PosixError&) {
            }
            try {
                volume.renameEntry(source, name, destination, newName, flags);
            } catch (const PosixError& error) {
                // The move was undone on the phone as far as it let us; the kernel keeps its
                // names, which may no longer match what the phone shows.
                std::vector<Spelling> stale{{source, name}, {destination, newName}};
                fuse_reply_err(req, error.code);
                host.invalidate(stale);
                return;
            }
            auto stale = host.otherSpellings(id, {source, name});
            if (over && *over != id) {
                const auto others = host.otherSpellings(*over, {destination, newName});
                stale.insert(stale.end(), others.begin(), others.end());
            }
            fuse_reply_err(req, 0);
            host.respell(id, {destination, newName});
            host.invalidate(stale);
        });
    }

    static void readlink(fuse_req_t req, fuse_ino_t ino) {
        direct(req, [req, ino] { hostOf(req).volume().readSymbolicLink(toItem(ino)); });
    }

    static void symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
        (void)link, (void)parent, (void)name;
        direct(req, [req] { hostOf(req).volume().createSymbolicLink(); });
    }

    static void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char* newName) {
        (void)ino, (void)newParent, (void)newName;
        direct(req, [req] { hostOf(req).volume().createLink(); });
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const OpenModes modes = modesOf(fi->flags);
        const bool truncate = (fi->flags & O_TRUNC) != 0;
        fuse_file_info info = *fi;
        queued(req, [req, ino, modes, truncate, info]() mutable {
            Volume& volume = hostOf(req).volume();
            volume.open(toItem(ino), modes, truncate);
            info.fh = handleOf(modes);
            info.keep_cache = 1;
            // Without a reply the kernel never sends the matching release.
            if (fuse_reply_open(req, &info) != 0) volume.release(toItem(ino), modes);
        });
    }

    // Answered on the loop thread: the bytes join the run being gathered (FuseHost::filling_)
    // when they continue it, else start a new one after handing the old one to the queue. A
    // run the phone refused fails the item's next write, flush or fsync.
    static void write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                      fuse_file_info* fi) {
        (void)fi;
        FuseHost& host = hostOf(req);
        const uint64_t id = toItem(ino);
        if (!host.volume().isWritable()) {
            fuse_reply_err(req, EROFS);
            return;
        }
        if (off < 0) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        if (const int code = host.takeDeferred(id)) {
            fuse_reply_err(req, code);
            return;
        }
        bool full = false;
        {
            std::unique_lock lock(host.writeLock_);
            Run& run = host.filling_;
            const bool continues = !run.bytes.empty() && run.id == id &&
                                   run.offset + run.bytes.size() == uint64_t(off) &&
                                   run.bytes.size() + size <= pendingLimit;
            if (!continues && !run.bytes.empty()) {
                lock.unlock();
                host.handOff();
                lock.lock();
            }
            if (run.bytes.empty()) {
                run.id = id;
                run.offset = static_cast<uint64_t>(off);
                run.bytes.reserve(pendingLimit);
            }
            run.bytes.insert(run.bytes.end(), buf, buf + size);
            full = run.bytes.size() >= pendingLimit;
        }
        fuse_reply_write(req, size);
        if (full) host.handOff();
    }

    // close() of a descriptor that could write: the phone commits now, and close() reports it.
    static void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const bool writer = modesOfHandle(fi->fh).write;
        queued(req, [req, ino, writer] {
            FuseHost& host = hostOf(req);
            if (const int code = host.takeDeferred(toItem(ino))) throw PosixError(code);
            if (writer) host.volume().fsync(toItem(ino));
            fuse_reply_err(req, 0);
        });
    }

    static void fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
        (void)datasync, (void)fi;
        queued(req, [req, ino] {
            FuseHost& host = hostOf(req);
            if (const int code = host.takeDeferred(toItem(ino))) throw PosixError(code);
            host.volume().fsync(toItem(ino));
            fuse_reply_err(req, 0);
        });
    }

    static void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
        (void)fi;
        queued(req, [req, ino, size, off] {
            FuseHost& host = hostOf(req);
            const std::span<uint8_t> destination(host.readBuffer_.get(),
                                                 std::min(size, maxTransfer));
            const size_t count = host.volume().read(toItem(ino), off, destination);
            fuse_reply_buf(req, reinterpret_cast<const char*>(destination.data()), count);
        });
    }

    static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const OpenModes modes = modesOfHandle(fi->fh);
        queued(req, [req, ino, modes] {
            hostOf(req).volume().release(toItem(ino), modes);
            fuse_reply_err(req, 0);
        });
    }

    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)ino;
        fi->cache_readdir = 1;
        fi->keep_cache = 1;
        fuse_reply_open(req, fi);
    }

    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                        fuse_file_info* fi) {
        (void)fi;
        queued(req, [req, ino, size, off] {
            std::vector<char> buffer(size);
            size_t used = 0;
            const auto pack = [&](const DirectoryEntry& entry) {
                if (entry.nextCookie > dotEntries && !listable(entry.name)) return true;
                struct stat attributes {};
                attributes.st_ino = entry.id;
                attributes.st_mode = entry.isDirectory ? S_IFDIR : S_IFREG;
                const size_t needed =
                    fuse_add_direntry(req, buffer.data() + used, size - used, entry.name.c_str(),
                                      &attributes, static_cast<off_t>(entry.nextCookie));
                if (needed > size - used) return false;
                used += needed;
                return true;
            };
            hostOf(req).volume().enumerate(toItem(ino), static_cast<uint64_t>(off), false, pack);
            fuse_reply_buf(req, buffer.data(), used);
        });
    }

    static void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                            fuse_file_info* fi) {
        (void)fi;
        queued(req, [req, ino, size, off] {
            FuseHost& host = hostOf(req);
            Volume& volume = host.volume();
            const uint64_t directory = toItem(ino);
            std::vector<char> buffer(size);
            std::vector<std::pair<uint64_t, std::string>> packed;
            size_t used = 0;
            const auto add = [&](const std::string& name, const Attributes& attributes,
                                 uint64_t cookie) {
                fuse_entry_param param = entryOf(host, attributes);
                if (name == "." || name == "..") param.ino = attributes.id;
                const size_t needed =
                    fuse_add_direntry_plus(req, buffer.data() + used, size - used, name.c_str(),
                                           &param, static_cast<off_t>(cookie));
                if (needed > size - used) return false;
                used += needed;
                return true;
            };
            uint64_t start = static_cast<uint64_t>(off);
            bool room = true;
            // The kernel links no node for the dot entries (and counts no lookup).
            if (start < dotEntries) {
                const Attributes self = volume.getAttributes(directory);
                if (!self.isDirectory) throw PosixError(ENOTDIR);
                if (start == 0) room = add(".", self, 1);
                if (room) {
                    Attributes parent = self;
                    if (self.parentID != parentOfRootID) {
                        parent = volume.getAttributes(self.parentID);
                    }
                    room = add("..", parent, dotEntries);
                }
                start = dotEntries;
            }
            const auto pack = [&](const DirectoryEntry& entry) {
                if (!listable(entry.name) || !entry.attributes) return true;
                if (!add(entry.name, *entry.attributes, entry.nextCookie + dotEntries)) {
                    return false;
                }
                packed.emplace_back(entry.id, entry.name);
                return true;
            };
            if (room) volume.enumerate(directory, start - dotEntries, true, pack);
            // Every entry the kernel receives counts as a lookup.
            if (fuse_reply_buf(req, buffer.data(), used) == 0) {
                for (const auto& [id, name] : packed) host.remember(id, directory, name);
            }
        });
    }

    static void releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)ino, (void)fi;
        fuse_reply_err(req, 0);
    }

    static void statfs(fuse_req_t req, fuse_ino_t ino) {
        (void)ino;
        const struct statvfs statistics = hostOf(req).volume().statistics().toStatvfs();
        fuse_reply_statfs(req, &statistics);
    }

    // Replies an attribute value or name list as getxattr and listxattr do: its size for a
    // size probe (size 0), ERANGE when it does not fit.
    static void replyXattr(fuse_req_t req, size_t size, const std::string& value) {
        if (size == 0) {
            fuse_reply_xattr(req, value.size());
        } else if (size < value.size()) {
            fuse_reply_err(req, ERANGE);
        } else {
            fuse_reply_buf(req, value.data(), value.size());
        }
    }

    // The kernel asks for security.capability before every write and for ACLs on every ls -l:
    // answered here, without waiting behind the queue, while nobody has set such attributes.
    static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
        FuseHost& host = hostOf(req);
        const std::string_view wanted(name);
        if (!host.anyXattr_ || (isSystemName(wanted) && !host.systemXattr_)) {
            fuse_reply_err(req, ENODATA);
            return;
        }
        queued(req, [req, ino, name = std::string(wanted), size] {
            const Bytes value = hostOf(req).volume().getXattr(toItem(ino), name);
            replyXattr(req, size, std::string(value.begin(), value.end()));
        });
    }

    static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
        if (!hostOf(req).anyXattr_) {
            replyXattr(req, size, {});
            return;
        }
        queued(req, [req, ino, size] {
            std::string names;
            for (const std::string& name : hostOf(req).volume().listXattrs(toItem(ino))) {
                names += name;
                names += '\0';
            }
            replyXattr(req, size, names);
        });
    }

    static void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value,
                         size_t size, int flags) {
        FuseHost& host = hostOf(req);
        const std::string_view named(name);
        std::vector<uint8_t> bytes(value, value + size);
        queued(req, [req, &host, ino, name = std::string(named), bytes = std::move(bytes), flags] {
            host.volume().setXattr(toItem(ino), name, bytes, Volume::xattrPolicy(flags));
            // Before the reply: from now on the queries must see the volume's attributes.
            host.anyXattr_ = true;
            if (isSystemName(name)) host.systemXattr_ = true;
            fuse_reply_err(req, 0);
        });
    }

    static void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
        FuseHost& host = hostOf(req);
        if (!host.anyXattr_ && host.volume().isWritable()) {
            fuse_reply_err(req, ENODATA);
            return;
        }
        queued(req, [req, ino, name = std::string(name)] {
            hostOf(req).volume().setXattr(toItem(ino), name, {}, XattrPolicy::remove);
            fuse_reply_err(req, 0);
        });
    }
};

FuseHost::FuseHost(MTPFileSystem& fileSystem)
    : fileSystem_(fileSystem),
      readBuffer_(std::make_unique<uint8_t[]>(maxTransfer)),
      notifier_(std::make_unique<SerialQueue>("com.tavrel.kestrum.fs.notify")) {}

const fuse_lowlevel_ops& FuseHost::operations() {
    static const fuse_lowlevel_ops table = [] {
        fuse_lowlevel_ops ops{};
        ops.init = Operations::init;
        ops.destroy = Operations::destroy;
        ops.lookup = Operations::lookup;
        ops.forget = Operations::forget;
        ops.forget_multi = Operations::forgetMulti;
        ops.getattr = Operations::getattr;
        ops.setattr = Operations::setattr;
        ops.readlink = Operations::readlink;
        ops.symlink = Operations::symlink;
        ops.link = Operations::link;
        ops.mknod = Operations::mknod;
        ops.mkdir = Operations::mkdir;
        ops.unlink = Operations::unlink;
        ops.rmdir = Operations::rmdir;
        ops.rename = Operations::rename;
        ops.open = Operations::open;
        ops.read = Operations::read;
        ops.write = Operations::write;
        ops.flush = Operations::flush;
        ops.release = Operations::release;
        ops.fsync = Operations::fsync;
        ops.create = Operations::create;
        ops.opendir = Operations::opendir;
        ops.readdir = Operations::readdir;
        ops.readdirplus = Operations::readdirplus;
        ops.releasedir = Operations::releasedir;
        ops.statfs = Operations::statfs;
        ops.getxattr = Operations::getxattr;
        ops.listxattr = Operations::listxattr;
        ops.setxattr = Operations::setxattr;
        ops.removexattr = Operations::removexattr;
        return ops;
    }();
    return table;
}

fuse_session* FuseHost::newSession(fuse_args& args) {
    session_ = fuse_session_new(&args, &operations(), sizeof(fuse_lowlevel_ops), this);
    return session_;
}

void FuseHost::handOff() {
    std::unique_lock lock(writeLock_);
    if (filling_.bytes.empty()) return;
    // At most one run waits while another is sent: the writer waits for the phone from here.
    sent_.wait(lock, [this] { return runsQueued_ < 2; });
    auto run = std::make_shared<Run>(std::move(filling_));
    filling_ = {};
    ++runsQueued_;
    lock.unlock();
    volume().queue().submit([this, run] { send(*run); });
}

void FuseHost::send(const Run& run) {
    int failure = 0;
    try {
        // A short write means the phone failed after storing part: the next call says why.
        for (size_t done = 0; done < run.bytes.size();) {
            const auto rest = std::span<const uint8_t>(run.bytes).subspan(done);
            done += volume().write(run.id, static_cast<int64_t>(run.offset + done), rest);
        }
    } catch (const PosixError& error) {
        failure = error.code;
    } catch (const std::exception& error) {
        Log::error("write: %s", error.what());
        failure = EIO;
    }
    {
        std::lock_guard guard(writeLock_);
        if (failure) deferred_[run.id] = failure;
        --runsQueued_;
    }
    sent_.notify_all();
    if (!failure) return;
    // The kernel took the bytes for written: its size and pages must come from the volume again.
    notifier_->submit([session = session_, node = toNode(run.id)] {
        if (session) fuse_lowlevel_notify_inval_inode(session, node, 0, 0);
    });
}

int FuseHost::takeDeferred(uint64_t itemID) {
    std::lock_guard guard(writeLock_);
    const auto found = deferred_.find(itemID);
    if (found == deferred_.end()) return 0;
    const int code = found->second;
    deferred_.erase(found);
    return code;
}

void FuseHost::drain() {
    if (Volume* volume = fileSystem_.volume()) {
        handOff();
        volume->queue().runSync([] {});
    }
    notifier_->runSync([] {});
}

uint64_t FuseHost::toNode(uint64_t itemID) {
    return itemID == rootID ? FUSE_ROOT_ID : itemID;
}

uint64_t FuseHost::toItem(uint64_t node) {
    return node == FUSE_ROOT_ID ? rootID : node;
}

double FuseHost::entryTimeout() const {
    return volume().isWritable() ? aliasTimeout : longTimeout;
}

void FuseHost::remember(uint64_t itemID, uint64_t directory, const std::string& name) {
    Node& node = nodes_[itemID];
    ++node.lookups;
    respell(itemID, {directory, name});
}

void FuseHost::respell(uint64_t itemID, const Spelling& spelling) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return;
    std::vector<Spelling>& spellings = found->second.spellings;
    if (std::find(spellings.begin(), spellings.end(), spelling) != spellings.end()) return;
    if (spellings.size() >= maxSpellings) spellings.erase(spellings.begin());
    spellings.push_back(spelling);
}

void FuseHost::forget(uint64_t itemID, uint64_t n) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return;
    if (found->second.lookups > n) {
        found->second.lookups -= n;
        return;
    }
    nodes_.erase(found);
    {
        std::lock_guard guard(writeLock_);
        deferred_.erase(itemID);
    }
    try {
        volume().reclaim(itemID);
    } catch (const std::exception& error) {
        Log::error("reclaim %llu: %s", static_cast<unsigned long long>(itemID), error.what());
    }
}

std::vector<FuseHost::Spelling> FuseHost::otherSpellings(uint64_t itemID, const Spelling& except) {
    const auto found = nodes_.find(itemID);
    if (found == nodes_.end()) return {};
    std::vector<Spelling> others;
    for (Spelling& spelling : found->second.spellings)
        if (spelling != except) others.push_back(std::move(spelling));
    found->second.spellings.clear();
    return others;
}

void FuseHost::invalidate(std::vector<Spelling> spellings) {
    if (!session_ || spellings.empty()) return;
    notifier_->submit([session = session_, spellings = std::move(spellings)] {
        for (const auto& [directory, name] : spellings) {
            // ENOENT: the kernel has already dropped it.
            fuse_lowlevel_notify_inval_entry(session, toNode(directory), name.c_str(), name.size());
        }
    });
}

}  // namespace kestrum
