#include "fs/Log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "mtp/ThreadSafety.h"

namespace kestrum {

namespace {

struct State {
    State() {
        // Without a journal socket every send would fail; decide once, not per line.
        journal = access("/run/systemd/journal/socket", W_OK) == 0;
        minimum = static_cast<int>(journal ? LogLevel::debug : LogLevel::info);
    }
    mtp::Mutex lock;
    Log::Sink sink GUARDED_BY(lock);
    std::atomic<bool> hasSink{false};
    std::atomic<int> minimum{0};
    bool journal GUARDED_BY(lock) = false;
    Log::Identity identity GUARDED_BY(lock);
};

State& state() {
    static State instance;
    return instance;
}

int priority(LogLevel level) {
    switch (level) {
        case LogLevel::debug:
            return LOG_DEBUG;
        case LogLevel::info:
            return LOG_INFO;
        case LogLevel::error:
            return LOG_ERR;
        case LogLevel::fault:
            return LOG_CRIT;
    }
    return LOG_ERR;
}

void writeFormatted(LogLevel level, std::string_view category, const char* format,
                    va_list arguments) {
    if (!Log::wants(level)) return;
    char small[512];
    va_list copy;
    va_copy(copy, arguments);
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) return;
    if (static_cast<size_t>(length) < sizeof small) {
        Log::write(level, category, std::string_view(small, length));
        return;
    }
    std::string large(length + 1, '\0');
    vsnprintf(large.data(), large.size(), format, arguments);
    large.resize(length);
    Log::write(level, category, large);
}

}  // namespace

Log::Sink Log::setSink(Sink sink) {
    State& s = state();
    mtp::MutexLocker guard(s.lock);
    Sink previous = std::move(s.sink);
    s.sink = std::move(sink);
    s.hasSink = static_cast<bool>(s.sink);
    return previous;
}

void Log::setMinimumLevel(LogLevel level) {
    state().minimum = static_cast<int>(level);
}

bool Log::wants(LogLevel level) noexcept {
    State& s = state();
    return s.hasSink.load(std::memory_order_relaxed) ||
           static_cast<int>(level) >= s.minimum.load(std::memory_order_relaxed);
}

void Log::setIdentity(Identity identity) {
    State& s = state();
    mtp::MutexLocker guard(s.lock);
    s.identity = std::move(identity);
}

void Log::write(LogLevel level, std::string_view text) {
    write(level, {}, text);
}

void Log::write(LogLevel level, std::string_view category, std::string_view text) {
    State& s = state();
    mtp::MutexLocker guard(s.lock);
    if (category.empty()) category = s.identity.category;
    if (s.sink) s.sink(level, text);
    if (static_cast<int>(level) < s.minimum) return;
    if (s.journal) {
        int result = sd_journal_send("MESSAGE=%.*s", static_cast<int>(text.size()), text.data(),
                                     "PRIORITY=%d", priority(level), "SYSLOG_IDENTIFIER=%s",
                                     s.identity.syslogIdentifier.c_str(), "SUBSYSTEM=%s",
                                     s.identity.subsystem.c_str(), "CATEGORY=%.*s",
                                     static_cast<int>(category.size()), category.data(), nullptr);
        if (result >= 0) return;
        s.journal = false;
    }
    fprintf(stderr, "%s: %.*s\n", s.identity.syslogIdentifier.c_str(),
            static_cast<int>(text.size()), text.data());
}

void Log::log(LogLevel level, std::string_view category, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeFormatted(level, category, format, arguments);
    va_end(arguments);
}

#define KESTRUM_LOG_FUNCTION(function, level)         \
    void Log::function(const char* format, ...) {     \
        va_list arguments;                            \
        va_start(arguments, format);                  \
        writeFormatted(level, {}, format, arguments); \
        va_end(arguments);                            \
    }

KESTRUM_LOG_FUNCTION(debug, LogLevel::debug)
KESTRUM_LOG_FUNCTION(info, LogLevel::info)
KESTRUM_LOG_FUNCTION(error, LogLevel::error)
KESTRUM_LOG_FUNCTION(fault, LogLevel::fault)

}  // namespace kestrum
