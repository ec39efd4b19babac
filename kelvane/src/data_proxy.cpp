#include "kelvane/data_proxy.hpp"

#include <fmt/format.h>

#include "kelvane/exception.hpp"

namespace kelvane {

DataProxy::DataProxy(std::shared_ptr<const BaseDataSource> source) : source_(std::move(source)) {
    if (!source_) throw KVInvalidArgument("DataProxy needs a data source");
}

std::optional<Instrument> DataProxy::instruments(const std::string& order_book_id) const {
    const Instrument* i = source_->instrument(order_book_id);
    if (!i) return std::nullopt;
    return *i;
}

std::vector<std::optional<Instrument>> DataProxy::instruments(const std::vector<std::string>& order_book_ids) const {
    std::vector<std::optional<Instrument>> out;
    out.reserve(order_book_ids.size());
    for (const auto& id : order_book_ids) out.push_back(instruments(id));
    return out;
}

std::vector<double> DataProxy::history_bars(const std::string& order_book_id, int window, std::string_view frequency,
                                            std::string_view field, const DateTime& date, bool skip_suspended) const {
    if (frequency != "1d") throw KVInvalidArgument(fmt::format("history_bars: unsupported frequency \"{}\"", frequency));
    if (field != "close") throw KVInvalidArgument(fmt::format("history_bars: unsupported field \"{}\"", field));
    if (skip_suspended) throw KVInvalidArgument("history_bars: skip_suspended=true is not supported");
    if (window < 1) throw KVInvalidArgument(fmt::format("history_bars: window must be at least 1, got {}", window));
    return source_->closes(order_book_id, window, date);
}

std::vector<bool> DataProxy::is_suspended(const std::string& order_book_id, const DateTime& date, int window) const {
    if (window < 1) throw KVInvalidArgument(fmt::format("is_suspended: window must be at least 1, got {}", window));
    return source_->suspended(order_book_id, date, window);
}

std::vector<DateTime> DataProxy::trading_dates(const DateTime& date, int window) const {
    if (window < 1) throw KVInvalidArgument(fmt::format("trading_dates: window must be at least 1, got {}", window));
    if (!source_) return {};
    return source_->trading_dates(date, window);
}

}  // namespace kelvane
