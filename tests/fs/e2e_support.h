#pragma once
// What the C++ end-to-end tests and the mount benchmark share: shell commands run against the
// real /sys, a placeholder attached as a loop device, mount.mtpfs serving it, and a watchdog.
// Every resource is undone by its destructor (unmount, helper ended, detach). Needs root.

#include <fcntl.h>
#include <linux/loop.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
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
using testsupport::TempDir;

struct Result {
    int status = 0;
    std::string output;  // standard output and standard error
};

inline std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

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

// Whether a mount sits at mountPoint (a path without spaces).
inline std::string readText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

    // Detaches with raw system calls (no preload lock, no child process); the kernel lets the
    // device go once its last user closes it. For a watchdog's last resort.
    void detachNow() const {
        const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, loop_.c_str(), O_RDONLY));
        if (fd < 0) return;
        ::syscall(SYS_ioctl, fd, LOOP_CLR_FD, 0);
        ::syscall(SYS_close, fd);
    }

  private:
    fs::path image_;
    std::string loop_;
    std::string partition_;
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
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
    ~HelperMount() {
        if (isMounted(mountPoint_) && run("fusermount3 -u " + quoted(mountPoint_)).status != 0) {
            run("fusermount3 -u -z " + quoted(mountPoint_));
        }
        if (pid_ <= 0) return;
        for (int i = 0; i < 400; ++i) {
            if (::waitpid(pid_, &status_, WNOHANG) == pid_) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
    HelperMount(const HelperMount&) = delete;
    HelperMount& operator=(const HelperMount&) = delete;

    bool ok() const { return isMounted(mountPoint_); }
    pid_t pid() const { return pid_; }
    std::string log() const { return readText(log_); }

    // Kills the helper: every call waiting on the mount fails at once. Any thread.
    void kill() const {
        if (const pid_t pid = pid_; pid > 0) ::kill(pid, SIGKILL);
    }
    // Detaches the mount lazily with a raw system call. For a watchdog's last resort.
    void detachNow() const { ::syscall(SYS_umount2, mountPoint_.c_str(), MNT_DETACH); }

  private:
    fs::path mountPoint_;
    fs::path log_;
    std::atomic<pid_t> pid_ = -1;
    int status_ = 0;
};

// Ends a test before ctest's time-out does: ctest kills the process, so no destructor would
// unmount or detach. After `budget` the helper is killed (the mount's calls fail and the test
// unwinds through its destructors); if the test is still running 20 s later, the mount and the
// loop device are let go with raw system calls and the process exits with status 1.
class Watchdog {
  public:
    // mount and attached must outlive the watchdog.
    Watchdog(std::chrono::seconds budget, const HelperMount& mount, const Attached& attached)
        : thread_([this, budget, &mount, &attached] {
              std::unique_lock lock(mutex_);
              if (stopped_.wait_for(lock, budget, [this] { return done_; })) return;
              std::fprintf(stderr, "watchdog: still running after %lld s, killing the helper\n",
                           static_cast<long long>(budget.count()));
              mount.kill();
              if (stopped_.wait_for(lock, std::chrono::seconds(20), [this] { return done_; })) {
                  return;
              }
              std::fprintf(stderr, "watchdog: the test does not end, cleaning up and exiting\n");
              mount.detachNow();
              attached.detachNow();
              std::_Exit(1);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        stopped_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool done_ = false;
    std::thread thread_;  // last: starts once the members above exist
};

}  // namespace kestrume2e
