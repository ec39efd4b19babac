#include "kelvane/data_source.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <string_view>
#include <thread>
#include <cmath>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

#include "kelvane/csv.hpp"

namespace kelvane {

namespace fs = std::filesystem;

namespace {

struct Bars {
    std::vector<int> days;       // ascending day numbers
    std::vector<double> closes;  // one per day
};

std::string read_whole(const fs::path& file) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(file.c_str(), "rb"), &std::fclose);
    if (!f) throw std::runtime_error(fmt::format("{}: cannot open the file", file.string()));
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    std::string text(ec ? 0 : size, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f.get()));
    char chunk[4096];  // whatever the file grew by since its size was read
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0;) text.append(chunk, n);
    return text;
}

// Reads and checks a whole bar file: the header names date and close, every row has as many
// values as the header, every date and close parses, dates strictly ascending. Bar files are
// the bulk of a bundle, so rows without quotes are split in place.
Bars read_bars(const fs::path& file) {
    const std::string text = read_whole(file);
    Bars b;
    std::size_t columns = 0, date_col = 0, close_col = 0, number = 0, previous_line = 0;
    std::string previous_date;
    std::vector<std::string> fields;
    bool header = true;
    for (std::size_t pos = 0; pos < text.size();) {
        ++number;
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::string_view line(text.data() + pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (header && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
        if (line.empty()) continue;
        std::string_view date, close;
        std::size_t found = 0;
        const bool quoted = line.find('"') != std::string_view::npos;
        if (!header && !quoted) {
            // One pass over an unquoted row: count the values and keep the two that are read.
            const char* field = line.data();
            const char* const end = line.data() + line.size();
            for (const char* c = field;; ++c) {
                if (c != end && *c != ',') continue;
                if (found == date_col) date = std::string_view(field, static_cast<std::size_t>(c - field));
                if (found == close_col) close = std::string_view(field, static_cast<std::size_t>(c - field));
                ++found;
                if (c == end) break;
                field = c + 1;
            }
        }
        if (header) {
            if (!csv::split(line, fields))
                throw std::runtime_error(fmt::format("{}:{}: unterminated quoted value", file.string(), number));
            columns = fields.size();
            for (const char* name : {"date", "close"}) {
                const auto it = std::find(fields.begin(), fields.end(), name);
                if (it == fields.end())
                    throw std::runtime_error(fmt::format("{}:{}: missing column \"{}\"", file.string(), number, name));
                (std::string_view(name) == "date" ? date_col : close_col) = static_cast<std::size_t>(it - fields.begin());
            }
            header = false;
            continue;
        }
        if (quoted) {
            if (!csv::split(line, fields))
                throw std::runtime_error(fmt::format("{}:{}: unterminated quoted value", file.string(), number));
            found = fields.size();
            if (found >= columns) date = fields[date_col], close = fields[close_col];
        }
        if (found < columns)
            throw std::runtime_error(
                fmt::format("{}:{}: expected {} values, found {}", file.string(), number, columns, found));
        int day = DateTime::day_number_of(date);
        if (day < 0) day = csv::parse_date(std::string(date), file, number).day_number();
        if (!b.days.empty() && day <= b.days.back())
            throw std::runtime_error(fmt::format("{}:{}: dates out of order: \"{}\" is not after \"{}\" of line {}",
                                                 file.string(), number, date, previous_date, previous_line));
        double value = 0.0;
        const auto [end, ec] = std::from_chars(close.data(), close.data() + close.size(), value);
        if (close.empty() || ec != std::errc() || end != close.data() + close.size() || !std::isfinite(value))
            throw std::runtime_error(fmt::format("{}:{}: invalid number \"{}\"", file.string(), number, close));
        b.days.push_back(day);
        b.closes.push_back(value);
        previous_date.assign(date);
        previous_line = number;
    }
    if (header) throw std::runtime_error(fmt::format("{}:1: missing header row", file.string()));
    return b;
}

// The bars parsed when the bundle is opened are kept for the requests while they take at most
// this many bytes (5,000 instruments of 150 days take 9 MB); beyond, the check's bars are
// dropped and each file is read again on its first use.
constexpr std::size_t kKeptBarsBytes = std::size_t{256} << 20;

std::size_t bytes_of(const Bars& b) { return b.days.size() * sizeof(int) + b.closes.size() * sizeof(double); }

// Refuses the bundle when any bar file is malformed, naming the first in instrument order; the
// parsed bars, one per file, or none when they would take more than kKeptBarsBytes. The files
// are read on a few threads: on a large bundle this is most of the opening time.
std::vector<Bars> check_bar_files(const std::vector<fs::path>& files) {
    std::vector<std::string> errors(files.size());
    std::vector<Bars> parsed(files.size());
    std::atomic<std::size_t> next{0}, kept_bytes{0};
    std::atomic<bool> keep{true};
    auto work = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
            try {
                Bars b = read_bars(files[i]);
                if (keep && kept_bytes.fetch_add(bytes_of(b)) + bytes_of(b) <= kKeptBarsBytes)
                    parsed[i] = std::move(b);
                else
                    keep = false;
            } catch (const std::exception& e) {
                errors[i] = e.what();
            }
        }
    };
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::vector<std::thread> workers;
    for (std::size_t t = 1; t < std::min(threads, files.size()); ++t) workers.emplace_back(work);
    work();
    for (auto& w : workers) w.join();
    for (const auto& error : errors)
        if (!error.empty()) throw std::runtime_error(error);
    if (!keep) parsed.clear();
    return parsed;
}

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
        // Every bar file was checked when the bundle was opened; where its bars were not kept
        // then, they are read on first use.
        std::call_once(e.loaded, [&] {
            if (!e.bar_file.empty()) e.bars = read_bars(e.bar_file);
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
        impl_->trading_days.push_back(csv::parse_date(dates.rows[r][date_col], dates.path, dates.lines[r]).day_number());
    std::sort(impl_->trading_days.begin(), impl_->trading_days.end());
    impl_->trading_days.erase(std::unique(impl_->trading_days.begin(), impl_->trading_days.end()),
                              impl_->trading_days.end());

    const csv::Table inst = csv::read(bundle_dir / "instruments.csv",
                                      {"order_book_id", "symbol", "type", "listed_date", "de_listed_date", "sector_name"});
    const auto col = [&](const char* name) { return inst.columns.at(name); };
    const fs::path bar_dir = bundle_dir / "day_bars";
    std::vector<fs::path> bar_files;
    std::vector<Entry*> with_bars;  // the entries of bar_files, in the same order
    for (std::size_t r = 0; r < inst.rows.size(); ++r) {
        const auto& row = inst.rows[r];
        auto e = std::make_unique<Entry>();
        Instrument& i = e->instrument;
        i.order_book_id = row[col("order_book_id")];
        if (i.order_book_id.empty())
            throw std::runtime_error(fmt::format("{}:{}: empty order_book_id", inst.path.string(), inst.lines[r]));
        // The id names its bar file: one that could name a file outside day_bars is refused.
        if (i.order_book_id.find('/') != std::string::npos)
            throw std::runtime_error(fmt::format("{}:{}: order_book_id \"{}\" cannot name a bar file",
                                                 inst.path.string(), inst.lines[r], i.order_book_id));
        i.symbol = row[col("symbol")];
        i.type = row[col("type")];
        const std::string& listed = row[col("listed_date")];
        if (!listed.empty()) i.listed_date = csv::parse_date(listed, inst.path, inst.lines[r], "listed_date");
        const std::string& delisted = row[col("de_listed_date")];
        i.de_listed_date =
            delisted.empty() ? DateTime::max() : csv::parse_date(delisted, inst.path, inst.lines[r], "de_listed_date");
        e->delisted_day = delisted.empty() ? std::numeric_limits<int>::max() : i.de_listed_date.day_number();
        i.sector_name = row[col("sector_name")];
        const fs::path bar_file = bar_dir / (i.order_book_id + ".csv");
        if (fs::exists(bar_file)) {
            e->bar_file = bar_file;
            bar_files.push_back(bar_file);
            with_bars.push_back(e.get());
        }
        if (!impl_->entries.emplace(i.order_book_id, std::move(e)).second)
            throw std::runtime_error(fmt::format("{}:{}: duplicate order_book_id \"{}\"", inst.path.string(),
                                                 inst.lines[r], row[col("order_book_id")]));
    }
    std::vector<Bars> parsed = check_bar_files(bar_files);
    for (std::size_t i = 0; i < parsed.size(); ++i)
        std::call_once(with_bars[i]->loaded, [&] { with_bars[i]->bars = std::move(parsed[i]); });
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

std::vector<DateTime> BaseDataSource::trading_dates(const DateTime& date, int window) const {
    const auto& days = impl_->trading_days;
    const std::size_t end = impl_->end_index(date);
    const std::size_t begin =
        window <= 0 ? end : (end > static_cast<std::size_t>(window) ? end - static_cast<std::size_t>(window) : 0);
    std::vector<DateTime> out;
    out.reserve(end - begin);
    for (std::size_t k = begin; k < end; ++k) out.push_back(DateTime::from_day_number(days[k]));
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
