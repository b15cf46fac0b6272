#include "app/services/ShellRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <array>
#include <cerrno>
#include <system_error>

#include "app/services/Worker.h"

extern char** environ;

namespace brisvale {

namespace {

std::string trimmed(const std::string& text) {
    const char* space = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string lastComponent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Owns a file descriptor; closing is the only thing it does.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

struct Pipe {
    Descriptor read, write;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
        read.fd = fds[0];
        write.fd = fds[1];
    }
};

int statusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Reads what is there; false at end of file or error.
bool drainOnce(int fd, std::string& into) {
    char chunk[65536];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.append(chunk, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// Reads until the pipe is empty or closed, without waiting for a writer.
void drainAvailable(int fd, std::string& into) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, static_cast<size_t>(n));
        } else if (!(n < 0 && errno == EINTR)) {
            return;
        }
    }
}

}  // namespace

ShellError::ShellError(std::string command, int status, std::string stderrText, bool timedOut)
    : command(std::move(command)),
      status(status),
      stderrText(std::move(stderrText)),
      timedOut(timedOut) {
    if (timedOut) {
        description_ = this->command + " did not finish in time";
    } else if (std::string text = trimmed(this->stderrText); !text.empty()) {
        description_ = std::move(text);
    } else {
        description_ = this->command + " exited with " + std::to_string(status);
    }
}

std::string repairUTF8(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())).toStdString();
}

ChildOutcome runChild(const std::string& path, const std::vector<std::string>& arguments,
                      ChildEnvironment environment, std::chrono::milliseconds limit, bool capture) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Pipe out, err;
    Descriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (null.fd >= 0) posix_spawn_file_actions_adddup2(&actions, null.fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, capture ? out.write.fd : null.fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, capture ? err.write.fd : null.fd, STDERR_FILENO);
    // Its own process group, so that the time limit also ends what the child started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);

    std::vector<std::string> argvStrings{path};
    argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argvStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::array<std::string, 2> fixed{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C.UTF-8"};
    std::vector<char*> fixedEnvironment{fixed[0].data(), fixed[1].data(), nullptr};
    char** envp = environment == ChildEnvironment::system ? fixedEnvironment.data() : environ;

    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), path);
    out.write.reset();
    err.write.reset();

    Descriptor exited(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    ChildOutcome outcome;
    bool outOpen = capture, errOpen = capture, running = true;
    int waitStatus = 0;
    while (running || outOpen || errOpen) {
        if (running && ::waitpid(pid, &waitStatus, WNOHANG) == pid) {
            running = false;
            // A process the child left behind may hold the pipes for ever: take what was
            // written and stop.
            if (outOpen) drainAvailable(out.read.fd, outcome.out);
            if (errOpen) drainAvailable(err.read.fd, outcome.err);
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &waitStatus, 0);
            outcome.timedOut = true;
            running = false;
            break;
        }
        std::array<pollfd, 3> watched{};
        nfds_t count = 0;
        if (outOpen) watched[count++] = {out.read.fd, POLLIN, 0};
        if (errOpen) watched[count++] = {err.read.fd, POLLIN, 0};
        // Without a pidfd (old kernels) the child's end is looked for every 50 ms.
        if (exited.fd >= 0) watched[count++] = {exited.fd, POLLIN, 0};
        const int timeout = exited.fd >= 0 ? static_cast<int>(std::min<long>(left.count(), 1000))
                                           : static_cast<int>(std::min<long>(left.count(), 50));
        if (::poll(watched.data(), count, timeout) < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < count; ++i) {
            if (!(watched[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (watched[i].fd == out.read.fd) outOpen = drainOnce(out.read.fd, outcome.out);
            if (watched[i].fd == err.read.fd) errOpen = drainOnce(err.read.fd, outcome.err);
        }
    }
    if (running) ::waitpid(pid, &waitStatus, 0);
    outcome.status = statusOf(waitStatus);
    return outcome;
}

QCoro::Task<std::string> ShellRunner::run(std::string path, std::vector<std::string> arguments,
                                          ChildEnvironment environment,
                                          std::chrono::milliseconds limit) {
    auto running =
        onWorker([&] { return runChild(path, arguments, environment, limit, /*capture=*/true); });
    ChildOutcome outcome = co_await running;
    if (outcome.status != 0 || outcome.timedOut) {
        throw ShellError(lastComponent(path), outcome.status, repairUTF8(outcome.err),
                         outcome.timedOut);
    }
    co_return repairUTF8(outcome.out);
}

void ShellRunner::runQuietly(std::string path, std::vector<std::string> arguments,
                             std::chrono::milliseconds limit) {
    try {
        runChild(path, arguments, ChildEnvironment::system, limit, /*capture=*/false);
    } catch (const std::exception&) {
        // A tool that cannot start has nothing to do here.
    }
}

}  // namespace brisvale
