#pragma once
// What the mount benchmarks share: shell commands run against the real /sys, a placeholder
// attached as a loop device, and mount.mtpfs serving it. Every resource is undone by its
// destructor. Needs root.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mtp/PlaceholderImage.h"
#include "tests/common/TestSupport.h"

extern char** environ;

namespace kestrume2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::TempDir;

struct Result {
    int status = 0;
    std::string output;  // standard output and standard error
};

inline std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

// The mount helper built beside the running benchmark.
inline fs::path helperBeside() {
    return fs::read_symlink("/proc/self/exe").parent_path() / "mount.mtpfs";
}

// A field of /proc/PID/status that is given in KiB ("VmRSS:", "VmHWM:"), in MiB.
inline double statusMiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(field)) {
            return static_cast<double>(std::strtoull(line.c_str() + field.size(), nullptr, 10)) /
                   1024;
        }
    }
    throw std::runtime_error("no " + field + " in /proc/" + std::to_string(pid) + "/status");
}

// The machine's CPU time so far, from /proc/stat, in clock ticks: all of it and the part not idle.
struct CpuTimes {
    uint64_t busy = 0, total = 0;

    static CpuTimes now() {
        std::ifstream stat("/proc/stat");
        std::string cpu;
        stat >> cpu;
        CpuTimes times;
        uint64_t field = 0;
        for (int i = 0; i < 8 && stat >> field; ++i) {
            times.total += field;
            if (i != 3 && i != 4) times.busy += field;  // idle and iowait
        }
        return times;
    }
    // Cores kept busy from `before` to this sample, by anything on the machine.
    double coresSince(const CpuTimes& before) const {
        const double share = total == before.total ? 0
                                                   : static_cast<double>(busy - before.busy) /
                                                         static_cast<double>(total - before.total);
        return share * static_cast<double>(std::thread::hardware_concurrency());
    }
};

// Runs a shell command line without the USB test bed's preload (losetup, partx and the like
// must see the real /sys) and collects its output.
inline Result run(const std::string& command) {
    std::string escaped;
    for (const char c : command) escaped += c == '\'' ? std::string("'\\''") : std::string(1, c);
    FILE* pipe =
        ::popen(("env -u LD_PRELOAD -u UMOCKDEV_DIR bash -c '" + escaped + "' 2>&1").c_str(), "r");
    if (!pipe) return {-1, "popen failed"};
    Result result;
    char chunk[4096];
    while (const size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        result.output.append(chunk, n);
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

inline std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a mount sits at mountPoint (a path without spaces).
inline bool isMounted(const fs::path& mountPoint) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line, skip, point; std::getline(table, line);) {
        std::istringstream(line) >> skip >> skip >> skip >> skip >> point;
        if (point == mountPoint.string()) return true;
    }
    return false;
}

// Writes the placeholder image of the phone whose device id is id.
inline void writeImage(const fs::path& path, const std::string& id, const std::string& name,
                       bool writable = false) {
    const auto image = mtp::placeholderImage(mtp::PlaceholderMarker(id, name, writable));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// An image attached read-only as /dev/loopN, with its partition /dev/loopNp1.
class Attached {
  public:
    explicit Attached(const fs::path& image) : image_(fs::canonical(image)) {
        const Result loop = run("losetup --find --show --partscan --read-only " + quoted(image_));
        if (loop.status != 0) throw std::runtime_error("losetup: " + loop.output);
        loop_ = loop.output.substr(0, loop.output.find('\n'));
        partition_ = loop_ + "p1";
        // partx is retried: it fails while the kernel still scans the new device.
        for (int i = 0; i < 50 && !fs::exists(partition_); ++i) {
            if (i % 5 == 0) run("partx -a " + loop_);
            std::this_thread::sleep_for(100ms);
        }
        if (!fs::exists(partition_)) {
            run("losetup -d " + loop_);
            throw std::runtime_error(partition_ + " did not appear");
        }
    }
    // A second try only while the device still holds this image: another test may have been
    // given the same device number meanwhile.
    ~Attached() {
        run("partx -d " + loop_ + "; losetup -d " + loop_ + " || { sleep 0.5; [ \"$(losetup -n " +
            "-O BACK-FILE " + loop_ + ")\" = " + quoted(image_) + " ] && losetup -d " + loop_ +
            "; }");
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;
    const std::string& partition() const { return partition_; }

  private:
    fs::path image_;
    std::string loop_, partition_;
};

// This process's environment without the bus's preload, plus extra (the bus's own, for the one
// program that must reach it): what mount.mtpfs is started with.
inline std::vector<std::string> helperEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (!entry.starts_with("LD_PRELOAD=") && !entry.starts_with("UMOCKDEV_DIR=")) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

// mount.mtpfs -f DEVICE MOUNTPOINT run with the given extra environment (the USB bus's), its
// standard error in a log file. The constructor returns once the mount is there or the helper
// ended; the destructor unmounts (fusermount3 -u, else -z) and waits for the helper to end.
class HelperMount {
  public:
    HelperMount(const fs::path& helper, const std::string& device, fs::path mountPoint,
                fs::path log, const std::vector<std::string>& extraEnvironment)
        : mountPoint_(std::move(mountPoint)), log_(std::move(log)) {
        std::vector<std::string> env = helperEnvironment(extraEnvironment);
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = helper.string(), deviceArg = device, point = mountPoint_.string(),
                    foreground = "-f";
        char* argv[] = {program.data(), deviceArg.data(), point.data(), foreground.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()) == 0) {
            pid_ = pid;
        }
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 400 && pid_ > 0 && !isMounted(mountPoint_); ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(25ms);
        }
    }
    ~HelperMount() {
        if (isMounted(mountPoint_) && run("fusermount3 -u " + quoted(mountPoint_)).status != 0) {
            run("fusermount3 -u -z " + quoted(mountPoint_));
        }
        if (pid_ <= 0) return;
        for (int i = 0; i < 400; ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(25ms);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    HelperMount(const HelperMount&) = delete;
    HelperMount& operator=(const HelperMount&) = delete;

    bool ok() const { return isMounted(mountPoint_); }
    pid_t pid() const { return pid_; }
    std::string log() const { return readText(log_); }

  private:
    fs::path mountPoint_, log_;
    pid_t pid_ = -1;
    int status_ = 0;
};

}  // namespace kestrume2e
