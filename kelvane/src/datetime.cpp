#include "kelvane/datetime.hpp"

#include <charconv>
#include <stdexcept>

#include <fmt/format.h>

namespace kelvane {

namespace {

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

bool valid_day(int y, int m, int d) { return y >= 1 && y <= 9999 && m >= 1 && m <= 12 && d >= 1 && d <= days_in_month(y, m); }

// Days from civil (proleptic Gregorian), 1970-01-01 = 0, for a valid day.
int days_from_civil(int year, int month, int day) {
    const int y = month <= 2 ? year - 1 : year;
    const int era = y / 400;  // y >= 0 for the years DateTime accepts
    const int yoe = y - era * 400;
    const int doy = (153 * ((month + 9) % 12) + 2) / 5 + day - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The inverse of days_from_civil for days on or after 0000-03-01.
DateTime civil_from_days(int days) {
    const int z = days + 719468;
    const int era = z / 146097;
    const int doe = z - era * 146097;
    const int yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int mp = (5 * doy + 2) / 153;
    const int day = doy - (153 * mp + 2) / 5 + 1;
    const int month = mp < 10 ? mp + 3 : mp - 9;
    return DateTime(yoe + era * 400 + (month <= 2 ? 1 : 0), month, day);
}

bool parse_int(std::string_view text, int& out) {
    if (text.empty()) return false;
    const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size();
}

}  // namespace

DateTime::DateTime(int y, int mo, int d, int h, int mi, int s)
    : year(y), month(mo), day(d), hour(h), minute(mi), second(s) {
    if (!valid_day(y, mo, d) || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
        throw std::invalid_argument(fmt::format("invalid date-time {:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", y, mo, d,
                                                h, mi, s));
}

DateTime DateTime::parse(std::string_view text) {
    const auto fail = [&]() -> DateTime {
        throw std::invalid_argument(fmt::format("invalid date \"{}\" (expected YYYY-MM-DD, YYYY-MM-DD HH:MM:SS or YYYY-MM-DDTHH:MM:SS)", text));
    };
    if (text.size() != 10 && text.size() != 19) return fail();
    if (text[4] != '-' || text[7] != '-') return fail();
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!parse_int(text.substr(0, 4), y) || !parse_int(text.substr(5, 2), mo) || !parse_int(text.substr(8, 2), d))
        return fail();
    if (text.size() == 19) {
        if ((text[10] != ' ' && text[10] != 'T') || text[13] != ':' || text[16] != ':') return fail();
        if (!parse_int(text.substr(11, 2), h) || !parse_int(text.substr(14, 2), mi) || !parse_int(text.substr(17, 2), s))
            return fail();
    }
    try {
        return DateTime(y, mo, d, h, mi, s);
    } catch (const std::invalid_argument&) {
        return fail();
    }
}

DateTime DateTime::max() { return DateTime(9999, 12, 31, 23, 59, 59); }

int DateTime::day_number() const { return days_from_civil(year, month, day); }

DateTime DateTime::from_day_number(int days) { return civil_from_days(days); }

int DateTime::day_number_of(std::string_view t) noexcept {
    if (t.size() != 10 || t[4] != '-' || t[7] != '-') return -1;
    int v[3] = {0, 0, 0};
    const std::size_t begin[3] = {0, 5, 8}, end[3] = {4, 7, 10};
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = begin[k]; i < end[k]; ++i) {
            if (t[i] < '0' || t[i] > '9') return -1;
            v[k] = v[k] * 10 + (t[i] - '0');
        }
    return valid_day(v[0], v[1], v[2]) ? days_from_civil(v[0], v[1], v[2]) : -1;
}

std::string DateTime::to_string() const {
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}", year, month, day, hour, minute, second);
}

std::ostream& operator<<(std::ostream& os, const DateTime& dt) { return os << dt.to_string(); }

}  // namespace kelvane
