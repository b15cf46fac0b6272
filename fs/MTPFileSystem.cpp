// Probe, load and unload, and reading the block device they are given.

#include "fs/MTPFileSystem.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

#include "fs/Log.h"
#include "mtp/MTPError.h"
#include "mtp/MTPSession.h"
#include "mtp/USBDiscovery.h"
#include "mtp/USBTransport.h"

namespace kestrum {

namespace {

constexpr size_t minimumBlock = 512;

// A sysfs attribute's text without the trailing newline; none when it cannot be read. Loop
// devices and their partitions are always the real kernel's, so the file is opened with the raw
// system call: an LD_PRELOAD USB test bed (umockdev) redirects every /sys path of libc's open to
// its own fake tree, where no block device exists.
std::optional<std::string> readSysfs(const std::string& path) {
    const int fd =
        static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text;
}

std::optional<uint64_t> readSysfsNumber(const std::string& path) {
    const auto text = readSysfs(path);
    if (!text) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end == text->data()) return std::nullopt;
    return value;
}

}  // namespace

// ---- DeviceResource ----

std::unique_ptr<DeviceResource> DeviceResource::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        uint32_t blockSize = minimumBlock;
        struct stat info {};
        int logical = 0;
        if (::fstat(fd, &info) == 0 && S_ISBLK(info.st_mode) &&
            ::ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0) {
            blockSize = static_cast<uint32_t>(logical);
        }
        return std::unique_ptr<DeviceResource>(new DeviceResource(fd, path, 0, blockSize));
    }
    const int openError = errno;
    struct stat info {};
    if ((openError == EACCES || openError == EPERM) && ::stat(path.c_str(), &info) == 0 &&
        S_ISBLK(info.st_mode)) {
        // /sys/dev/block/M:m is a link to the device's folder; "/.." of a partition's folder is
        // its disk, resolved by the kernel after following the link.
        const std::string node = "/sys/dev/block/" + std::to_string(major(info.st_rdev)) + ":" +
                                 std::to_string(minor(info.st_rdev));
        uint64_t start = 0;
        std::string disk = node;
        if (readSysfs(node + "/partition")) {
            start = readSysfsNumber(node + "/start").value_or(0) * 512;
            disk = node + "/..";
        }
        const auto backing = readSysfs(disk + "/loop/backing_file");
        if (backing && !backing->empty()) {
            const uint64_t offset = readSysfsNumber(disk + "/loop/offset").value_or(0);
            const uint64_t logical =
                readSysfsNumber(disk + "/queue/logical_block_size").value_or(minimumBlock);
            const int backingFD = ::open(backing->c_str(), O_RDONLY | O_CLOEXEC);
            if (backingFD >= 0) {
                return std::unique_ptr<DeviceResource>(new DeviceResource(
                    backingFD, *backing, offset + start, static_cast<uint32_t>(logical)));
            }
        }
    }
    throw std::system_error(openError, std::generic_category(), path.string());
}

DeviceResource::~DeviceResource() {
    ::close(fd_);
}

size_t DeviceResource::read(uint64_t offset, std::span<uint8_t> buffer) const {
    size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t n = ::pread(fd_, buffer.data() + filled, buffer.size() - filled,
                                  static_cast<off_t>(base_ + offset + filled));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::system_error(errno, std::generic_category(), source_.string());
        if (n == 0) break;
        filled += static_cast<size_t>(n);
    }
    return filled;
}

// ---- MTPFileSystem ----

MTPFileSystem::Phones MTPFileSystem::Phones::system() {
    return Phones{
        [] { return mtp::USBDiscovery().allDevices(); },
        [](const mtp::USBDeviceRecord& record) -> std::unique_ptr<mtp::BulkTransport> {
            return mtp::USBTransport::create(record);
        },
    };
}

MTPFileSystem::MTPFileSystem(Phones phones) : phones_(std::move(phones)) {}

MTPFileSystem::~MTPFileSystem() = default;

std::optional<mtp::PlaceholderMarker> MTPFileSystem::readMarker(const BlockResource& resource) {
    std::vector<uint8_t> block(std::max<size_t>(resource.blockSize(), minimumBlock));
    try {
        if (resource.read(0, block) != block.size()) return std::nullopt;
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return mtp::PlaceholderMarker::decode(block);
}

ProbeResult MTPFileSystem::probe(const BlockResource& resource) const {
    const auto marker = readMarker(resource);
    if (!marker) return {};
    return ProbeResult{true, marker->name, marker->containerID};
}

LoadReply MTPFileSystem::load(const BlockResource& resource, LoadOptions options) {
    const auto step = [&options](const char* name) {
        if (options.stepDone) options.stepDone(name);
    };
    const auto marker = readMarker(resource);
    if (!marker) return LoadReply{nullptr, EINVAL, {}};
    step("marker");
    try {
        const auto records = phones_.attached();
        step("discovery");
        const auto phone = std::find_if(records.begin(), records.end(), [&](const auto& record) {
            return mtp::containerIDFor(record.id) == marker->containerID;
        });
        if (phone == records.end()) {
            throw mtp::MTPTransportError("phone " + marker->serial + " is not connected");
        }
        auto session = std::make_unique<mtp::MTPSession>(phones_.open(*phone));
        step("transport");
        session->open();
        step("session");
        auto volume =
            std::make_unique<Volume>(std::move(session), marker->writable && !options.readOnly);
        step("storages");
        volume_ = std::move(volume);
        Log::info("serving %s (%s) %s", marker->name.c_str(), marker->serial.c_str(),
                  volume_->isWritable() ? "read-write" : "read-only");
        return LoadReply{volume_.get(), 0, {}};
    } catch (const std::exception& error) {
        Log::error("load %s failed: %s", marker->serial.c_str(), error.what());
        return LoadReply{nullptr, EIO, error.what()};
    }
}

void MTPFileSystem::unload() {
    if (!volume_) return;
    volume_->queue().runSync([this] { volume_->shutdown(); });
    volume_.reset();
}

}  // namespace kestrum
