// Date-times, the user log and its sinks, the environment.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "expect_message.hpp"
#include "kelvane/datetime.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/logger.hpp"

using kelvane::DateTime;
using kelvane::LogLevel;

TEST(DateTime, ParsesPrintsAndCountsDays) {
    const DateTime t = DateTime::parse("2014-01-04 09:30:05");
    EXPECT_EQ(t, DateTime(2014, 1, 4, 9, 30, 5));
    EXPECT_EQ(t.date_only(), DateTime::parse("2014-01-04"));
    std::ostringstream os;
    os << DateTime::parse("1999-12-31 23:59:59") << ' ' << DateTime::parse("2014-01-04");
    EXPECT_EQ(os.str(), "1999-12-31 23:59:59 2014-01-04 00:00:00");
    // Days since 1970-01-01 (leap days included); the time of day does not count.
    for (const auto& [text, days] : std::vector<std::pair<const char*, int>>{
             {"1969-12-31", -1}, {"1970-01-01", 0}, {"2000-02-29", 11016}, {"2000-03-01", 11017},
             {"2012-02-29", 15399}, {"2014-01-04 23:59:59", 16074}})
        EXPECT_EQ(DateTime::parse(text).day_number(), days) << text;
}

TEST(DateTime, RejectsBadTexts) {
    for (const char* text : {"", "2014-1-04", "2014/01/04", "2014-01-04T09:30:05", "2014-01-04 09:30",
                             " 2014-01-04", "2014-01-04 ", "20a4-01-04", "2014-+1-04", "2014--1-04", "0000-01-01",
                             "2014-00-10", "2014-13-01", "2014-01-00", "2014-01-32", "2014-04-31", "2013-02-29",
                             "1900-02-29", "2014-01-04 24:00:00", "2014-01-04 12:60:00", "2014-01-04 12:00:60",
                             "2014-01-04 -1:00:00", "2014-01-04 12-30-00"}) {
        EXPECT_THROW_MESSAGE(DateTime::parse(text), std::invalid_argument,
                             std::string("invalid date \"") + text +
                                 "\" (expected YYYY-MM-DD or YYYY-MM-DD HH:MM:SS)");
    }
    EXPECT_THROW_MESSAGE(DateTime(2014, 2, 29), std::invalid_argument, "invalid date-time 2014-02-29 00:00:00");
    EXPECT_THROW_MESSAGE(DateTime(2014, 1, 4, 9, 61), std::invalid_argument, "invalid date-time 2014-01-04 09:61:00");
}

// A scoped sink takes its own thread's messages (the innermost one wins); the process sink takes
// every other thread's; with neither, messages go to standard error.
TEST(UserSystemLog, SinksByThreadAndScope) {
    using Captured = std::vector<std::pair<LogLevel, std::string>>;
    Captured process, outer, inner;
    const auto into = [](Captured& out) {
        return [&out](LogLevel level, const std::string& message) { out.emplace_back(level, message); };
    };
    kelvane::user_system_log.set_sink(into(process));
    {
        kelvane::ScopedLogSink a(into(outer));
        kelvane::user_system_log.warn("first");
        {
            kelvane::ScopedLogSink b(into(inner));
            kelvane::user_system_log.info("inner");
        }
        std::thread([] { kelvane::user_system_log.warn("from worker"); }).join();
        kelvane::user_system_log.info("second");
    }
    kelvane::user_system_log.warn("main, no scoped sink");
    kelvane::user_system_log.set_sink({});
    EXPECT_EQ(outer, (Captured{{LogLevel::warn, "first"}, {LogLevel::info, "second"}}));
    EXPECT_EQ(inner, (Captured{{LogLevel::info, "inner"}}));
    EXPECT_EQ(process, (Captured{{LogLevel::warn, "from worker"}, {LogLevel::warn, "main, no scoped sink"}}));

    testing::internal::CaptureStderr();
    kelvane::user_system_log.warn("w");
    kelvane::user_system_log.info("i");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARN] w\n[INFO] i\n");
}

TEST(Environment, GetInstanceOnlyWhileOneExists) {
    EXPECT_THROW_MESSAGE(kelvane::Environment::get_instance(), std::logic_error,
                         "no kelvane Environment has been created");
    {
        kelvane::Environment env(nullptr);
        EXPECT_EQ(&kelvane::Environment::get_instance(), &env);
    }
    EXPECT_THROW_MESSAGE(kelvane::Environment::get_instance(), std::logic_error,
                         "no kelvane Environment has been created");
}
