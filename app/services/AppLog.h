#pragma once
// The app writes through the file system's logger under its own identity: SYSLOG_IDENTIFIER
// "brisvale", subsystem "com.tavrel.kestrum", categories "app" and "update".

#include "fs/Log.h"

namespace brisvale {

inline constexpr const char* appCategory = "app";
inline constexpr const char* updateCategory = "update";

// Sets the logger's identity to the app's. Call once at start, before anything logs.
void useAppLogIdentity();

}  // namespace brisvale

// printf-style lines in the "app" category.
#define APP_LOG(level, ...) \
    ::kestrum::Log::log(::kestrum::LogLevel::level, ::brisvale::appCategory, __VA_ARGS__)
