// mount.mtpfs DEVICE MOUNTPOINT [-o OPTIONS] [-f]: the mount helper. Reads the placeholder
// marker from DEVICE, loads the phone it names (before anything is mounted, so a failed load
// leaves nothing behind), mounts the volume on MOUNTPOINT with FUSE, goes to the background once
// the mount answers, serves it until it is unmounted, then unloads.
//
// Exit status (the caller's only answer, as mount(8) helpers do):
//   0   the volume is mounted and served (the background process carries on);
//   1   bad command line or mount options;
//   5   (EIO) the load failed: the phone is not connected, cannot be opened, its session or
//       storage listing failed, or it shows no storage (locked); the reason is on stderr;
//   22  (EINVAL) the marker could not be read again at load;
//   32  not recognised (no placeholder marker, DEVICE unreadable), or the mount itself failed
//       (mount point missing, FUSE refused);
//   4   the serving process died before it reported.
// A failed load exits with the POSIX number the load replied; everything before the load uses
// mount(8)'s numbers.
//
// Options: "ro" serves read-only whatever the marker asks; "rw" and mount(8)'s own options
// (defaults, auto, user, nofail, x-..., ...) are accepted and dropped; fsname, subtype and
// max_read are the helper's own; everything else goes to FUSE as given (allow_other, nosuid,
// noatime, debug, ...). The mount always carries fsname=DEVICE, subtype=mtpfs (so it shows as
// fuse.mtpfs), default_permissions (the kernel checks the volume's modes) and ro when the volume
// is not writable. -f keeps the helper in the foreground; -s, -n, -v, -t TYPE and -N NAMESPACE
// (from mount(8)) are ignored.
//
// With KESTRUM_MOUNT_TRACE set in the environment, each step of the mount writes a line
// "mount.mtpfs: trace SECONDS STEP" to stderr, SECONDS on the system's monotonic clock, so that
// a caller can see where a mount's time goes.

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fs/FuseHost.h"
#include "fs/MTPFileSystem.h"
#include "mtp/PlaceholderImage.h"

namespace {

constexpr int exitUsage = 1;
constexpr int exitDied = 4;
constexpr int exitNotRecognised = 32;
constexpr int exitMountFailed = 32;
constexpr const char* program = "mount.mtpfs";

// The optional timing trace. Lines go out at once, unbuffered: the serving process's stderr is
// closed when it goes to the background.
class Trace {
  public:
    Trace() : enabled_(::getenv("KESTRUM_MOUNT_TRACE") != nullptr) {}
    void step(const char* name) const {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        fprintf(stderr, "%s: trace %.6f %s\n", program, std::chrono::duration<double>(now).count(),
                name);
    }

  private:
    bool enabled_;
};

const Trace trace;

struct Arguments {
    std::string device;
    std::string mountPoint;
    bool foreground = false;
    bool readOnly = false;
    std::vector<std::string> fuseOptions;  // passed through to FUSE
};

void usage(FILE* to) {
    fprintf(to,
            "usage: %s DEVICE MOUNTPOINT [-o OPTIONS] [-f]\n"
            "  serves the phone named by the placeholder marker on DEVICE at MOUNTPOINT\n"
            "  -o ro     read-only whatever the marker asks\n"
            "  -o OPT    other options go to FUSE (allow_other, nosuid, noatime, debug, ...)\n"
            "  -f        stay in the foreground\n",
            program);
}

bool isMountOnlyOption(std::string_view option) {
    static const std::string_view dropped[] = {
        "rw",    "defaults", "auto",  "noauto", "user",    "nouser",
        "users", "owner",    "group", "nofail", "_netdev", "loop",
    };
    for (const auto name : dropped) {
        if (option == name) return true;
    }
    return option.starts_with("x-") || option.starts_with("comment=") ||
           option.starts_with("fsname=") || option.starts_with("subtype=") ||
           option.starts_with("max_read=");
}

void addOptions(Arguments& arguments, std::string_view list) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        const std::string_view option = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (option.empty() || isMountOnlyOption(option)) continue;
        if (option == "ro") {
            arguments.readOnly = true;
        } else {
            arguments.fuseOptions.emplace_back(option);
        }
    }
}

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments arguments;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-o" || arg == "-t" || arg == "-N") {
            if (++i == argc) return std::nullopt;
            if (arg == "-o") addOptions(arguments, argv[i]);
        } else if (arg.starts_with("-o") && arg.size() > 2) {
            addOptions(arguments, arg.substr(2));
        } else if (arg == "-f") {
            arguments.foreground = true;
        } else if (arg == "-s" || arg == "-n" || arg == "-v") {
            // mount(8)'s sloppy, no-mtab and verbose flags: nothing to do.
        } else if (arg.starts_with("-") && arg != "-") {
            return std::nullopt;
        } else {
            positional.emplace_back(arg);
        }
    }
    if (positional.size() != 2) return std::nullopt;
    arguments.device = positional[0];
    arguments.mountPoint = positional[1];
    return arguments;
}

// FUSE's option syntax: "," separates, "\" escapes.
std::string escaped(std::string_view value) {
    std::string text;
    for (const char c : value) {
        if (c == ',' || c == '\\') text += '\\';
        text += c;
    }
    return text;
}

std::string fuseOptionList(const Arguments& arguments, bool readOnly) {
    std::string list = "fsname=" + escaped(arguments.device) +
                       ",subtype=mtpfs,default_permissions,max_read=" +
                       std::to_string(kestrum::FuseHost::maxTransfer);
    if (readOnly) list += ",ro";
    for (const auto& option : arguments.fuseOptions) list += "," + option;
    return list;
}

// A FUSE session over the options; null when libfuse refuses them (it says why on stderr).
struct SessionArgs {
    std::vector<std::string> strings;
    std::vector<char*> pointers;
    fuse_args args{};
    explicit SessionArgs(std::string options) : strings{program, "-o", std::move(options)} {
        for (auto& s : strings) pointers.push_back(s.data());
        args = FUSE_ARGS_INIT(static_cast<int>(pointers.size()), pointers.data());
    }
    ~SessionArgs() { fuse_opt_free_args(&args); }
};

bool optionsAccepted(const Arguments& arguments) {
    SessionArgs args(fuseOptionList(arguments, arguments.readOnly));
    fuse_lowlevel_ops none{};
    fuse_session* session = fuse_session_new(&args.args, &none, sizeof none, nullptr);
    if (!session) return false;
    fuse_session_destroy(session);
    return true;
}

// The "major:minor" of the FUSE mount at mountPoint (a canonical path), from the mount table:
// stat() on the mount point would wait for this very process to answer.
std::optional<std::string> mountDevice(const std::string& mountPoint) {
    std::ifstream table("/proc/self/mountinfo");
    std::optional<std::string> found;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        // Spaces and the like are written as a backslash and three octal digits.
        std::string unescaped;
        for (size_t i = 0; i < point.size(); ++i) {
            const auto octal = [&](size_t at) { return point[at] >= '0' && point[at] <= '7'; };
            if (point[i] == '\\' && i + 3 < point.size() && octal(i + 1) && octal(i + 2) &&
                octal(i + 3)) {
                unescaped += static_cast<char>((point[i + 1] - '0') * 64 +
                                               (point[i + 2] - '0') * 8 + (point[i + 3] - '0'));
                i += 3;
            } else {
                unescaped += point[i];
            }
        }
        if (unescaped == mountPoint && line.find(" - fuse.mtpfs ") != std::string::npos) {
            found = device;
        }
    }
    return found;
}

// Lets the kernel's read-ahead ask for 1 MiB reads (its default is 128 KiB). Only root may; the
// mount works without it. Written after INIT, which would otherwise lower it again. Raw system
// call: an LD_PRELOAD USB test bed redirects libc's /sys paths to its own tree.
void raiseReadAhead(const std::string& mountPoint) {
    if (geteuid() != 0) return;
    const auto device = mountDevice(mountPoint);
    if (!device) return;
    const std::string path = "/sys/class/bdi/" + *device + "/read_ahead_kb";
    const int fd =
        static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path.c_str(), O_WRONLY | O_CLOEXEC, 0));
    if (fd < 0) return;
    const std::string value = std::to_string(kestrum::FuseHost::maxTransfer / 1024) + "\n";
    if (::write(fd, value.data(), value.size()) < 0) {
        fprintf(stderr, "%s: cannot set %s: %s\n", program, path.c_str(), strerror(errno));
    }
    ::close(fd);
}

// Answers the kernel's INIT, the first request of every mount, before anything else: once it
// is answered the mount is usable, and settings made after it stay.
bool answerInit(fuse_session* session) {
    fuse_buf buffer{};
    int received;
    do {
        received = fuse_session_receive_buf(session, &buffer);
    } while (received == -EINTR);
    if (received > 0) fuse_session_process_buf(session, &buffer);
    free(buffer.mem);
    return received > 0 && !fuse_session_exited(session);
}

// Reports the outcome to the waiting parent (if any) once. After success the serving process
// leaves the caller's terminal and session.
class Outcome {
  public:
    explicit Outcome(int pipe) : pipe_(pipe) {}
    // Does nothing after the first report.
    void report(int status) {
        if (pipe_ < 0) return;
        if (status == 0) {
            const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (null >= 0) {
                ::dup2(null, STDIN_FILENO);
                ::dup2(null, STDOUT_FILENO);
                ::dup2(null, STDERR_FILENO);
                ::close(null);
            }
            ::setsid();
            if (::chdir("/") != 0) {
            }
        }
        const unsigned char byte = static_cast<unsigned char>(status);
        while (::write(pipe_, &byte, 1) < 0 && errno == EINTR) {
        }
        ::close(pipe_);
        pipe_ = -1;
    }

  private:
    int pipe_;
};

// The parent's side of daemonising: waits for the serving process's outcome.
int awaitChild(pid_t child, int pipe) {
    unsigned char status = 0;
    ssize_t n;
    do {
        n = ::read(pipe, &status, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return status;
    int wstatus = 0;
    if (::waitpid(child, &wstatus, 0) == child && WIFEXITED(wstatus) && WEXITSTATUS(wstatus)) {
        return WEXITSTATUS(wstatus);
    }
    fprintf(stderr, "%s: the serving process ended before mounting\n", program);
    return exitDied;
}

// Partition 1 of a whole disk, read through the disk.
class PartitionResource final : public kestrum::BlockResource {
  public:
    PartitionResource(std::unique_ptr<kestrum::BlockResource> disk, uint64_t start)
        : disk_(std::move(disk)), start_(start) {}
    uint32_t blockSize() const override { return disk_->blockSize(); }
    size_t read(uint64_t offset, std::span<uint8_t> buffer) const override {
        return disk_->read(start_ + offset, buffer);
    }

  private:
    std::unique_ptr<kestrum::BlockResource> disk_;
    uint64_t start_;
};

// The resource whose first block holds the marker: the device itself, or its partition 1 when
// the device is a whole placeholder disk. A kernel without a GPT parser makes no partition
// device for an unprivileged user (partx needs root), so the whole loop device is accepted.
std::unique_ptr<kestrum::BlockResource> placeholderOn(
    std::unique_ptr<kestrum::BlockResource> device) {
    if (kestrum::MTPFileSystem().probe(*device).recognized) return device;
    std::optional<uint64_t> start;
    try {
        start = mtp::placeholderPartitionOffset(
            [&](uint64_t offset, std::span<uint8_t> buffer) {
                return device->read(offset, buffer);
            },
            device->blockSize());
    } catch (const std::system_error&) {
    }
    if (!start) return nullptr;
    auto partition = std::make_unique<PartitionResource>(std::move(device), *start);
    if (!kestrum::MTPFileSystem().probe(*partition).recognized) return nullptr;
    return partition;
}

// Load, mount, serve, unload. Runs in the serving process.
int serve(const Arguments& arguments, std::unique_ptr<kestrum::BlockResource> resource,
          const std::string& mountPoint, Outcome& outcome) {
    kestrum::MTPFileSystem fileSystem;
    const kestrum::LoadReply reply = fileSystem.load(
        *resource, {arguments.readOnly, [](const char* step) { trace.step(step); }});
    resource.reset();  // the device is not read again; do not keep it busy
    if (!reply.volume) {
        if (reply.error == EINVAL) {
            fprintf(stderr, "%s: %s: not an MTP placeholder\n", program, arguments.device.c_str());
        } else {
            fprintf(stderr, "%s: %s: %s\n", program, arguments.device.c_str(),
                    reply.description.c_str());
        }
        outcome.report(reply.error);
        return reply.error;
    }

    kestrum::FuseHost host(fileSystem);
    SessionArgs args(fuseOptionList(arguments, reply.volume->requestsReadOnly()));
    fuse_session* session = host.newSession(args.args);
    if (!session) {
        fileSystem.unload();
        outcome.report(exitUsage);
        return exitUsage;
    }
    int status = 0;
    if (fuse_set_signal_handlers(session) != 0 ||
        fuse_session_mount(session, mountPoint.c_str()) != 0) {
        status = exitMountFailed;
    } else if (trace.step("mount"), !answerInit(session)) {
        fprintf(stderr, "%s: %s: the kernel did not start the mount\n", program,
                mountPoint.c_str());
        fuse_session_unmount(session);
        status = exitMountFailed;
    } else {
        trace.step("init");
        raiseReadAhead(mountPoint);
        trace.step("serving");
        outcome.report(0);
        fuse_session_loop(session);
        host.drain();
        fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
    fuse_session_destroy(session);  // destroy unloads once INIT was answered
    fileSystem.unload();
    // A failure is reported only now, with the phone released: the caller may retry at once.
    outcome.report(status);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        usage(stdout);
        return 0;
    }
    const auto arguments = parse(argc, argv);
    if (!arguments) {
        usage(stderr);
        return exitUsage;
    }
    trace.step("start");
    if (!optionsAccepted(*arguments)) return exitUsage;
    trace.step("options");

    std::unique_ptr<kestrum::BlockResource> resource;
    try {
        resource = placeholderOn(kestrum::DeviceResource::open(arguments->device));
    } catch (const std::system_error& error) {
        fprintf(stderr, "%s: %s: %s\n", program, arguments->device.c_str(),
                error.code().message().c_str());
        return exitNotRecognised;
    }
    if (!resource) {
        fprintf(stderr, "%s: %s: not an MTP placeholder\n", program, arguments->device.c_str());
        return exitNotRecognised;
    }
    trace.step("probe");
    char canonical[PATH_MAX];
    if (!::realpath(arguments->mountPoint.c_str(), canonical)) {
        fprintf(stderr, "%s: %s: %s\n", program, arguments->mountPoint.c_str(), strerror(errno));
        return exitMountFailed;
    }

    // Daemonise before the load: the USB transport and the volume's queue start threads, which
    // a later fork would not carry into the child.
    int pipeEnds[2] = {-1, -1};
    if (!arguments->foreground) {
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            perror(program);
            return exitMountFailed;
        }
        const pid_t child = ::fork();
        if (child < 0) {
            perror(program);
            return exitMountFailed;
        }
        if (child > 0) {
            ::close(pipeEnds[1]);
            return awaitChild(child, pipeEnds[0]);
        }
        ::close(pipeEnds[0]);
    }
    Outcome outcome(pipeEnds[1]);
    return serve(*arguments, std::move(resource), canonical, outcome);
}
