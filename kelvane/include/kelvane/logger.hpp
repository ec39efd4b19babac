// The host's user-facing log. Messages go to a sink: standard error unless a program or a
// test installs its own, for the whole process or for the current thread only.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kelvane {

enum class LogLevel { warn, info };

// Receives every message written to user_system_log.
using LogSink = std::function<void(LogLevel, const std::string&)>;

class UserSystemLog {
public:
    void warn(const std::string& message) const;
    void info(const std::string& message) const;

    // Replaces the process-wide sink (an empty function restores standard error).
    // Meant for program start-up, before any worker thread runs.
    void set_sink(LogSink sink);
};

// The log the host offers to strategies and plug-ins.
extern UserSystemLog user_system_log;

// While alive, messages written on this thread go to `sink` instead of the process-wide sink.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink sink);
    ~ScopedLogSink();
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    LogSink previous_;
};

std::string_view to_string(LogLevel level);

}  // namespace kelvane
