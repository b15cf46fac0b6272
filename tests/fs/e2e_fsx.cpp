// fsx through the kernel on a read-write mount: seeded random POSIX operations, each checked at
// once against a model through the mount and in the phone's storage folder STORE. The model ends
// written to MODEL for the script to compare after the unmount. KESTRUM_FSX_SEED and
// KESTRUM_FSX_STEPS reproduce a run. Usage: fs_e2e_fsx MOUNT STORE MODEL, with PHONESIM_CTL set.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "tests/common/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Names = std::set<std::string>;

constexpr uint64_t maxSize = 6 << 20;
constexpr size_t maxFiles = 6, maxFolders = 4, maxOpen = 3;
const std::vector<std::string> fileNames = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"};
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
std::string errorText(int error) {
    return text(error, " (", std::strerror(error), ")");
}
std::string parentOf(const std::string& path) {
    return fs::path(path).parent_path();
}
std::string join(const std::string& folder, const std::string& name) {
    return fs::path(folder) / name;
}
bool isInside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}
// The path under another spelling: names are matched ignoring case.
std::string otherCase(std::string path) {
    for (char& c : path) c = static_cast<char>(std::islower(c) ? std::toupper(c) : std::tolower(c));
    return path;
}
Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}
// Asks the file system itself, not the kernel's cached attributes; 0, or errno.
int statOf(const fs::path& path, struct statx& attributes) {
    const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_INO;
    return ::statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, mask, &attributes) ? errno : 0;
}
Names namesIn(const fs::path& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
    return names;
}

class Fsx {
  public:
    Fsx(fs::path mount, fs::path store, uint64_t seed)
        : mount_(std::move(mount)), store_(std::move(store)), random_(seed) {
        for (const auto& entry : fs::recursive_directory_iterator(store_)) {
            const std::string path = fs::relative(entry.path(), store_);
            if (entry.is_directory())
                folders_.insert(path);
            else
                files_[path] = readFile(entry.path());
        }
    }
    ~Fsx() { closeEverything(); }

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
            for (const auto& [fd, access] : open) ::close(fd);
        open_.clear();
    }
    void writeModel(const fs::path& folder) const {
        for (const auto& path : folders_) fs::create_directories(folder / path);
        for (const auto& [path, content] : files_)
            std::ofstream(folder / path, std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()),
                       static_cast<std::streamsize>(content.size()));
    }
    std::deque<std::string> history;  // the last operations, for a failure's report

  private:
    fs::path onMount(const std::string& path) const { return mount_ / path; }
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
        history.push_back(text("step ", step_, ": ", parts...));
        if (history.size() > 40) history.pop_front();
    }
    // A call's outcome (its status, errno when negative) is the expected errno, or 0.
    void expect(long status, int expected) {
        const int error = status < 0 ? errno : 0;
        require(error == expected, errorText(error), " where ", errorText(expected), " was due");
    }

    // Descriptors of each path (fd, access), used again or opened, now and then under another
    // spelling.
    int openOn(const std::string& path, int access, int extra = 0) {
        const std::string spelling = chance(20) && !(extra & O_CREAT) ? otherCase(path) : path;
        const int fd = ::open(onMount(spelling).c_str(), access | extra | O_CLOEXEC, 0644);
        require(fd >= 0, "open ", spelling, ": ", errorText(errno));
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
        require(::close(fd) == 0, "close ", path, ": ", errorText(errno));
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
    Names childrenOf(const std::string& folder) const {
        Names names;
        for (const auto& [path, content] : files_)
            if (parentOf(path) == folder) names.insert(fs::path(path).filename());
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
        for (ssize_t n = 1; got < length && n > 0; got += static_cast<uint64_t>(n)) {
            n = ::pread(fd, buffer.get() + got, length - got, static_cast<off_t>(offset + got));
            require(n >= 0, "pread: ", errorText(errno));
        }
        const uint64_t start = std::min<uint64_t>(offset, content.size());
        require(got == std::min(length, content.size() - start), "read ", got, " at ", offset);
        const auto [mine, theirs] = std::mismatch(buffer.get(), buffer.get() + got,
                                                  content.begin() + static_cast<long>(start));
        require(mine == buffer.get() + got, "read differs at ", offset + (mine - buffer.get()));
    }

    // A path as the mount and the phone show it: absent, a folder, or a file of the model's size
    // (asked of the volume, not the kernel's cache) and, on the phone, the model's content.
    // Another spelling finds the same item or nothing.
    void checkPath(const std::string& path) {
        struct statx found = {}, other = {};
        const int error = statOf(onMount(path), found),
                  otherError = statOf(onMount(otherCase(path)), other);
        if (files_.contains(path)) {
            require(!error && S_ISREG(found.stx_mode), path, " is no file: ", errorText(error));
            require(found.stx_size == files_[path].size(), "size of ", path, ": ", found.stx_size);
            require(readFile(onPhone(path)) == files_[path], path, " differs on the phone");
        } else if (folders_.contains(path)) {
            require(!error && S_ISDIR(found.stx_mode) && fs::is_directory(onPhone(path)), path,
                    " is no folder: ", errorText(error));
        } else {
            require(error == ENOENT, path, " should be gone: ", errorText(error));
            require(!fs::exists(fs::symlink_status(onPhone(path))), path, " is on the phone");
        }
        require(error ? otherError == ENOENT
                      : !otherError && other.stx_ino == found.stx_ino &&
                            other.stx_size == found.stx_size,
                otherCase(path), " answers ", otherError ? errorText(otherError) : "another item");
    }
    // Checks the paths a step touched, those of an unchecked write before it, and the listings
    // of their folders on the mount (memory-only files of the root aside) and on the phone.
    void check(Names paths) {
        paths.merge(unchecked_);
        unchecked_.clear();
        Names folders;
        for (const auto& path : paths) {
            if (folders_.contains(parentOf(path))) folders.insert(parentOf(path));
            if (!path.empty()) checkPath(path);
        }
        for (const auto& folder : folders) {
            Names mounted = namesIn(onMount(folder));
            if (folder.empty()) mounted.erase(".DS_Store"), mounted.erase(".metadata_never_index");
            require(mounted == childrenOf(folder), "listing '", folder, "' differs");
            require(namesIn(onPhone(folder)) == childrenOf(folder), "'", folder, "' on the phone");
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
                require(::pwrite(fds[f], data.data(), chunk, static_cast<off_t>(at)) ==
                            static_cast<ssize_t>(chunk),
                        "write ", i, " to ", paths[f], ": ", errorText(errno));
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
        note("mmap ", path, " at ", offset, " length ", length);
        const int fd = openOn(path, O_RDWR);
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        require(map != MAP_FAILED, "mmap: ", errorText(errno));
        const Bytes data = bytes(length);
        std::memcpy(static_cast<uint8_t*>(map) + offset, data.data(), length);
        const int synced = ::msync(map, size, MS_SYNC) == 0 ? 0 : errno;
        ::munmap(map, size);
        require(!synced, "msync: ", errorText(synced));
        closeOne(path, open_[path].size() - 1);
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
        expect(byPath ? ::truncate(onMount(path).c_str(), static_cast<off_t>(newSize))
                      : ::ftruncate(descriptorFor(path, true), static_cast<off_t>(newSize)),
               0);
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
            expect(::open(onMount(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644),
                   EEXIST);
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

    // After fsync the phone has committed the file: no edit of it is open any more. A phone
    // object's node number is its handle + 16.
    void fsyncStep() {
        const std::string path = anyFile();
        const int fd = descriptorFor(path, chance(70));
        const bool dataOnly = chance(30);
        note(dataOnly ? "fdatasync " : "fsync ", path);
        expect(dataOnly ? ::fdatasync(fd) : ::fsync(fd), 0);
        struct stat attributes {};
        require(::fstat(fd, &attributes) == 0, "fstat: ", errorText(errno));
        char edits[4096] = {};
        if (FILE* ctl = ::popen("\"$PHONESIM_CTL\" edits", "r")) {
            if (!std::fgets(edits, sizeof edits, ctl)) edits[0] = 0;
            ::pclose(ctl);
        }
        require(
            std::string(edits).starts_with("ok") &&
                text(edits, " ").find(text(" ", attributes.st_ino - 16, " ")) == std::string::npos,
            "an edit is open after fsync: ", edits);
        check({path});
    }

    // Mostly closed first; now and then unlinked while open and synced afterwards (fsync and
    // release then come for a removed item).
    void unlinkStep() {
        const std::string path = anyFile();
        const bool closeFirst = chance(85);
        note("unlink ", path, closeFirst ? "" : " (still open)");
        if (closeFirst) closeAll(path);
        expect(::unlink(onMount(path).c_str()), 0);
        files_.erase(path);
        if (open_.contains(path) && chance(50)) expect(::fsync(open_[path].front().first), 0);
        closeAll(path);
        check({path});
    }

    // Renames a file within or across folders, over an existing file (whose descriptors close,
    // now and then after the rename) or refused by RENAME_NOREPLACE.
    void renameStep() {
        const std::string from = anyFile();
        const std::string to =
            join(chance(50) ? parentOf(from) : anyOf(folders_), anyOf(fileNames));
        if (to == from || folders_.contains(to)) return;
        const bool over = files_.contains(to), noReplace = over && chance(15);
        note("rename ", from, " to ", to, over ? " over a file" : "", noReplace ? " refused" : "");
        if (over && !noReplace && chance(85)) closeAll(to);
        expect(::renameat2(AT_FDCWD, onMount(from).c_str(), AT_FDCWD, onMount(to).c_str(),
                           noReplace ? RENAME_NOREPLACE : 0),
               noReplace ? EEXIST : 0);
        if (!noReplace) {
            closeAll(to);
            files_.erase(to);
            move(from, to);
        }
        check({from, to});
    }

    // Folders made, removed (refused while they hold anything), renamed or moved with what they
    // hold to a free name or over a folder (which must be empty); two levels at most.
    void folderStep() {
        const std::string from = anyOf(folders_), parent = anyOf(folders_),
                          to = join(parent, anyOf(folderNames));
        const uint64_t kind = from.empty() ? 0 : pick(3);
        const bool toFree = parent.find('/') == std::string::npos && !files_.contains(to);
        if (kind == 0 && toFree) {
            const bool exists = folders_.contains(to);
            if (!exists && folders_.size() > maxFolders) return;
            note("mkdir ", to, exists ? " (exists)" : "");
            expect(::mkdir(onMount(to).c_str(), 0755), exists ? EEXIST : 0);
            folders_.insert(to);
            return check({to});
        }
        if (kind == 1) {
            const bool empty = childrenOf(from).empty();
            note("rmdir ", from, empty ? "" : " (not empty)");
            expect(::rmdir(onMount(from).c_str()), empty ? 0 : ENOTEMPTY);
            if (empty) folders_.erase(from);
            return check({from});
        }
        const bool hasSubfolder = std::any_of(folders_.begin(), folders_.end(),
                                              [&](const auto& f) { return isInside(f, from); });
        if (kind == 0 || !toFree || to == from || isInside(to, from) || isInside(from, to) ||
            (!parent.empty() && hasSubfolder))
            return;
        const bool over = folders_.contains(to), refused = over && !childrenOf(to).empty();
        note("rename folder ", from, " to ", to, over ? " over a folder" : "");
        expect(::rename(onMount(from).c_str(), onMount(to).c_str()), refused ? ENOTEMPTY : 0);
        Names touched = {from, to};
        if (!refused) {
            folders_.erase(to);
            move(from, to);
            for (const auto& [path, content] : files_)
                if (isInside(path, to)) touched.insert(path);
        }
        check(touched);
    }

    fs::path mount_, store_;
    std::mt19937_64 random_;
    uint64_t step_ = 0;
    std::map<std::string, Bytes> files_;  // path from the storage's top level -> content
    Names folders_ = {""};                // "" is the storage's top level
    std::map<std::string, std::vector<std::pair<int, int>>> open_;  // fd, access mode
    Names unchecked_;  // written by the last step, checked by the next
};

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return std::fprintf(stderr, "usage: %s MOUNT STORE MODEL\n", argv[0]), 2;
    const uint64_t seed = fromEnvironment("KESTRUM_FSX_SEED", 20261206),
                   steps = fromEnvironment("KESTRUM_FSX_STEPS", 3000);
    Fsx fsx(argv[1], argv[2], seed);
    uint64_t step = 0;
    try {
        for (; step <= steps; ++step) {
            if (step > 0) fsx.step(step);
            if (step % 50 == 0 || step == steps) fsx.checkEverything();
        }
        fsx.closeEverything();
        fsx.writeModel(argv[3]);
        std::printf("%s\n", text("seed ", seed, ", ", steps, " steps").c_str());
        return 0;
    } catch (const std::exception& error) {
        std::string last;
        for (const auto& line : fsx.history) last += "  " + line + "\n";
        std::fprintf(stderr, "%s",
                     text("FAIL: ", error.what(), "\nreplay with KESTRUM_FSX_SEED=", seed,
                          " KESTRUM_FSX_STEPS=", step, "; last operations:\n", last)
                         .c_str());
        return 1;
    }
}
