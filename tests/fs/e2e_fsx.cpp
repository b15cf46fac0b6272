// fsx through the kernel: thousands of seeded random operations with ordinary POSIX calls on a
// read-write mount of the simulated phone (writes at any offset and size, gaps past the end,
// truncation both ways, opens and closes that begin and end edits, fsync, renames within and
// across folders and over existing files, unlink, mkdir, rmdir, folder renames), each checked
// at once against an in-memory model: through the mount (read back, sizes asked of the volume)
// and in the phone's storage folder, which the simulated phone writes through. After the
// unmount, which commits every edit, the whole storage folder must equal the model byte for
// byte, with no other file.
//
// KESTRUM_FSX_SEED and KESTRUM_FSX_STEPS reproduce or lengthen a run; a failure prints both,
// the step and the operations that led to it.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fs/e2e_support.h"
#include "tools/phonesim/SimulatedPhone.h"
#include "tools/usbbus/VirtualUsbBus.h"

namespace {

using namespace kestrume2e;
using Bytes = std::vector<uint8_t>;

const fs::path bin = E2E_BIN;

constexpr uint64_t maxFileSize = 6 << 20;
constexpr uint64_t maxWrite = 2 << 20;
constexpr size_t maxFiles = 6;
constexpr size_t maxFolders = 4;  // besides the storage's top level
constexpr size_t maxOpenPerFile = 3;
constexpr int fullCheckEvery = 50;  // steps between comparisons of the whole tree
constexpr int stallSeconds = 60;
const std::vector<std::string> fileNames = {"f0", "f1", "f2", "f3", "f4", "f5", "f6", "f7"};
const std::vector<std::string> folderNames = {"A", "B", "C", "D", "E"};
// Synthetic files of the volume's root; they never reach the phone.
const std::set<std::string> rootSynthetic = {".DS_Store", ".metadata_never_index"};

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

std::string errorText(int error) {
    return std::to_string(error) + " (" + std::strerror(error) + ")";
}

// Where two contents first differ, for failure messages.
std::string difference(const Bytes& actual, const Bytes& expected) {
    const auto [a, e] =
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (a == actual.end() && e == expected.end()) return "equal";
    return "size " + std::to_string(actual.size()) + " expected " +
           std::to_string(expected.size()) + ", first difference at byte " +
           std::to_string(a - actual.begin());
}

std::optional<Bytes> readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Calls on the mount. This process hosts the USB bus, which answers the helper's USB requests
// from a thread of its own, and the bus's preload keeps one lock across each path call it wraps
// (open, stat, mkdir, close, ...): a wrapped call that waits for the helper would keep the bus
// from answering the helper. Raw system calls bypass the preload.
namespace sys {

int open(const fs::path& path, int flags, mode_t mode = 0) {
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), flags | O_CLOEXEC, mode));
}
int close(int fd) {
    return static_cast<int>(::syscall(SYS_close, fd));
}
ssize_t pread(int fd, void* buffer, uint64_t length, uint64_t offset) {
    return ::syscall(SYS_pread64, fd, buffer, length, static_cast<off_t>(offset));
}
ssize_t pwrite(int fd, const void* buffer, uint64_t length, uint64_t offset) {
    return ::syscall(SYS_pwrite64, fd, buffer, length, static_cast<off_t>(offset));
}
int ftruncate(int fd, uint64_t size) {
    return static_cast<int>(::syscall(SYS_ftruncate, fd, static_cast<off_t>(size)));
}
int truncate(const fs::path& path, uint64_t size) {
    return static_cast<int>(::syscall(SYS_truncate, path.c_str(), static_cast<off_t>(size)));
}
int fsync(int fd, bool dataOnly) {
    return static_cast<int>(::syscall(dataOnly ? SYS_fdatasync : SYS_fsync, fd));
}
// Asks the file system itself, not the kernel's cached attributes.
int statx(const fs::path& path, struct statx& attributes) {
    return static_cast<int>(::syscall(SYS_statx, AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC,
                                      STATX_TYPE | STATX_SIZE | STATX_INO, &attributes));
}
int rename(const fs::path& from, const fs::path& to, unsigned int flags = 0) {
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags));
}
int unlink(const fs::path& path) {
    return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path.c_str(), 0));
}
int mkdir(const fs::path& path) {
    return static_cast<int>(::syscall(SYS_mkdirat, AT_FDCWD, path.c_str(), 0755));
}
int rmdir(const fs::path& path) {
    return static_cast<int>(::syscall(SYS_unlinkat, AT_FDCWD, path.c_str(), AT_REMOVEDIR));
}

// The names in a folder, without "." and ".."; errno set when it cannot be listed.
std::optional<std::set<std::string>> names(const fs::path& folder) {
    const int fd = open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return std::nullopt;
    std::set<std::string> names;
    alignas(8) char buffer[16384];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return std::nullopt;
        }
        if (n == 0) break;
        for (long at = 0; at < n;) {
            // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
            uint16_t length;
            std::memcpy(&length, buffer + at + 16, sizeof length);
            const std::string name(buffer + at + 19);
            if (name != "." && name != "..") names.insert(name);
            at += length;
        }
    }
    close(fd);
    return names;
}

}  // namespace sys

// The path under another spelling: names are matched ignoring case.
std::string otherCase(std::string path) {
    for (char& c : path) {
        c = std::islower(static_cast<unsigned char>(c)) ? static_cast<char>(std::toupper(c))
                                                        : static_cast<char>(std::tolower(c));
    }
    return path;
}

struct OpenFile {
    int fd = -1;
    int access = O_RDONLY;  // O_RDONLY, O_WRONLY or O_RDWR
};

// Buffers for O_DIRECT, aligned to a page whatever the file system demands.
struct AlignedBuffer {
    explicit AlignedBuffer(size_t size)
        : data(static_cast<uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096))) {}
    ~AlignedBuffer() { std::free(data); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    uint8_t* data;
};

class FsxThroughKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "attaching loop devices needs root";
        seed_ = fromEnvironment("KESTRUM_FSX_SEED", 20261206);
        steps_ = fromEnvironment("KESTRUM_FSX_STEPS", 3000);
        random_.seed(seed_);
        store_ = std::make_unique<TempDir>();
        work_ = std::make_unique<TempDir>();
        // Files that come from a listing, whose first edit must ask the phone for their size.
        folders_ = {"", "A", "B"};
        files_["A/f0"] = pattern(30000);
        files_["B/f1"] = pattern(70000);
        files_["f2"] = pattern(5);
        for (const auto& folder : folders_) fs::create_directories(store() / folder);
        for (const auto& [path, content] : files_) {
            std::ofstream(store() / path, std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()),
                       static_cast<std::streamsize>(content.size()));
        }

        config_.serial = "FSX0001";
        config_.storages = {phonesim::StorageConfig{}};
        config_.storages[0].folder = store();
        phone_ = std::make_shared<phonesim::SimulatedPhone>(config_);
        bus_ = std::make_unique<usbbus::VirtualUsbBus>();
        bus_->plug(1, usbbus::profileFor(config_), phone_);
        writeImage(work() / "image", config_.serial, "Fsx", true);
        attached_ = std::make_unique<Attached>(work() / "image");
        fs::create_directory(mountPoint());
        mounted_ =
            std::make_unique<HelperMount>(bin / "mount.mtpfs", attached_->partition(), mountPoint(),
                                          work() / "helper.err", bus_->clientEnvironment());
        ASSERT_TRUE(mounted_->ok()) << mounted_->log();
        watchdog_ = std::jthread([this](std::stop_token stop) { watch(stop); });
    }

    void TearDown() override {
        watchdog_ = {};
        closeEverything();
        mounted_.reset();
        attached_.reset();
        bus_.reset();
    }

    fs::path store() const { return store_->path(); }
    fs::path work() const { return work_->path(); }
    fs::path mountPoint() const { return work() / "mnt"; }
    fs::path onMount(const std::string& path) const { return mountPoint() / path; }
    fs::path onPhone(const std::string& path) const { return store() / path; }

    uint64_t pick(uint64_t bound) {  // 0 ..< bound
        return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random_);
    }
    bool chance(int percent) { return pick(100) < static_cast<uint64_t>(percent); }
    template <typename Container>
    auto anyOf(const Container& container) {
        return *std::next(container.begin(), static_cast<long>(pick(container.size())));
    }

    Bytes pattern(size_t size) {
        std::mt19937_64 bytes(random_());
        Bytes content(size);
        for (size_t i = 0; i < size; i += 8) {
            const uint64_t word = bytes();
            std::memcpy(content.data() + i, &word, std::min<size_t>(8, size - i));
        }
        return content;
    }

    static int64_t now() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    // A helper that stops answering would leave this process waiting in the kernel for good
    // (its own bus thread could no longer serve the helper once the process is killed): after
    // a minute without progress the helper is killed, the mount's calls fail and the test
    // reports where it stood.
    void watch(const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (now() - progress_.load() > stallSeconds && mounted_ && mounted_->pid() > 0) {
                std::fprintf(stderr, "no progress for %d s at step %llu: killing the helper\n",
                             stallSeconds, static_cast<unsigned long long>(step_.load()));
                ::kill(mounted_->pid(), SIGKILL);
                return;
            }
        }
    }

    void note(std::string what) {
        progress_ = now();
        ++counts_[what.substr(0, what.find(' '))];
        what_ = std::move(what);
        history_.push_back("step " + std::to_string(step_.load()) + ": " + what_);
        if (history_.size() > 40) history_.pop_front();
    }

    // ---- Open descriptors ----

    int openOn(const std::string& path, int access, int extra = 0) {
        const int fd = sys::open(onMount(chance(20) ? otherCase(path) : path), access | extra);
        if (fd >= 0) open_[path].push_back({fd, access});
        return fd;
    }

    // A descriptor of path that can write (or read); now and then a new one, closing another
    // when the file has too many.
    int descriptorFor(const std::string& path, bool forWriting) {
        std::vector<int> usable;
        if (open_.contains(path)) {
            for (const OpenFile& file : open_[path]) {
                if (forWriting ? file.access != O_RDONLY : file.access != O_WRONLY) {
                    usable.push_back(file.fd);
                }
            }
        }
        if (!usable.empty() && chance(85)) return anyOf(usable);
        if (open_.contains(path) && open_[path].size() >= maxOpenPerFile) {
            closeOne(path, pick(open_[path].size()));
        }
        const int access =
            forWriting ? (chance(50) ? O_WRONLY : O_RDWR) : (chance(50) ? O_RDONLY : O_RDWR);
        const int fd = openOn(path, access);
        EXPECT_GE(fd, 0) << "open " << path << ": " << errorText(errno);
        return fd;
    }

    void closeOne(const std::string& path, size_t index) {
        std::vector<OpenFile>& open = open_[path];
        EXPECT_EQ(sys::close(open[index].fd), 0) << "close " << path << ": " << errorText(errno);
        open.erase(open.begin() + static_cast<long>(index));
        if (open.empty()) open_.erase(path);
    }

    void closeAll(const std::string& path) {
        while (open_.contains(path)) closeOne(path, open_[path].size() - 1);
    }

    void closeEverything() {
        for (auto& [path, open] : open_) {
            for (const OpenFile& file : open) sys::close(file.fd);
        }
        open_.clear();
    }

    // Moves the model's files, folders and descriptors under from to the same places under to.
    void moveModel(const std::string& from, const std::string& to) {
        const auto renamed = [&](const std::string& path) {
            return path == from ? to : to + path.substr(from.size());
        };
        const auto affected = [&](const std::string& path) {
            return path == from || isInside(path, from);
        };
        std::map<std::string, Bytes> files;
        for (auto& [path, content] : files_) {
            files[affected(path) ? renamed(path) : path] = std::move(content);
        }
        files_ = std::move(files);
        std::map<std::string, std::vector<OpenFile>> open;
        for (auto& [path, descriptors] : open_) {
            open[affected(path) ? renamed(path) : path] = std::move(descriptors);
        }
        open_ = std::move(open);
        std::set<std::string> folders;
        for (const auto& folder : folders_)
            folders.insert(affected(folder) ? renamed(folder) : folder);
        folders_ = std::move(folders);
    }

    bool folderIsEmpty(const std::string& folder) const {
        for (const auto& [path, content] : files_) {
            if (parentOf(path) == folder) return false;
        }
        for (const auto& other : folders_) {
            if (!other.empty() && parentOf(other) == folder) return false;
        }
        return true;
    }

    // ---- Checks ----

    // Reads length bytes at offset through fd (to the end of the file at most) and compares
    // them with the model.
    void checkRead(int fd, const std::string& path, uint64_t offset, uint64_t length, bool direct) {
        const Bytes& content = files_.at(path);
        AlignedBuffer buffer(length);
        uint64_t got = 0;
        while (got < length) {
            const ssize_t n = sys::pread(fd, buffer.data + got, length - got, offset + got);
            ASSERT_GE(n, 0) << what_ << ": pread: " << errorText(errno);
            if (n == 0) break;
            got += static_cast<uint64_t>(n);
        }
        const uint64_t expected =
            offset >= content.size() ? 0 : std::min(length, content.size() - offset);
        ASSERT_EQ(got, expected) << what_ << ": read of " << length << " at " << offset
                                 << (direct ? " (direct)" : " (buffered)");
        const auto first = content.begin() + static_cast<long>(std::min(offset, content.size()));
        const auto [mine, theirs] = std::mismatch(buffer.data, buffer.data + got, first);
        ASSERT_TRUE(mine == buffer.data + got)
            << what_ << ": read of " << length << " at " << offset
            << (direct ? " (direct)" : " (buffered)") << " differs at byte "
            << offset + static_cast<uint64_t>(mine - buffer.data);
    }

    // One file or folder path as the mount and the phone show it: absent, a folder, or a file
    // of the model's size (asked of the volume, not the kernel's cache) and, on the phone, the
    // model's content.
    void checkPath(const std::string& path) {
        struct statx attributes {};
        const int status = sys::statx(onMount(path), attributes);
        const int error = status == 0 ? 0 : errno;
        if (files_.contains(path)) {
            const Bytes& content = files_.at(path);
            ASSERT_EQ(status, 0) << what_ << ": stat " << path << ": " << errorText(error);
            ASSERT_TRUE(S_ISREG(attributes.stx_mode)) << what_ << ": " << path;
            ASSERT_EQ(attributes.stx_size, content.size()) << what_ << ": size of " << path;
            const std::optional<Bytes> phone = readWhole(onPhone(path));
            ASSERT_TRUE(phone) << what_ << ": " << path << " is missing on the phone";
            ASSERT_TRUE(*phone == content)
                << what_ << ": " << path << " on the phone: " << difference(*phone, content);
        } else if (folders_.contains(path)) {
            ASSERT_EQ(status, 0) << what_ << ": stat " << path << ": " << errorText(error);
            ASSERT_TRUE(S_ISDIR(attributes.stx_mode)) << what_ << ": " << path;
            ASSERT_TRUE(fs::is_directory(onPhone(path))) << what_ << ": " << path;
        } else {
            ASSERT_EQ(error, ENOENT) << what_ << ": " << path << " should be gone";
            ASSERT_FALSE(fs::exists(fs::symlink_status(onPhone(path))))
                << what_ << ": " << path << " is still on the phone";
        }
        // Another spelling finds the same item, or nothing either. The host drops the other
        // spellings from the kernel after a change, but asynchronously, and entries expire
        // after a second anyway: a stale spelling may answer for a moment (counted).
        if (path.empty()) return;
        const std::string other = otherCase(path);
        struct statx otherAttributes {};
        int otherError = 0;
        const auto agrees = [&] {
            otherError = sys::statx(onMount(other), otherAttributes) == 0 ? 0 : errno;
            if (status != 0) return otherError == ENOENT;
            return otherError == 0 && otherAttributes.stx_ino == attributes.stx_ino &&
                   otherAttributes.stx_size == attributes.stx_size;
        };
        if (!agrees()) {
            ++staleSpellings_[otherError    ? "error " + errorText(otherError)
                              : status != 0 ? "still found"
                                            : "another item"];
            const auto since = std::chrono::steady_clock::now();
            while (!agrees() &&
                   std::chrono::steady_clock::now() < since + std::chrono::seconds(2)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            longestStale_ = std::max(longestStale_, std::chrono::steady_clock::now() - since);
        }
        if (status != 0) {
            ASSERT_EQ(otherError, ENOENT) << what_ << ": " << other << " should be gone";
        } else {
            ASSERT_EQ(otherError, 0)
                << what_ << ": stat " << other << ": " << errorText(otherError);
            ASSERT_EQ(otherAttributes.stx_ino, attributes.stx_ino) << what_ << ": " << other;
            ASSERT_EQ(otherAttributes.stx_size, attributes.stx_size) << what_ << ": " << other;
        }
    }

    // The names in a folder of the mount and of the phone equal the model's.
    void checkListing(const std::string& folder) {
        std::set<std::string> expected;
        for (const auto& [path, content] : files_) {
            if (parentOf(path) == folder) expected.insert(path.substr(path.rfind('/') + 1));
        }
        for (const auto& other : folders_) {
            if (!other.empty() && parentOf(other) == folder) {
                expected.insert(other.substr(other.rfind('/') + 1));
            }
        }
        std::optional<std::set<std::string>> mounted = sys::names(onMount(folder));
        ASSERT_TRUE(mounted) << what_ << ": listing " << folder << ": " << errorText(errno);
        if (folder.empty()) {
            for (const auto& name : rootSynthetic) mounted->erase(name);
        }
        std::set<std::string> phone;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(onPhone(folder), error)) {
            phone.insert(entry.path().filename().string());
        }
        ASSERT_FALSE(error) << what_ << ": listing " << folder << " on the phone";
        ASSERT_EQ(*mounted, expected) << what_ << ": listing of '" << folder << "' on the mount";
        ASSERT_EQ(phone, expected) << what_ << ": listing of '" << folder << "' on the phone";
    }

    // Checks the paths a step touched, and those of an unchecked write before it.
    void checkAfterStep(std::set<std::string> paths) {
        paths.merge(unchecked_);
        unchecked_.clear();
        std::set<std::string> folders;
        for (const auto& path : paths) {
            checkPath(path);
            if (::testing::Test::HasFatalFailure()) return;
            folders.insert(parentOf(path));
        }
        for (const auto& folder : folders) {
            if (folders_.contains(folder)) checkListing(folder);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    void checkEverything() {
        for (const auto& folder : folders_) {
            checkListing(folder);
            if (::testing::Test::HasFatalFailure()) return;
        }
        for (const auto& [path, content] : files_) {
            checkPath(path);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    // ---- Operations ----

    std::string anyFile() {
        return std::next(files_.begin(), static_cast<long>(pick(files_.size())))->first;
    }

    void writeStep() {
        const std::string path = anyFile();
        Bytes& content = files_[path];
        const uint64_t size = content.size();
        const uint64_t where = pick(100);
        uint64_t offset = where < 60   ? pick(size + 1)
                          : where < 85 ? size + pick(1 << 20)  // a gap of zeros before it
                                       : pick(maxFileSize);
        offset = std::min(offset, maxFileSize - 1);
        const uint64_t kind = pick(100);
        uint64_t length = 1 + (kind < 50   ? pick(4096)
                               : kind < 85 ? pick(256 << 10)
                                           : pick(maxWrite));
        length = std::min(length, maxFileSize - offset);
        const int fd = descriptorFor(path, true);
        ASSERT_GE(fd, 0);
        note("write " + path + " fd " + std::to_string(fd) + " at " + std::to_string(offset) +
             " length " + std::to_string(length) + " (size " + std::to_string(size) + ")");
        const Bytes bytes = pattern(length);
        const ssize_t written = sys::pwrite(fd, bytes.data(), length, offset);
        ASSERT_EQ(written, static_cast<ssize_t>(length)) << what_ << ": " << errorText(errno);
        if (content.size() < offset + length) content.resize(offset + length, 0);
        std::copy(bytes.begin(), bytes.end(), content.begin() + static_cast<long>(offset));
        // Now and then the next step comes while the write may still be on its way to the
        // phone, and checks it.
        if (chance(30)) {
            unchecked_.insert(path);
            return;
        }
        // Read back what changed, with the gap before it, through the page cache or the volume.
        const uint64_t from = std::min(offset, size);
        if (chance(50)) {
            checkRead(descriptorFor(path, false), path, from, offset + length - from, false);
        } else {
            const int direct = sys::open(onMount(path), O_RDONLY | O_DIRECT);
            ASSERT_GE(direct, 0) << what_ << ": open O_DIRECT: " << errorText(errno);
            checkRead(direct, path, from, offset + length - from, true);
            sys::close(direct);
        }
        if (HasFatalFailure()) return;
        checkAfterStep({path});
    }

    // Consecutive writes as cp and dd make them, to one file or alternating between two, so
    // that runs of writes are gathered and handed on by another file's write.
    void streamStep() {
        std::vector<std::string> paths = {anyFile()};
        if (files_.size() > 1 && chance(40)) {
            while (paths.size() < 2) {
                const std::string other = anyFile();
                if (other != paths[0]) paths.push_back(other);
            }
        }
        const uint64_t chunk = chance(50) ? 128 << 10 : 1 + pick(128 << 10);
        const uint64_t count = 2 + pick(20);
        std::vector<uint64_t> starts, cursors;
        std::string what =
            "stream " + std::to_string(count) + " writes of " + std::to_string(chunk) + " to";
        for (const auto& path : paths) {
            const uint64_t size = files_[path].size();
            const uint64_t start =
                std::min(chance(70) ? size : pick(size + 1), maxFileSize - count * chunk);
            starts.push_back(start);
            what += " " + path + " at " + std::to_string(start) + " (size " + std::to_string(size) +
                    ")";
        }
        cursors = starts;
        std::vector<int> fds;
        for (const auto& path : paths) {
            fds.push_back(descriptorFor(path, true));
            ASSERT_GE(fds.back(), 0);
        }
        note(what);
        for (uint64_t i = 0; i < count; ++i) {
            for (size_t f = 0; f < paths.size(); ++f) {
                const Bytes bytes = pattern(chunk);
                const ssize_t written = sys::pwrite(fds[f], bytes.data(), chunk, cursors[f]);
                ASSERT_EQ(written, static_cast<ssize_t>(chunk))
                    << what_ << ": write " << i << " to " << paths[f] << ": " << errorText(errno);
                Bytes& content = files_[paths[f]];
                if (content.size() < cursors[f] + chunk) content.resize(cursors[f] + chunk, 0);
                std::copy(bytes.begin(), bytes.end(),
                          content.begin() + static_cast<long>(cursors[f]));
                cursors[f] += chunk;
            }
        }
        if (chance(30)) {
            unchecked_.insert(paths.begin(), paths.end());
            return;
        }
        for (size_t f = 0; f < paths.size(); ++f) {
            checkRead(descriptorFor(paths[f], false), paths[f], starts[f], cursors[f] - starts[f],
                      false);
            if (HasFatalFailure()) return;
        }
        checkAfterStep({paths.begin(), paths.end()});
    }

    // Changes through a shared mapping, written back by msync.
    void mapStep() {
        const std::string path = anyFile();
        Bytes& content = files_[path];
        if (content.empty()) return writeStep();
        const uint64_t offset = pick(content.size());
        const uint64_t length = 1 + pick(std::min<uint64_t>(content.size() - offset, 300 << 10));
        note("mmap " + path + " at " + std::to_string(offset) + " length " +
             std::to_string(length) + " (size " + std::to_string(content.size()) + ")");
        const int fd = sys::open(onMount(path), O_RDWR);
        ASSERT_GE(fd, 0) << what_ << ": open: " << errorText(errno);
        void* map = ::mmap(nullptr, content.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        const int error = errno;
        if (map == MAP_FAILED) sys::close(fd);
        ASSERT_NE(map, MAP_FAILED) << what_ << ": " << errorText(error);
        const Bytes bytes = pattern(length);
        std::memcpy(static_cast<uint8_t*>(map) + offset, bytes.data(), length);
        const int synced = ::msync(map, content.size(), MS_SYNC);
        const int syncError = errno;
        ::munmap(map, content.size());
        EXPECT_EQ(sys::close(fd), 0) << what_ << ": close: " << errorText(errno);
        ASSERT_EQ(synced, 0) << what_ << ": msync: " << errorText(syncError);
        std::copy(bytes.begin(), bytes.end(), content.begin() + static_cast<long>(offset));
        checkAfterStep({path});
    }

    void readStep() {
        const std::string path = anyFile();
        const uint64_t size = files_[path].size();
        const uint64_t offset = chance(10) ? pick(size + 8192) : pick(size + 1);
        const uint64_t length = 1 + (chance(70) ? pick(64 << 10) : pick(3 << 20));
        const bool direct = chance(50);
        // Sequential reads through the volume's read-ahead window, which later writes must
        // invalidate.
        const bool sequential = direct && chance(30);
        note(std::string(sequential ? "sequential " : "") + (direct ? "direct " : "") + "read " +
             path + " at " + std::to_string(offset) + " length " + std::to_string(length) +
             " (size " + std::to_string(size) + ")");
        if (sequential) {
            const int fd = sys::open(onMount(path), O_RDONLY | O_DIRECT);
            ASSERT_GE(fd, 0) << what_ << ": open O_DIRECT: " << errorText(errno);
            for (uint64_t at = offset; at < offset + length; at += 64 << 10) {
                checkRead(fd, path, at, std::min<uint64_t>(64 << 10, offset + length - at), true);
                if (HasFatalFailure()) break;
            }
            sys::close(fd);
        } else if (direct) {
            const int fd = sys::open(onMount(path), O_RDONLY | O_DIRECT);
            ASSERT_GE(fd, 0) << what_ << ": open O_DIRECT: " << errorText(errno);
            checkRead(fd, path, offset, length, true);
            sys::close(fd);
        } else {
            const int fd = descriptorFor(path, false);
            ASSERT_GE(fd, 0);
            checkRead(fd, path, offset, length, false);
        }
    }

    void truncateStep() {
        const std::string path = anyFile();
        Bytes& content = files_[path];
        const uint64_t size = content.size();
        const uint64_t kind = pick(100);
        const uint64_t newSize = std::min(maxFileSize, kind < 20   ? 0
                                                       : kind < 60 ? pick(size + 1)
                                                                   : size + pick(1 << 20));
        const bool byPath = chance(30);
        note(std::string(byPath ? "truncate " : "ftruncate ") + path + " to " +
             std::to_string(newSize) + " (size " + std::to_string(size) + ")");
        if (byPath) {
            ASSERT_EQ(sys::truncate(onMount(path), newSize), 0)
                << what_ << ": " << errorText(errno);
        } else {
            const int fd = descriptorFor(path, true);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(sys::ftruncate(fd, newSize), 0) << what_ << ": " << errorText(errno);
        }
        content.resize(newSize, 0);
        if (newSize > size && chance(50)) {
            checkRead(descriptorFor(path, false), path, size, newSize - size, false);
            if (HasFatalFailure()) return;
        }
        checkAfterStep({path});
    }

    void openStep() {
        const std::string path = anyFile();
        if (open_.contains(path) && open_[path].size() >= maxOpenPerFile) {
            note("close " + path + " (too many open)");
            closeOne(path, pick(open_[path].size()));
            return;
        }
        const int access = anyOf(std::vector<int>{O_RDONLY, O_WRONLY, O_RDWR});
        const bool truncate = access != O_RDONLY && chance(15);
        note("open " + path +
             (access == O_RDONLY   ? " read"
              : access == O_WRONLY ? " write"
                                   : " rw") +
             (truncate ? " O_TRUNC" : ""));
        const int fd = openOn(path, access, truncate ? O_TRUNC : 0);
        ASSERT_GE(fd, 0) << what_ << ": " << errorText(errno);
        if (truncate) files_[path].clear();
        checkAfterStep({path});
    }

    void closeStep() {
        if (open_.empty()) return readStep();
        const std::string path =
            std::next(open_.begin(), static_cast<long>(pick(open_.size())))->first;
        const size_t index = pick(open_[path].size());
        note("close " + path + " fd " + std::to_string(open_[path][index].fd));
        closeOne(path, index);
        checkAfterStep({path});
    }

    void fsyncStep() {
        const std::string path = anyFile();
        const int fd = descriptorFor(path, chance(70));
        ASSERT_GE(fd, 0);
        const bool data = chance(30);
        note(std::string(data ? "fdatasync " : "fsync ") + path + " fd " + std::to_string(fd));
        ASSERT_EQ(sys::fsync(fd, data), 0) << what_ << ": " << errorText(errno);
        // The phone has committed the file: no edit of it is open any more.
        const std::optional<uint32_t> handle = phone_->handleOf(phone_->storageID(0), path);
        ASSERT_TRUE(handle) << what_;
        const std::vector<uint32_t> edits = phone_->openEdits();
        ASSERT_EQ(std::count(edits.begin(), edits.end(), *handle), 0)
            << what_ << ": the edit of handle " << *handle << " is still open";
        checkAfterStep({path});
    }

    void createStep() {
        const std::string folder = anyOf(folders_);
        const std::string path = join(folder, anyOf(fileNames));
        if (folders_.contains(path)) return;
        const bool exists = files_.contains(path);
        if (!exists && files_.size() >= maxFiles) return unlinkStep();
        note("create " + path + (exists ? " (exists)" : ""));
        const int access = chance(50) ? O_RDWR : O_WRONLY;
        const int fd = sys::open(onMount(path), access | O_CREAT | O_EXCL, 0644);
        if (exists) {
            const int error = errno;
            if (fd >= 0) sys::close(fd);
            ASSERT_LT(fd, 0) << what_ << ": O_EXCL create of an existing file succeeded";
            ASSERT_EQ(error, EEXIST) << what_ << ": " << errorText(error);
        } else {
            ASSERT_GE(fd, 0) << what_ << ": " << errorText(errno);
            open_[path].push_back({fd, access});
            files_[path] = {};
        }
        checkAfterStep({path});
    }

    void unlinkStep() {
        const std::string path = anyFile();
        // A phone cannot keep a deleted object: the descriptors are closed first, now and then
        // only after the unlink, once synced (fsync and close then come for a deleted item and
        // have nothing left to commit).
        const bool closeFirst = chance(85);
        note("unlink " + path + (closeFirst ? "" : " (still open)"));
        if (closeFirst) closeAll(path);
        ASSERT_EQ(sys::unlink(onMount(path)), 0) << what_ << ": " << errorText(errno);
        files_.erase(path);
        if (open_.contains(path) && chance(50)) {
            const int fd = open_[path].front().fd;
            EXPECT_EQ(sys::fsync(fd, false), 0)
                << what_ << ": fsync after unlink: " << errorText(errno);
        }
        closeAll(path);
        checkAfterStep({path});
    }

    void renameStep() {
        const std::string from = anyFile();
        const std::string folder = chance(50) ? parentOf(from) : anyOf(folders_);
        const std::string to = join(folder, anyOf(fileNames));
        if (to == from || folders_.contains(to)) return;
        const bool over = files_.contains(to);
        const bool noReplace = over && chance(15);
        // The replaced file is deleted on the phone: its descriptors are closed, mostly before,
        // now and then after (their release then comes for a deleted item).
        const bool closeFirst = chance(85);
        note(std::string(noReplace ? "rename (no replace) " : "rename ") + from + " to " + to +
             (over ? " over an existing file" : "") +
             (over && !noReplace && !closeFirst && open_.contains(to) ? " (still open)" : ""));
        if (noReplace) {
            ASSERT_NE(sys::rename(onMount(from), onMount(to), RENAME_NOREPLACE), 0)
                << what_ << ": succeeded";
            ASSERT_EQ(errno, EEXIST) << what_ << ": " << errorText(errno);
        } else {
            if (over && closeFirst) closeAll(to);
            ASSERT_EQ(sys::rename(onMount(from), onMount(to)), 0)
                << what_ << ": " << errorText(errno);
            if (over) closeAll(to);
            files_[to] = std::move(files_[from]);
            files_.erase(from);
            if (open_.contains(from)) {
                open_[to] = std::move(open_[from]);
                open_.erase(from);
            }
        }
        checkAfterStep({from, to});
    }

    void mkdirStep() {
        const std::string parent = anyOf(folders_);
        const std::string path = join(parent, anyOf(folderNames));
        if (parent.find('/') != std::string::npos || files_.contains(path)) return;
        const bool exists = folders_.contains(path);
        if (!exists && folders_.size() > maxFolders) return rmdirStep();
        note("mkdir " + path + (exists ? " (exists)" : ""));
        const int status = sys::mkdir(onMount(path));
        if (exists) {
            ASSERT_NE(status, 0) << what_ << ": succeeded";
            ASSERT_EQ(errno, EEXIST) << what_ << ": " << errorText(errno);
        } else {
            ASSERT_EQ(status, 0) << what_ << ": " << errorText(errno);
            folders_.insert(path);
        }
        checkAfterStep({path});
    }

    void rmdirStep() {
        if (folders_.size() < 2) return mkdirStep();
        std::string path;
        while (path.empty()) path = anyOf(folders_);
        const bool empty = folderIsEmpty(path);
        note("rmdir " + path + (empty ? "" : " (not empty)"));
        const int status = sys::rmdir(onMount(path));
        if (empty) {
            ASSERT_EQ(status, 0) << what_ << ": " << errorText(errno);
            folders_.erase(path);
        } else {
            ASSERT_NE(status, 0) << what_ << ": succeeded";
            ASSERT_EQ(errno, ENOTEMPTY) << what_ << ": " << errorText(errno);
        }
        checkAfterStep({path});
    }

    // A folder renamed or moved, with what it holds, to a free name or over an empty folder.
    void renameFolderStep() {
        if (folders_.size() < 2) return mkdirStep();
        std::string from;
        while (from.empty()) from = anyOf(folders_);
        const std::string parent = anyOf(folders_);
        const std::string to = join(parent, anyOf(folderNames));
        const bool hasSubfolder = std::any_of(folders_.begin(), folders_.end(),
                                              [&](const auto& f) { return isInside(f, from); });
        if (to == from || isInside(to, from) || isInside(from, to) || files_.contains(to) ||
            (!parent.empty() && hasSubfolder) || parent.find('/') != std::string::npos) {
            return;
        }
        const bool over = folders_.contains(to);
        const bool overEmpty = over && folderIsEmpty(to);
        note("rename folder " + from + " to " + to +
             (over ? (overEmpty ? " over an empty folder" : " over a folder that is not empty")
                   : ""));
        const int status = sys::rename(onMount(from), onMount(to));
        if (over && !overEmpty) {
            ASSERT_NE(status, 0) << what_ << ": succeeded";
            ASSERT_EQ(errno, ENOTEMPTY) << what_ << ": " << errorText(errno);
            return checkAfterStep({from, to});
        }
        ASSERT_EQ(status, 0) << what_ << ": " << errorText(errno);
        folders_.erase(to);
        moveModel(from, to);
        std::set<std::string> touched = {from, to};
        for (const auto& [path, content] : files_) {
            if (isInside(path, to)) touched.insert(path);
        }
        checkAfterStep(touched);
    }

    void step() {
        const uint64_t choice = pick(100);
        if (files_.empty()) return createStep();
        if (choice < 22) return writeStep();
        if (choice < 26) return streamStep();
        if (choice < 28) return mapStep();
        if (choice < 44) return readStep();
        if (choice < 53) return truncateStep();
        if (choice < 59) return openStep();
        if (choice < 68) return closeStep();
        if (choice < 73) return fsyncStep();
        if (choice < 82) return renameStep();
        if (choice < 85) return unlinkStep();
        if (choice < 91) return createStep();
        if (choice < 94) return mkdirStep();
        if (choice < 97) return rmdirStep();
        return renameFolderStep();
    }

    std::string replay() const {
        std::string text = "KESTRUM_FSX_SEED=" + std::to_string(seed_) +
                           " KESTRUM_FSX_STEPS=" + std::to_string(step_.load()) +
                           "; last operations:\n";
        for (const auto& line : history_) text += "  " + line + "\n";
        return text + "helper log:\n" + (mounted_ ? mounted_->log() : std::string());
    }

    uint64_t seed_ = 0;
    uint64_t steps_ = 0;
    std::atomic<uint64_t> step_ = 0;
    std::atomic<int64_t> progress_ = now();
    std::jthread watchdog_;
    std::mt19937_64 random_;
    std::string what_ = "setup";
    std::deque<std::string> history_;
    std::map<std::string, uint64_t> counts_;          // operations run, by first word
    std::map<std::string, uint64_t> staleSpellings_;  // what a stale spelling answered
    std::chrono::steady_clock::duration longestStale_{};
    std::map<std::string, Bytes> files_;  // path from the storage's top level -> content
    std::set<std::string> folders_;       // "" is the storage's top level
    std::map<std::string, std::vector<OpenFile>> open_;
    std::set<std::string> unchecked_;  // written by the last step, checked by the next

    phonesim::PhoneConfig config_;
    std::shared_ptr<phonesim::SimulatedPhone> phone_;
    std::unique_ptr<TempDir> store_, work_;
    std::unique_ptr<usbbus::VirtualUsbBus> bus_;
    std::unique_ptr<Attached> attached_;
    std::unique_ptr<HelperMount> mounted_;
};

TEST_F(FsxThroughKernel, RandomOperationsMatchTheModel) {
    const auto start = std::chrono::steady_clock::now();
    std::printf("seed %llu, %llu steps\n", static_cast<unsigned long long>(seed_),
                static_cast<unsigned long long>(steps_));
    checkEverything();
    ASSERT_FALSE(HasFatalFailure()) << "before the first step";
    for (step_ = 1; step_ <= steps_; ++step_) {
        step();
        if (!HasFailure() && step_ % fullCheckEvery == 0) checkEverything();
        ASSERT_FALSE(HasFailure())
            << "failed at step " << step_.load() << ", replay with " << replay();
    }
    step_ = steps_;
    what_ = "after the last step";
    checkEverything();
    ASSERT_FALSE(HasFailure()) << replay();
    closeEverything();
    watchdog_ = {};
    const std::string log = mounted_->log();
    mounted_.reset();
    ASSERT_FALSE(isMounted(mountPoint()));

    // Unmounting ended every edit and the session.
    EXPECT_TRUE(phone_->openEdits().empty());
    EXPECT_FALSE(phone_->isSessionOpen());
    // The phone's storage folder holds exactly the model, byte for byte.
    std::set<std::string> expected, found;
    for (const auto& folder : folders_) {
        if (!folder.empty()) expected.insert(folder + "/");
    }
    for (const auto& [path, content] : files_) expected.insert(path);
    for (const auto& entry : fs::recursive_directory_iterator(store())) {
        const std::string path = fs::relative(entry.path(), store()).string();
        found.insert(entry.is_directory() ? path + "/" : path);
    }
    EXPECT_EQ(found, expected) << "files on the phone after the unmount; " << replay() << log;
    for (const auto& [path, content] : files_) {
        const std::optional<Bytes> phone = readWhole(onPhone(path));
        ASSERT_TRUE(phone) << path;
        EXPECT_TRUE(*phone == content)
            << path << " after the unmount: " << difference(*phone, content) << "; " << replay()
            << log;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu steps in %.1f s, %zu files and %zu folders at the end\n",
                static_cast<unsigned long long>(steps_), seconds, files_.size(),
                folders_.size() - 1);
    for (const auto& [answer, count] : staleSpellings_) {
        std::printf("another spelling stale for a moment (%s): %llu times\n", answer.c_str(),
                    static_cast<unsigned long long>(count));
    }
    if (!staleSpellings_.empty()) {
        std::printf(
            "longest: %lld ms\n",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(longestStale_).count()));
    }
    for (const auto& [operation, count] : counts_) {
        std::printf("  %-10s %llu\n", operation.c_str(), static_cast<unsigned long long>(count));
    }
}

}  // namespace
