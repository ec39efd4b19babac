#include "dunlith/dunlith.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "kelvane/csv.hpp"
#include "kelvane/exception.hpp"

namespace dunlith {

namespace {

// One classification period of an instrument; end_day is empty-open when `open_end`.
struct Period {
    int start_day = 0;
    int end_day = 0;
    bool open_end = false;
    ShenWanIndustry industry;
};

// Everything a logged-in client serves. Built completely by init(), then only read.
struct Session {
    std::string user;
    std::string password;
    Address address;
    std::filesystem::path bundle_dir;
    bool has_shenwan = false;  // shenwan.csv was there (both files are optional)
    bool has_funds = false;    // funds.csv was there
    std::unordered_map<std::string, std::vector<Period>> shenwan;  // periods by start date
    std::unordered_map<std::string, fund::FundRecord> funds;
};

// The client's login. A session is replaced whole by a later init(); a query holds its own
// reference, so a concurrent re-init never changes data under it.
std::mutex session_mutex;
std::shared_ptr<const Session> current_session;

std::shared_ptr<const Client> stand_in;

std::shared_ptr<const Client> current_stand_in() {
    std::lock_guard lock(session_mutex);
    return stand_in;
}

std::shared_ptr<const Session> session() {
    std::shared_ptr<const Session> s;
    {
        std::lock_guard lock(session_mutex);
        s = current_session;
    }
    if (!s) throw std::logic_error("dunlith: init() has not been called");
    return s;
}

const std::string& cell(const kelvane::csv::Table& t, const std::vector<std::string>& row, const char* column) {
    return row[t.columns.at(column)];
}

[[noreturn]] void malformed(const kelvane::csv::Table& t, std::size_t i, const std::string& what) {
    throw std::runtime_error(fmt::format("{}:{}: {}", t.path.string(), t.lines[i], what));
}

int parse_day(const kelvane::csv::Table& t, std::size_t i, const char* column) {
    return kelvane::csv::parse_date(cell(t, t.rows[i], column), t.path, t.lines[i], column).day_number();
}

void load_shenwan(const std::filesystem::path& path, Session& s) {
    const auto t = kelvane::csv::read(path, {"order_book_id", "start_date", "end_date", "industry_code",
                                             "industry_name"});
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const auto& row = t.rows[i];
        const std::string& id = cell(t, row, "order_book_id");
        if (id.empty()) malformed(t, i, "empty order_book_id");
        Period p;
        p.start_day = parse_day(t, i, "start_date");
        p.open_end = cell(t, row, "end_date").empty();
        if (!p.open_end) {
            p.end_day = parse_day(t, i, "end_date");
            if (p.end_day < p.start_day) malformed(t, i, "end_date is before start_date");
        }
        p.industry = {cell(t, row, "industry_code"), cell(t, row, "industry_name")};
        s.shenwan[id].push_back(std::move(p));
    }
    for (auto& [id, periods] : s.shenwan)
        std::stable_sort(periods.begin(), periods.end(),
                         [](const Period& a, const Period& b) { return a.start_day < b.start_day; });
}

void load_funds(const std::filesystem::path& path, Session& s) {
    const auto t = kelvane::csv::read(path, {"order_book_id", "fund_type"});
    for (std::size_t i = 0; i < t.rows.size(); ++i) {
        const auto& row = t.rows[i];
        const std::string& id = cell(t, row, "order_book_id");
        if (id.empty()) malformed(t, i, "empty order_book_id");
        if (!s.funds.emplace(id, fund::FundRecord{id, cell(t, row, "fund_type")}).second)
            malformed(t, i, fmt::format("duplicate order_book_id \"{}\"", id));
    }
}

constexpr const char* SHENWAN_FILE = "shenwan.csv";
constexpr const char* FUNDS_FILE = "funds.csv";

// A query whose file the logged-in bundle lacks: a request this bundle cannot answer.
[[noreturn]] void missing_file(const Session& s, const char* file, const char* what) {
    throw kelvane::KVInvalidArgument(
        fmt::format("dunlith: {} does not exist, so there is no {} to look up", (s.bundle_dir / file).string(), what));
}

std::filesystem::path default_bundle_dir() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) throw std::runtime_error("dunlith: HOME is not set, so there is no default bundle");
    return std::filesystem::path(home) / ".kelvane" / "bundle";
}

}  // namespace

void init(const std::string& user, const std::string& password, const Address& address) {
    init(user, password, address, default_bundle_dir());
}

void init(const std::string& user, const std::string& password, const Address& address,
          const std::filesystem::path& bundle_dir) {
    auto s = std::make_shared<Session>();
    s->user = user;
    s->password = password;
    s->address = address;
    s->bundle_dir = bundle_dir;
    if (!std::filesystem::is_directory(bundle_dir))
        throw std::runtime_error(fmt::format("dunlith: the bundle directory {} does not exist", bundle_dir.string()));
    // Both files are optional: a bundle of stocks only needs neither. A query that needs a missing
    // one fails naming it.
    s->has_shenwan = std::filesystem::exists(bundle_dir / SHENWAN_FILE);
    s->has_funds = std::filesystem::exists(bundle_dir / FUNDS_FILE);
    if (s->has_shenwan) load_shenwan(bundle_dir / SHENWAN_FILE, *s);
    if (s->has_funds) load_funds(bundle_dir / FUNDS_FILE, *s);
    std::lock_guard lock(session_mutex);
    current_session = std::move(s);
}

std::optional<ShenWanIndustry> shenwan_instrument_industry(const std::string& order_book_id,
                                                           const kelvane::DateTime& date) {
    if (const auto client = current_stand_in()) return client->shenwan_instrument_industry(order_book_id, date);
    const auto s = session();
    if (!s->has_shenwan) missing_file(*s, SHENWAN_FILE, "ShenWan industry");
    const auto it = s->shenwan.find(order_book_id);
    if (it == s->shenwan.end()) return std::nullopt;
    const int day = date.day_number();
    // Periods should not overlap; if they do, the one that started last wins.
    for (auto p = it->second.rbegin(); p != it->second.rend(); ++p)
        if (p->start_day <= day && (p->open_end || day <= p->end_day)) return p->industry;
    return std::nullopt;
}

void set_client(std::shared_ptr<const Client> client) {
    std::shared_ptr<const Client> previous;  // released outside the lock
    std::lock_guard lock(session_mutex);
    previous = std::exchange(stand_in, std::move(client));
}

namespace fund {

std::optional<FundRecord> instruments(const std::string& order_book_id) {
    if (const auto client = current_stand_in()) return client->fund_instruments(order_book_id);
    const auto s = session();
    if (!s->has_funds) missing_file(*s, FUNDS_FILE, "fund type");
    const auto it = s->funds.find(order_book_id);
    if (it == s->funds.end()) return std::nullopt;
    return it->second;
}

}  // namespace fund

}  // namespace dunlith
