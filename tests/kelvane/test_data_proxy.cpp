// The data proxy over a bundle: records, closes, suspension flags, refused bundles, concurrent reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bundle_writer.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/exception.hpp"

using kelvane::DateTime;
using kv_test::TempBundle;

namespace {

using Closes = std::vector<double>;
using Flags = std::vector<bool>;

DateTime at(const char* text) { return DateTime::parse(text); }

// Calendar 2014-01-02 .. 2014-01-10 (weekdays only). 000001.XSHE starts trading on 01-03 and is
// suspended on 01-07; 600001.XSHG is suspended on 01-06 and delisted on 01-07; 600002.XSHG has no
// bar file, 600003.XSHG an empty one. The files use a BOM, CRLF, quotes, shuffled and extra columns.
void write_sample(const TempBundle& b) {
    b.write("trading_dates.csv", "date\n2014-01-08\n2014-01-02\n2014-01-03\n2014-01-06\n2014-01-10\n2014-01-07\n2014-01-09\n");
    b.write("instruments.csv",
            "\xEF\xBB\xBFsymbol,order_book_id,exchange,type,listed_date,de_listed_date,sector_name\r\n"
            "\"Ping An, \"\"A\"\"\",000001.XSHE,XSHE,CS,1991-04-03,,\"Financials\"\r\n"
            "Gone,\"600001.XSHG\",XSHG,CS,2000-01-04,\"2014-01-07\",\r\n"
            "NoBars,600002.XSHG,XSHG,ETF,2010-01-01,,\r\n"
            "\r\n"
            "EmptyBars,600003.XSHG,XSHG,INDX,2010-01-01,,Energy\r\n");
    b.write("day_bars/000001.XSHE.csv",
            "date,open,close,volume\n"
            "2014-01-03,9.5,10,100\n"
            "2014-01-06,10.5,\"11\",100\n"
            "2014-01-08,12,13.5,100\n"
            "2014-01-09,13,14,100\n"
            "2014-01-10,14,15,100\n");
    b.write("day_bars/600001.XSHG.csv", "close,date\n5,2014-01-02\n6,2014-01-03\n8,2014-01-07\n");
    b.write("day_bars/600003.XSHG.csv", "date,close\n");
}

class SampleBundle : public testing::Test {
protected:
    void SetUp() override {
        write_sample(bundle_);
        proxy_ = std::make_unique<kelvane::DataProxy>(std::make_shared<kelvane::BaseDataSource>(bundle_.dir()));
    }
    Closes closes(const std::string& id, int window, const char* date) const {
        return proxy_->history_bars(id, window, "1d", "close", at(date));
    }
    Flags suspended(const std::string& id, const char* date, int window) const {
        return proxy_->is_suspended(id, at(date), window);
    }

    TempBundle bundle_;
    std::unique_ptr<kelvane::DataProxy> proxy_;
};

TEST_F(SampleBundle, InstrumentRecords) {
    const auto a = proxy_->instruments("000001.XSHE");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->order_book_id, "000001.XSHE");
    EXPECT_EQ(a->symbol, "Ping An, \"A\"");
    EXPECT_EQ(a->type, "CS");
    EXPECT_EQ(a->listed_date, DateTime(1991, 4, 3));
    EXPECT_EQ(a->sector_name, "Financials");
    // A live instrument's delisting date lies after every date a request can carry.
    EXPECT_GT(a->de_listed_date, at("2014-01-10 15:00:00"));
    EXPECT_GT(a->de_listed_date, at("9999-12-31 23:59:58"));

    const auto d = proxy_->instruments("600001.XSHG");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->de_listed_date, DateTime(2014, 1, 7));
    EXPECT_EQ(d->sector_name, "");
    EXPECT_EQ(proxy_->instruments("600003.XSHG")->type, "INDX");

    EXPECT_FALSE(proxy_->instruments("000001.XSHG").has_value());
    EXPECT_FALSE(proxy_->instruments("").has_value());
    const auto many = proxy_->instruments(std::vector<std::string>{"600001.XSHG", "nope", "000001.XSHE"});
    ASSERT_EQ(many.size(), 3U);
    EXPECT_EQ(many[0]->symbol, "Gone");
    EXPECT_FALSE(many[1].has_value());
    EXPECT_EQ(many[2]->symbol, "Ping An, \"A\"");
}

TEST_F(SampleBundle, HistoryBars) {
    const std::string a = "000001.XSHE", d = "600001.XSHG";
    // The time of day does not matter; the suspended 01-07 repeats the close of 01-06.
    EXPECT_EQ(closes(a, 3, "2014-01-08 09:00:00"), (Closes{11, 11, 13.5}));
    EXPECT_EQ(closes(a, 3, "2014-01-08 23:59:59"), (Closes{11, 11, 13.5}));
    // A window that starts on a suspended day takes the close from before the window.
    EXPECT_EQ(closes(a, 1, "2014-01-07"), (Closes{11}));
    // A non-trading request day ends the window at the trading day before it.
    EXPECT_EQ(closes(a, 2, "2014-01-12"), (Closes{14, 15}));
    // Days before the first bar are left out, so the answer can be shorter than the window.
    EXPECT_EQ(closes(a, 2, "2014-01-05"), (Closes{10}));
    EXPECT_EQ(closes(a, 100, "2014-01-10"), (Closes{10, 11, 11, 13.5, 14, 15}));
    EXPECT_EQ(closes(a, 5, "2014-01-10"), (Closes{11, 11, 13.5, 14, 15}));
    EXPECT_EQ(closes(a, 1, "2014-01-02"), Closes{});
    EXPECT_EQ(closes(a, 5, "2013-12-31"), Closes{});
    // Nothing after the delisting date.
    EXPECT_EQ(closes(d, 10, "2014-01-10"), (Closes{5, 6, 6, 8}));
    EXPECT_EQ(closes(d, 4, "2014-01-09"), (Closes{6, 8}));
    EXPECT_EQ(closes(d, 2, "2014-01-10"), Closes{});
    // No bars at all.
    for (const char* id : {"600002.XSHG", "600003.XSHG", "unknown"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(closes(id, 5, "2014-01-10"), Closes{});
    }
}

TEST_F(SampleBundle, IsSuspended) {
    // 01-02 lies before the first bar, so it is not a suspended day.
    EXPECT_EQ(suspended("000001.XSHE", "2014-01-10", 7), (Flags{false, false, false, true, false, false, false}));
    EXPECT_EQ(suspended("000001.XSHE", "2014-01-10 15:00:00", 50), suspended("000001.XSHE", "2014-01-10", 7));
    EXPECT_EQ(suspended("000001.XSHE", "2014-01-07", 1), (Flags{true}));
    EXPECT_EQ(suspended("000001.XSHE", "2014-01-07", 2), (Flags{false, true}));
    // Days after the delisting are not suspended.
    EXPECT_EQ(suspended("600001.XSHG", "2014-01-10", 7), (Flags{false, false, true, false, false, false, false}));
    for (const char* id : {"600002.XSHG", "600003.XSHG", "unknown"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(suspended(id, "2014-01-09", 3), (Flags{false, false, false}));
    }
    EXPECT_EQ(suspended("000001.XSHE", "2014-01-01", 3), Flags{});
}

TEST_F(SampleBundle, RefusesUnsupportedRequests) {
    const std::string a = "000001.XSHE";
    const DateTime d(2014, 1, 10);
    EXPECT_THROW_EXACT(proxy_->history_bars(a, 3, "1m", "close", d), kelvane::KVInvalidArgument,
                       "history_bars: unsupported frequency \"1m\"");
    EXPECT_THROW_EXACT(proxy_->history_bars(a, 3, "1d", "open", d), kelvane::KVInvalidArgument,
                       "history_bars: unsupported field \"open\"");
    EXPECT_THROW_EXACT(proxy_->history_bars(a, 3, "1d", "close", d, true), kelvane::KVInvalidArgument,
                       "history_bars: skip_suspended=true is not supported");
    EXPECT_THROW_EXACT(proxy_->history_bars(a, 0, "1d", "close", d), kelvane::KVInvalidArgument,
                       "history_bars: window must be at least 1, got 0");
    EXPECT_THROW_EXACT(proxy_->is_suspended(a, d, -2), kelvane::KVInvalidArgument,
                       "is_suspended: window must be at least 1, got -2");
    EXPECT_THROW_EXACT(kelvane::DataProxy(nullptr), kelvane::KVInvalidArgument, "DataProxy needs a data source");
}

// One defect in an otherwise sound bundle; `message` follows the path of `file`.
struct Defect {
    const char* name;
    const char* file;     // file to write, or to remove when `content` is null
    const char* content;
    const char* message;
};

TEST(MalformedBundle, RefusedAtOpenNamingFileAndLine) {
    const std::vector<Defect> defects{
        {"no trading dates", "trading_dates.csv", nullptr, ": cannot open the file"},
        {"no instruments", "instruments.csv", nullptr, ": cannot open the file"},
        {"empty instruments", "instruments.csv", "", ":1: missing header row"},
        {"missing column", "instruments.csv",
         "order_book_id,symbol,type,listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,\n",
         ":1: missing column \"de_listed_date\""},
        {"bar file without close", "day_bars/000001.XSHE.csv", "date,open\n2014-01-02,1\n",
         ":1: missing column \"close\""},
        {"short row", "instruments.csv",
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,\n",
         ":2: expected 6 values, found 5"},
        {"unterminated quote", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,\"1\n",
         ":2: unterminated quoted value"},
        {"bad trading date", "trading_dates.csv", "date\n2014-01-02\n2014-02-30\n", ":3: invalid date \"2014-02-30\""},
        {"bad listed date", "instruments.csv",
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n000001.XSHE,A,CS,1991/04/03,,\n",
         ":2: invalid date \"1991/04/03\""},
        {"bad delisting date", "instruments.csv",
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,never,\n",
         ":2: invalid date \"never\""},
        {"empty id", "instruments.csv",
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n,A,CS,1991-04-03,,\n",
         ":2: empty order_book_id"},
        {"duplicate id", "instruments.csv",
         "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n"
         "000001.XSHE,A,CS,1991-04-03,,\n000001.XSHE,B,CS,1991-04-03,,\n",
         ":3: duplicate order_book_id \"000001.XSHE\""},
        {"bad bar date", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,10\n2014-1-03,11\n",
         ":3: invalid date \"2014-1-03\""},
        {"bad number", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,10\n2014-01-03,1.2.3\n",
         ":3: invalid number \"1.2.3\""},
        {"empty close", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,\n", ":2: invalid number \"\""},
        {"close with a space", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02, 10\n",
         ":2: invalid number \" 10\""},
        {"nan close", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,nan\n", ":2: invalid number \"nan\""},
        {"infinite close", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,inf\n", ":2: invalid number \"inf\""},
        {"overflowing close", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,1e999\n",
         ":2: invalid number \"1e999\""},
        {"bar dates out of order", "day_bars/000001.XSHE.csv",
         "date,close\n2014-01-02,10\n2014-01-06,12\n2014-01-03,11\n",
         ":4: dates out of order: \"2014-01-03\" is not after \"2014-01-06\" of line 3"},
        {"repeated bar date after a blank line", "day_bars/000001.XSHE.csv", "date,close\n2014-01-02,10\n\n2014-01-02,11\n",
         ":4: dates out of order: \"2014-01-02\" is not after \"2014-01-02\" of line 2"},
    };
    for (const Defect& defect : defects) {
        SCOPED_TRACE(defect.name);
        TempBundle b;
        b.write("trading_dates.csv", "date\n2014-01-02\n2014-01-03\n2014-01-06\n");
        b.write("instruments.csv",
                "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n000001.XSHE,A,CS,1991-04-03,,\n");
        b.write("day_bars/000001.XSHE.csv", "date,close\n2014-01-02,10\n2014-01-03,11\n2014-01-06,12\n");
        ASSERT_NO_THROW(kelvane::BaseDataSource{b.dir()});
        if (defect.content)
            b.write(defect.file, defect.content);
        else
            b.remove(defect.file);
        EXPECT_THROW_EXACT(kelvane::BaseDataSource{b.dir()}, std::runtime_error,
                           b.file(defect.file) + defect.message);
    }
    TempBundle b;
    const std::string missing = (b.dir() / "absent").string();
    EXPECT_THROW_EXACT(kelvane::BaseDataSource{missing}, std::runtime_error,
                       missing + ": the bundle directory does not exist");
}

// A bundle of many instruments with random suspensions, first bars and delistings.
struct Generated {
    std::vector<int> days;  // trading day numbers, ascending
    struct Series {
        std::string id;
        int first = 0;                    // index in `days` of the first bar
        int delisted = -1;                // index in `days` of the delisting day, -1 when live
        std::vector<bool> traded;         // per trading day
        std::vector<double> close;        // per trading day (meaningful where traded)
    };
    std::vector<Series> series;
};

std::string date_text(int day_number) {
    const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{day_number}}};
    return fmt::format("{:04d}-{:02d}-{:02d}", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                       static_cast<unsigned>(ymd.day()));
}

Generated write_generated(const TempBundle& b, int instruments, int trading_days) {
    std::mt19937 rng(20140104);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Generated g;
    std::string dates = "date\n";
    for (int day = DateTime(2013, 1, 1).day_number(); static_cast<int>(g.days.size()) < trading_days; ++day)
        if ((day + 3) % 7 < 5) {  // Monday to Friday
            g.days.push_back(day);
            dates += date_text(day) + "\n";
        }
    b.write("trading_dates.csv", dates);
    std::string inst = "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n";
    for (int k = 0; k < instruments; ++k) {
        Generated::Series s;
        s.id = fmt::format("{:06d}.XSHG", 600000 + k);
        s.first = static_cast<int>(unit(rng) * trading_days / 3);
        if (k % 5 == 4) s.delisted = s.first + static_cast<int>(unit(rng) * (trading_days - s.first));
        s.traded.assign(g.days.size(), false);
        s.close.assign(g.days.size(), 0.0);
        std::string bars = "date,close\n";
        double price = 10.0 + k;
        const int last = s.delisted < 0 ? trading_days - 1 : s.delisted;
        for (int t = s.first; t <= last; ++t) {
            if (t != s.first && unit(rng) < 0.1) continue;  // suspended
            price *= 1.0 + 0.02 * (unit(rng) - 0.5);
            s.traded[t] = true;
            s.close[t] = std::stod(fmt::format("{:.4f}", price));
            bars += date_text(g.days[t]) + fmt::format(",{:.4f}\n", price);
        }
        b.write("day_bars/" + s.id + ".csv", bars);
        inst += fmt::format("{},S{},CS,2000-01-04,{},\n", s.id, k, s.delisted < 0 ? "" : date_text(g.days[s.delisted]));
        g.series.push_back(std::move(s));
    }
    b.write("instruments.csv", inst);
    return g;
}

struct Query {
    std::string id;
    int window;
    DateTime date;
};

struct Answer {
    Closes closes;
    Flags flags;
    bool operator==(const Answer&) const = default;
};

Answer ask(const kelvane::DataProxy& p, const Query& q) {
    return {p.history_bars(q.id, q.window, "1d", "close", q.date), p.is_suspended(q.id, q.date, q.window)};
}

// Closes and flags computed straight from the generated series.
Answer expected(const Generated::Series& s, int window, int end /* one past the last day */) {
    Answer a;
    for (int t = std::max(0, end - window); t < end; ++t) {
        const bool live = t >= s.first && (s.delisted < 0 || t <= s.delisted);
        a.flags.push_back(live && !s.traded[t]);
        if (!live) continue;
        int bar = t;
        while (!s.traded[bar]) --bar;
        a.closes.push_back(s.close[bar]);
    }
    return a;
}

TEST(ConcurrentReads, ThreadsSeeWhatASerialReadSees) {
    TempBundle b;
    const int n_days = 300;
    const Generated g = write_generated(b, 48, n_days);

    std::vector<Query> queries;
    std::vector<Answer> reference;
    for (const auto& s : g.series)
        for (const int window : {1, 5, 132, 400})
            for (const int end : {1, 40, 150, 299, 300}) {
                // The request falls in the afternoon of the last trading day of the window.
                const std::string text = date_text(g.days[end - 1]) + " 15:00:00";
                queries.push_back({s.id, window, DateTime::parse(text)});
                reference.push_back(expected(s, window, end));
            }

    const kelvane::DataProxy serial(std::make_shared<kelvane::BaseDataSource>(b.dir()));
    std::vector<Answer> serial_answers;
    for (std::size_t i = 0; i < queries.size(); ++i) {
        serial_answers.push_back(ask(serial, queries[i]));
        ASSERT_EQ(serial_answers.back(), reference[i]) << queries[i].id << " window " << queries[i].window << " on "
                                                       << queries[i].date;
    }

    // A fresh proxy, so that the threads also race on the first load of each bar file.
    const kelvane::DataProxy shared(std::make_shared<kelvane::BaseDataSource>(b.dir()));
    const int n_threads = 6;
    std::vector<std::vector<Answer>> answers(n_threads, std::vector<Answer>(queries.size()));
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n_threads; ++t)
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < n_threads) std::this_thread::yield();
            // Each thread walks the queries from a different starting point and direction.
            const std::size_t n = queries.size();
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t i = t % 2 == 0 ? (k + t * n / n_threads) % n : n - 1 - (k + t * n / n_threads) % n;
                answers[t][i] = ask(shared, queries[i]);
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < n_threads; ++t) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(answers[t] == serial_answers);
    }
}

}  // namespace
