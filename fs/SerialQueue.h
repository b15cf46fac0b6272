#pragma once
// One executor thread that runs submitted work one item at a time, in arrival order. The volume
// runs every file operation on it because an MTP session can run only one transaction at once.

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

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
    void submit(std::function<void()> work);

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

  private:
    void run();
    std::string label_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts after the fields above exist
};

}  // namespace kestrum
