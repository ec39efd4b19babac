#include "dunlith/dunlith.hpp"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "kelvane/csv.hpp"

namespace dunlith {

namespace fs = std::filesystem;

namespace {

struct Period {
    int start = 0;
    int end = 0;  // inclusive
    ShenWanIndustry industry;
};

struct Session {
    std::string user;
    Address address;
    std::map<std::string, std::vector<Period>> shenwan;
    std::map<std::string, fund::FundRecord> funds;
};

// The logged-in client, replaced as a whole by init().
std::shared_ptr<const Session>& session() {
    static std::shared_ptr<const Session> s;
    return s;
}
std::mutex& session_mutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const Session> current() {
    std::lock_guard lock(session_mutex());
    if (!session()) throw std::logic_error("dunlith: init() has not been called");
    return session();
}

int day_of(const std::string& text, const fs::path& file, std::size_t line) {
    try {
        return kelvane::DateTime::parse(text).day_number();
    } catch (const std::invalid_argument&) {
        throw std::runtime_error(fmt::format("{}:{}: invalid date \"{}\"", file.string(), line, text));
    }
}

fs::path default_bundle() {
    const char* home = std::getenv("HOME");
    return fs::path(home ? home : ".") / ".kelvane" / "bundle";
}

}  // namespace

void init(const std::string& user, const std::string& password, const Address& address) {
    init(user, password, address, default_bundle());
}

void init(const std::string& user, const std::string&, const Address& address, const fs::path& bundle_dir) {
    auto s = std::make_shared<Session>();
    s->user = user;
    s->address = address;
    const fs::path shenwan = bundle_dir / "shenwan.csv";
    if (fs::exists(shenwan)) {
        const auto t = kelvane::csv::read(shenwan, {"order_book_id", "start_date", "end_date", "industry_code", "industry_name"});
        const auto col = [&](const char* name) { return t.columns.at(name); };
        for (std::size_t r = 0; r < t.rows.size(); ++r) {
            const auto& row = t.rows[r];
            Period p;
            p.start = day_of(row[col("start_date")], t.path, t.lines[r]);
            const std::string& end = row[col("end_date")];
            p.end = end.empty() ? std::numeric_limits<int>::max() : day_of(end, t.path, t.lines[r]);
            p.industry = {row[col("industry_code")], row[col("industry_name")]};
            s->shenwan[row[col("order_book_id")]].push_back(std::move(p));
        }
    }
    const fs::path funds = bundle_dir / "funds.csv";
    if (fs::exists(funds)) {
        const auto t = kelvane::csv::read(funds, {"order_book_id", "fund_type"});
        for (const auto& row : t.rows) {
            const std::string& id = row[t.columns.at("order_book_id")];
            s->funds[id] = fund::FundRecord{id, row[t.columns.at("fund_type")]};
        }
    }
    std::lock_guard lock(session_mutex());
    session() = std::move(s);
}

bool initialized() {
    std::lock_guard lock(session_mutex());
    return session() != nullptr;
}

std::optional<ShenWanIndustry> shenwan_instrument_industry(const std::string& order_book_id,
                                                           const kelvane::DateTime& date) {
    const auto s = current();
    auto it = s->shenwan.find(order_book_id);
    if (it == s->shenwan.end()) return std::nullopt;
    const int day = date.day_number();
    for (const auto& p : it->second)
        if (p.start <= day && day <= p.end) return p.industry;
    return std::nullopt;
}

namespace fund {

std::optional<FundRecord> instruments(const std::string& order_book_id) {
    const auto s = current();
    auto it = s->funds.find(order_book_id);
    if (it == s->funds.end()) return std::nullopt;
    return it->second;
}

}  // namespace fund

}  // namespace dunlith
