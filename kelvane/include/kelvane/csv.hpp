// A small reader for the bundle's CSV files: header row, comma separated, optional double quotes.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kelvane/datetime.hpp"

namespace kelvane::csv {

struct Table {
    std::filesystem::path path;
    std::map<std::string, std::size_t> columns;  // header name to position
    std::vector<std::vector<std::string>> rows;   // data rows
    std::vector<std::size_t> lines;               // 1-based file line of each row
};

// Reads the whole file; throws std::runtime_error naming the file (and line) when it cannot be
// read, a row is malformed, or one of `required` columns is missing.
Table read(const std::filesystem::path& path, const std::vector<std::string>& required);

// The date-time in `text`, read from `column` of line `line` of `path`; throws
// std::runtime_error "path:line: invalid column \"text\"" when it is none.
DateTime parse_date(const std::string& text, const std::filesystem::path& path, std::size_t line,
                    std::string_view column = "date");

// Splits one line into fields (double quotes group, "" is a literal quote). Returns false on an
// unterminated quote.
bool split(std::string_view line, std::vector<std::string>& fields);

}  // namespace kelvane::csv
