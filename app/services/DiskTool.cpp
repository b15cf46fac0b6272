#include "app/services/DiskTool.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "app/services/AppLog.h"
#include "app/services/Worker.h"
#include "mtp/PlaceholderImage.h"

namespace brisvale {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* losetup = "/usr/sbin/losetup";
constexpr const char* partx = "/usr/bin/partx";
constexpr const char* udisksctl = "/usr/bin/udisksctl";
constexpr const char* fusermount = "/usr/bin/fusermount3";
constexpr const char* modprobe = "/usr/sbin/modprobe";
constexpr auto mountLimit = 60s;

// Argument vectors without initializer lists, whose arrays GCC 12 cannot keep in a coroutine.
template <typename... Arguments>
std::vector<std::string> argv(Arguments&&... arguments) {
    std::vector<std::string> vector;
    vector.reserve(sizeof...(arguments));
    (vector.emplace_back(std::forward<Arguments>(arguments)), ...);
    return vector;
}

fs::path xdgFolder(const char* variable, const char* fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && value[0] == '/') return value;
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / fallbackUnderHome;
}

std::string trimmedOf(std::string_view text) {
    const char* space = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(space) - first + 1));
}

// "/dev/loop3" when the first word of the output is one.
std::optional<std::string> loopDeviceIn(const std::string& output, const std::regex& pattern) {
    std::smatch match;
    if (!std::regex_search(output, match, pattern)) return std::nullopt;
    return match[1].str();
}

// Whether path lies inside folder (both without links resolved beyond the folder itself).
bool isInside(const fs::path& path, const fs::path& folder) {
    const std::string inner = path.lexically_normal().string();
    std::string outer = folder.lexically_normal().string();
    if (!outer.ends_with('/')) outer += '/';
    return inner.starts_with(outer);
}

fs::path resolvedFolder(const fs::path& folder) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(folder, error);
    return error ? folder : resolved;
}

std::string unescapeMountPath(std::string_view field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
            text += static_cast<char>(std::stoi(std::string(field.substr(i + 1, 3)), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

}  // namespace

DiskFolders DiskFolders::fromEnvironment() {
    const char* home = std::getenv("HOME");
    return {fs::path(home && home[0] == '/' ? home : "/") / "Phones",
            xdgFolder("XDG_CACHE_HOME", ".cache") / "Kestrum"};
}

fs::path defaultMountHelper() {
    if (QCoreApplication::instance()) {
        const fs::path beside =
            fs::path(QCoreApplication::applicationDirPath().toStdString()) / "mount.mtpfs";
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return "/sbin/mount.mtpfs";
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        size_t separator = 0;
        while (separator < words.size() && words[separator] != "-") ++separator;
        if (words.size() < 5 || separator + 2 >= words.size()) continue;
        entries.push_back({unescapeMountPath(words[4]), words[separator + 1],
                           unescapeMountPath(words[separator + 2])});
    }
    return entries;
}

std::vector<MountEntry> readMountTable() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return parseMountInfo(text.str());
}

DiskTool::DiskTool(ProcessRunner& runner, Clock& clock, Config config)
    : runner_(runner), clock_(clock), config_(std::move(config)) {}

std::string DiskTool::folderName(std::string_view displayName, const std::set<std::string>& taken) {
    std::string name(displayName);
    for (char& c : name) {
        if (c == '/' || c == ':') c = '-';
    }
    name = trimmedOf(name);
    name.erase(0, name.find_first_not_of('.'));
    if (name.find_first_not_of('.') == std::string::npos) name.clear();
    if (name.empty()) name = "Phone";
    if (!taken.contains(name)) return name;
    for (int number = 2;; ++number) {
        std::string candidate = name + " (" + std::to_string(number) + ")";
        if (!taken.contains(candidate)) return candidate;
    }
}

bool DiskTool::isExtensionStartFailure(std::string_view text) {
    for (std::string_view marker :
         {"Unable to invoke task", "communicate with a helper", "extensionKit.errorDomain",
          "_EXExtensionIdentity", "fuse: device not found"}) {
        if (text.find(marker) != std::string_view::npos) return true;
    }
    return false;
}

std::string DiskTool::wholeDisk(std::string_view name) {
    std::string base(name);
    if (base.starts_with("/dev/")) base.erase(0, 5);
    static const std::regex loop("^loop[0-9]+");
    std::smatch match;
    if (std::regex_search(base, match, loop)) return match.str();
    return base;
}

bool DiskTool::isMounted(const fs::path& path, std::string_view type) {
    std::error_code error;
    const fs::path resolved = fs::canonical(path, error);
    if (error) return false;
    for (const MountEntry& entry : readMountTable()) {
        if (entry.mountPoint != resolved.string()) continue;
        if (entry.type == type || entry.type == "fuse." + std::string(type)) return true;
    }
    return false;
}

QCoro::Task<std::string> DiskTool::attach(std::string id, std::string volumeName, bool writable) {
    fs::create_directories(config_.folders.images);
    const mtp::PlaceholderMarker marker(id, volumeName, writable);
    const fs::path image = config_.folders.images / (marker.containerID.toString() + ".img");
    {
        const auto bytes = mtp::placeholderImage(marker);
        // A link planted at the image's name is replaced, never written through.
        std::error_code ignored;
        if (fs::is_symlink(image, ignored)) fs::remove(image, ignored);
        std::ofstream out(image, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            throw fs::filesystem_error("cannot write the placeholder image", image,
                                       std::make_error_code(std::errc::io_error));
        }
    }
    if (config_.privileged) co_return co_await attachAsRoot(image);
    co_return co_await attachThroughUdisks(image);
}

QCoro::Task<std::string> DiskTool::attachAsRoot(fs::path image) {
    const std::string output = co_await runner_.run(
        losetup, argv("--find", "--show", "--partscan", "--read-only", image.string()));
    static const std::regex first(R"(^\s*(/dev/loop[0-9]+)\s)");
    const auto device = loopDeviceIn(output + "\n", first);
    if (!device) throw DiskToolError("losetup gave no disk: " + output);
    const std::string disk = device->substr(5);
    // Kernels without a GPT parser make no partition from --partscan; partx adds it. It fails
    // while the kernel still scans the new device, so it is tried again.
    const fs::path partition = *device + "p1";
    for (int attempt = 0; attempt < 30 && !fs::exists(partition); ++attempt) {
        if (attempt % 5 == 0) {
            std::vector<std::string> arguments{"-a", *device};
            co_await quietly(partx, std::move(arguments));
        }
        co_await clock_.sleep(100ms);
    }
    if (!fs::exists(partition)) {
        co_await detach(disk);
        throw DiskToolError("partition 1 of " + disk + " did not appear");
    }
    co_return disk;
}

QCoro::Task<std::string> DiskTool::attachThroughUdisks(fs::path image) {
    const std::string output = co_await runner_.run(
        udisksctl, argv("loop-setup", "--no-user-interaction", "-r", "-f", image.string()));
    static const std::regex mapped(R"( as (/dev/loop[0-9]+)\.)");
    const auto device = loopDeviceIn(output, mapped);
    if (!device) throw DiskToolError("udisksctl gave no disk: " + output);
    // No wait for partition 1: the helper is given the whole device (see mount).
    co_return device->substr(5);
}

QCoro::Task<void> DiskTool::mount(std::string disk, fs::path mountPoint, bool writable) {
    fs::create_directories(mountPoint);
    // Without root the helper gets the whole disk and finds partition 1 itself: a kernel
    // without a GPT parser makes no loopNp1 for a user (partx needs root), and desktop kernels
    // do; the whole disk works on both.
    const std::string device = "/dev/" + disk + (config_.privileged ? "p1" : "");
    std::vector<std::string> arguments{device, mountPoint.string()};
    if (!writable) arguments.insert(arguments.end(), {"-o", "ro"});
    for (int attempt = 0;; ++attempt) {
        std::exception_ptr failure;
        bool fuseMissing = false;
        try {
            co_await runner_.run(config_.helper.string(), arguments, ChildEnvironment::inherited,
                                 mountLimit);
            co_return;
        } catch (const ShellError& error) {
            if (!isExtensionStartFailure(error.stderrText)) throw;
            APP_LOG(info, "restarting the file system helper after: %s", error.stderrText.c_str());
            fuseMissing = error.stderrText.find("fuse: device not found") != std::string::npos;
            failure = std::current_exception();
        }
        if (fuseMissing) {
            std::vector<std::string> fuse{"fuse"};
            co_await quietly(modprobe, std::move(fuse));
        }
        if (attempt == 2) std::rethrow_exception(failure);
        co_await clock_.sleep(2s);
    }
}

QCoro::Task<void> DiskTool::quietly(std::string path, std::vector<std::string> arguments) {
    auto running = onWorker([&] {
        runner_.runQuietly(path, arguments, 30s);
        return true;
    });
    co_await running;
}

QCoro::Task<void> DiskTool::unmount(fs::path mountPoint, bool force) {
    if (!isMounted(mountPoint, "mtpfs")) co_return;
    if (force) {
        co_await runner_.run(fusermount, argv("-u", "-z", mountPoint.string()));
        co_return;
    }
    try {
        co_await runner_.run(fusermount, argv("-u", mountPoint.string()));
    } catch (const ShellError& error) {
        if (error.timedOut) throw;
        throw DiskToolError("unmount refused: " + error.description());
    }
}

QCoro::Task<void> DiskTool::detachOnce(const std::string& disk) {
    if (config_.privileged) {
        co_await runner_.run(losetup, argv("-d", "/dev/" + disk));
    } else {
        co_await runner_.run(udisksctl,
                             argv("loop-delete", "--no-user-interaction", "-b", "/dev/" + disk));
    }
}

QCoro::Task<void> DiskTool::detach(std::string disk) {
    try {
        co_await detachOnce(disk);
        co_return;
    } catch (const std::exception& error) {
        APP_LOG(debug, "detach %s failed, trying again: %s", disk.c_str(), error.what());
    }
    co_await clock_.sleep(500ms);
    try {
        co_await detachOnce(disk);
    } catch (const std::exception& error) {
        APP_LOG(error, "detach %s failed: %s", disk.c_str(), error.what());
    }
}

QCoro::Task<void> DiskTool::cleanup() {
    const fs::path volumes = resolvedFolder(config_.folders.volumes);
    const fs::path images = resolvedFolder(config_.folders.images);

    for (const MountEntry& entry : readMountTable()) {
        if (entry.type != "fuse.mtpfs" || !isInside(entry.mountPoint, volumes)) continue;
        try {
            co_await runner_.run(fusermount, argv("-u", "-z", entry.mountPoint));
            APP_LOG(info, "removed stale mount %s", entry.mountPoint.c_str());
        } catch (const std::exception& error) {
            APP_LOG(error, "stale mount %s: %s", entry.mountPoint.c_str(), error.what());
        }
    }

    std::string listing;
    try {
        listing = co_await runner_.run(losetup, argv("--list", "--json"));
    } catch (const std::exception& error) {
        APP_LOG(debug, "listing loop devices failed: %s", error.what());
    }
    const QJsonArray devices =
        QJsonDocument::fromJson(QByteArray::fromStdString(listing))["loopdevices"].toArray();
    for (const QJsonValue& device : devices) {
        std::string backing = device["back-file"].toString().toStdString();
        if (backing.ends_with(" (deleted)")) backing.resize(backing.size() - 10);
        const std::string name = device["name"].toString().toStdString();
        if (backing.empty() || !name.starts_with("/dev/loop") || !isInside(backing, images)) {
            continue;
        }
        co_await detach(name.substr(5));
        APP_LOG(info, "detached stale %s", name.c_str());
    }

    std::error_code error;
    for (const auto& entry : fs::directory_iterator(images, error)) {
        std::error_code ignored;
        if (entry.path().extension() == ".img" && !entry.is_directory(ignored)) {
            fs::remove(entry.path(), ignored);  // a link itself, never its target
        }
    }
    for (const auto& entry : fs::directory_iterator(volumes, error)) {
        std::error_code ignored;
        if (entry.is_symlink(ignored) || !entry.is_directory(ignored)) continue;
        ::rmdir(entry.path().c_str());  // only when empty
    }
}

}  // namespace brisvale
