#include "kelvane/logger.hpp"

#include <iostream>
#include <mutex>

namespace kelvane {

UserSystemLog user_system_log;

namespace {

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

LogSink& process_sink() {
    static LogSink sink;
    return sink;
}

thread_local LogSink* thread_sink = nullptr;

void write(LogLevel level, const std::string& message) {
    if (thread_sink && *thread_sink) {
        (*thread_sink)(level, message);
        return;
    }
    // The sink is called outside the lock: it may wait for something (a Python sink takes the
    // GIL) that another thread holds while it logs.
    LogSink sink;
    {
        std::lock_guard lock(sink_mutex());
        sink = process_sink();
    }
    if (sink) {
        sink(level, message);
        return;
    }
    std::lock_guard lock(sink_mutex());
    std::cerr << (level == LogLevel::warn ? "[WARN] " : "[INFO] ") << message << '\n';
}

}  // namespace

std::string_view to_string(LogLevel level) { return level == LogLevel::warn ? "warn" : "info"; }

void UserSystemLog::warn(const std::string& message) const { write(LogLevel::warn, message); }
void UserSystemLog::info(const std::string& message) const { write(LogLevel::info, message); }

void UserSystemLog::set_sink(LogSink sink) {
    std::lock_guard lock(sink_mutex());
    process_sink() = std::move(sink);
}

ScopedLogSink::ScopedLogSink(LogSink sink) {
    previous_ = thread_sink ? std::move(*thread_sink) : LogSink{};
    static thread_local LogSink current;
    current = std::move(sink);
    thread_sink = &current;
}

ScopedLogSink::~ScopedLogSink() {
    if (previous_) {
        *thread_sink = std::move(previous_);
    } else {
        *thread_sink = LogSink{};
        thread_sink = nullptr;
    }
}

}  // namespace kelvane
