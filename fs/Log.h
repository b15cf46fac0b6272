#pragma once
// The one logger of both programs: journald (by default SYSLOG_IDENTIFIER "kestrumfs", subsystem
// "com.tavrel.kestrum.fs", category "fs"; the app sets its own identity once at start), stderr
// when no journal is reachable, and an injectable sink that receives every line (tests read the
// exact texts there).

#include <functional>
#include <string>
#include <string_view>

namespace kestrum {

// fault is logged with priority LOG_CRIT, error LOG_ERR, info LOG_INFO, debug LOG_DEBUG.
enum class LogLevel { debug, info, error, fault };

// Every member is static and thread-safe.
class Log {
  public:
    // Receives every line at every level, after formatting, on the thread that logged it.
    // Called under the logger's lock: a sink must not log. An empty function removes it.
    using Sink = std::function<void(LogLevel level, std::string_view text)>;

    // Who writes: SYSLOG_IDENTIFIER, the SUBSYSTEM field and the CATEGORY of lines logged
    // without one. Set once at start, before any line is logged; the defaults are the file
    // system's.
    struct Identity {
        std::string syslogIdentifier = "kestrumfs";
        std::string subsystem = "com.tavrel.kestrum.fs";
        std::string category = "fs";
    };
    static void setIdentity(Identity identity);

    // Installs (or, with an empty function, removes) the sink; returns the previous one.
    static Sink setSink(Sink sink);

    // Lowest level written to the journal (or stderr). Default: debug when the journal is
    // reachable, info when lines go to stderr. The sink always receives every level.
    static void setMinimumLevel(LogLevel level);

    // Whether a line of this level goes anywhere; one atomic load. Callers that build costly
    // arguments (the transaction trace) check it first.
    static bool wants(LogLevel level) noexcept;

    // Writes one finished line, in the identity's category or in the given one.
    static void write(LogLevel level, std::string_view text);
    static void write(LogLevel level, std::string_view category, std::string_view text);
    // printf formatting in a category ("app", "update").
    static void log(LogLevel level, std::string_view category, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // printf formatting: every argument is printed in full.
    static void debug(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void info(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

}  // namespace kestrum
