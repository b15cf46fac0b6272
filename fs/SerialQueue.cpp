#include "fs/SerialQueue.h"

#include <cstdio>
#include <cstdlib>

#include "fs/Log.h"

namespace kestrum {

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        mtp::MutexLocker guard(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    thread_.join();
}

void SerialQueue::submit(std::function<void()> work) {
    {
        mtp::MutexLocker guard(mutex_);
        work_.push_back(std::move(work));
    }
    ready_.notify_one();
}

void SerialQueue::failNotCurrent(const char* function) const {
    // The journal may not be where the person who sees the crash looks.
    fprintf(stderr, "kestrumfs: %s must run on queue %s\n", function, label_.c_str());
    Log::fault("%s must run on queue %s", function, label_.c_str());
    std::abort();
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> next;
        {
            mtp::MutexLocker guard(mutex_);
            while (!stopping_ && work_.empty()) ready_.wait(guard);
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
