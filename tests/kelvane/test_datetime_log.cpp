// Date-times, the user log and its sinks, the environment.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bundle_writer.hpp"
#include "kelvane/datetime.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/logger.hpp"

using kelvane::DateTime;
using kelvane::LogLevel;

namespace {

using Captured = std::vector<std::pair<LogLevel, std::string>>;

kelvane::LogSink capture_into(Captured& out) {
    return [&out](LogLevel level, const std::string& message) { out.emplace_back(level, message); };
}

}  // namespace

TEST(DateTime, ParsesDatesAndDateTimes) {
    const DateTime d = DateTime::parse("2014-01-04");
    EXPECT_EQ(d, DateTime(2014, 1, 4));
    EXPECT_EQ(d.to_string(), "2014-01-04 00:00:00");

    const DateTime t = DateTime::parse("2014-01-04 09:30:05");
    EXPECT_EQ(t, DateTime(2014, 1, 4, 9, 30, 5));
    EXPECT_EQ(t.to_string(), "2014-01-04 09:30:05");
    EXPECT_EQ(t.date_only(), d);
    std::ostringstream os;
    os << DateTime::parse("1999-12-31 23:59:59");
    EXPECT_EQ(os.str(), "1999-12-31 23:59:59");

    EXPECT_EQ(DateTime::parse("2012-02-29"), DateTime(2012, 2, 29));
    EXPECT_EQ(DateTime::parse("2000-02-29"), DateTime(2000, 2, 29));

    // Days since 1970-01-01; the time of day does not count.
    EXPECT_EQ(DateTime::parse("1970-01-01").day_number(), 0);
    EXPECT_EQ(DateTime::parse("2000-03-01").day_number(), 11017);
    EXPECT_EQ(DateTime::parse("2014-01-04 23:59:59").day_number(), 16074);
    EXPECT_EQ(DateTime::parse("1969-12-31").day_number(), -1);
}

TEST(DateTime, RejectsBadTexts) {
    for (const char* text : {"", "2014-1-04", "2014/01/04", "2014-01-04T09:30:05", "2014-01-04 09:30",
                             " 2014-01-04", "2014-01-04 ", "20a4-01-04", "2014-+1-04", "2014--1-04", "0000-01-01",
                             "2014-00-10", "2014-13-01", "2014-01-00", "2014-01-32", "2014-04-31", "2013-02-29",
                             "1900-02-29", "2014-01-04 24:00:00", "2014-01-04 12:60:00", "2014-01-04 12:00:60",
                             "2014-01-04 -1:00:00", "2014-01-04 12-30-00"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW_EXACT(DateTime::parse(text), std::invalid_argument,
                           std::string("invalid date \"") + text +
                               "\" (expected YYYY-MM-DD or YYYY-MM-DD HH:MM:SS)");
    }
    EXPECT_THROW_EXACT(DateTime(2014, 2, 29), std::invalid_argument, "invalid date-time 2014-02-29 00:00:00");
    EXPECT_THROW_EXACT(DateTime(2014, 1, 4, 9, 61), std::invalid_argument, "invalid date-time 2014-01-04 09:61:00");
}

TEST(UserSystemLog, ScopedSinkCapturesInOrderAndNests) {
    Captured outer, inner;
    {
        kelvane::ScopedLogSink a(capture_into(outer));
        kelvane::user_system_log.warn("first");
        kelvane::user_system_log.info("second");
        {
            kelvane::ScopedLogSink b(capture_into(inner));
            kelvane::user_system_log.info("inner");
        }
        kelvane::user_system_log.warn("third");
    }
    EXPECT_EQ(outer, (Captured{{LogLevel::warn, "first"}, {LogLevel::info, "second"}, {LogLevel::warn, "third"}}));
    EXPECT_EQ(inner, (Captured{{LogLevel::info, "inner"}}));
    EXPECT_EQ(kelvane::to_string(LogLevel::warn), "warn");
    EXPECT_EQ(kelvane::to_string(LogLevel::info), "info");

    // Once the scoped sinks are gone, messages go to standard error again.
    testing::internal::CaptureStderr();
    kelvane::user_system_log.warn("after");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARN] after\n");
    EXPECT_EQ(outer.size(), 3U);
}

TEST(UserSystemLog, ProcessSinkTakesOtherThreadsAndCanBeRemoved) {
    Captured process, scoped;
    kelvane::user_system_log.set_sink(capture_into(process));
    {
        kelvane::ScopedLogSink mine(capture_into(scoped));
        std::thread worker([] {
            kelvane::user_system_log.warn("from worker");
            kelvane::user_system_log.info("worker done");
        });
        worker.join();
        kelvane::user_system_log.info("from main");
    }
    kelvane::user_system_log.warn("main, no scoped sink");
    kelvane::user_system_log.set_sink({});

    EXPECT_EQ(process, (Captured{{LogLevel::warn, "from worker"},
                                 {LogLevel::info, "worker done"},
                                 {LogLevel::warn, "main, no scoped sink"}}));
    EXPECT_EQ(scoped, (Captured{{LogLevel::info, "from main"}}));

    testing::internal::CaptureStderr();
    kelvane::user_system_log.warn("w");
    kelvane::user_system_log.info("i");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARN] w\n[INFO] i\n");
    EXPECT_EQ(process.size(), 3U);
}

TEST(Environment, GetInstanceOnlyWhileOneExists) {
    EXPECT_THROW_EXACT(kelvane::Environment::get_instance(), std::logic_error,
                       "no kelvane Environment has been created");
    {
        kelvane::Environment env(nullptr);
        EXPECT_EQ(&kelvane::Environment::get_instance(), &env);
        EXPECT_EQ(kelvane::Environment::get_instance().data_proxy, nullptr);
    }
    EXPECT_THROW_EXACT(kelvane::Environment::get_instance(), std::logic_error,
                       "no kelvane Environment has been created");
}
