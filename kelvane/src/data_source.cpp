#include "kelvane/data_source.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

#include "kelvane/csv.hpp"

namespace kelvane {

namespace fs = std::filesystem;

namespace {

int parse_day(const std::string& text, const fs::path& file, std::size_t line) {
    try {
        return DateTime::parse(text).day_number();
    } catch (const std::invalid_argument&) {
        throw std::runtime_error(fmt::format("{}:{}: invalid date \"{}\"", file.string(), line, text));
    }
}

DateTime parse_date(const std::string& text, const fs::path& file, std::size_t line) {
    try {
        return DateTime::parse(text);
    } catch (const std::invalid_argument&) {
        throw std::runtime_error(fmt::format("{}:{}: invalid date \"{}\"", file.string(), line, text));
    }
}

double parse_number(const std::string& text, const fs::path& file, std::size_t line) {
    double value = 0.0;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size())
        throw std::runtime_error(fmt::format("{}:{}: invalid number \"{}\"", file.string(), line, text));
    return value;
}

// A bar file's header is checked when the bundle is opened; its rows when first read.
void check_bar_header(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) throw std::runtime_error(fmt::format("{}:1: missing header row", file.string()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    std::vector<std::string> fields;
    csv::split(line, fields);
    for (const char* name : {"date", "close"})
        if (std::find(fields.begin(), fields.end(), name) == fields.end())
            throw std::runtime_error(fmt::format("{}:1: missing column \"{}\"", file.string(), name));
}

struct Bars {
    std::vector<int> days;       // ascending day numbers
    std::vector<double> closes;  // one per day
};

struct Entry {
    Instrument instrument;
    int delisted_day = 0;  // day number of the delisting date (INT_MAX when live)
    fs::path bar_file;     // empty when the instrument has no bars
    mutable std::once_flag loaded;
    mutable Bars bars;
};

}  // namespace

struct BaseDataSource::Impl {
    fs::path dir;
    std::vector<int> trading_days;  // ascending
    std::unordered_map<std::string, std::unique_ptr<Entry>> entries;

    const Bars& bars_of(const Entry& e) const {
        std::call_once(e.loaded, [&] {
            if (e.bar_file.empty()) return;
            const csv::Table t = csv::read(e.bar_file, {"date", "close"});
            const std::size_t date_col = t.columns.at("date"), close_col = t.columns.at("close");
            Bars b;
            b.days.reserve(t.rows.size());
            b.closes.reserve(t.rows.size());
            for (std::size_t r = 0; r < t.rows.size(); ++r) {
                const int day = parse_day(t.rows[r][date_col], e.bar_file, t.lines[r]);
                if (!b.days.empty() && day <= b.days.back())
                    throw std::runtime_error(fmt::format("{}:{}: dates out of order (\"{}\" does not follow the previous row)",
                                                         e.bar_file.string(), t.lines[r], t.rows[r][date_col]));
                b.days.push_back(day);
                b.closes.push_back(parse_number(t.rows[r][close_col], e.bar_file, t.lines[r]));
            }
            e.bars = std::move(b);
        });
        return e.bars;
    }

    // Index one past the last trading day on or before `date`'s calendar day.
    std::size_t end_index(const DateTime& date) const {
        return static_cast<std::size_t>(std::upper_bound(trading_days.begin(), trading_days.end(), date.day_number()) -
                                        trading_days.begin());
    }
};

BaseDataSource::BaseDataSource(const fs::path& bundle_dir) : impl_(std::make_unique<Impl>()) {
    impl_->dir = bundle_dir;
    if (!fs::is_directory(bundle_dir))
        throw std::runtime_error(fmt::format("{}: the bundle directory does not exist", bundle_dir.string()));

    const csv::Table dates = csv::read(bundle_dir / "trading_dates.csv", {"date"});
    const std::size_t date_col = dates.columns.at("date");
    for (std::size_t r = 0; r < dates.rows.size(); ++r)
        impl_->trading_days.push_back(parse_day(dates.rows[r][date_col], dates.path, dates.lines[r]));
    std::sort(impl_->trading_days.begin(), impl_->trading_days.end());
    impl_->trading_days.erase(std::unique(impl_->trading_days.begin(), impl_->trading_days.end()),
                              impl_->trading_days.end());

    const csv::Table inst = csv::read(bundle_dir / "instruments.csv",
                                      {"order_book_id", "symbol", "type", "listed_date", "de_listed_date", "sector_name"});
    const auto col = [&](const char* name) { return inst.columns.at(name); };
    const fs::path bar_dir = bundle_dir / "day_bars";
    for (std::size_t r = 0; r < inst.rows.size(); ++r) {
        const auto& row = inst.rows[r];
        auto e = std::make_unique<Entry>();
        Instrument& i = e->instrument;
        i.order_book_id = row[col("order_book_id")];
        if (i.order_book_id.empty())
            throw std::runtime_error(fmt::format("{}:{}: empty order_book_id", inst.path.string(), inst.lines[r]));
        i.symbol = row[col("symbol")];
        i.type = row[col("type")];
        const std::string& listed = row[col("listed_date")];
        if (!listed.empty()) i.listed_date = parse_date(listed, inst.path, inst.lines[r]);
        const std::string& delisted = row[col("de_listed_date")];
        i.de_listed_date = delisted.empty() ? DateTime::max() : parse_date(delisted, inst.path, inst.lines[r]);
        e->delisted_day = delisted.empty() ? std::numeric_limits<int>::max() : i.de_listed_date.day_number();
        i.sector_name = row[col("sector_name")];
        const fs::path bar_file = bar_dir / (i.order_book_id + ".csv");
        if (fs::exists(bar_file)) {
            check_bar_header(bar_file);
            e->bar_file = bar_file;
        }
        if (!impl_->entries.emplace(i.order_book_id, std::move(e)).second)
            throw std::runtime_error(fmt::format("{}:{}: duplicate order_book_id \"{}\"", inst.path.string(),
                                                 inst.lines[r], row[col("order_book_id")]));
    }
}

BaseDataSource::~BaseDataSource() = default;

const fs::path& BaseDataSource::directory() const { return impl_->dir; }

const Instrument* BaseDataSource::instrument(const std::string& order_book_id) const {
    auto it = impl_->entries.find(order_book_id);
    return it == impl_->entries.end() ? nullptr : &it->second->instrument;
}

std::vector<double> BaseDataSource::closes(const std::string& order_book_id, int window, const DateTime& date) const {
    std::vector<double> out;
    auto it = impl_->entries.find(order_book_id);
    if (it == impl_->entries.end() || window <= 0) return out;
    const Entry& e = *it->second;
    const Bars& b = impl_->bars_of(e);
    if (b.days.empty()) return out;
    const auto& days = impl_->trading_days;
    const std::size_t end = impl_->end_index(date);
    const std::size_t begin = end > static_cast<std::size_t>(window) ? end - static_cast<std::size_t>(window) : 0;
    // The last bar on or before the first day of the window gives the starting close.
    auto bar = std::upper_bound(b.days.begin(), b.days.end(), begin < end ? days[begin] : 0) - b.days.begin();
    std::ptrdiff_t last = bar - 1;  // index of the latest bar not after the current day
    out.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k) {
        const int day = days[k];
        if (day < b.days.front() || day > e.delisted_day) continue;
        while (last + 1 < static_cast<std::ptrdiff_t>(b.days.size()) && b.days[static_cast<std::size_t>(last + 1)] <= day)
            ++last;
        out.push_back(b.closes[static_cast<std::size_t>(last)]);
    }
    return out;
}

std::vector<bool> BaseDataSource::suspended(const std::string& order_book_id, const DateTime& date, int window) const {
    const auto& days = impl_->trading_days;
    const std::size_t end = impl_->end_index(date);
    const std::size_t begin =
        window <= 0 ? end : (end > static_cast<std::size_t>(window) ? end - static_cast<std::size_t>(window) : 0);
    std::vector<bool> out(end - begin, false);
    auto it = impl_->entries.find(order_book_id);
    if (it == impl_->entries.end()) return out;
    const Entry& e = *it->second;
    const Bars& b = impl_->bars_of(e);
    if (b.days.empty()) return out;
    for (std::size_t k = begin; k < end; ++k) {
        const int day = days[k];
        if (day < b.days.front() || day > e.delisted_day) continue;
        out[k - begin] = !std::binary_search(b.days.begin(), b.days.end(), day);
    }
    return out;
}

}  // namespace kelvane
