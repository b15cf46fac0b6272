// fsx through the kernel: thousands of seeded random POSIX operations on a read-write mount of
// the simulated phone (writes anywhere and runs of them, mmap, truncation both ways, opens and
// closes that begin and end edits, fsync, renames, unlink, mkdir, rmdir), each checked at once
// against a model, through the mount and in the phone's storage folder, which the simulated
// phone writes through. After the unmount, which commits every edit, the folder must hold
// exactly the model. KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce or lengthen a run; a
// failure prints both and the operations that led to it.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "tests/fs/e2e_support.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUSBBus.h"

namespace {

using namespace kestrume2e;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t maxFileSize = 6 << 20;
constexpr size_t maxFiles = 6, maxFolders = 4, maxOpenPerFile = 3;
const std::vector<std::string> fileNames = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"};
const std::vector<std::string> folderNames = {"A", "B", "C", "D", "E"};

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : fallback;
}
std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}
bool isInside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}
// The path under another spelling: names are matched ignoring case.
std::string otherCase(std::string path) {
    for (char& c : path) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
    }
    return path;
}
std::string errorText(int error) {
    return std::to_string(error) + " (" + std::strerror(error) + ")";
}
std::string str(uint64_t value) {
    return std::to_string(value);
}

// Calls on the mount. This process hosts the USB bus, which answers the helper from a thread of
// its own, and the bus's preload holds one lock across each path call it wraps: a wrapped call
// that waits for the helper would keep the bus from answering it. Raw system calls bypass it.
namespace sys {
int open(const fs::path& path, int flags, mode_t mode = 0) {
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), flags | O_CLOEXEC, mode));
}
int close(int fd) {
    return static_cast<int>(::syscall(SYS_close, fd));
}
// Asks the file system itself, not the kernel's cached attributes; 0, or errno.
int statx(const fs::path& path, struct statx& attributes) {
    return ::syscall(SYS_statx, AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC,
                     STATX_TYPE | STATX_SIZE | STATX_INO, &attributes) == 0
               ? 0
               : errno;
}
// The names in a folder without "." and ".."; nothing when it cannot be listed.
std::optional<std::set<std::string>> names(const fs::path& folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return std::nullopt;
    std::set<std::string> names;
    alignas(8) char buffer[16384];
    long n;
    while ((n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        for (long at = 0; at < n;) {
            if (const std::string name(buffer + at + 19); name != "." && name != "..") {
                names.insert(name);
            }
            uint16_t length;
            std::memcpy(&length, buffer + at + 16, sizeof length);
            at += length;
        }
    }
    close(fd);
    return n < 0 ? std::nullopt : std::optional(names);
}
}  // namespace sys

struct OpenFile {
    int fd;
    int access;  // O_RDONLY, O_WRONLY or O_RDWR
};

class FsxThroughKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching loop devices needs root";
        seed_ = fromEnvironment("KESTRUM_FSX_SEED", 20261206);
        steps_ = fromEnvironment("KESTRUM_FSX_STEPS", 3000);
        random_.seed(seed_);
        // Files that come from a listing, whose first edit must ask the phone for their size.
        folders_ = {"", "A", "B"};
        files_ = {{"A/f0", bytes(30000)}, {"B/f1", bytes(70000)}, {"f2", bytes(5)}};
        for (const auto& folder : folders_) fs::create_directories(onPhone(folder));
        for (const auto& [path, content] : files_) {
            std::ofstream(onPhone(path), std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()),
                       static_cast<std::streamsize>(content.size()));
        }
        phonesim::PhoneConfig config;
        config.serial = "FSX0001";
        config.storages = {phonesim::StorageConfig{}};
        config.storages[0].folder = store_.path();
        phone_ = std::make_shared<phonesim::SimulatedPhone>(config);
        bus_.plug(1, usbbus::profileFor(config), phone_);
        writeImage(work_.path() / "image", config.serial, "Fsx", true);
        attached_ = std::make_unique<Attached>(work_.path() / "image");
        fs::create_directory(onMount(""));
        mounted_ = std::make_unique<HelperMount>(
            fs::path(E2E_BIN) / "mount.mtpfs", attached_->partition(), onMount(""),
            work_.path() / "helper.err", bus_.clientEnvironment());
        watchdog_ = std::make_unique<Watchdog>(std::chrono::seconds(240), *mounted_, *attached_);
        ASSERT_TRUE(mounted_->ok()) << mounted_->log();
    }
    void TearDown() override {
        for (auto& [path, open] : open_) {
            for (const OpenFile& file : open) sys::close(file.fd);
        }
        open_.clear();
    }

    fs::path onMount(const std::string& path) const {
        return path.empty() ? work_.path() / "mnt" : work_.path() / "mnt" / path;
    }
    fs::path onPhone(const std::string& path) const { return store_.path() / path; }

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

    void note(std::string what) {
        what_ = "step " + str(step_) + ": " + std::move(what);
        history_.push_back(what_);
        if (history_.size() > 40) history_.pop_front();
    }
    std::string replay() const {
        std::string text = "KESTRUM_FSX_SEED=" + str(seed_) + " KESTRUM_FSX_STEPS=" + str(step_) +
                           "; last operations:\n";
        for (const auto& line : history_) text += "  " + line + "\n";
        return text + "helper log:\n" + (mounted_ ? mounted_->log() : std::string());
    }

    // ---- Descriptors ----

    int openOn(const std::string& path, int access, int extra = 0) {
        const int fd = sys::open(onMount(chance(20) ? otherCase(path) : path), access | extra);
        if (fd >= 0) open_[path].push_back({fd, access});
        return fd;
    }
    // A descriptor of path that can write (or read), now and then a new one.
    int descriptorFor(const std::string& path, bool forWriting) {
        std::vector<int> usable;
        for (const OpenFile& file : open_[path]) {
            if (file.access != (forWriting ? O_RDONLY : O_WRONLY)) usable.push_back(file.fd);
        }
        if (!usable.empty() && chance(85)) return anyOf(usable);
        if (open_[path].size() >= maxOpenPerFile) closeOne(path, pick(open_[path].size()));
        const int fd = openOn(
            path, forWriting ? (chance(50) ? O_WRONLY : O_RDWR) : (chance(50) ? O_RDONLY : O_RDWR));
        EXPECT_GE(fd, 0) << what_ << ": open: " << errorText(errno);
        return fd;
    }
    void closeOne(const std::string& path, size_t index) {
        std::vector<OpenFile>& open = open_[path];
        EXPECT_EQ(sys::close(open[index].fd), 0) << what_ << ": close: " << errorText(errno);
        open.erase(open.begin() + static_cast<long>(index));
        if (open.empty()) open_.erase(path);
    }
    void closeAll(const std::string& path) {
        while (!open_[path].empty()) closeOne(path, 0);
        open_.erase(path);
    }

    // ---- Model ----

    void apply(const std::string& path, uint64_t offset, const Bytes& data) {
        Bytes& content = files_[path];
        if (content.size() < offset + data.size()) content.resize(offset + data.size(), 0);
        std::copy(data.begin(), data.end(), content.begin() + static_cast<long>(offset));
    }
    // Moves files, folders and descriptors at or under from to the same places under to.
    static std::string moved(const std::string& path, const std::string& from,
                             const std::string& to) {
        return path == from || isInside(path, from) ? to + path.substr(from.size()) : path;
    }
    template <typename Map>
    static void rekey(Map& map, const std::string& from, const std::string& to) {
        Map result;
        for (auto& [path, value] : map) result[moved(path, from, to)] = std::move(value);
        map = std::move(result);
    }
    std::set<std::string> childrenOf(const std::string& folder) const {
        std::set<std::string> names;
        const auto add = [&](const std::string& path) {
            if (!path.empty() && parentOf(path) == folder) {
                names.insert(path.substr(path.rfind('/') + 1));
            }
        };
        for (const auto& [path, content] : files_) add(path);
        for (const auto& path : folders_) add(path);
        return names;
    }

    // ---- Checks ----

    // A call's outcome (its status, errno when negative) is the expected errno, or 0.
    void expect(long status, int expected) {
        const int error = status < 0 ? errno : 0;
        ASSERT_EQ(error, expected) << what_ << ": " << errorText(error);
    }

    // Reads length bytes at offset through fd and compares them with the model.
    void checkRead(int fd, const std::string& path, uint64_t offset, uint64_t length) {
        ASSERT_GE(fd, 0);
        const Bytes& content = files_.at(path);
        std::unique_ptr<uint8_t, decltype(&std::free)> buffer(  // aligned for O_DIRECT
            static_cast<uint8_t*>(std::aligned_alloc(4096, (length + 4095) / 4096 * 4096)),
            &std::free);
        uint64_t got = 0;
        for (long n = 1; got < length && n > 0; got += static_cast<uint64_t>(n)) {
            n = ::syscall(SYS_pread64, fd, buffer.get() + got, length - got, offset + got);
            ASSERT_GE(n, 0) << what_ << ": pread: " << errorText(errno);
        }
        const uint64_t start = std::min<uint64_t>(offset, content.size());
        ASSERT_EQ(got, std::min(length, content.size() - start)) << what_ << ": read at " << offset;
        const auto [mine, theirs] = std::mismatch(buffer.get(), buffer.get() + got,
                                                  content.begin() + static_cast<long>(start));
        ASSERT_EQ(mine, buffer.get() + got)
            << what_ << ": read differs at byte " << offset + (mine - buffer.get());
    }

    // A path as the mount and the phone show it: absent, a folder, or a file of the model's size
    // (asked of the volume) and, on the phone, the model's content. Another spelling finds the
    // same item or nothing; the host drops other spellings from the kernel asynchronously after
    // a change, so one may still answer for a moment.
    void checkPath(const std::string& path) {
        struct statx attributes {};
        const int error = sys::statx(onMount(path), attributes);
        if (files_.contains(path) || folders_.contains(path)) {
            ASSERT_EQ(error, 0) << what_ << ": stat " << path << ": " << errorText(error);
        } else {
            ASSERT_EQ(error, ENOENT) << what_ << ": " << path << " should be gone";
            ASSERT_FALSE(fs::exists(fs::symlink_status(onPhone(path))))
                << what_ << ": " << path << " is still on the phone";
        }
        if (files_.contains(path)) {
            ASSERT_TRUE(S_ISREG(attributes.stx_mode)) << what_ << ": " << path;
            ASSERT_EQ(attributes.stx_size, files_[path].size()) << what_ << ": size of " << path;
            ASSERT_TRUE(onPhoneAsModelled(path))
                << what_ << ": " << path << " differs on the phone";
        } else if (folders_.contains(path)) {
            ASSERT_TRUE(S_ISDIR(attributes.stx_mode) && fs::is_directory(onPhone(path)))
                << what_ << ": " << path << " is no folder";
        }
        if (path.empty()) return;
        struct statx other {};
        int otherError = 0;
        const auto agrees = [&] {
            otherError = sys::statx(onMount(otherCase(path)), other);
            return error ? otherError == ENOENT
                         : otherError == 0 && other.stx_ino == attributes.stx_ino &&
                               other.stx_size == attributes.stx_size;
        };
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!agrees() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(agrees()) << what_ << ": " << otherCase(path) << " answers "
                              << (otherError ? errorText(otherError) : "another item");
    }

    // The names in a folder of the mount (memory-only files of the root aside) and of the phone.
    void checkListing(const std::string& folder) {
        std::optional<std::set<std::string>> mounted = sys::names(onMount(folder));
        ASSERT_TRUE(mounted) << what_ << ": listing '" << folder << "': " << errorText(errno);
        if (folder.empty()) {
            mounted->erase(".DS_Store");
            mounted->erase(".metadata_never_index");
        }
        ASSERT_EQ(*mounted, childrenOf(folder)) << what_ << ": listing '" << folder << "'";
        ASSERT_EQ(phoneNames(folder), childrenOf(folder))
            << what_ << ": '" << folder << "' on the phone";
    }
    std::set<std::string> phoneNames(const std::string& folder) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(onPhone(folder))) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
    bool onPhoneAsModelled(const std::string& path) const {
        std::ifstream in(onPhone(path), std::ios::binary);
        return in && Bytes(std::istreambuf_iterator<char>(in), {}) == files_.at(path);
    }

    // Checks the paths a step touched, those of an unchecked write before it, and their folders.
    void check(std::set<std::string> paths) {
        paths.merge(unchecked_);
        unchecked_.clear();
        std::set<std::string> folders;
        for (const auto& path : paths) {
            if (folders_.contains(parentOf(path))) folders.insert(parentOf(path));
            if (checkPath(path); HasFatalFailure()) return;
        }
        for (const auto& folder : folders) {
            if (checkListing(folder); HasFatalFailure()) return;
        }
    }
    void checkEverything() {
        for (const auto& folder : folders_) {
            if (checkListing(folder); HasFatalFailure()) return;
        }
        std::set<std::string> paths;
        for (const auto& [path, content] : files_) paths.insert(path);
        check(paths);
    }

    // ---- Operations ----

    // Writes at any offset, from within a file to far past its end, alone or in runs as cp and
    // dd make them, to one file or alternating between two, so that a gathered run is handed on
    // by another file's write. Read back with the gap before them, through the page cache or
    // O_DIRECT; now and then checked only by the next step, while still on their way.
    void writeStep() {
        std::vector<std::string> paths = {anyFile()};
        if (const std::string other = anyFile(); other != paths[0] && chance(15)) {
            paths.push_back(other);
        }
        const uint64_t count = paths.size() > 1 || chance(15) ? 2 + pick(20) : 1, kind = pick(100);
        const uint64_t chunk = count > 1   ? (chance(50) ? 128 << 10 : 1 + pick(128 << 10))
                               : kind < 50 ? 1 + pick(4096)
                               : kind < 85 ? 1 + pick(256 << 10)
                                           : 1 + pick(2 << 20);
        std::vector<uint64_t> sizes, starts;
        std::vector<int> fds;
        std::string what = "write " + str(count) + " x " + str(chunk) + " to";
        for (const auto& path : paths) {
            const uint64_t size = files_[path].size(), where = pick(100);
            sizes.push_back(size);
            starts.push_back(std::min(maxFileSize - count * chunk, where < 20   ? size
                                                                   : where < 65 ? pick(size + 1)
                                                                   : where < 85
                                                                       ? size + pick(1 << 20)
                                                                       : pick(maxFileSize)));
            what += " " + path + " at " + str(starts.back()) + " (size " + str(size) + ")";
            fds.push_back(descriptorFor(path, true));
            ASSERT_GE(fds.back(), 0);
        }
        note(what);
        for (uint64_t i = 0; i < count; ++i) {
            for (size_t f = 0; f < paths.size(); ++f) {
                const Bytes data = bytes(chunk);
                const uint64_t at = starts[f] + i * chunk;
                ASSERT_EQ(::syscall(SYS_pwrite64, fds[f], data.data(), chunk, at),
                          static_cast<long>(chunk))
                    << what_ << ": write " << i << " to " << paths[f] << ": " << errorText(errno);
                apply(paths[f], at, data);
            }
        }
        if (chance(30)) return unchecked_.insert(paths.begin(), paths.end());
        for (size_t f = 0; f < paths.size() && !HasFatalFailure(); ++f) {
            const uint64_t from = std::min(starts[f], sizes[f]), end = starts[f] + count * chunk;
            const bool direct = chance(50);
            const int fd = direct ? sys::open(onMount(paths[f]), O_RDONLY | O_DIRECT)
                                  : descriptorFor(paths[f], false);
            checkRead(fd, paths[f], from, end - from);
            if (direct) sys::close(fd);
        }
        if (!HasFatalFailure()) check({paths.begin(), paths.end()});
    }

    // Changes through a shared mapping, written back by msync.
    void mapStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size();
        if (size == 0) return writeStep();
        const uint64_t offset = pick(size),
                       length = 1 + pick(std::min<uint64_t>(size - offset, 300 << 10));
        note("mmap " + path + " at " + str(offset) + " length " + str(length));
        const int fd = sys::open(onMount(path), O_RDWR);
        ASSERT_GE(fd, 0) << what_ << ": open: " << errorText(errno);
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) sys::close(fd);
        ASSERT_NE(map, MAP_FAILED) << what_ << ": " << errorText(errno);
        const Bytes data = bytes(length);
        std::memcpy(static_cast<uint8_t*>(map) + offset, data.data(), length);
        const int synced = ::msync(map, size, MS_SYNC) == 0 ? 0 : errno;
        ::munmap(map, size);
        EXPECT_EQ(sys::close(fd), 0) << what_ << ": close: " << errorText(errno);
        ASSERT_EQ(synced, 0) << what_ << ": msync: " << errorText(synced);
        apply(path, offset, data);
        check({path});
    }

    // Reads through the page cache or O_DIRECT, now and then sequentially in 64 KiB pieces
    // through the volume's read-ahead window, which later writes must invalidate.
    void readStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size();
        const uint64_t offset = chance(10) ? pick(size + 8192) : pick(size + 1);
        const uint64_t length = 1 + (chance(70) ? pick(64 << 10) : pick(3 << 20));
        const bool direct = chance(50), sequential = direct && chance(30);
        note(std::string(sequential ? "sequential "
                         : direct   ? "direct "
                                    : "") +
             "read " + path + " at " + str(offset) + " length " + str(length));
        if (!direct) return checkRead(descriptorFor(path, false), path, offset, length);
        const int fd = sys::open(onMount(path), O_RDONLY | O_DIRECT);
        const uint64_t piece = sequential ? 64 << 10 : length;
        for (uint64_t at = offset; at < offset + length && !HasFatalFailure(); at += piece) {
            checkRead(fd, path, at, std::min(piece, offset + length - at));
        }
        sys::close(fd);
    }

    void truncateStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size(), kind = pick(100);
        const uint64_t newSize = std::min(maxFileSize, kind < 20   ? 0
                                                       : kind < 60 ? pick(size + 1)
                                                                   : size + pick(1 << 20));
        const bool byPath = chance(30);
        note(std::string(byPath ? "truncate " : "ftruncate ") + path + " to " + str(newSize) +
             " (size " + str(size) + ")");
        expect(byPath ? ::syscall(SYS_truncate, onMount(path).c_str(), newSize)
                      : ::syscall(SYS_ftruncate, descriptorFor(path, true), newSize),
               0);
        files_[path].resize(newSize, 0);
        if (newSize > size && chance(50)) {
            checkRead(descriptorFor(path, false), path, size, newSize - size);
        }
        if (!HasFatalFailure()) check({path});
    }

    // Opens (now and then with O_TRUNC) and closes, which begin and end edits on the phone.
    void openOrCloseStep() {
        const std::string path = anyFile();
        const size_t open = open_.contains(path) ? open_[path].size() : 0;
        if (open >= maxOpenPerFile || (open > 0 && chance(60))) {
            note("close " + path);
            closeOne(path, pick(open));
        } else {
            const int access = anyOf(std::vector<int>{O_RDONLY, O_WRONLY, O_RDWR});
            const bool truncate = access != O_RDONLY && chance(15);
            note("open " + path + " access " + str(access) + (truncate ? " O_TRUNC" : ""));
            ASSERT_GE(openOn(path, access, truncate ? O_TRUNC : 0), 0)
                << what_ << ": " << errorText(errno);
            if (truncate) files_[path].clear();
        }
        check({path});
    }

    // After fsync the phone has committed the file: no edit of it is open any more.
    void fsyncStep() {
        const std::string path = anyFile();
        const int fd = descriptorFor(path, chance(70));
        ASSERT_GE(fd, 0);
        const bool dataOnly = chance(30);
        note(std::string(dataOnly ? "fdatasync " : "fsync ") + path);
        expect(::syscall(dataOnly ? SYS_fdatasync : SYS_fsync, fd), 0);
        const std::optional<uint32_t> handle = phone_->handleOf(phone_->storageID(0), path);
        ASSERT_TRUE(handle) << what_;
        const std::vector<uint32_t> edits = phone_->openEdits();
        ASSERT_EQ(std::count(edits.begin(), edits.end(), *handle), 0)
            << what_ << ": edit still open";
        check({path});
    }

    void createStep() {
        const std::string path = join(anyOf(folders_), anyOf(fileNames));
        if (folders_.contains(path)) return;
        const bool exists = files_.contains(path);
        if (!exists && files_.size() >= maxFiles) return unlinkStep();
        note("create " + path + (exists ? " (exists)" : ""));
        const int access = chance(50) ? O_RDWR : O_WRONLY;
        const int fd = sys::open(onMount(path), access | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 && exists) sys::close(fd);
        expect(fd, exists ? EEXIST : 0);
        if (!exists) {
            open_[path].push_back({fd, access});
            files_[path] = {};
        }
        check({path});
    }

    // A phone cannot keep a deleted object: the descriptors are mostly closed first, now and
    // then only after the unlink, once synced (fsync and release then come for a deleted item).
    void unlinkStep() {
        const std::string path = anyFile();
        const bool closeFirst = chance(85);
        note("unlink " + path + (closeFirst ? "" : " (still open)"));
        if (closeFirst) closeAll(path);
        expect(::syscall(SYS_unlinkat, AT_FDCWD, onMount(path).c_str(), 0), 0);
        files_.erase(path);
        if (!open_[path].empty() && chance(50)) {
            EXPECT_EQ(::syscall(SYS_fsync, open_[path].front().fd), 0)
                << what_ << ": fsync after unlink: " << errorText(errno);
        }
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
        note(std::string(noReplace ? "rename (no replace) " : "rename ") + from + " to " + to +
             (over ? " over a file" : ""));
        if (over && !noReplace && chance(85)) closeAll(to);
        expect(::syscall(SYS_renameat2, AT_FDCWD, onMount(from).c_str(), AT_FDCWD,
                         onMount(to).c_str(), noReplace ? RENAME_NOREPLACE : 0),
               noReplace ? EEXIST : 0);
        if (!noReplace) {
            closeAll(to);
            files_.erase(to);
            rekey(files_, from, to);
            rekey(open_, from, to);
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
            note("mkdir " + to + (exists ? " (exists)" : ""));
            expect(::syscall(SYS_mkdirat, AT_FDCWD, onMount(to).c_str(), 0755),
                   exists ? EEXIST : 0);
            folders_.insert(to);
            return check({to});
        }
        if (kind == 1) {
            const bool empty = childrenOf(from).empty();
            note("rmdir " + from + (empty ? "" : " (not empty)"));
            expect(::syscall(SYS_unlinkat, AT_FDCWD, onMount(from).c_str(), AT_REMOVEDIR),
                   empty ? 0 : ENOTEMPTY);
            if (empty) folders_.erase(from);
            return check({from});
        }
        const bool hasSubfolder = std::any_of(folders_.begin(), folders_.end(),
                                              [&](const auto& f) { return isInside(f, from); });
        if (kind == 0 || !toFree || to == from || isInside(to, from) || isInside(from, to) ||
            (!parent.empty() && hasSubfolder)) {
            return;
        }
        const bool over = folders_.contains(to), refused = over && !childrenOf(to).empty();
        note("rename folder " + from + " to " + to + (over ? " over a folder" : ""));
        expect(::syscall(SYS_renameat2, AT_FDCWD, onMount(from).c_str(), AT_FDCWD,
                         onMount(to).c_str(), 0),
               refused ? ENOTEMPTY : 0);
        std::set<std::string> touched = {from, to};
        if (!refused) {
            folders_.erase(to);
            rekey(files_, from, to);
            rekey(open_, from, to);
            std::set<std::string> folders;
            for (const auto& folder : folders_) folders.insert(moved(folder, from, to));
            folders_ = std::move(folders);
            for (const auto& [path, content] : files_) {
                if (isInside(path, to)) touched.insert(path);
            }
        }
        check(touched);
    }

    void step() {
        using Operation = void (FsxThroughKernel::*)();
        // Weights out of 100.
        static const std::pair<uint64_t, Operation> operations[] = {
            {26, &FsxThroughKernel::writeStep},       {2, &FsxThroughKernel::mapStep},
            {16, &FsxThroughKernel::readStep},        {9, &FsxThroughKernel::truncateStep},
            {15, &FsxThroughKernel::openOrCloseStep}, {5, &FsxThroughKernel::fsyncStep},
            {9, &FsxThroughKernel::renameStep},       {3, &FsxThroughKernel::unlinkStep},
            {6, &FsxThroughKernel::createStep},       {9, &FsxThroughKernel::folderStep},
        };
        if (files_.empty()) return createStep();
        uint64_t choice = pick(100);
        for (const auto& [weight, operation] : operations) {
            if (choice < weight) return (this->*operation)();
            choice -= weight;
        }
    }

    uint64_t seed_ = 0, steps_ = 0, step_ = 0;
    std::mt19937_64 random_;
    std::string what_ = "setup";
    std::deque<std::string> history_;
    std::map<std::string, Bytes> files_;  // path from the storage's top level -> content
    std::set<std::string> folders_;       // "" is the storage's top level
    std::map<std::string, std::vector<OpenFile>> open_;
    std::set<std::string> unchecked_;  // written by the last step, checked by the next

    TempDir store_, work_;
    usbbus::VirtualUSBBus bus_;
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<Attached> attached_;
    std::unique_ptr<HelperMount> mounted_;
    std::unique_ptr<Watchdog> watchdog_;  // last: goes first
};

TEST_F(FsxThroughKernel, RandomOperationsMatchTheModel) {
    std::printf("seed %llu, %llu steps\n", static_cast<unsigned long long>(seed_),
                static_cast<unsigned long long>(steps_));
    checkEverything();
    ASSERT_FALSE(HasFailure()) << "before the first step: " << replay();
    for (step_ = 1; step_ <= steps_; ++step_) {
        step();
        if (!HasFailure() && step_ % 50 == 0) checkEverything();
        ASSERT_FALSE(HasFailure()) << "failed, replay with " << replay();
    }
    step_ = steps_;
    what_ = "after the last step";
    checkEverything();
    ASSERT_FALSE(HasFailure()) << replay();
    TearDown();  // closes every descriptor before the unmount
    watchdog_.reset();
    const std::string log = mounted_->log();
    mounted_.reset();

    // Unmounting ended every edit and the session; the phone holds exactly the model.
    EXPECT_TRUE(phone_->openEdits().empty());
    EXPECT_FALSE(phone_->isSessionOpen());
    for (const auto& folder : folders_) {
        EXPECT_EQ(phoneNames(folder), childrenOf(folder))
            << "'" << folder << "' on the phone after the unmount; " << replay() << log;
    }
    for (const auto& [path, content] : files_) {
        EXPECT_TRUE(onPhoneAsModelled(path))
            << path << " differs after the unmount; " << replay() << log;
    }
}

}  // namespace
