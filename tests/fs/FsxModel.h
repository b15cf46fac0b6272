#pragma once
// fsx: seeded random POSIX-like operations on a writable phone, each checked at once against a
// model, through the given Calls and in the phone's storage folder STORE. e2e_fsx.cpp runs it
// through the kernel mount, fsx_random_test.cpp on the volume itself. KESTRUM_FSX_SEED and
// KESTRUM_FSX_STEPS reproduce a run.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "tests/common/TestSupport.h"

namespace fsx {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Names = std::set<std::string>;

constexpr uint64_t maxSize = 6 << 20;
constexpr size_t maxFiles = 6, maxFolders = 4, maxOpen = 3;
// Names starting "._" are the Finder's: memory-only files, which a folder's removal takes along.
const std::vector<std::string> fileNames = {"f0", "f1", "f2", "f3",  "f4",
                                            "f5", "f6", "f7", "._0", "._1"};
const std::vector<std::string> folderNames = {"A", "B", "C", "D", "E"};

template <typename... Parts>
std::string text(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}
template <typename... Parts>
void require(bool ok, const Parts&... parts) {
    if (!ok) throw std::runtime_error(text(parts...));
}
inline std::string errorText(int error) {
    return text(error, " (", std::strerror(error), ")");
}
inline std::string parentOf(const std::string& path) {
    return fs::path(path).parent_path();
}
inline std::string join(const std::string& folder, const std::string& name) {
    return fs::path(folder) / name;
}
inline bool isInside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}
inline bool inMemory(const std::string& path) {
    return fs::path(path).filename().string().starts_with("._");
}
// The path under another spelling: names are matched ignoring case.
inline std::string otherCase(std::string path) {
    for (char& c : path) c = static_cast<char>(std::islower(c) ? std::toupper(c) : std::tolower(c));
    return path;
}
inline Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline Names namesIn(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}
inline uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

// The calls fsx makes, on paths from the storage's top level ("" is the top level itself). Each
// returns its result, or -errno.
struct Calls {
    struct Found {
        int error = 0;
        bool isFolder = false;
        uint64_t size = 0, node = 0;
    };
    virtual ~Calls() = default;
    virtual long open(const std::string& path, int flags) = 0;  // a descriptor
    virtual long pwrite(int fd, const Bytes& data, uint64_t offset) = 0;
    virtual long pread(int fd, uint8_t* buffer, uint64_t length, uint64_t offset) = 0;
    virtual long truncate(const std::string& path, int fd, uint64_t size) = 0;  // by path: fd < 0
    virtual long close(int fd) = 0;
    virtual long fsync(int fd, bool dataOnly) = 0;
    virtual long mkdir(const std::string& path) = 0;
    virtual long rmdir(const std::string& path) = 0;
    virtual long unlink(const std::string& path) = 0;
    virtual long rename(const std::string& from, const std::string& to, unsigned flags) = 0;
    // The file system's own answer, not a cache of the kernel.
    virtual Found stat(const std::string& path) = 0;
    virtual Names list(const std::string& folder) = 0;
    // Whether the phone has an edit open of the file of fd.
    virtual bool editOpen(int fd) = 0;
    // Changes bytes through a shared mapping; false where there is none.
    virtual bool mapWrite(int, uint64_t, uint64_t, const Bytes&) { return false; }
};

class Fsx {
  public:
    Fsx(Calls& calls, fs::path store, uint64_t defaultSteps)
        : calls_(calls),
          store_(std::move(store)),
          steps_(fromEnvironment("KESTRUM_FSX_STEPS", defaultSteps)) {
        for (const auto& entry : fs::recursive_directory_iterator(store_)) {
            const std::string path = fs::relative(entry.path(), store_);
            if (entry.is_directory())
                folders_.insert(path);
            else
                files_[path] = readFile(entry.path());
        }
    }

    void step(uint64_t number) {
        step_ = number;
        using Operation = void (Fsx::*)();
        // Weights out of 100.
        static const std::pair<uint64_t, Operation> operations[] = {
            {26, &Fsx::writeStep},   {2, &Fsx::mapStep},    {16, &Fsx::readStep},
            {9, &Fsx::truncateStep}, {21, &Fsx::openStep},  {5, &Fsx::fsyncStep},
            {9, &Fsx::renameStep},   {3, &Fsx::unlinkStep}, {9, &Fsx::folderStep},
        };
        uint64_t choice = pick(100);
        for (const auto& [weight, operation] : operations) {
            if (choice < weight) return (this->*(files_.empty() ? &Fsx::openStep : operation))();
            choice -= weight;
        }
    }
    void checkEverything() {
        Names paths(folders_);
        for (const auto& [path, content] : files_) paths.insert(path);
        // A name in each folder, so that every folder is listed.
        for (const auto& folder : folders_) paths.insert(join(folder, "f0"));
        check(paths);
    }
    void closeEverything() {
        for (const auto& [path, open] : open_)
            for (const auto& [fd, access] : open) calls_.close(fd);
        open_.clear();
    }
    // Writes what the phone must hold into folder.
    void writeModel(const fs::path& folder) const {
        for (const auto& path : folders_) fs::create_directories(folder / path);
        for (const auto& [path, content] : files_)
            if (!inMemory(path))
                std::ofstream(folder / path, std::ios::binary)
                    .write(reinterpret_cast<const char*>(content.data()),
                           static_cast<std::streamsize>(content.size()));
    }
    // Runs the steps and checks everything every 50; false with the failure and the last
    // operations on standard error.
    bool run() {
        uint64_t step = 0;
        try {
            for (; step <= steps_; ++step) {
                if (step > 0) this->step(step);
                if (step % 50 == 0 || step == steps_) checkEverything();
            }
            closeEverything();
            std::printf("%s\n", text("fsx: seed ", seed_, ", ", steps_, " steps").c_str());
            return true;
        } catch (const std::exception& error) {
            std::string last;
            for (const auto& line : history_) last += "  " + line + "\n";
            std::fprintf(stderr, "%s",
                         text("FAIL: ", error.what(), "\nreplay with KESTRUM_FSX_SEED=", seed_,
                              " KESTRUM_FSX_STEPS=", step, "; last operations:\n", last)
                             .c_str());
            return false;
        }
    }

  private:
    fs::path onPhone(const std::string& path) const { return store_ / path; }

    uint64_t pick(uint64_t bound) {
        return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random_);
    }
    bool chance(int percent) { return pick(100) < static_cast<uint64_t>(percent); }
    template <typename Container>
    auto anyOf(const Container& container) {
        return *std::next(container.begin(), static_cast<long>(pick(container.size())));
    }
    std::string anyFile() { return anyOf(files_).first; }
    Bytes bytes(size_t size) { return testsupport::pattern(size, static_cast<uint8_t>(random_())); }

    template <typename... Parts>
    void note(const Parts&... parts) {
        history_.push_back(text("step ", step_, ": ", parts...));
        if (history_.size() > 40) history_.pop_front();
    }
    // A call's outcome (-errno when negative) is the expected errno, or 0.
    void expect(long status, int expected) {
        const int error = status < 0 ? static_cast<int>(-status) : 0;
        require(error == expected, errorText(error), " where ", errorText(expected), " was due");
    }

    // Descriptors of each path (fd, access), used again or opened, now and then under another
    // spelling.
    int openOn(const std::string& path, int access, int extra = 0) {
        const std::string spelling = chance(20) && !(extra & O_CREAT) ? otherCase(path) : path;
        const int fd = static_cast<int>(calls_.open(spelling, access | extra));
        require(fd >= 0, "open ", spelling, ": ", errorText(-fd));
        open_[path].emplace_back(fd, access);
        return fd;
    }
    int descriptorFor(const std::string& path, bool forWriting) {
        std::vector<int> usable;
        for (const auto& [fd, access] : open_[path])
            if (access != (forWriting ? O_RDONLY : O_WRONLY)) usable.push_back(fd);
        if (!usable.empty() && chance(85)) return anyOf(usable);
        if (open_[path].size() >= maxOpen) closeOne(path, pick(open_[path].size()));
        return openOn(path, chance(50) ? O_RDWR : forWriting ? O_WRONLY : O_RDONLY);
    }
    void closeOne(const std::string& path, size_t index) {
        auto& open = open_[path];
        const int fd = open[index].first;
        open.erase(open.begin() + static_cast<long>(index));
        if (open.empty()) open_.erase(path);
        expect(calls_.close(fd), 0);
    }
    void closeAll(const std::string& path) {
        while (open_.contains(path)) closeOne(path, 0);
    }

    void apply(const std::string& path, uint64_t offset, const Bytes& data) {
        Bytes& content = files_[path];
        if (content.size() < offset + data.size()) content.resize(offset + data.size(), 0);
        std::copy(data.begin(), data.end(), content.begin() + static_cast<long>(offset));
    }
    // Moves the files, folders and descriptors at or under from to the same places under to.
    void move(const std::string& from, const std::string& to) {
        const auto moved = [&](const std::string& path) {
            return path == from || isInside(path, from) ? to + path.substr(from.size()) : path;
        };
        const auto rekey = [&](auto& map) {
            std::remove_reference_t<decltype(map)> result;
            for (auto& [path, value] : map) result[moved(path)] = std::move(value);
            map = std::move(result);
        };
        rekey(files_);
        rekey(open_);
        Names folders;
        for (const auto& folder : folders_) folders.insert(moved(folder));
        folders_ = std::move(folders);
    }
    // Closes and forgets the memory-only files in folder, which is about to go.
    void dropMemoryFiles(const std::string& folder) {
        for (const auto& name : childrenOf(folder))
            if (inMemory(name)) closeAll(join(folder, name)), files_.erase(join(folder, name));
    }
    // The names in folder, as the mount or (without memory-only files) the phone shows them.
    Names childrenOf(const std::string& folder, bool onPhone = false) const {
        Names names;
        for (const auto& [path, content] : files_)
            if (parentOf(path) == folder && !(onPhone && inMemory(path)))
                names.insert(fs::path(path).filename());
        for (const auto& path : folders_)
            if (!path.empty() && parentOf(path) == folder) names.insert(fs::path(path).filename());
        return names;
    }

    // Reads length bytes at offset through fd and compares them with the model.
    void checkRead(int fd, const std::string& path, uint64_t offset, uint64_t length) {
        const Bytes& content = files_.at(path);
        std::unique_ptr<uint8_t, decltype(&std::free)> buffer(  // aligned for O_DIRECT
            static_cast<uint8_t*>(std::aligned_alloc(4096, (length + 4095) / 4096 * 4096)),
            &std::free);
        uint64_t got = 0;
        for (long n = 1; got < length && n > 0; got += static_cast<uint64_t>(n)) {
            n = calls_.pread(fd, buffer.get() + got, length - got, offset + got);
            require(n >= 0, "pread: ", errorText(static_cast<int>(-n)));
        }
        const uint64_t start = std::min<uint64_t>(offset, content.size());
        require(got == std::min(length, content.size() - start), "read ", got, " at ", offset);
        const auto [mine, theirs] = std::mismatch(buffer.get(), buffer.get() + got,
                                                  content.begin() + static_cast<long>(start));
        require(mine == buffer.get() + got, "read differs at ", offset + (mine - buffer.get()));
    }

    // A path as the mount and the phone show it: absent, a folder, or a file of the model's size
    // and, on the phone unless memory-only, the model's content. Another spelling finds the
    // same item or nothing.
    void checkPath(const std::string& path) {
        const Calls::Found found = calls_.stat(path), other = calls_.stat(otherCase(path));
        const int error = found.error;
        if (files_.contains(path)) {
            require(!error && !found.isFolder, path, " is no file: ", errorText(error));
            require(found.size == files_[path].size(), "size of ", path, ": ", found.size);
            require(inMemory(path) ? !fs::exists(onPhone(path))
                                   : readFile(onPhone(path)) == files_[path],
                    path, " differs on the phone");
        } else if (folders_.contains(path)) {
            require(!error && found.isFolder && fs::is_directory(onPhone(path)), path,
                    " is no folder: ", errorText(error));
        } else {
            require(error == ENOENT, path, " should be gone: ", errorText(error));
            require(!fs::exists(fs::symlink_status(onPhone(path))), path, " is on the phone");
        }
        require(error ? other.error == ENOENT
                      : !other.error && other.node == found.node && other.size == found.size,
                otherCase(path), " answers ",
                other.error ? errorText(other.error) : "another item");
    }
    // Checks the paths a step touched, those of an unchecked write before it, and the listings
    // of their folders on the mount (the root's own memory-only files aside) and on the phone.
    void check(Names paths) {
        paths.merge(unchecked_);
        unchecked_.clear();
        Names folders;
        for (const auto& path : paths) {
            if (folders_.contains(parentOf(path))) folders.insert(parentOf(path));
            if (!path.empty()) checkPath(path);
        }
        for (const auto& folder : folders) {
            Names mounted = calls_.list(folder);
            if (folder.empty()) mounted.erase(".DS_Store"), mounted.erase(".metadata_never_index");
            require(mounted == childrenOf(folder), "listing '", folder, "' differs");
            require(namesIn(onPhone(folder)) == childrenOf(folder, true), "'", folder,
                    "' on the phone");
        }
    }

    // Writes at any offset, from within a file to far past its end, alone or in runs as cp and
    // dd make them, to one file or alternating between two, so that a gathered run is handed on
    // by another file's write. Read back with the gap before them; now and then checked only by
    // the next step, while still on their way.
    void writeStep() {
        std::vector<std::string> paths = {anyFile()};
        if (const std::string other = anyFile(); other != paths[0] && chance(15))
            paths.push_back(other);
        const uint64_t count = paths.size() > 1 || chance(15) ? 2 + pick(20) : 1, kind = pick(100);
        const uint64_t chunk = count > 1   ? (chance(50) ? 128 << 10 : 1 + pick(128 << 10))
                               : kind < 50 ? 1 + pick(4096)
                               : kind < 85 ? 1 + pick(256 << 10)
                                           : 1 + pick(2 << 20);
        std::vector<uint64_t> starts, from;
        std::vector<int> fds;
        for (const auto& path : paths) {
            const uint64_t size = files_[path].size(), where = pick(100);
            starts.push_back(std::min(maxSize - count * chunk, where < 20   ? size
                                                               : where < 65 ? pick(size + 1)
                                                               : where < 85 ? size + pick(1 << 20)
                                                                            : pick(maxSize)));
            from.push_back(std::min(starts.back(), size));
            note("write ", count, " x ", chunk, " to ", path, " at ", starts.back(), " (size ",
                 size, ")");
            fds.push_back(descriptorFor(path, true));
        }
        for (uint64_t i = 0; i < count; ++i)
            for (size_t f = 0; f < paths.size(); ++f) {
                const Bytes data = bytes(chunk);
                const uint64_t at = starts[f] + i * chunk;
                const long written = calls_.pwrite(fds[f], data, at);
                require(written == static_cast<long>(chunk), "write ", i, " to ", paths[f], ": ",
                        written < 0 ? errorText(static_cast<int>(-written)) : text(written));
                apply(paths[f], at, data);
            }
        if (chance(30)) return unchecked_.insert(paths.begin(), paths.end());
        for (size_t f = 0; f < paths.size(); ++f)
            readBack(paths[f], from[f], starts[f] + count * chunk - from[f], chance(50), false);
        check({paths.begin(), paths.end()});
    }
    // Reads through the page cache, or O_DIRECT, now and then sequentially in 64 KiB pieces
    // through the volume's read-ahead window, which later writes must invalidate.
    void readBack(const std::string& path, uint64_t offset, uint64_t length, bool direct,
                  bool sequential) {
        if (!direct) return checkRead(descriptorFor(path, false), path, offset, length);
        const int fd = openOn(path, O_RDONLY, O_DIRECT);
        const uint64_t piece = sequential ? 64 << 10 : length;
        for (uint64_t at = offset; at < offset + length; at += piece)
            checkRead(fd, path, at, std::min(piece, offset + length - at));
        closeOne(path, open_[path].size() - 1);
    }
    void readStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size();
        const uint64_t offset = chance(10) ? pick(size + 8192) : pick(size + 1);
        const uint64_t length = 1 + (chance(70) ? pick(64 << 10) : pick(3 << 20));
        const bool direct = chance(50), sequential = direct && chance(30);
        const char* how = sequential ? "sequential " : direct ? "direct " : "";
        note(how, "read ", path, " at ", offset, " length ", length);
        readBack(path, offset, length, direct, sequential);
    }

    // Changes through a shared mapping, written back by msync.
    void mapStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size();
        if (size == 0) return writeStep();
        const uint64_t offset = pick(size),
                       length = 1 + pick(std::min<uint64_t>(size - offset, 300 << 10));
        const Bytes data = bytes(length);
        note("mmap ", path, " at ", offset, " length ", length);
        const int fd = openOn(path, O_RDWR);
        const bool mapped = calls_.mapWrite(fd, size, offset, data);
        closeOne(path, open_[path].size() - 1);
        if (!mapped) return writeStep();
        apply(path, offset, data);
        check({path});
    }

    void truncateStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size(), kind = pick(100);
        const uint64_t newSize = std::min(maxSize, kind < 20   ? 0
                                                   : kind < 60 ? pick(size + 1)
                                                               : size + pick(1 << 20));
        const bool byPath = chance(30);
        note(byPath ? "truncate " : "ftruncate ", path, " to ", newSize, " (size ", size, ")");
        expect(calls_.truncate(path, byPath ? -1 : descriptorFor(path, true), newSize), 0);
        files_[path].resize(newSize, 0);
        if (newSize > size && chance(50)) readBack(path, size, newSize - size, false, false);
        check({path});
    }

    // Opens (now and then with O_TRUNC) and closes, which begin and end edits on the phone, and
    // creates (O_EXCL: refused for a name in use).
    void openStep() {
        const bool create = files_.empty() || chance(30);
        const std::string path = create ? join(anyOf(folders_), anyOf(fileNames)) : anyFile();
        if (create && !files_.contains(path)) {
            if (folders_.contains(path)) return;
            if (files_.size() >= maxFiles) return unlinkStep();
            note("create ", path);
            openOn(path, chance(50) ? O_RDWR : O_WRONLY, O_CREAT | O_EXCL);
            files_[path] = {};
        } else if (create) {
            note("create ", path, " (exists)");
            const int fd = static_cast<int>(calls_.open(path, O_WRONLY | O_CREAT | O_EXCL));
            if (fd >= 0) calls_.close(fd);
            expect(fd, EEXIST);
        } else if (const size_t open = open_.contains(path) ? open_[path].size() : 0;
                   open >= maxOpen || (open > 0 && chance(60))) {
            note("close ", path);
            closeOne(path, pick(open));
        } else {
            const int access = anyOf(std::vector<int>{O_RDONLY, O_WRONLY, O_RDWR});
            const bool truncate = access != O_RDONLY && chance(15);
            note("open ", path, " access ", access, truncate ? " O_TRUNC" : "");
            openOn(path, access, truncate ? O_TRUNC : 0);
            if (truncate) files_[path].clear();
        }
        check({path});
    }

    // After fsync the phone has committed the file: no edit of it is open any more.
    void fsyncStep() {
        const std::string path = anyFile();
        const int fd = descriptorFor(path, chance(70));
        const bool dataOnly = chance(30);
        note(dataOnly ? "fdatasync " : "fsync ", path);
        expect(calls_.fsync(fd, dataOnly), 0);
        require(!calls_.editOpen(fd), "an edit is open after fsync");
        check({path});
    }

    // Mostly closed first; now and then unlinked while open and synced afterwards (fsync and
    // release then come for a removed item).
    void unlinkStep() {
        const std::string path = anyFile();
        const bool closeFirst = chance(85);
        note("unlink ", path, closeFirst ? "" : " (still open)");
        if (closeFirst) closeAll(path);
        expect(calls_.unlink(path), 0);
        files_.erase(path);
        if (open_.contains(path) && chance(50))
            expect(calls_.fsync(open_[path].front().first, false), 0);
        closeAll(path);
        check({path});
    }

    // Renames a file within or across folders, over an existing file (whose descriptors close,
    // now and then after the rename) or refused by RENAME_NOREPLACE; a memory-only file takes
    // no phone name, nor a phone file a memory-only one.
    void renameStep() {
        const std::string from = anyFile();
        const std::string to =
            join(chance(50) ? parentOf(from) : anyOf(folders_), anyOf(fileNames));
        if (to == from || folders_.contains(to)) return;
        const bool over = files_.contains(to), noReplace = over && chance(15),
                   refused = inMemory(from) != inMemory(to);
        note("rename ", from, " to ", to, over ? " over a file" : "", noReplace ? " refused" : "");
        if (over && !noReplace && !refused && chance(85)) closeAll(to);
        expect(calls_.rename(from, to, noReplace ? RENAME_NOREPLACE : 0), noReplace ? EEXIST
                                                                          : refused ? EACCES
                                                                                    : 0);
        if (!noReplace && !refused) {
            closeAll(to);
            files_.erase(to);
            move(from, to);
        }
        check({from, to});
    }

    // Folders made, removed (refused while they hold anything but memory-only files), renamed or
    // moved with what they hold to a free name or over a folder (which must be as empty); two
    // levels at most.
    void folderStep() {
        const std::string from = anyOf(folders_), parent = anyOf(folders_),
                          to = join(parent, anyOf(folderNames));
        const uint64_t kind = from.empty() ? 0 : pick(3);
        const bool toFree = parent.find('/') == std::string::npos && !files_.contains(to);
        if (kind == 0 && toFree) {
            const bool exists = folders_.contains(to);
            if (!exists && folders_.size() > maxFolders) return;
            note("mkdir ", to, exists ? " (exists)" : "");
            expect(calls_.mkdir(to), exists ? EEXIST : 0);
            folders_.insert(to);
            return check({to});
        }
        if (kind == 1) {
            const bool empty = childrenOf(from, true).empty();
            note("rmdir ", from, empty ? "" : " (not empty)");
            if (empty) dropMemoryFiles(from);
            expect(calls_.rmdir(from), empty ? 0 : ENOTEMPTY);
            if (empty) folders_.erase(from);
            return check({from});
        }
        const bool hasSubfolder = std::any_of(folders_.begin(), folders_.end(),
                                              [&](const auto& f) { return isInside(f, from); });
        if (kind == 0 || !toFree || to == from || isInside(to, from) || isInside(from, to) ||
            (!parent.empty() && hasSubfolder))
            return;
        const bool over = folders_.contains(to), refused = over && !childrenOf(to, true).empty();
        note("rename folder ", from, " to ", to, over ? " over a folder" : "");
        if (over && !refused) dropMemoryFiles(to);
        expect(calls_.rename(from, to, 0), refused ? ENOTEMPTY : 0);
        Names touched = {from, to};
        if (!refused) {
            folders_.erase(to);
            move(from, to);
            for (const auto& [path, content] : files_)
                if (isInside(path, to)) touched.insert(path);
        }
        check(touched);
    }

    Calls& calls_;
    fs::path store_;
    uint64_t seed_ = fromEnvironment("KESTRUM_FSX_SEED", 20261206), steps_;
    std::mt19937_64 random_{seed_};
    uint64_t step_ = 0;
    std::deque<std::string> history_;     // the last operations, for a failure's report
    std::map<std::string, Bytes> files_;  // path from the storage's top level -> content
    Names folders_ = {""};                // "" is the storage's top level
    std::map<std::string, std::vector<std::pair<int, int>>> open_;  // fd, access mode
    Names unchecked_;  // written by the last step, checked by the next
};

}  // namespace fsx
