#pragma once
// Blocking work (child processes, USB probes) runs on the services' own thread pool; the
// coroutine that awaits it resumes on the main thread's event loop.

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <qcoro/qcorotask.h>

namespace brisvale {

// Starts `job` on the pool. Any thread; the pool outlives every job (it is never destroyed).
void startOnWorker(std::function<void()> job);

// Awaitable: runs `work` (a callable returning a non-void value) on a worker thread and resumes
// the awaiting coroutine on the main thread with its result, or rethrows what it threw there.
// Await it from the main thread only, with a QCoreApplication alive until it resumes; awaited
// without one, or on another thread, it throws std::logic_error and starts nothing.
template <typename F>
class OnWorker {
  public:
    using Result = std::invoke_result_t<F&>;
    static_assert(!std::is_void_v<Result>, "return a value from work done on a worker");

    explicit OnWorker(F work) : work_(std::move(work)) {}

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) {
        // The application is taken here, not on the worker: posting to a null receiver fails
        // without a trace, and the coroutine would never resume.
        QCoreApplication* application = QCoreApplication::instance();
        if (!application) throw std::logic_error("work awaited before the application exists");
        if (QThread::currentThread() != application->thread()) {
            throw std::logic_error("work awaited off the main thread");
        }
        startOnWorker([this, waiting, application] {
            try {
                value_.emplace(work_());
            } catch (...) {
                error_ = std::current_exception();
            }
            QMetaObject::invokeMethod(
                application, [waiting] { waiting.resume(); }, Qt::QueuedConnection);
        });
    }
    Result await_resume() {
        if (error_) std::rethrow_exception(error_);
        return std::move(*value_);
    }

  private:
    F work_;
    std::optional<Result> value_;
    std::exception_ptr error_;
};

template <typename F>
[[nodiscard]] OnWorker<F> onWorker(F work) {
    return OnWorker<F>(std::move(work));
}

}  // namespace brisvale
