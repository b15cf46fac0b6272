#include "fs/SerialQueue.h"

#include "fs/Log.h"

namespace kestrum {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    thread_.join();
}

void SerialQueue::submit(std::function<void()> work) {
    {
        std::lock_guard guard(mutex_);
        work_.push_back(std::move(work));
    }
    ready_.notify_one();
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock guard(mutex_);
            ready_.wait(guard, [this] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;  // stopping, and everything submitted has run
            next = std::move(work_.front());
            work_.pop_front();
        }
        try {
            next();
        } catch (const std::exception& error) {
            Log::error("queue %s: %s", label_.c_str(), error.what());
        } catch (...) {
            Log::error("queue %s: unknown exception", label_.c_str());
        }
    }
}

}  // namespace kestrum
