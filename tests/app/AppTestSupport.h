#pragma once
// What the app's tests share: one QCoreApplication for the whole test program, and running a
// coroutine to its end on it.

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <qcoro/qcorotask.h>

#include "app/services/Clock.h"

namespace apptest {

inline QCoreApplication& application() {
    // Qt's GLib dispatcher would take GLib's default context from the virtual bus, which
    // answers the phone's USB requests there: the bus would stop whenever a test blocks.
    [[maybe_unused]] static const bool plainDispatcher = qputenv("QT_NO_GLIB", "1");
    static int argc = 1;
    static char name[] = "app_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// The application exists before any test runs: a task runs eagerly up to its first suspension,
// so `await(tool.mount(...))` has handed work to a worker before await() itself starts.
class ApplicationFirst : public ::testing::Environment {
  public:
    void SetUp() override { application(); }
};
inline ::testing::Environment* const applicationFirst =
    ::testing::AddGlobalTestEnvironment(new ApplicationFirst);

// Runs the task's coroutine on the event loop until it ends; returns its value or rethrows
// (QCoro's own waitFor never returns when the task throws).
template <typename T>
T await(QCoro::Task<T>&& task) {
    QEventLoop loop;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
    bool done = false;
    auto body = [&]() -> QCoro::Task<void> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(task);
                value.emplace(true);
            } else {
                value.emplace(co_await std::move(task));
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = body();
    if (!done) loop.exec();
    if (error) std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>) return std::move(*value);
}

// Spins the event loop until done() or the limit (a bound for a broken build, not a timing).
inline bool spinUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Time that moves only when the test says: scheduled work waits for runAll(), or with runAtOnce
// runs on the next turn of the event loop. Every delay asked for is kept.
class ManualClock final : public brisvale::Clock {
  public:
    std::vector<std::chrono::milliseconds> delays;
    std::map<Handle, std::pair<std::chrono::milliseconds, std::function<void()>>> pending;
    bool runAtOnce = false;

    Handle schedule(std::chrono::milliseconds delay, std::function<void()> work) override {
        delays.push_back(delay);
        if (runAtOnce)
            QMetaObject::invokeMethod(&application(), std::move(work), Qt::QueuedConnection);
        else
            pending.emplace(delays.size(), std::pair{delay, std::move(work)});
        return delays.size();
    }
    void cancel(Handle handle) override { pending.erase(handle); }
    void runAll() {
        for (auto& [handle, item] : std::exchange(pending, {})) item.second();
    }
};

}  // namespace apptest
