#pragma once
// Collects the file system's log lines for the life of a test; restores the previous sink.

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fs/Log.h"

namespace kestrumtest {

class LogCapture {
  public:
    LogCapture() {
        previous_ = kestrum::Log::setSink([this](kestrum::LogLevel level, std::string_view text) {
            std::lock_guard guard(mutex_);
            lines_.emplace_back(level, std::string(text));
        });
    }
    ~LogCapture() { kestrum::Log::setSink(std::move(previous_)); }

    // Texts of the lines at this level, in order.
    std::vector<std::string> at(kestrum::LogLevel level) const {
        std::lock_guard guard(mutex_);
        std::vector<std::string> texts;
        for (const auto& [lineLevel, text] : lines_)
            if (lineLevel == level) texts.push_back(text);
        return texts;
    }
    void clear() {
        std::lock_guard guard(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::pair<kestrum::LogLevel, std::string>> lines_;
    kestrum::Log::Sink previous_;
};

}  // namespace kestrumtest
