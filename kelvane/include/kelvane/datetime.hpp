// A calendar date-time with second resolution, as the host passes request dates.
#pragma once

#include <compare>
#include <ostream>
#include <string>
#include <string_view>

namespace kelvane {

struct DateTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;

    // Throws std::invalid_argument for a day that does not exist or a time out of range.
    DateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
    DateTime() = default;

    // Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DDTHH:MM:SS"; throws std::invalid_argument naming the text.
    static DateTime parse(std::string_view text);
    // A date-time later than any request date (used for instruments that are not delisted).
    static DateTime max();

    // Days since 1970-01-01 of the calendar day (the time of day is ignored).
    [[nodiscard]] int day_number() const;
    // The calendar day (at midnight) whose day_number() is `days`.
    static DateTime from_day_number(int days);
    // day_number() of a "YYYY-MM-DD" text, building nothing (for readers of many dates); -1 when
    // the text has another form or names no day (parse() then says what is wrong).
    static int day_number_of(std::string_view yyyy_mm_dd) noexcept;
    [[nodiscard]] DateTime date_only() const { return DateTime(year, month, day); }
    // "2014-01-04 00:00:00"
    [[nodiscard]] std::string to_string() const;

    friend auto operator<=>(const DateTime&, const DateTime&) = default;
    friend bool operator==(const DateTime&, const DateTime&) = default;
};

std::ostream& operator<<(std::ostream& os, const DateTime& dt);

}  // namespace kelvane
