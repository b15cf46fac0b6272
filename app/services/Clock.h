#pragma once
// Delayed work on the main thread's event loop, behind an interface so that logic with delays
// (the device monitor's settle times, the mount retries) is tested without waiting.

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QTimer;

namespace brisvale {

class Clock {
  public:
    using Handle = uint64_t;
    virtual ~Clock() = default;

    // Calls `work` once on the main thread after `delay`, unless cancelled first. Main thread.
    virtual Handle schedule(std::chrono::milliseconds delay, std::function<void()> work) = 0;
    // Drops scheduled work that has not run; unknown or finished handles are ignored.
    virtual void cancel(Handle handle) = 0;

    // Awaitable pause of the calling coroutine (main thread).
    struct Sleep {
        Clock& clock;
        std::chrono::milliseconds delay;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiting) {
            clock.schedule(delay, [waiting] { waiting.resume(); });
        }
        void await_resume() const noexcept {}
    };
    [[nodiscard]] Sleep sleep(std::chrono::milliseconds delay) { return Sleep{*this, delay}; }
};

// Single-shot QTimers on the thread that schedules.
class QtClock final : public Clock {
  public:
    QtClock();
    ~QtClock() override;
    Handle schedule(std::chrono::milliseconds delay, std::function<void()> work) override;
    void cancel(Handle handle) override;

  private:
    Handle next_ = 1;
    std::map<Handle, std::unique_ptr<QTimer>> timers_;
};

}  // namespace brisvale
