// The host: date-times, the user log and its sinks, the environment; the data proxy over a bundle
// (records, closes, suspension flags, refused bundles).
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "expect_message.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/datetime.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/exception.hpp"
#include "kelvane/logger.hpp"
#include "temp_dir.hpp"

using kelvane::DateTime;
using kelvane::LogLevel;

TEST(DateTime, ParsesPrintsAndCountsDays) {
    const DateTime t = DateTime::parse("2014-01-04 09:30:05");
    EXPECT_EQ(t, DateTime(2014, 1, 4, 9, 30, 5));
    EXPECT_EQ(DateTime::parse("2014-01-04T09:30:05"), t);  // the ISO 8601 separator
    EXPECT_EQ(t.date_only(), DateTime::parse("2014-01-04"));
    std::ostringstream os;
    os << DateTime::parse("1999-12-31 23:59:59") << ' ' << DateTime::parse("2014-01-04");
    EXPECT_EQ(os.str(), "1999-12-31 23:59:59 2014-01-04 00:00:00");
    // Days since 1970-01-01 (leap days included); the time of day does not count.
    for (const auto& [text, days] : std::vector<std::pair<const char*, int>>{
             {"1969-12-31", -1}, {"1970-01-01", 0}, {"2000-02-29", 11016}, {"2000-03-01", 11017},
             {"2012-02-29", 15399}, {"2014-01-04 23:59:59", 16074}})
        EXPECT_EQ(DateTime::parse(text).day_number(), days) << text;
    // Back from the day number, across leap days, centuries and eras.
    for (const char* text : {"0001-01-01", "1600-02-29", "1900-03-01", "1969-12-31", "2000-02-29", "2100-12-31", "9999-12-31"})
        EXPECT_EQ(DateTime::from_day_number(DateTime::parse(text).day_number()), DateTime::parse(text)) << text;
}

TEST(DateTime, RejectsBadTexts) {
    for (const char* text : {"", "2014-1-04", "2014/01/04", "2014-01-04t09:30:05", "2014-01-04T09:30",
                             "2014-01-04 09:30",
                             " 2014-01-04", "2014-01-04 ", "20a4-01-04", "2014-+1-04", "2014--1-04", "0000-01-01",
                             "2014-00-10", "2014-13-01", "2014-01-00", "2014-01-32", "2014-04-31", "2013-02-29",
                             "1900-02-29", "2014-01-04 24:00:00", "2014-01-04 12:60:00", "2014-01-04 12:00:60",
                             "2014-01-04 -1:00:00", "2014-01-04 12-30-00"}) {
        EXPECT_THROW_MESSAGE(DateTime::parse(text), std::invalid_argument,
                             std::string("invalid date \"") + text +
                                 "\" (expected YYYY-MM-DD, YYYY-MM-DD HH:MM:SS or YYYY-MM-DDTHH:MM:SS)");
    }
    EXPECT_THROW_MESSAGE(DateTime(2014, 2, 29), std::invalid_argument, "invalid date-time 2014-02-29 00:00:00");
    EXPECT_THROW_MESSAGE(DateTime(2014, 1, 4, 9, 61), std::invalid_argument, "invalid date-time 2014-01-04 09:61:00");
}

// A scoped sink takes its own thread's messages, the innermost one winning; with no sink at all,
// messages go to standard error. (The thread-safety test checks that other threads' messages go to
// the process-wide sink, concurrently.)
TEST(UserSystemLog, ScopedSinksNestAndStandardErrorIsTheLastResort) {
    using Captured = std::vector<std::pair<LogLevel, std::string>>;
    Captured outer, inner;
    const auto into = [](Captured& out) {
        return [&out](LogLevel level, const std::string& message) { out.emplace_back(level, message); };
    };
    {
        kelvane::ScopedLogSink a(into(outer));
        kelvane::user_system_log.warn("first");
        {
            kelvane::ScopedLogSink b(into(inner));
            kelvane::user_system_log.info("inner");
        }
        kelvane::user_system_log.info("second");
    }
    EXPECT_EQ(outer, (Captured{{LogLevel::warn, "first"}, {LogLevel::info, "second"}}));
    EXPECT_EQ(inner, (Captured{{LogLevel::info, "inner"}}));

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

namespace {

using Closes = std::vector<double>;
using Flags = std::vector<bool>;

DateTime at(const char* text) { return DateTime::parse(text); }

// Calendar 2014-01-02 .. 2014-01-10 (weekdays only). 000001.XSHE starts trading on 01-03 and is
// suspended on 01-07; 600001.XSHG is suspended on 01-06 and delisted on 01-07; 600002.XSHG has no
// bar file, 600003.XSHG an empty one. The files use a BOM, CRLF, quotes, shuffled and extra columns.
class SampleBundle : public testing::Test {
protected:
    void SetUp() override {
        bundle_.write("trading_dates.csv",
                      "date\n2014-01-08\n2014-01-02\n2014-01-03\n2014-01-06\n2014-01-10\n2014-01-07\n2014-01-09\n");
        bundle_.write("instruments.csv",
                      "\xEF\xBB\xBFsymbol,order_book_id,exchange,type,listed_date,de_listed_date,sector_name\r\n"
                      "\"Ping An, \"\"A\"\"\",000001.XSHE,XSHE,CS,1991-04-03,,\"Financials\"\r\n"
                      "Gone,\"600001.XSHG\",XSHG,CS,2000-01-04,\"2014-01-07\",\r\n"
                      "NoBars,600002.XSHG,XSHG,ETF,2010-01-01,,\r\n"
                      "\r\n"
                      "EmptyBars,600003.XSHG,XSHG,INDX,2010-01-01,,Energy\r\n");
        bundle_.write("day_bars/000001.XSHE.csv",
                      "date,open,close,volume\n2014-01-03,9.5,10,100\n2014-01-06,10.5,\"11\",100\n"
                      "2014-01-08,12,13.5,100\n2014-01-09,13,14,100\n2014-01-10,14,15,100\n");
        bundle_.write("day_bars/600001.XSHG.csv", "close,date\n5,2014-01-02\n6,2014-01-03\n8,2014-01-07\n");
        bundle_.write("day_bars/600003.XSHG.csv", "date,close\n");
        proxy_ = std::make_unique<kelvane::DataProxy>(std::make_shared<kelvane::BaseDataSource>(bundle_.dir()));
    }
    Closes closes(const std::string& id, int window, const char* date) const {
        return proxy_->history_bars(id, window, "1d", "close", at(date));
    }
    Flags suspended(const std::string& id, const char* date, int window) const {
        return proxy_->is_suspended(id, at(date), window);
    }

    kv_test::TempDir bundle_;
    std::unique_ptr<kelvane::DataProxy> proxy_;
};

TEST_F(SampleBundle, InstrumentRecords) {
    const auto a = proxy_->instruments("000001.XSHE");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->symbol, "Ping An, \"A\"");
    EXPECT_EQ(a->type, "CS");
    EXPECT_EQ(a->listed_date, DateTime(1991, 4, 3));
    EXPECT_EQ(a->sector_name, "Financials");
    // A live instrument's delisting date lies after every date a request can carry.
    EXPECT_GT(a->de_listed_date, at("9999-12-31 23:59:58"));
    EXPECT_EQ(proxy_->instruments("600001.XSHG")->de_listed_date, DateTime(2014, 1, 7));

    const auto many = proxy_->instruments(std::vector<std::string>{"600003.XSHG", "000001.XSHG", "600001.XSHG"});
    ASSERT_EQ(many.size(), 3U);
    EXPECT_EQ(many[0]->sector_name, "Energy");
    EXPECT_FALSE(many[1].has_value());
    EXPECT_EQ(many[2]->symbol, "Gone");
}

TEST_F(SampleBundle, HistoryBarsAndSuspensions) {
    const std::string a = "000001.XSHE", d = "600001.XSHG";
    // The time of day does not matter; the suspended 01-07 repeats the close of 01-06.
    EXPECT_EQ(closes(a, 3, "2014-01-08 09:00:00"), (Closes{11, 11, 13.5}));
    // A window that starts on a suspended day takes the close from before the window.
    EXPECT_EQ(closes(a, 1, "2014-01-07"), (Closes{11}));
    // A non-trading request day ends the window at the trading day before it.
    EXPECT_EQ(closes(a, 2, "2014-01-12"), (Closes{14, 15}));
    // Days before the first bar are left out, so the answer can be shorter than the window.
    EXPECT_EQ(closes(a, 2, "2014-01-05"), (Closes{10}));
    EXPECT_EQ(closes(a, 5, "2013-12-31"), Closes{});
    // Nothing after the delisting date.
    EXPECT_EQ(closes(d, 10, "2014-01-10"), (Closes{5, 6, 6, 8}));
    EXPECT_EQ(closes(d, 4, "2014-01-09"), (Closes{6, 8}));
    EXPECT_EQ(closes(d, 2, "2014-01-10"), Closes{});

    // Days before the first bar and after the delisting are not suspended days.
    EXPECT_EQ(suspended(a, "2014-01-10 15:00:00", 7), (Flags{false, false, false, true, false, false, false}));
    EXPECT_EQ(suspended(a, "2014-01-07", 2), (Flags{false, true}));
    EXPECT_EQ(suspended(d, "2014-01-10", 7), (Flags{false, false, true, false, false, false, false}));
    EXPECT_EQ(suspended(a, "2014-01-01", 3), Flags{});
    for (const char* id : {"600002.XSHG", "600003.XSHG", "unknown"}) {
        EXPECT_EQ(closes(id, 5, "2014-01-10"), Closes{}) << id;
        EXPECT_EQ(suspended(id, "2014-01-09", 3), (Flags{false, false, false})) << id;
    }
}

TEST_F(SampleBundle, TradingDates) {
    using Days = std::vector<DateTime>;
    EXPECT_EQ(proxy_->trading_dates(at("2014-01-08 15:00:00"), 3), (Days{at("2014-01-06"), at("2014-01-07"), at("2014-01-08")}));
    EXPECT_EQ(proxy_->trading_dates(at("2014-01-05"), 10), (Days{at("2014-01-02"), at("2014-01-03")}));
    EXPECT_EQ(proxy_->trading_dates(at("2014-01-01"), 2), Days{});
    EXPECT_THROW_MESSAGE(proxy_->trading_dates(at("2014-01-05"), 0), kelvane::KVInvalidArgument,
                         "trading_dates: window must be at least 1, got 0");
}

TEST_F(SampleBundle, RefusesUnsupportedRequests) {
    const std::string a = "000001.XSHE";
    const DateTime d(2014, 1, 10);
    EXPECT_THROW_MESSAGE(proxy_->history_bars(a, 3, "1m", "close", d), kelvane::KVInvalidArgument,
                         "history_bars: unsupported frequency \"1m\"");
    EXPECT_THROW_MESSAGE(proxy_->history_bars(a, 3, "1d", "close", d, true), kelvane::KVInvalidArgument,
                         "history_bars: skip_suspended=true is not supported");
    EXPECT_THROW_MESSAGE(proxy_->is_suspended(a, d, -2), kelvane::KVInvalidArgument,
                         "is_suspended: window must be at least 1, got -2");
    EXPECT_THROW_MESSAGE(kelvane::DataProxy(nullptr), kelvane::KVInvalidArgument, "DataProxy needs a data source");
}

// One defect in an otherwise sound bundle; `message` follows the path of `file`.
TEST(MalformedBundle, RefusedAtOpenNamingFileAndLine) {
    struct Defect {
        const char* file;
        const char* content;  // null: the file is removed
        const char* message;
    };
    const char* instruments = "instruments.csv";
    const char* bars = "day_bars/000001.XSHE.csv";
    const std::vector<Defect> defects{
        {"trading_dates.csv", nullptr, ": cannot open the file"},
        {instruments, "order_book_id,symbol,type,listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,\n",
         ":1: missing column \"de_listed_date\""},
        {instruments, "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,\n",
         ":2: expected 6 values, found 5"},
        // A column name written twice still counts as two values (the row was read past its end).
        {instruments, "order_book_id,symbol,type,listed_date,de_listed_date,x,de_listed_date,sector_name\n"
                      "000001.XSHE,A,CS,1991-04-03,,,\n",
         ":2: expected 8 values, found 7"},
        {bars, "date,close\n2014-01-02,\"1\n", ":2: unterminated quoted value"},
        {"trading_dates.csv", "date\n2014-01-02\n2014-02-30\n", ":3: invalid date \"2014-02-30\""},
        {instruments,
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n"
         "000001.XSHE,A,CS,1991-04-03,,\n000001.XSHE,B,CS,1991-04-03,,\n",
         ":3: duplicate order_book_id \"000001.XSHE\""},
        {instruments, "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n../x,A,CS,1991-04-03,,\n",
         ":2: order_book_id \"../x\" cannot name a bar file"},
        {bars, "date,close\n2014-01-02,10\n2014-01-03,1.2.3\n", ":3: invalid number \"1.2.3\""},
        {bars, "date,close\n2014-01-02,nan\n", ":2: invalid number \"nan\""},
        {bars, "date,close\n2014-01-02,10\n2014-01-06,12\n2014-01-03,11\n",
         ":4: dates out of order: \"2014-01-03\" is not after \"2014-01-06\" of line 3"},
    };
    for (const Defect& defect : defects) {
        kv_test::TempDir b;
        b.write("trading_dates.csv", "date\n2014-01-02\n2014-01-03\n2014-01-06\n");
        b.write(instruments, "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n"
                             "000001.XSHE,A,CS,1991-04-03,,\n");
        b.write(bars, "date,close\n2014-01-02,10\n2014-01-03,11\n2014-01-06,12\n");
        ASSERT_NO_THROW(kelvane::BaseDataSource{b.dir()});
        b.write(defect.file, defect.content);
        EXPECT_THROW_MESSAGE(kelvane::BaseDataSource{b.dir()}, std::runtime_error, b.file(defect.file) + defect.message);
    }
    const kv_test::TempDir b;
    EXPECT_THROW_MESSAGE(kelvane::BaseDataSource{b.file("absent")}, std::runtime_error,
                         b.file("absent") + ": the bundle directory does not exist");
}

}  // namespace
