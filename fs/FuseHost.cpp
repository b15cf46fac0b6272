// The FUSE operations, one short adapter each. A request is a FuseRequest, answered exactly once:
// either here on the loop thread, or from the closure submitted to the volume's queue
// (queued()), where a thrown PosixError becomes the error reply unless the work replied already.
//
// Caching in the kernel. The volume never refreshes its caches from the phone, and every change
// it makes passes through this kernel mount, which updates its own dentries and inodes as it
// goes. So attributes, and entries under an item's own spelling, are cached for a day, and a
// second listing is served by the kernel alone. The volume's names are case-insensitive: an
// entry replied under another spelling ("A.TXT" for "a.txt") has timeout 0 on a writable volume,
// so the kernel never keeps an alias that a delete or rename through the other spelling would
// leave behind (it asks again each time). The host still remembers the spellings it answered
// and drops the others from the kernel after such a change. Misses are replied as ENOENT, which
// the kernel never caches. Files keep their page cache across opens and directories their
// listing (nothing outside this mount changes them; writes go through the page cache to the
// phone).
//
// Open files. The volume counts open handles per item on its queue: open and create count one,
// release drops it with the modes of that handle (kept in the file handle), so RELEASE, which
// the kernel sends asynchronously and perhaps after a later OPEN, still leaves the right modes.
// FLUSH of a handle with write mode ends the edit (close() then reports whether the phone
// committed the data), as fsync does.
//
// Writes to phone files are gathered into runs (WriteGatherer): every other request is
// submitted after the run being gathered, so it sees the phone as the writes before it left
// it. A failed run's error reaches the file's writers at their next write, flush or fsync.

#include "fs/FuseHost.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/FuseRequest.h"
#include "fs/Log.h"
#include "fs/PosixError.h"

namespace kestrum {

namespace {

// A FUSE file handle: a serial number for the open file description above two mode bits.
constexpr uint64_t readBit = 1;
constexpr uint64_t writeBit = 2;
constexpr int modeBits = 2;

OpenModes modesOf(int flags) {
    const int access = flags & O_ACCMODE;
    return OpenModes{access != O_WRONLY, access != O_RDONLY};
}

OpenModes modesOfHandle(uint64_t fileHandle) {
    return OpenModes{(fileHandle & readBit) != 0, (fileHandle & writeBit) != 0};
}

// Attributes the kernel itself asks about (capabilities before every write, ACLs, SELinux).
bool isSystemName(std::string_view name) {
    return name.starts_with("security.") || name.starts_with("system.");
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

ItemType typeOf(mode_t mode) {
    if (S_ISREG(mode)) return ItemType::file;
    if (S_ISDIR(mode)) return ItemType::directory;
    return ItemType::other;
}

}  // namespace

struct FuseHost::Operations {
    static FuseHost& hostOf(fuse_req_t req) {
        return *static_cast<FuseHost*>(fuse_req_userdata(req));
    }

    // Runs work(request) on the volume's queue, after the run of writes being gathered.
    template <typename Work>
    static void queued(fuse_req_t req, Work work) {
        FuseHost& host = hostOf(req);
        host.gatherer().handOff();
        host.volume().queue().submit(
            [req, work = std::move(work)]() mutable { direct(FuseRequest(req), work); });
    }

    // Runs work(request) here. Work replies itself on success; a PosixError it throws becomes
    // the error reply, any other exception EIO (logged), unless work replied already.
    template <typename Work>
    static void direct(FuseRequest request, Work& work) {
        int code = 0;
        try {
            work(request);
            return;
        } catch (const PosixError& error) {
            code = error.code;
        } catch (const std::exception& error) {
            Log::error("fuse request: %s", error.what());
            code = EIO;
        }
        if (request) (void)std::move(request).replyError(code);
    }

    static fuse_entry_param entryOf(const FuseHost& host, const Attributes& attributes,
                                    bool ownSpelling) {
        fuse_entry_param entry{};
        entry.ino = toNode(attributes.id);
        entry.attr = attributes.toStat();
        entry.attr_timeout = host.attributeTimeout();
        entry.entry_timeout = host.entryTimeout(ownSpelling);
        return entry;
    }

    // Queue: replies item as found under name in directory; the kernel then holds that spelling.
    static void replyEntry(FuseRequest& request, const ItemPtr& item, uint64_t directory,
                           const std::string& name) {
        FuseHost& host = request.host<FuseHost>();
        VERIFY_ON_QUEUE(host.volume().queue());
        const fuse_entry_param entry =
            entryOf(host, host.volume().attributes(*item), item->name == name);
        if (std::move(request).replyEntry(entry))
            host.spellings_.remember(item->id, {directory, name});
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
        // The kernel's write-back cache would answer write(2) from its pages and send them
        // later, out of order: the gatherer's runs, and the errors they deliver to writers, need
        // the writes in the order programs made them.
        conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
        // O_TRUNC comes inside OPEN, which the volume honours: one request instead of two.
        if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
        conn->time_gran = 1'000'000'000;  // whole seconds
    }

    static void destroy(void* userdata) {
        FuseHost& host = *static_cast<FuseHost*>(userdata);
        host.drain();
        host.gatherer_.reset();
        host.fileSystem_.unload();
    }

    static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        queued(req, [parent, name = std::string(name)](FuseRequest& request) {
            const ItemPtr item = request.host<FuseHost>().volume().lookup(toItem(parent), name);
            replyEntry(request, item, toItem(parent), name);
        });
    }

    static void forget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
        forgetMulti(req, 1, std::array{fuse_forget_data{ino, nlookup}}.data());
    }

    static void forgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
        FuseHost& host = hostOf(req);
        // The array lives in the request buffer, which is reused once this function returns.
        std::vector<fuse_forget_data> copy(forgets, forgets + count);
        FuseRequest(req).replyNone();
        host.gatherer().handOff();
        host.volume().queue().submit([&host, copy = std::move(copy)] {
            for (const auto& one : copy) host.forget(toItem(one.ino), one.nlookup);
        });
    }

    static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)fi;
        queued(req, [ino](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            const struct stat attributes = host.volume().getAttributes(toItem(ino)).toStat();
            (void)std::move(request).replyAttr(attributes, host.attributeTimeout());
        });
    }

    static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                        fuse_file_info* fi) {
        std::optional<uint64_t> newSize;
        if (toSet & FUSE_SET_ATTR_SIZE) newSize = static_cast<uint64_t>(attr->st_size);
        const bool byPath = fi == nullptr;
        queued(req, [ino, newSize, byPath](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            Volume& volume = host.volume();
            const uint64_t id = toItem(ino);
            const struct stat attributes = volume.setAttributes(id, newSize).toStat();
            // truncate(2) by path: no release will end the edit the truncation began.
            if (newSize && byPath) {
                const OpenModes kept = volume.openModes(id);
                if (!kept.write) volume.close(id, kept);
            }
            (void)std::move(request).replyAttr(attributes, host.attributeTimeout());
        });
    }

    static void readlink(fuse_req_t req, fuse_ino_t ino) {
        auto work = [ino](FuseRequest& request) {
            request.host<FuseHost>().volume().readSymbolicLink(toItem(ino));
        };
        direct(FuseRequest(req), work);
    }

    // Both are refused by the volume (EROFS or ENOTSUP).
    static void symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
        (void)link, (void)parent, (void)name;
        auto work = [](FuseRequest& request) {
            request.host<FuseHost>().volume().createSymbolicLink();
        };
        direct(FuseRequest(req), work);
    }

    static void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newParent, const char* newName) {
        (void)ino, (void)newParent, (void)newName;
        auto work = [](FuseRequest& request) { request.host<FuseHost>().volume().createLink(); };
        direct(FuseRequest(req), work);
    }

    static void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                      dev_t rdev) {
        (void)rdev;
        make(req, parent, name, typeOf(mode));
    }

    static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
        (void)mode;
        make(req, parent, name, ItemType::directory);
    }

    static void make(fuse_req_t req, fuse_ino_t parent, const char* name, ItemType type) {
        queued(req, [parent, name = std::string(name), type](FuseRequest& request) {
            const ItemPtr item =
                request.host<FuseHost>().volume().create(toItem(parent), name, type);
            replyEntry(request, item, toItem(parent), name);
        });
    }

    static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* fi) {
        const OpenModes modes = modesOf(fi->flags);
        fuse_file_info info = *fi;
        info.fh = hostOf(req).newHandle(modes);
        info.keep_cache = 1;
        queued(req, [parent, name = std::string(name), mode, modes, info](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            Volume& volume = host.volume();
            const ItemPtr item = volume.create(toItem(parent), name, typeOf(mode));
            volume.open(item->id, modes, false);
            host.opened(info.fh, item->id, modes);
            const fuse_entry_param entry =
                entryOf(host, volume.attributes(*item), item->name == name);
            if (std::move(request).replyCreate(entry, info)) {
                host.spellings_.remember(item->id, {toItem(parent), name});
            } else {
                host.released(info.fh, item->id, modes);  // no release will come for it
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
        queued(req, [parent, name = std::string(name), folder](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            Volume& volume = host.volume();
            const uint64_t directory = toItem(parent);
            const uint64_t id = volume.lookup(directory, name)->id;
            if (folder) {
                volume.rmdir(directory, name);
            } else {
                volume.unlink(directory, name);
            }
            auto stale = host.spellings_.takeOthers(id, {directory, name});
            (void)std::move(request).replyError(0);
            host.invalidate(std::move(stale));
        });
    }

    static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                       const char* newName, unsigned int flags) {
        queued(req, [parent, name = std::string(name), newParent, newName = std::string(newName),
                     flags](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            Volume& volume = host.volume();
            const uint64_t source = toItem(parent), destination = toItem(newParent);
            const uint64_t id = volume.lookup(source, name)->id;
            std::optional<uint64_t> over;
            try {
                over = volume.lookup(destination, newName)->id;
            } catch (const PosixError&) {
            }
            std::string given;
            try {
                given = volume.renameEntry(source, name, destination, newName, flags);
            } catch (const PosixError& error) {
                // The move was undone on the phone as far as it let us; the kernel keeps its
                // names, which may no longer match what the phone shows.
                (void)std::move(request).replyError(error.code);
                host.invalidate({{source, name}, {destination, newName}});
                return;
            }
            auto stale = host.spellings_.takeOthers(id, {source, name});
            if (over && *over != id) {
                auto others = host.spellings_.takeOthers(*over, {destination, newName});
                stale.insert(stale.end(), others.begin(), others.end());
            }
            // The kernel keeps the new name for a day: it must be the item's own spelling.
            if (given != newName) stale.emplace_back(destination, newName);
            (void)std::move(request).replyError(0);
            host.spellings_.respell(id, {destination, newName});
            host.invalidate(std::move(stale));
        });
    }

    static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const OpenModes modes = modesOf(fi->flags);
        const bool truncate = (fi->flags & O_TRUNC) != 0;
        fuse_file_info info = *fi;
        info.fh = hostOf(req).newHandle(modes);
        info.keep_cache = 1;
        queued(req, [ino, modes, truncate, info](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            host.volume().open(toItem(ino), modes, truncate);
            host.opened(info.fh, toItem(ino), modes);
            // Without a reply the kernel never sends the matching release.
            if (!std::move(request).replyOpen(info)) host.released(info.fh, toItem(ino), modes);
        });
    }

    // Phone files: answered on the loop thread, the bytes join the run being gathered. Memory
    // items: written on the queue, so that a write past their limit fails itself.
    static void write(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                      fuse_file_info* fi) {
        const uint64_t id = toItem(ino);
        const uint64_t handle = fi->fh;
        const auto bytes = std::span(reinterpret_cast<const uint8_t*>(buf), size);
        if (!WriteGatherer::gathers(id)) {
            queued(req, [id, off, copy = std::vector<uint8_t>(bytes.begin(), bytes.end())](
                            FuseRequest& request) {
                const size_t count = request.host<FuseHost>().volume().write(id, off, copy);
                (void)std::move(request).replyWrite(count);
            });
            return;
        }
        auto work = [id, handle, off, bytes](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            if (!host.volume().isWritable()) throw PosixError(EROFS);
            if (off < 0) throw PosixError(EINVAL);
            host.gatherer().write(handle, id, static_cast<uint64_t>(off), bytes);
            (void)std::move(request).replyWrite(bytes.size());
        };
        direct(FuseRequest(req), work);
    }

    // close() of a descriptor that could write: the phone commits now, and close() reports it.
    static void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const uint64_t handle = fi->fh;
        queued(req, [ino, handle](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            if (!modesOfHandle(handle).write) return (void)std::move(request).replyError(0);
            if (const int code = host.gatherer().takeError(handle)) throw PosixError(code);
            host.volume().fsync(toItem(ino));
            (void)std::move(request).replyError(0);
        });
    }

    static void fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
        (void)datasync;
        const uint64_t handle = fi->fh;
        queued(req, [ino, handle](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            if (const int code = host.gatherer().takeError(handle)) throw PosixError(code);
            host.volume().fsync(toItem(ino));
            (void)std::move(request).replyError(0);
        });
    }

    static void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
        (void)fi;
        queued(req, [ino, size, off](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            const std::span<uint8_t> scratch(host.readBuffer_.get(), std::min(size, maxTransfer));
            const std::span<const uint8_t> bytes = host.volume().read(toItem(ino), off, scratch);
            (void)std::move(request).replyBuffer(bytes.data(), bytes.size());
        });
    }

    static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        const uint64_t handle = fi->fh;
        queued(req, [ino, handle](FuseRequest& request) {
            request.host<FuseHost>().released(handle, toItem(ino), modesOfHandle(handle));
            (void)std::move(request).replyError(0);
        });
    }

    static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)ino;
        fi->cache_readdir = 1;
        fi->keep_cache = 1;
        (void)FuseRequest(req).replyOpen(*fi);
    }

    static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                        fuse_file_info* fi) {
        (void)fi;
        list(req, ino, size, off, false);
    }

    static void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                            fuse_file_info* fi) {
        (void)fi;
        list(req, ino, size, off, true);
    }

    // readdir and readdirplus. Every entry with attributes the kernel receives counts as a
    // lookup, except the dot entries, for which it links no node.
    static void list(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, bool plus) {
        queued(req, [ino, size, off, plus](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            Volume& volume = host.volume();
            const uint64_t directory = toItem(ino);
            std::vector<char> buffer(size);
            std::vector<std::pair<uint64_t, std::string>> packed;
            size_t used = 0;
            const auto add = [&](const std::string& name, uint64_t id, bool isDirectory,
                                 const Attributes* attributes, uint64_t cookie) {
                const bool dot = name == "." || name == "..";
                char* place = buffer.data() + used;
                size_t needed = 0;
                if (plus) {
                    fuse_entry_param param = entryOf(host, *attributes, true);
                    if (dot) param.ino = attributes->id;
                    needed = fuse_add_direntry_plus(request.raw(), place, size - used, name.c_str(),
                                                    &param, off_t(cookie));
                } else {
                    struct stat minimal {};
                    minimal.st_ino = id;
                    minimal.st_mode = isDirectory ? S_IFDIR : S_IFREG;
                    needed = fuse_add_direntry(request.raw(), place, size - used, name.c_str(),
                                               &minimal, off_t(cookie));
                }
                if (needed > size - used) return false;
                used += needed;
                if (plus && !dot) packed.emplace_back(id, name);
                return true;
            };
            uint64_t start = static_cast<uint64_t>(off);
            bool room = true;
            // The volume's attributes form has no dot entries: they are made here.
            if (plus && start < dotEntries) {
                const Attributes self = volume.getAttributes(directory);
                if (!self.isDirectory) throw PosixError(ENOTDIR);
                if (start == 0) room = add(".", self.id, true, &self, 1);
                if (room) {
                    Attributes parent = self;
                    if (self.parentID != parentOfRootID) {
                        parent = volume.getAttributes(self.parentID);
                    }
                    room = add("..", parent.id, true, &parent, dotEntries);
                }
                start = dotEntries;
            }
            const uint64_t shift = plus ? dotEntries : 0;
            const auto pack = [&](const DirectoryEntry& entry) {
                const bool dot = !plus && entry.nextCookie <= dotEntries;
                if (!dot && (!listable(entry.name) || (plus && !entry.attributes))) return true;
                const Attributes* attributes = entry.attributes ? &*entry.attributes : nullptr;
                return add(entry.name, entry.id, entry.isDirectory, attributes,
                           entry.nextCookie + shift);
            };
            if (room) volume.enumerate(directory, start - shift, plus, pack);
            if (std::move(request).replyBuffer(buffer.data(), used)) {
                for (const auto& [id, name] : packed)
                    host.spellings_.remember(id, {directory, name});
            }
        });
    }

    static void releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        (void)ino, (void)fi;
        (void)FuseRequest(req).replyError(0);
    }

    static void statfs(fuse_req_t req, fuse_ino_t ino) {
        (void)ino;
        const struct statvfs statistics = hostOf(req).volume().statistics().toStatvfs();
        (void)FuseRequest(req).replyStatfs(statistics);
    }

    // Replies an attribute value or name list as getxattr and listxattr do: its size for a
    // size probe (size 0), ERANGE when it does not fit.
    static void replyXattr(FuseRequest request, size_t size, const std::string& value) {
        if (size == 0) {
            (void)std::move(request).replyXattrSize(value.size());
        } else if (size < value.size()) {
            (void)std::move(request).replyError(ERANGE);
        } else {
            (void)std::move(request).replyBuffer(value.data(), value.size());
        }
    }

    // The kernel asks for security.capability before every write and for ACLs on every ls -l:
    // answered here, without waiting behind the queue, while nobody has set such attributes.
    static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
        FuseHost& host = hostOf(req);
        const std::string_view wanted(name);
        if (!host.anyXattr_ || (isSystemName(wanted) && !host.systemXattr_)) {
            (void)FuseRequest(req).replyError(ENODATA);
            return;
        }
        queued(req, [ino, name = std::string(wanted), size](FuseRequest& request) {
            const Bytes value = request.host<FuseHost>().volume().getXattr(toItem(ino), name);
            replyXattr(std::move(request), size, std::string(value.begin(), value.end()));
        });
    }

    static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
        if (!hostOf(req).anyXattr_) {
            replyXattr(FuseRequest(req), size, {});
            return;
        }
        queued(req, [ino, size](FuseRequest& request) {
            std::string names;
            for (const std::string& name :
                 request.host<FuseHost>().volume().listXattrs(toItem(ino))) {
                names += name;
                names += '\0';
            }
            replyXattr(std::move(request), size, names);
        });
    }

    static void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value,
                         size_t size, int flags) {
        std::vector<uint8_t> bytes(value, value + size);
        queued(req, [ino, name = std::string(name), bytes = std::move(bytes),
                     flags](FuseRequest& request) {
            FuseHost& host = request.host<FuseHost>();
            host.volume().setXattr(toItem(ino), name, bytes, Xattrs::policyOf(flags));
            // Before the reply: from now on the queries must see the volume's attributes.
            host.anyXattr_ = true;
            if (isSystemName(name)) host.systemXattr_ = true;
            (void)std::move(request).replyError(0);
        });
    }

    static void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
        FuseHost& host = hostOf(req);
        if (!host.anyXattr_ && host.volume().isWritable()) {
            (void)FuseRequest(req).replyError(ENODATA);
            return;
        }
        queued(req, [ino, name = std::string(name)](FuseRequest& request) {
            request.host<FuseHost>().volume().setXattr(toItem(ino), name, {}, XattrPolicy::remove);
            (void)std::move(request).replyError(0);
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
    if (session_ && !gatherer_) {
        // The kernel took the failed run's bytes for written: its size and pages of the file
        // must come from the volume again.
        gatherer_ = std::make_unique<WriteGatherer>(volume(), [this](uint64_t id) {
            notifier_->submit([session = session_, node = toNode(id)] {
                fuse_lowlevel_notify_inval_inode(session, node, 0, 0);
            });
        });
    }
    return session_;
}

void FuseHost::drain() {
    if (Volume* volume = fileSystem_.volume()) {
        if (gatherer_) gatherer_->handOff();
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

double FuseHost::entryTimeout(bool ownSpelling) const {
    return ownSpelling || !volume().isWritable() ? longTimeout : aliasTimeout;
}

uint64_t FuseHost::newHandle(OpenModes modes) {
    ++handles_;
    return handles_ << modeBits | (modes.read ? readBit : 0) | (modes.write ? writeBit : 0);
}

void FuseHost::opened(uint64_t handle, uint64_t itemID, OpenModes modes) {
    VERIFY_ON_QUEUE(volume().queue());
    if (modes.write) gatherer().opened(handle, itemID);
}

void FuseHost::released(uint64_t handle, uint64_t itemID, OpenModes modes) {
    VERIFY_ON_QUEUE(volume().queue());
    gatherer().released(handle);
    volume().release(itemID, modes);
}

void FuseHost::forget(uint64_t itemID, uint64_t n) {
    VERIFY_ON_QUEUE(volume().queue());
    if (!spellings_.forget(itemID, n)) return;
    try {
        volume().reclaim(itemID);
    } catch (const std::exception& error) {
        Log::error("reclaim %llu: %s", static_cast<unsigned long long>(itemID), error.what());
    }
}

void FuseHost::invalidate(std::vector<Spelling> spellings) {
    VERIFY_ON_QUEUE(volume().queue());
    if (!session_ || spellings.empty()) return;
    notifier_->submit([session = session_, spellings = std::move(spellings)] {
        for (const auto& [directory, name] : spellings) {
            // ENOENT: the kernel has already dropped it.
            fuse_lowlevel_notify_inval_entry(session, toNode(directory), name.c_str(), name.size());
        }
    });
}

}  // namespace kestrum
