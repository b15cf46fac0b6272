#include "app/services/Worker.h"

#include <QThreadPool>

namespace brisvale {

void startOnWorker(std::function<void()> job) {
    // Its own pool: a probe blocks for seconds and several tools may run at once, which the
    // global pool (one thread per core) would queue behind each other.
    static QThreadPool* pool = [] {
        auto* created = new QThreadPool();
        created->setMaxThreadCount(16);
        created->setExpiryTimeout(30'000);
        return created;
    }();
    pool->start(std::move(job));
}

}  // namespace brisvale
