#pragma once
// The one place where the app starts a child process: by absolute path and argument vector,
// never through a shell, both output pipes drained together, bounded by a time limit.

#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include <qcoro/qcorotask.h>

namespace brisvale {

// A tool that ran and failed: a non-zero exit, a signal, or the time limit.
struct ShellError : std::exception {
    std::string command;     // last path component of the executable
    int status = 0;          // exit status; 128 + the signal's number when a signal ended it
    std::string stderrText;  // all the child wrote to standard error, UTF-8 repaired, untrimmed
    bool timedOut = false;   // killed at the caller's time limit

    ShellError() = default;
    ShellError(std::string command, int status, std::string stderrText, bool timedOut = false);
    // The trimmed stderr text; when empty, "<command> exited with <status>"; after the time
    // limit, "<command> did not finish in time".
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const ShellError& other) const {
        return command == other.command && status == other.status &&
               stderrText == other.stderrText && timedOut == other.timedOut;
    }

  private:
    std::string description_;
};

// What a child starts with. System tools (losetup, partx, udisksctl, killall, fusermount3) get
// a small fixed environment, so that nothing the app inherited (LD_PRELOAD, PATH, locale)
// reaches a tool run for the user; the mount helper inherits the app's, which is how it finds
// the same USB devices as the app.
enum class ChildEnvironment { system, inherited };

inline constexpr std::chrono::milliseconds defaultToolLimit{60'000};

class ProcessRunner {
  public:
    virtual ~ProcessRunner() = default;

    // Runs `path` (absolute) with `arguments` (without the program name) off the main thread;
    // the awaiting coroutine resumes on the main thread. Returns standard output, UTF-8
    // repaired, untrimmed. Standard input is /dev/null. A child still running after `limit` is
    // killed (SIGKILL). Throws ShellError for a non-zero status, a signal or the time limit;
    // std::system_error when the executable cannot be started.
    virtual QCoro::Task<std::string> run(std::string path, std::vector<std::string> arguments,
                                         ChildEnvironment environment = ChildEnvironment::system,
                                         std::chrono::milliseconds limit = defaultToolLimit) = 0;

    // Runs the tool with all output discarded and waits for it (blocks the calling thread: call
    // it from a worker). Never fails; a child past `limit` is killed.
    virtual void runQuietly(std::string path, std::vector<std::string> arguments,
                            std::chrono::milliseconds limit = defaultToolLimit) = 0;
};

// The real runner: posix_spawn, pipes polled together with the child's pidfd.
class ShellRunner final : public ProcessRunner {
  public:
    QCoro::Task<std::string> run(std::string path, std::vector<std::string> arguments,
                                 ChildEnvironment environment = ChildEnvironment::system,
                                 std::chrono::milliseconds limit = defaultToolLimit) override;
    void runQuietly(std::string path, std::vector<std::string> arguments,
                    std::chrono::milliseconds limit = defaultToolLimit) override;
};

// What one finished child left. Blocking; any thread.
struct ChildOutcome {
    int status = 0;  // as ShellError::status
    bool timedOut = false;
    std::string out;  // raw bytes
    std::string err;
};
// Starts the child and waits for it. Output of a child that exits while a process it started
// keeps its pipes open is taken as far as it was written. Throws std::system_error when the
// child cannot be started.
ChildOutcome runChild(const std::string& path, const std::vector<std::string>& arguments,
                      ChildEnvironment environment, std::chrono::milliseconds limit, bool capture);

// Bytes as UTF-8, invalid sequences replaced by U+FFFD.
std::string repairUTF8(const std::string& bytes);

}  // namespace brisvale
