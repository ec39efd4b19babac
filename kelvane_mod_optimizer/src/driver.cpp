// optimize(): request validation, screening of the instruments, problem assembly and dispatch.
#include "kelvane_mod_optimizer/driver.hpp"

#include <chrono>
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

// Simple daily returns p_t / p_(t-1) - 1, oldest first, of prices[first], prices[first + 1], ...:
// as many as `returns` holds.
void write_simple_returns(const std::vector<double>& prices, std::size_t first, Eigen::Ref<Vector> returns) {
    for (Eigen::Index t = 0; t < returns.size(); ++t) {
        const std::size_t bar = first + static_cast<std::size_t>(t);
        returns[t] = prices[bar + 1] / prices[bar] - 1.0;
    }
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

// The provider's records, refused when one of them was built for another list of instruments
// than the one handed to it (its limits would fall on other instruments).
std::vector<ConstraintRecord> records_for(const ConstraintProvider& provider, const std::vector<std::string>& ids,
                                          const DateTime& date) {
    std::vector<ConstraintRecord> records = provider.to_constraint(ids, date);
    for (const auto& record : records)
        if (record.instruments != 0 && record.instruments != ids.size())
            throw KVInvalidArgument(fmt::format("OPTIMIZER: 约束条件是按 {} 个合约构建的，而待优化的合约有 {} 个",
                                                record.instruments, ids.size()));
    return records;
}

// A lone instrument takes the whole weight. That weight is checked as any answer is: against the
// caller's bounds, the group limits and every record of the caller's own, which refuse it when
// they do not allow a weight of 1.
WeightMap whole_weight(const std::string& order_book_id, const DateTime& date, const OptimizeOptions& options,
                       Report* report) {
    const std::vector<std::string> ids{order_book_id};
    const BoundsList bounds = _general_bnds(ids, options.bnds);
    const std::vector<ConstraintRecord> records =
        options.cons ? records_for(*options.cons, ids, date) : std::vector<ConstraintRecord>{budget_constraint()};
    const Vector weight = Vector::Ones(1);
    if (report) describe_limits(*report, ids, weight, bounds, records, options.cons.get());
    certify_feasible(ids, weight, bounds, records);
    WeightMap answer{{order_book_id, 1.0}};
    if (report) {
        report->solve.outcome = SolveOutcome::lone_instrument;
        report->risk = {InstrumentRisk{order_book_id, 1.0, 0.0, 1.0}};
    }
    return answer;
}

// How the solve ended, from the solver's summary, and the spread of the risk contributions at w
// (cw = Cw): max_i |t_i − t̄| / t̄ of t = w ⊙ Cw, infinite unless t̄ is positive and finite.
SolveReport solve_report(const SolveSummary& summary, const Vector& w, const Vector& cw) {
    SolveReport r;
    switch (summary.termination) {
        case Termination::converged: r.outcome = SolveOutcome::converged; break;
        case Termination::iteration_limit: r.outcome = SolveOutcome::iteration_limit; break;
        case Termination::exact_start: r.outcome = SolveOutcome::exact_start; break;
        case Termination::failed: r.outcome = SolveOutcome::failed; break;
    }
    r.iterations = summary.iterations;
    if (std::isfinite(summary.objective)) r.objective = summary.objective;
    const Vector t = w.cwiseProduct(cw);
    const double mean = t.mean();
    r.contribution_spread = mean > 0.0 && t.allFinite() ? (t.array() - mean).abs().maxCoeff() / mean
                                                        : std::numeric_limits<double>::infinity();
    return r;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

Screening screen_instruments(const std::vector<std::string>& order_book_ids, const DateTime& date, int window, bool quiet,
                 const kelvane::DataProxy& dp, const std::string& instrument_type,
                 std::vector<DroppedInstrument>* dropped) {
    const auto leave_out = [&](const std::string& o, const std::string& message) {
        if (dropped) dropped->push_back(DroppedInstrument{o, message});
        drop(quiet, message);
    };
    // The return table is written as the instruments are read, one column per distinct identifier
    // in ascending order, as many rows as the longest history so far (it grows, rarely: histories
    // are as a rule all of the window's length), each history at the bottom and NaN above it; the
    // columns of dropped instruments, never touched, go at the end. (Returns kept per instrument
    // first and copied into the table cost a second table's worth of fresh memory.)
    std::vector<std::string> ids = order_book_ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    const Eigen::Index most_rows = std::max(window - 1, 0);
    Matrix table;
    std::vector<char> kept(ids.size(), 0);
    Eigen::Index max_data_len = 0;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double threshold = window * 0.5;
    for (const auto& o : order_book_ids) {
        const auto instrument = dp.instruments(o);
        if (!instrument) throw KVInvalidArgument(fmt::format("invalid order book id: {}", o));
        const std::string label = _instrument_type(*instrument);
        if (label != instrument_type)
            throw KVInvalidArgument(fmt::format("传入的合约应该是同一类型的，{}({}) 和 {}({}) 类型不同",
                                                order_book_ids.front(), instrument_type, o, label));
        if (instrument->de_listed_date < date) {
            leave_out(o, fmt::format("OPTIMIZER: {} 已退市，被剔除", o));
            continue;
        }
        const std::vector<bool> suspended = dp.is_suspended(o, date, window);
        const auto suspended_days = std::count(suspended.begin(), suspended.end(), true);
        if (static_cast<double>(suspended_days) > threshold) {
            leave_out(o, fmt::format("OPTIMIZER: {} 停牌太多导致数据不足, 被剔除", o));
            continue;
        }
        const std::vector<double> bars = dp.history_bars(o, window, "1d", "close", date, false);
        if (static_cast<double>(bars.size()) < threshold) {
            leave_out(o, fmt::format("OPTIMIZER: {} 上市时间过短, 被剔除", o));
            continue;
        }
        if (std::any_of(bars.begin(), bars.end(), [](double p) { return !(std::isfinite(p) && p > 0.0); })) {
            leave_out(o, fmt::format("OPTIMIZER: {} 价格数据无效, 被剔除", o));
            continue;
        }
        // The returns of the window's latest bars.
        const auto first_bar = static_cast<std::size_t>(std::max<Eigen::Index>(
            0, static_cast<Eigen::Index>(bars.size()) - 1 - most_rows));
        const auto length = static_cast<Eigen::Index>(bars.size() > first_bar + 1 ? bars.size() - first_bar - 1 : 0);
        if (length > max_data_len || table.size() == 0) {
            // The first history, or one longer than all before it: the columns so far move down.
            Matrix grown = reusable_matrix(std::max(length, max_data_len), static_cast<Eigen::Index>(ids.size()));
            const Eigen::Index added = grown.rows() - max_data_len;
            for (std::size_t c = 0; c < ids.size(); ++c) {
                if (!kept[c]) continue;
                const auto j = static_cast<Eigen::Index>(c);
                grown.col(j).head(added).setConstant(kNaN);
                grown.col(j).tail(max_data_len) = table.col(j);
            }
            reuse_later(std::move(table));
            table = std::move(grown);
            max_data_len = table.rows();
        }
        const auto column = std::lower_bound(ids.begin(), ids.end(), o) - ids.begin();
        auto returns = table.col(column);
        const Eigen::Index offset = max_data_len - length;
        returns.head(offset).setConstant(kNaN);
        write_simple_returns(bars, first_bar, returns.tail(length));
        kept[static_cast<std::size_t>(column)] = 1;
    }

    const auto survivors = std::count(kept.begin(), kept.end(), 1);
    if (survivors == 0) throw KVInvalidArgument("OPTIMIZER: 经过剔除后，合约数目为0");
    Screening screening;
    if (survivors == 1) {
        screening.answer =
            WeightMap{{ids[static_cast<std::size_t>(std::find(kept.begin(), kept.end(), 1) - kept.begin())], 1.0}};
        reuse_later(std::move(table));
        return screening;
    }

    ReturnTable& df = screening.df;
    Eigen::Index column = 0;
    for (std::size_t c = 0; c < ids.size(); ++c) {
        if (!kept[c]) continue;
        if (column != static_cast<Eigen::Index>(c)) table.col(column) = table.col(static_cast<Eigen::Index>(c));
        df.columns.push_back(ids[c]);
        ++column;
    }
    table.conservativeResize(max_data_len, column);  // fewer columns: the storage is kept
    df.values = std::move(table);
    return screening;
}

namespace {

// The call itself, shared by optimize() and optimize_report(); `report` (null for optimize) gets
// what lies behind the answer, and the work it needs is done only then.
WeightMap run(const std::vector<std::string>& ids, const DateTime& date, const OptimizeOptions& options,
              Report* report) {
    const std::vector<std::string> order_book_ids = ids;
    if (order_book_ids.empty()) throw KVInvalidArgument("传入的合约为空");
    if (order_book_ids.size() == 1) return whole_weight(order_book_ids.front(), date, options, report);

    // A reference of the call's own: another thread may replace the environment's proxy meanwhile.
    const std::shared_ptr<const kelvane::DataProxy> proxy = kelvane::Environment::get_instance().data_proxy.load();
    if (!proxy) throw std::logic_error("the kelvane environment has no data proxy");
    const kelvane::DataProxy& dp = *proxy;

    check_risk_aversion(options.risk_aversion_coefficient);
    check_tol(options.tol);
    if (options.window < 3)
        throw KVInvalidArgument(fmt::format("window （历史数据窗口）不能小于3，传入值为：{}", options.window));
    check_max_iteration(options.max_iteration);

    Clock::time_point stage;
    if (report) stage = Clock::now();
    Vector benchmark_returns;
    if (is_method(options.method, OptimizeMethod::MIN_TRACKING_ERROR)) {
        if (!options.benchmark) throw KVInvalidArgument("使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数");
        const std::vector<double> bars =
            dp.history_bars(*options.benchmark, options.window, "1d", "close", date, false);
        benchmark_returns.resize(bars.size() < 2 ? 0 : static_cast<Eigen::Index>(bars.size() - 1));
        write_simple_returns(bars, 0, benchmark_returns);
    }
    if (date < MIN_OPTIMIZE_DATE) throw KVInvalidArgument("日期不能早于2005-07-01（之前没有足够的数据）");
    const auto first = dp.instruments(order_book_ids.front());
    if (!first) throw KVInvalidArgument(fmt::format("invalid order book id: {}", order_book_ids.front()));
    const std::string instrument_type = _instrument_type(*first);

    Screening screening = screen_instruments(order_book_ids, date, options.window, options.quiet, dp, instrument_type,
                                             report ? &report->dropped : nullptr);
    if (report) report->seconds.data_access = seconds_since(stage);
    if (screening.answer) return whole_weight(screening.answer->begin()->first, date, options, report);
    if (report) {
        // The returns end on the window's last trading day.
        const std::vector<DateTime> last_day = dp.trading_dates(date, 1);
        if (!last_day.empty()) report->last_bar_date = last_day.back();
    }
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
    const bool min_variance = is_method(options.method, OptimizeMethod::MIN_VARIANCE);
    const bool mean_variance = is_method(options.method, OptimizeMethod::MEAN_VARIANCE);
    const bool tracking_error = is_method(options.method, OptimizeMethod::MIN_TRACKING_ERROR);
    const BoundsList bounds = risk_parity && !options.bnds
                                  ? BoundsList(static_cast<std::size_t>(n), minimize::Bound{1e-6, std::nullopt})
                                  : _general_bnds(df.columns, options.bnds);
    if (report) stage = Clock::now();
    // The covariance in factor form where the exact path may answer and for risk parity, which
    // needs products Cx (tracking error needs none to solve, only for the report); the dense
    // matrix only where a solve needs it.
    std::optional<minimize::DiagonalPlusLowRank> factor;
    const bool plain_risk_parity = risk_parity && !options.bnds && !options.cons;
    // Risk parity under limits takes the factor form where the structured polish runs; below, the
    // dense estimate as before, so that SLSQP's answers stay what they were.
    const bool structured_risk_parity = risk_parity && n >= STRUCTURED_POLISH_SIZE;
    if (((min_variance || mean_variance) && options.max_iteration >= kExactSteps) || tracking_error ||
        plain_risk_parity || structured_risk_parity)
        factor = options.cov_shrinkage ? std::optional(shrinkage_factor(df)) : sample_covariance_factor(df);
    const auto dense_covariance = [&]() -> const LabelledMatrix& {
        if (c_m.values.size() == 0) c_m = options.cov_shrinkage ? _cov_shrinkage(df) : sample_covariance(df);
        return c_m;
    };
    if (!factor) dense_covariance();
    if (report) {
        report->seconds.covariance = seconds_since(stage);
        stage = Clock::now();
    }
    const std::vector<ConstraintRecord> constraints =
        options.cons ? records_for(*options.cons, df.columns, date) : std::vector<ConstraintRecord>{budget_constraint()};
    check_limits_admit_weights(bounds, constraints);
    const Vector init_weight = Vector::Constant(n, 1.0 / static_cast<double>(n));

    // Dispatch. With the factor form, the exact path is tried on it first; the dense solvers then
    // run the minimiser alone (without it they take the exact path on the dense matrix themselves).
    const bool exact = factor && exact_path_allowed(constraints, options.max_iteration, SolverSettings{});
    SolverSettings dense_settings;
    dense_settings.exact_quadratic = !factor;
    const auto dispatch = [&]() -> SolveResult {
        if (risk_parity) {
            if (plain_risk_parity)
                return factor ? risk_parity_solve(df.columns, {&*factor, nullptr}, init_weight, bounds,
                                                  options.max_iteration)
                              : risk_parity_solve(dense_covariance(), init_weight, bounds, options.max_iteration);
            if (factor)
                return risk_parity_with_cons_solve(df.columns, {&*factor, nullptr}, init_weight, bounds, constraints,
                                                   options.max_iteration, options.tol);
            return risk_parity_with_cons_solve(dense_covariance(), init_weight, bounds, constraints,
                                               options.max_iteration, options.tol);
        }
        if (min_variance) {
            if (exact)
                if (auto r = exact_min_variance(df.columns, {&*factor, nullptr}, init_weight, bounds, constraints))
                    return std::move(*r);
            return min_variance_solve(dense_covariance(), init_weight, bounds, constraints, options.max_iteration,
                                      options.tol, dense_settings);
        }
        if (mean_variance) {
            const Vector mu = column_means(df);
            const double lambda = options.risk_aversion_coefficient.value();
            if (exact)
                if (auto r = exact_mean_variance(df.columns, {&*factor, nullptr}, lambda, mu, init_weight, bounds,
                                                 constraints))
                    return std::move(*r);
            return mean_variance_solve(dense_covariance(), init_weight, options.risk_aversion_coefficient, mu, bounds,
                                       constraints, options.max_iteration, options.tol, dense_settings);
        }
        if (tracking_error)
            return min_tracking_error_solve(init_weight, benchmark_returns, df, bounds, constraints,
                                            options.max_iteration, options.tol);
        throw OptimizationFailed(fmt::format("OPTIMIZE: unknown method {}", method_text(options.method)));
    };
    if (!report) return dispatch().weights;

    SolveResult result = dispatch();
    WeightMap& answer = result.weights;
    report->seconds.solve = seconds_since(stage);
    Vector w(n);
    for (Eigen::Index i = 0; i < n; ++i) w[i] = answer.at(df.columns[static_cast<std::size_t>(i)]);
    const Vector cw = c_m.values.size() ? Vector(c_m.values * w) : Vector(*factor * w);
    describe_limits(*report, df.columns, w, bounds, constraints, options.cons.get());
    describe_risk(*report, answer, df.columns, w, cw);
    report->solve = solve_report(result.summary, w, cw);
    return std::move(answer);
}

}  // namespace

WeightMap optimize(const std::vector<std::string>& ids, const DateTime& date, const OptimizeOptions& options) {
    return run(ids, date, options, nullptr);
}

void optimize_report(const std::vector<std::string>& ids, const DateTime& date, const OptimizeOptions& options,
                     Report& report) {
    report = Report{};
    try {
        report.weights = run(ids, date, options, &report);
    } catch (const std::exception& e) {
        report.solve.outcome = SolveOutcome::failed;
        report.solve.message = e.what();
        throw;
    }
}

Report optimize_report(const std::vector<std::string>& ids, const DateTime& date, const OptimizeOptions& options) {
    Report report;
    optimize_report(ids, date, options, report);
    return report;
}

}  // namespace kelvane_mod_optimizer
