#pragma once
// Everything the app does to the system's disk machinery for a phone: the mount folder, the
// placeholder image, attaching it as a loop device, mounting it with the mount helper,
// unmounting, detaching, and removing what an earlier run left behind.

#include <chrono>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include <unistd.h>

#include <qcoro/qcorotask.h>

#include "app/services/Clock.h"
#include "app/services/ShellRunner.h"

namespace brisvale {

struct DiskToolError : std::exception {
    std::string description;
    explicit DiskToolError(std::string description) : description(std::move(description)) {}
    const char* what() const noexcept override { return description.c_str(); }
    bool operator==(const DiskToolError& other) const { return description == other.description; }
};

// Where the app keeps mount folders and images.
struct DiskFolders {
    std::filesystem::path volumes;  // one mount folder per mounted phone
    std::filesystem::path images;   // one placeholder image per phone, "<UUID>.img"
    // ~/Phones and $XDG_CACHE_HOME/Kestrum (~/.cache/Kestrum when unset or not absolute).
    // File managers (GIO) show a user's mounts in the sidebar only under /media, /run/media/USER
    // (udisks' own, not writable by us) or the home folder outside any dot folder, so the mount
    // folders cannot live under ~/.local/share.
    static DiskFolders fromEnvironment();
    bool operator==(const DiskFolders&) const = default;
};

// The mount helper the app runs: mount.mtpfs next to the running program when there is one
// (a build or an unpacked install), else the installed /sbin/mount.mtpfs.
std::filesystem::path defaultMountHelper();

// One per app model; every operation on the main thread. Tool runs suspend the caller.
class DiskTool {
  public:
    struct Config {
        DiskFolders folders = DiskFolders::fromEnvironment();
        std::filesystem::path helper = defaultMountHelper();
        // Root attaches with losetup (and partx), anyone else through udisks and mounts the
        // whole disk.
        bool privileged = ::geteuid() == 0;
    };

    // Keeps references to runner and clock, which must outlive the tool.
    DiskTool(ProcessRunner& runner, Clock& clock, Config config);

    const DiskFolders& folders() const { return config_.folders; }

    // A mount folder name for a phone's display name that is not in `taken`: "/" and ":"
    // become "-", white space is trimmed, leading dots dropped, "Phone" when nothing is left,
    // then " (2)", " (3)", ... until the name is free.
    static std::string folderName(std::string_view displayName, const std::set<std::string>& taken);

    // Writes the phone's placeholder image ("<container UUID>.img" in the image folder) and
    // attaches it read-only (losetup as root, udisks otherwise); returns the loop device's name
    // ("loop3"). As root its partition 1 exists on return. Throws
    // std::filesystem::filesystem_error, ShellError, DiskToolError.
    QCoro::Task<std::string> attach(std::string id, std::string volumeName, bool writable);

    // Creates the mount folder and runs the mount helper on partition 1 of the disk (as root) or
    // on the whole disk (otherwise: the helper finds partition 1), "-o ro" unless writable. A
    // failure that means the helper could not start serving (FUSE missing) is retried twice, 2 s
    // apart. Throws std::filesystem::filesystem_error, ShellError, DiskToolError.
    QCoro::Task<void> mount(std::string disk, std::filesystem::path mountPoint, bool writable);

    // Nothing when the folder is not an mtpfs mount point. Forced: lazy unmount, a failure is
    // thrown as ShellError. Unforced: a refusal (a file open on it) throws DiskToolError
    // "unmount refused: <reason>".
    QCoro::Task<void> unmount(std::filesystem::path mountPoint, bool force);

    // Detaches the loop device; tried twice, the second failure ignored. Never throws.
    QCoro::Task<void> detach(std::string disk);

    // Once at start: force-unmounts fuse.mtpfs mounts inside the volumes folder, detaches loop
    // devices whose backing file is in the image folder, deletes the images and the empty
    // mount folders. Never follows a link out of the two folders. Never throws.
    QCoro::Task<void> cleanup();

    // Whether that exact path (links resolved) is a mount point of that type ("mtpfs" also
    // matches "fuse.mtpfs"), from /proc/self/mountinfo.
    static bool isMounted(const std::filesystem::path& path, std::string_view type);

    // Whether a failed mount's stderr says the helper could not start serving: the helper's
    // four texts and "fuse: device not found".
    static bool isExtensionStartFailure(std::string_view stderrText);

    // The loop device of a device path or name ("/dev/loop3p1" and "loop3p1" give "loop3");
    // other names are returned unchanged.
    static std::string wholeDisk(std::string_view name);

  private:
    QCoro::Task<std::string> attachAsRoot(std::filesystem::path image);
    QCoro::Task<std::string> attachThroughUdisks(std::filesystem::path image);
    QCoro::Task<void> detachOnce(const std::string& disk);
    // runQuietly on a worker.
    QCoro::Task<void> quietly(std::string path, std::vector<std::string> arguments);

    ProcessRunner& runner_;
    Clock& clock_;
    Config config_;
};

// One line of /proc/self/mountinfo, with the escapes (\040 ...) of its paths undone.
struct MountEntry {
    std::string mountPoint;
    std::string type;    // "fuse.mtpfs"
    std::string source;  // "/dev/loop3p1"
    bool operator==(const MountEntry&) const = default;
};
std::vector<MountEntry> parseMountInfo(std::string_view text);
std::vector<MountEntry> readMountTable();

}  // namespace brisvale
