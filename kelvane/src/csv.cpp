#include "kelvane/csv.hpp"

#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

namespace kelvane::csv {

DateTime parse_date(const std::string& text, const std::filesystem::path& path, std::size_t line,
                    std::string_view column) {
    try {
        return DateTime::parse(text);
    } catch (const std::invalid_argument&) {
        throw std::runtime_error(fmt::format("{}:{}: invalid {} \"{}\"", path.string(), line, column, text));
    }
}

bool split(std::string_view line, std::vector<std::string>& fields) {
    fields.clear();
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.push_back(std::move(field));
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(std::move(field));
    return !quoted;
}

Table read(const std::filesystem::path& path, const std::vector<std::string>& required) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(fmt::format("{}: cannot open the file", path.string()));
    Table table;
    table.path = path;
    std::string line;
    std::size_t number = 0;
    std::vector<std::string> fields;
    std::size_t width = 0;  // values in the header row (a name written twice still counts twice)
    bool header = true;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (header && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (line.empty()) continue;
        if (!split(line, fields))
            throw std::runtime_error(fmt::format("{}:{}: unterminated quoted value", path.string(), number));
        if (header) {
            width = fields.size();
            for (std::size_t i = 0; i < fields.size(); ++i) table.columns.emplace(fields[i], i);
            for (const auto& name : required)
                if (!table.columns.count(name))
                    throw std::runtime_error(fmt::format("{}:{}: missing column \"{}\"", path.string(), number, name));
            header = false;
            continue;
        }
        if (fields.size() < width)
            throw std::runtime_error(
                fmt::format("{}:{}: expected {} values, found {}", path.string(), number, width, fields.size()));
        table.rows.push_back(fields);
        table.lines.push_back(number);
    }
    if (header) throw std::runtime_error(fmt::format("{}:1: missing header row", path.string()));
    return table;
}

}  // namespace kelvane::csv
