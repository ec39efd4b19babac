// DataProxy: what strategies and plug-ins use to read market data. Its operations are virtual
// so that a test can stand in a proxy of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvane/data_source.hpp"

namespace kelvane {

class DataProxy {
public:
    explicit DataProxy(std::shared_ptr<const BaseDataSource> source);
    virtual ~DataProxy() = default;

    // The record, or std::nullopt when the host does not know the id.
    [[nodiscard]] virtual std::optional<Instrument> instruments(const std::string& order_book_id) const;
    // One record per id, in the same order.
    [[nodiscard]] virtual std::vector<std::optional<Instrument>> instruments(
        const std::vector<std::string>& order_book_ids) const;

    // Daily closes up to `date`, oldest first, at most `window` values. Only frequency "1d",
    // field "close" and skip_suspended false are offered; anything else throws KVInvalidArgument.
    [[nodiscard]] virtual std::vector<double> history_bars(const std::string& order_book_id, int window,
                                                           std::string_view frequency,
                                                           std::string_view field, const DateTime& date,
                                                           bool skip_suspended = false) const;
    // One truth value per day of the `window` trading days ending at `date`.
    [[nodiscard]] virtual std::vector<bool> is_suspended(const std::string& order_book_id,
                                                         const DateTime& date, int window) const;
    // The last `window` trading days on or before the calendar day of `date`, oldest first (at
    // midnight). A proxy that knows no calendar returns none.
    [[nodiscard]] virtual std::vector<DateTime> trading_dates(const DateTime& date, int window) const;

protected:
    DataProxy() = default;  // for test doubles that serve data of their own

private:
    std::shared_ptr<const BaseDataSource> source_;
};

}  // namespace kelvane
