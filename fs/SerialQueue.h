#pragma once
// One executor thread that runs submitted work one item at a time, in arrival order. The volume
// runs every file operation on it because an MTP session can run only one transaction at once.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "mtp/ThreadSafety.h"

namespace kestrum {

class SerialQueue {
  public:
    // Starts the executor thread. label names the queue in logs ("com.tavrel.kestrum.fs.device").
    explicit SerialQueue(std::string label);
    // Runs everything already submitted, then joins the thread. Must not be called on the
    // queue's own thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Any thread, never blocks. Work should not throw: an escaping exception is logged at error
    // level ("queue <label>: <what>") and dropped so that later work still runs.
    void submit(std::function<void()> work) EXCLUDES(mutex_);

    // Any thread: runs work on the queue after everything submitted before it and waits for its
    // result; an exception thrown by work is rethrown here. Called on the queue's own thread it
    // runs work inline (waiting would never end).
    template <typename F>
    std::invoke_result_t<F&> runSync(F&& work) {
        using R = std::invoke_result_t<F&>;
        if (isCurrent()) return work();
        std::packaged_task<R()> task(std::forward<F>(work));
        std::future<R> result = task.get_future();
        submit([&task] { task(); });
        return result.get();
    }

    // Whether the caller runs on the queue's thread.
    bool isCurrent() const noexcept { return std::this_thread::get_id() == thread_.get_id(); }
    const std::string& label() const { return label_; }

    // Logs a fault naming function and the queue, then aborts. Use VERIFY_ON_QUEUE.
    [[noreturn]] void failNotCurrent(const char* function) const;

  private:
    void run() EXCLUDES(mutex_);
    std::string label_;
    mtp::Mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<std::function<void()>> work_ GUARDED_BY(mutex_);
    bool stopping_ GUARDED_BY(mutex_) = false;
    std::thread thread_;  // last: starts after the fields above exist
};

}  // namespace kestrum

// Stops the program, in every build type, when the calling function does not run on the serial
// queue `queue` (a SerialQueue&): for code that touches what only that queue may touch.
#define VERIFY_ON_QUEUE(queue)                                      \
    do {                                                            \
        if (!(queue).isCurrent()) (queue).failNotCurrent(__func__); \
    } while (false)
