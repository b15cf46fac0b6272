// The FUSE operations. Each function replies exactly once: either directly, or from the closure
// it submits to the volume's queue (queued()), which turns a thrown PosixError into the error
// reply.
//
// Caching in the kernel. The volume never refreshes its caches from the phone, and every change
// it makes passes through this kernel mount, which updates its own inode (size, times) as it
// goes. So attributes are cached for a day. Entries too on a read-only volume, where nothing can
// change. On a writable one a file looked up under several spellings ("a.txt", "A.TXT") is cached
// like hard links; a delete or rename through one spelling leaves the others behind, so entries
// expire after a second there. Misses are replied as ENOENT, which the kernel never caches.
// Files keep their page cache across opens and directories their listing (nothing outside this
// mount changes them).

#include "fs/FuseHost.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>

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
        hostOf(req).volume().queue().submit([req, work = std::move(work)]() mutable {
            try {
                work();
            } catch (const PosixError& error) {
                fuse_reply_err(req, error.code);
            } catch (const std::exception& error) {
                Log::error("fuse request: %s", error.what());
                fuse_reply_err(req, EIO);
            }
        });
    }

    // Runs work on the loop thread with the same error replies as queued().
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
        // O_TRUNC then comes as a SETATTR of size 0 (the volume's truncation) instead of a flag
        // of OPEN that would have to be honoured there.
        conn->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
        conn->time_gran = 1'000'000'000;  // whole seconds
    }

    static void destroy(void* userdata) { static_cast<FuseHost*>(userdata)->fileSystem_.unload(); }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        queued(req, [req, parent, name = std::string(name)] {
            FuseHost& host = hostOf(req);
            const ItemPtr item = host.volume().lookup(toItem(parent), name);
            const fuse_entry_param entry = entryOf(host, host.volume().attributes(*item));
            if (fuse_reply_entry(req, &entry) == 0) host.remember(item->id);
        });
    }

    static void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
        FuseHost& host = hostOf(req);
        fuse_reply_none(req);
        host.volume().queue().submit([&host, ino, nlookup] { host.forget(toItem(ino), nlookup); });
    }

    static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
        FuseHost& host = hostOf(req);
        // The array lives in the request buffer, which is reused once this function returns.
        std::vector<fuse_forget_data> copy(forgets, forgets + count);
        fuse_reply_none(req);
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
        (void)fi;
        std::optional<uint64_t> newSize;
        if (toSet & FUSE_SET_ATTR_SIZE) newSize = static_cast<uint64_t>(attr->st_size);
        queued(req, [req, ino, newSize] {
            FuseHost& host = hostOf(req);
            const struct stat attributes =
                host.volume().setAttributes(toItem(ino), newSize).toStat();
            fuse_reply_attr(req, &attributes, host.attributeTimeout());
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
        direct(req, [req, ino, fi] {
            FuseHost& host = hostOf(req);
            const OpenModes modes = modesOf(fi->flags);
            host.volume().open(modes);
            fi->fh = host.opened(toItem(ino), modes);
            fi->keep_cache = 1;
            // Without a reply the kernel never sends the matching release.
            if (fuse_reply_open(req, fi) != 0) host.released(toItem(ino), fi->fh);
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
        FuseHost& host = hostOf(req);
        const OpenModes kept = host.released(toItem(ino), fi->fh);
        queued(req, [req, ino, kept] {
            hostOf(req).volume().close(toItem(ino), kept);
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
            std::vector<uint64_t> packed;
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
                packed.push_back(entry.id);
                return true;
            };
            if (room) volume.enumerate(directory, start - dotEntries, true, pack);
            // Every entry the kernel receives counts as a lookup.
            if (fuse_reply_buf(req, buffer.data(), used) == 0) {
                for (const uint64_t id : packed) host.remember(id);
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

    // The kernel asks for security.capability before every write and for ACLs on every ls -l.
    static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
        (void)ino, (void)name, (void)size;
        fuse_reply_err(req, ENODATA);
    }

    static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
        (void)ino;
        if (size == 0) {
            fuse_reply_xattr(req, 0);
        } else {
            fuse_reply_buf(req, nullptr, 0);
        }
    }
};

FuseHost::FuseHost(MTPFileSystem& fileSystem)
    : fileSystem_(fileSystem), readBuffer_(std::make_unique<uint8_t[]>(maxTransfer)) {}

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
        ops.open = Operations::open;
        ops.read = Operations::read;
        ops.release = Operations::release;
        ops.opendir = Operations::opendir;
        ops.readdir = Operations::readdir;
        ops.readdirplus = Operations::readdirplus;
        ops.releasedir = Operations::releasedir;
        ops.statfs = Operations::statfs;
        ops.getxattr = Operations::getxattr;
        ops.listxattr = Operations::listxattr;
        return ops;
    }();
    return table;
}

fuse_session* FuseHost::newSession(fuse_args& args) {
    return fuse_session_new(&args, &operations(), sizeof(fuse_lowlevel_ops), this);
}

void FuseHost::drain() {
    if (Volume* volume = fileSystem_.volume()) volume->queue().runSync([] {});
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

void FuseHost::remember(uint64_t itemID, uint64_t n) {
    lookupCounts_[itemID] += n;
}

void FuseHost::forget(uint64_t itemID, uint64_t n) {
    const auto found = lookupCounts_.find(itemID);
    if (found == lookupCounts_.end()) return;
    if (found->second > n) {
        found->second -= n;
        return;
    }
    lookupCounts_.erase(found);
    try {
        volume().reclaim(itemID);
    } catch (const std::exception& error) {
        Log::error("reclaim %llu: %s", static_cast<unsigned long long>(itemID), error.what());
    }
}

uint64_t FuseHost::opened(uint64_t itemID, OpenModes modes) {
    std::lock_guard guard(openLock_);
    OpenCount& count = openCounts_[itemID];
    count.readers += modes.read;
    count.writers += modes.write;
    return (modes.read ? readBit : 0) | (modes.write ? writeBit : 0);
}

OpenModes FuseHost::released(uint64_t itemID, uint64_t fileHandle) {
    std::lock_guard guard(openLock_);
    const auto found = openCounts_.find(itemID);
    if (found == openCounts_.end()) return {};
    OpenCount& count = found->second;
    if ((fileHandle & readBit) && count.readers) --count.readers;
    if ((fileHandle & writeBit) && count.writers) --count.writers;
    const OpenModes kept{count.readers > 0, count.writers > 0};
    if (!kept.read && !kept.write) openCounts_.erase(found);
    return kept;
}

}  // namespace kestrum
