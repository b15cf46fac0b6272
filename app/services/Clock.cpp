#include "app/services/Clock.h"

#include <QTimer>

namespace brisvale {

QtClock::QtClock() = default;
QtClock::~QtClock() = default;

Clock::Handle QtClock::schedule(std::chrono::milliseconds delay, std::function<void()> work) {
    const Handle handle = next_++;
    auto timer = std::make_unique<QTimer>();
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, [this, handle, work = std::move(work)] {
        // The timer goes first: work may schedule or cancel, and may destroy this clock's user.
        auto found = timers_.find(handle);
        if (found == timers_.end()) return;
        found->second.release()->deleteLater();
        timers_.erase(found);
        work();
    });
    timer->start(delay);
    timers_.emplace(handle, std::move(timer));
    return handle;
}

void QtClock::cancel(Handle handle) {
    timers_.erase(handle);
}

}  // namespace brisvale
