// optimize(): request validation, screening of the instruments, problem assembly and dispatch.
#include "kelvane_mod_optimizer/driver.hpp"

#include <cmath>
#include <limits>
#include <map>

#include <fmt/format.h>

#include "internal.hpp"
#include "kelvane/environment.hpp"
#include "kelvane/exception.hpp"
#include "kelvane/logger.hpp"

namespace kelvane_mod_optimizer {

using kelvane::KVInvalidArgument;

namespace {

bool is_method(const Method& method, OptimizeMethod member) {
    const auto* m = std::get_if<OptimizeMethod>(&method);
    return m && *m == member;
}

std::string method_text(const Method& method) {
    if (const auto* text = std::get_if<std::string>(&method)) return *text;
    const auto member = std::get<OptimizeMethod>(method);
    switch (member) {
        case OptimizeMethod::RISK_PARITY:
        case OptimizeMethod::MIN_VARIANCE:
        case OptimizeMethod::MEAN_VARIANCE:
        case OptimizeMethod::MIN_TRACKING_ERROR: return std::string(value_text(member));
    }
    return fmt::format("OptimizeMethod({})", static_cast<int>(member));
}

// Simple daily returns p_t / p_(t-1) - 1, oldest first.
std::vector<double> simple_returns(const std::vector<double>& prices) {
    std::vector<double> returns;
    if (prices.size() < 2) return returns;
    returns.reserve(prices.size() - 1);
    for (std::size_t t = 1; t < prices.size(); ++t) returns.push_back(prices[t] / prices[t - 1] - 1.0);
    return returns;
}

void drop(bool quiet, const std::string& message) {
    if (!quiet) kelvane::user_system_log.warn(message);
}

// Each column's mean over its known cells.
Vector column_means(const ReturnTable& df) {
    Vector means(df.values.cols());
    for (Eigen::Index j = 0; j < df.values.cols(); ++j) {
        double sum = 0.0;
        Eigen::Index k = 0;
        for (Eigen::Index t = 0; t < df.values.rows(); ++t) {
            const double v = df.values(t, j);
            if (std::isnan(v)) continue;
            sum += v;
            ++k;
        }
        means[j] = k > 0 ? sum / static_cast<double>(k) : std::numeric_limits<double>::quiet_NaN();
    }
    return means;
}

// A lone instrument takes the whole weight. The caller's bounds and group limits are checked as
// for any other answer: they refuse it when they do not allow a weight of 1.
WeightMap whole_weight(const std::string& order_book_id, const DateTime& date, const OptimizeOptions& options) {
    if (options.bnds) static_cast<void>(_general_bnds({order_book_id}, options.bnds));
    if (options.cons) static_cast<void>(options.cons->to_constraint({order_book_id}, date));
    return WeightMap{{order_book_id, 1.0}};
}

}  // namespace

Screening screen_instruments(const std::vector<std::string>& order_book_ids, const DateTime& date, int window, bool quiet,
                 const kelvane::DataProxy& dp, const std::string& instrument_type) {
    std::map<std::string, std::vector<double>> data;
    std::size_t max_data_len = 0;
    const double threshold = window * 0.5;
    for (const auto& o : order_book_ids) {
        const auto instrument = dp.instruments(o);
        if (!instrument) throw KVInvalidArgument(fmt::format("invalid order book id: {}", o));
        const std::string label = _instrument_type(*instrument);
        if (label != instrument_type)
            throw KVInvalidArgument(fmt::format("传入的合约应该是同一类型的，{}({}) 和 {}({}) 类型不同",
                                                order_book_ids.front(), instrument_type, o, label));
        if (instrument->de_listed_date < date) {
            drop(quiet, fmt::format("OPTIMIZER: {} 已退市，被剔除", o));
            continue;
        }
        const std::vector<bool> suspended = dp.is_suspended(o, date, window);
        const auto suspended_days = std::count(suspended.begin(), suspended.end(), true);
        if (static_cast<double>(suspended_days) > threshold) {
            drop(quiet, fmt::format("OPTIMIZER: {} 停牌太多导致数据不足, 被剔除", o));
            continue;
        }
        const std::vector<double> bars = dp.history_bars(o, window, "1d", "close", date, false);
        if (static_cast<double>(bars.size()) < threshold) {
            drop(quiet, fmt::format("OPTIMIZER: {} 上市时间过短, 被剔除", o));
            continue;
        }
        if (std::any_of(bars.begin(), bars.end(), [](double p) { return !(std::isfinite(p) && p > 0.0); })) {
            drop(quiet, fmt::format("OPTIMIZER: {} 价格数据无效, 被剔除", o));
            continue;
        }
        std::vector<double> returns = simple_returns(bars);
        max_data_len = std::max(max_data_len, returns.size());
        data.insert_or_assign(o, std::move(returns));
    }

    if (data.empty()) throw KVInvalidArgument("OPTIMIZER: 经过剔除后，合约数目为0");
    Screening screening;
    if (data.size() == 1) {
        screening.answer = WeightMap{{data.begin()->first, 1.0}};
        return screening;
    }

    ReturnTable& df = screening.df;
    const auto rows = static_cast<Eigen::Index>(max_data_len);
    df.values = reusable_matrix(rows, static_cast<Eigen::Index>(data.size()));
    df.values.setConstant(std::numeric_limits<double>::quiet_NaN());
    Eigen::Index column = 0;
    for (const auto& [id, returns] : data) {
        df.columns.push_back(id);
        const Eigen::Index offset = rows - static_cast<Eigen::Index>(returns.size());
        for (std::size_t t = 0; t < returns.size(); ++t)
            df.values(offset + static_cast<Eigen::Index>(t), column) = returns[t];
        ++column;
    }
    return screening;
}

WeightMap optimize(const std::vector<std::string>& ids, const DateTime& date, const OptimizeOptions& options) {
    const std::vector<std::string> order_book_ids = ids;
    if (order_book_ids.empty()) throw KVInvalidArgument("传入的合约为空");
    if (order_book_ids.size() == 1) return whole_weight(order_book_ids.front(), date, options);

    // A reference of the call's own: another thread may replace the environment's proxy meanwhile.
    const std::shared_ptr<const kelvane::DataProxy> proxy = kelvane::Environment::get_instance().data_proxy.load();
    if (!proxy) throw std::logic_error("the kelvane environment has no data proxy");
    const kelvane::DataProxy& dp = *proxy;

    check_risk_aversion(options.risk_aversion_coefficient);
    check_tol(options.tol);
    if (options.window < 3)
        throw KVInvalidArgument(fmt::format("window （历史数据窗口）不能小于3，传入值为：{}", options.window));
    check_max_iteration(options.max_iteration);

    Vector benchmark_returns;
    if (is_method(options.method, OptimizeMethod::MIN_TRACKING_ERROR)) {
        if (!options.benchmark) throw KVInvalidArgument("使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数");
        const std::vector<double> returns =
            simple_returns(dp.history_bars(*options.benchmark, options.window, "1d", "close", date, false));
        benchmark_returns = Eigen::Map<const Vector>(returns.data(), static_cast<Eigen::Index>(returns.size()));
    }
    if (date < MIN_OPTIMIZE_DATE) throw KVInvalidArgument("日期不能早于2005-07-01（之前没有足够的数据）");
    const auto first = dp.instruments(order_book_ids.front());
    if (!first) throw KVInvalidArgument(fmt::format("invalid order book id: {}", order_book_ids.front()));
    const std::string instrument_type = _instrument_type(*first);

    Screening screening = screen_instruments(order_book_ids, date, options.window, options.quiet, dp, instrument_type);
    if (screening.answer) return whole_weight(screening.answer->begin()->first, date, options);
    const ReturnTable& df = screening.df;
    const auto n = static_cast<Eigen::Index>(df.columns.size());
    LabelledMatrix c_m;
    // The table and the covariance keep their storage for this thread's next call.
    struct KeepForNextCall {
        Screening& screening;
        LabelledMatrix& c_m;
        ~KeepForNextCall() {
            reuse_later(std::move(screening.df.values));
            reuse_later(std::move(c_m.values));
        }
    } keep{screening, c_m};

    // Assembly.
    const bool risk_parity = is_method(options.method, OptimizeMethod::RISK_PARITY);
    const BoundsList bounds = risk_parity && !options.bnds
                                  ? BoundsList(static_cast<std::size_t>(n), minimize::Bound{1e-6, std::nullopt})
                                  : _general_bnds(df.columns, options.bnds);
    c_m = options.cov_shrinkage ? _cov_shrinkage(df) : sample_covariance(df);
    const std::vector<ConstraintRecord> constraints =
        options.cons ? options.cons->to_constraint(df.columns, date) : std::vector<ConstraintRecord>{budget_constraint()};
    const Vector init_weight = Vector::Constant(n, 1.0 / static_cast<double>(n));

    // Dispatch.
    if (risk_parity) {
        if (!options.bnds && !options.cons)
            return risk_parity_solve(c_m, init_weight, bounds, options.max_iteration).weights;
        return risk_parity_with_cons_solve(c_m, init_weight, bounds, constraints, options.max_iteration, options.tol)
            .weights;
    }
    if (is_method(options.method, OptimizeMethod::MIN_VARIANCE))
        return min_variance_solve(c_m, init_weight, bounds, constraints, options.max_iteration, options.tol).weights;
    if (is_method(options.method, OptimizeMethod::MEAN_VARIANCE))
        return mean_variance_solve(c_m, init_weight, options.risk_aversion_coefficient, column_means(df), bounds,
                                   constraints, options.max_iteration, options.tol)
            .weights;
    if (is_method(options.method, OptimizeMethod::MIN_TRACKING_ERROR))
        return min_tracking_error_solve(init_weight, benchmark_returns, df, bounds, constraints,
                                        options.max_iteration, options.tol)
            .weights;
    throw OptimizationFailed(fmt::format("OPTIMIZE: unknown method {}", method_text(options.method)));
}

}  // namespace kelvane_mod_optimizer
