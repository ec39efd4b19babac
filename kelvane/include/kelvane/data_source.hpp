// BaseDataSource: the host's market data read from a bundle directory (see docs/bundle.md).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/datetime.hpp"
#include "kelvane/instrument.hpp"

namespace kelvane {

class BaseDataSource {
public:
    // Opens and checks the whole bundle, bar files included; throws std::runtime_error naming the
    // file and line of the first defect. Bars are kept in memory from their first use on.
    explicit BaseDataSource(const std::filesystem::path& bundle_dir);
    ~BaseDataSource();
    BaseDataSource(const BaseDataSource&) = delete;
    BaseDataSource& operator=(const BaseDataSource&) = delete;

    // nullptr for an unknown id. The record lives as long as the data source.
    [[nodiscard]] const Instrument* instrument(const std::string& order_book_id) const;

    // Closes of the last `window` trading days on or before date's calendar day, oldest first,
    // leaving out days before the first bar; suspended days repeat the last close.
    [[nodiscard]] std::vector<double> closes(const std::string& order_book_id, int window,
                                             const DateTime& date) const;
    // One flag per each of the last `window` trading days on or before date's calendar day.
    [[nodiscard]] std::vector<bool> suspended(const std::string& order_book_id,
                                              const DateTime& date, int window) const;
    // The last `window` trading days on or before date's calendar day, oldest first, at midnight.
    [[nodiscard]] std::vector<DateTime> trading_dates(const DateTime& date, int window) const;

    [[nodiscard]] const std::filesystem::path& directory() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kelvane
