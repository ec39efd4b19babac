// optimize() end to end over an in-memory host: argument checks, screening, dispatch to the solvers.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "expect_message.hpp"
#include "fake_host.hpp"
#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kelvane::DateTime;
using kelvane::KVInvalidArgument;
using kmo::OptimizeMethod;
using testing_host::HostFixture;
using testing_host::walk;

namespace {

const DateTime DATE(2014, 1, 4);

// Four stocks, two funds and an index, each with 132 unsuspended closes.
struct Universe : HostFixture {
    Universe() {
        unsigned seed = 1;
        for (const char* id : {"600519.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG"}) add(id, "CS", seed++);
        add("510050.XSHG", "ETF", 9);
        add("160706.XSHE", "LOF", 10);
        add("000300.XSHG", "INDX", 99, 0.012);
    }
    void add(const std::string& id, const std::string& type, unsigned seed, double vol = 0.02) {
        proxy->add(id, type, walk(132, seed, vol), std::vector<bool>(132, false));
    }
};

double sum_of(const kmo::WeightMap& w) {
    double s = 0.0;
    for (const auto& [id, v] : w) s += v;
    return s;
}

}  // namespace

TEST(OptimizeValidation, ChecksInTheirOrderWithExactMessages) {
    Universe u;
    const std::vector<std::string> ids{"600519.XSHG", "601398.XSHG"};
    const double nan = std::nan("");
    const std::string aversion = "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：";
    const std::string tol = "tol （收敛精度）必须是有限的正数，传入值为：";
    struct Case {
        std::vector<std::string> ids;
        DateTime date;
        kmo::OptimizeOptions options;
        std::string message;
    };
    const std::vector<Case> cases{
        {{}, DATE, {}, "传入的合约为空"},
        {ids, DATE, {.risk_aversion_coefficient = -0.5}, aversion + "-0.5"},
        {ids, DATE, {.risk_aversion_coefficient = nan}, aversion + "nan"},
        // Risk aversion comes before the tolerance and window checks.
        {ids, DATE, {.risk_aversion_coefficient = -1, .tol = 0.0}, aversion + "-1"},
        {ids, DATE, {.tol = 0.0}, tol + "0.0"},
        {ids, DATE, {.tol = nan}, tol + "nan"},
        {ids, DATE, {.window = 2}, "window （历史数据窗口）不能小于3，传入值为：2"},
        // The benchmark check comes before the date check.
        {ids, DateTime(2001, 1, 1), {.method = OptimizeMethod::MIN_TRACKING_ERROR},
         "使用 MIN_TRACKING_ERROR 方法时，必须传入 benchmark 参数"},
        {ids, DateTime(2005, 6, 30, 23, 59, 59), {}, "日期不能早于2005-07-01（之前没有足够的数据）"},
        {{"000000.XSHG", "601398.XSHG"}, DATE, {}, "invalid order book id: 000000.XSHG"},
        {{"601398.XSHG", "000000.XSHG"}, DATE, {}, "invalid order book id: 000000.XSHG"},
        // One asset class per request.
        {{"601398.XSHG", "510050.XSHG"}, DATE, {},
         "传入的合约应该是同一类型的，601398.XSHG(股票) 和 510050.XSHG(场内基金) 类型不同"},
        {{"000300.XSHG", "601398.XSHG"}, DATE, {}, "不支持的合约类型：INDX(000300.XSHG)"},
    };
    for (const auto& c : cases)
        EXPECT_THROW_MESSAGE(kmo::optimize(c.ids, c.date, c.options), KVInvalidArgument, c.message);
    EXPECT_NO_THROW(kmo::optimize(ids, DateTime(2005, 7, 1)));
    EXPECT_NO_THROW(kmo::optimize(ids, DATE, {.risk_aversion_coefficient = 0}));
    EXPECT_EQ(kmo::optimize({"510050.XSHG", "160706.XSHE"}, DATE).size(), 2u);
}

TEST(OptimizeScreening, DropsWithWarningsAtTheThresholds) {
    Universe u;
    const auto add = [&](const std::string& id, std::size_t days, int suspended_days = 0) {
        std::vector<bool> flags(132, false);
        std::fill_n(flags.begin(), suspended_days, true);
        u.proxy->add(id, "CS", walk(days, static_cast<unsigned>(u.proxy->data.size())), flags);
        return &u.proxy->data.at(id);
    };
    add("delisted", 132)->record.de_listed_date = DateTime(2014, 1, 3);
    add("delisted_today", 132)->record.de_listed_date = DATE;
    add("suspended66", 132, 66);
    add("suspended67", 132, 67);
    add("bars66", 66);
    add("bars65", 65);
    add("zero_price", 132)->closes[40] = 0.0;
    add("nan_price", 132)->closes[100] = std::nan("");

    const std::vector<std::string> ids{"delisted", "delisted_today", "suspended66", "suspended67", "bars66",
                                       "bars65",   "zero_price",     "nan_price",   "601398.XSHG"};
    const auto s = kmo::screen_instruments(ids, DATE, 132, false, *u.proxy, "股票");
    EXPECT_EQ(u.messages(), (std::vector<std::string>{
                                "OPTIMIZER: delisted 已退市，被剔除",
                                "OPTIMIZER: suspended67 停牌太多导致数据不足, 被剔除",
                                "OPTIMIZER: bars65 上市时间过短, 被剔除",
                                "OPTIMIZER: zero_price 价格数据无效, 被剔除",
                                "OPTIMIZER: nan_price 价格数据无效, 被剔除",
                            }));
    for (const auto& e : u.log) EXPECT_EQ(e.first, kelvane::LogLevel::warn);
    EXPECT_EQ(s.df.columns, (std::vector<std::string>{"601398.XSHG", "bars66", "delisted_today", "suspended66"}));
    ASSERT_EQ(s.df.values.rows(), 131);
    // The 65 returns of the short history sit in the bottom rows, aligned with the latest day.
    const auto col = s.df.values.col(1);
    EXPECT_TRUE(std::isnan(col[0]) && std::isnan(col[65]));
    const auto& p = u.proxy->data.at("bars66").closes;
    EXPECT_DOUBLE_EQ(col[130], p[65] / p[64] - 1.0);
    EXPECT_TRUE(s.df.values.col(0).allFinite());
    EXPECT_TRUE(s.df.values.bottomRows(65).allFinite());

    u.log.clear();
    EXPECT_EQ(kmo::screen_instruments(ids, DATE, 132, true, *u.proxy, "股票").df.columns, s.df.columns);
    EXPECT_TRUE(u.log.empty());  // quiet

    // Only short histories, the shorter read first: the table is as long as the longest (69
    // returns); a dropped column before the others and a repeated identifier leave no trace.
    const auto& p70 = add("bars70", 70)->closes;
    const auto short_only = kmo::screen_instruments({"bars66", "bars65", "bars70", "bars66"}, DATE, 132, true,
                                                    *u.proxy, "股票");
    EXPECT_EQ(short_only.df.columns, (std::vector<std::string>{"bars66", "bars70"}));
    ASSERT_EQ(short_only.df.values.rows(), 69);
    EXPECT_TRUE(short_only.df.values.col(1).allFinite());
    EXPECT_DOUBLE_EQ(short_only.df.values(68, 1), p70[69] / p70[68] - 1.0);
    EXPECT_TRUE(std::isnan(short_only.df.values(3, 0)));
    EXPECT_EQ(short_only.df.values.col(0).tail(65), s.df.values.col(1).tail(65));
}

TEST(OptimizeScreening, OddWindowThresholdAndEmptyOrSingleSurvivor) {
    Universe u;
    // window 133: the limits are 66.5, so 67 suspended days drop and 66 bars are too few.
    u.proxy->add("bars67", "CS", walk(67, 30), std::vector<bool>(133, false));
    u.proxy->add("bars66", "CS", walk(66, 31), std::vector<bool>(133, false));
    const auto s = kmo::screen_instruments({"bars67", "bars66", "bars67"}, DATE, 133, true, *u.proxy, "股票");
    EXPECT_EQ(s.answer, (kmo::WeightMap{{"bars67", 1.0}}));
    EXPECT_THROW_MESSAGE(kmo::optimize({"bars66", "bars66"}, DATE, {.window = 133}), KVInvalidArgument,
                         "OPTIMIZER: 经过剔除后，合约数目为0");
    // A single survivor is answered before the method is looked at.
    EXPECT_EQ(kmo::optimize({"601398.XSHG", "601398.XSHG"}, DATE, {.method = std::string("risk_parity")}).size(), 1u);
}

// Each method and argument combination reaches its solver with the assembled inputs (the result
// is the solver's own, bit for bit; minimum variance and mean-variance solve on the covariance in
// factor form, to 1e-10 of the dense matrix's answer), and its answer respects the request's limits.
// A provider of the caller's own that builds its records for a list of its own rather than the
// instruments it is handed: refused, naming both sizes, instead of limiting other instruments.
TEST(OptimizeDispatch, RecordsBuiltForOtherInstrumentsAreRefused) {
    Universe u;
    struct Stale : kmo::ConstraintProvider {
        std::vector<kmo::ConstraintRecord> to_constraint(const std::vector<std::string>& ids,
                                                         const DateTime& date) const override {
            std::vector<std::string> more = ids;
            more.push_back(ids.front());
            return kmo::GICSConstraint(kmo::Rules{{"Financials", {0.3, 1.0}}}).to_constraint(more, date);
        }
    };
    const std::vector<std::string> ids{"601939.XSHG", "601398.XSHG", "600519.XSHG", "601288.XSHG"};
    for (const auto method : {OptimizeMethod::RISK_PARITY, OptimizeMethod::MIN_VARIANCE})
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, DATE, {.method = method, .cons = std::make_shared<Stale>()}),
                             KVInvalidArgument, "OPTIMIZER: 约束条件是按 5 个合约构建的，而待优化的合约有 4 个");
}

TEST(OptimizeDispatch, EachCombinationReachesItsSolver) {
    Universe u;
    u.proxy->data.at("600519.XSHG").record.sector_name = "Consumer Staples";
    const std::vector<std::string> ids{"601939.XSHG", "601398.XSHG", "600519.XSHG", "601288.XSHG"};
    const auto s = kmo::screen_instruments(ids, DATE, 132, false, *u.proxy, "股票");
    const auto n = static_cast<Eigen::Index>(s.df.columns.size());
    const kmo::Vector x0 = kmo::Vector::Constant(n, 1.0 / static_cast<double>(n));
    const auto shrunk = kmo::_cov_shrinkage(s.df), sample = kmo::sample_covariance(s.df);
    const kmo::Bounds cap{{"*", {0, 0.6}}};
    const auto unit = kmo::_general_bnds(s.df.columns, std::nullopt), capped = kmo::_general_bnds(s.df.columns, cap);
    const kmo::BoundsList barrier(static_cast<std::size_t>(n), {1e-6, std::nullopt});
    const std::vector<kmo::ConstraintRecord> budget{kmo::budget_constraint()};
    const auto gics = std::make_shared<kmo::GICSConstraint>(kmo::Rules{{"Financials", {0.3, 0.9}}});
    const auto gics_records = gics->to_constraint(s.df.columns, DATE);
    const kmo::Vector mu = s.df.values.colwise().mean().transpose();
    const auto& closes = u.proxy->data.at("000300.XSHG").closes;
    const kmo::Vector bench = Eigen::Map<const kmo::Vector>(closes.data() + 1, 131).array() /
                                  Eigen::Map<const kmo::Vector>(closes.data(), 131).array() - 1;
    using M = OptimizeMethod;
    const std::vector<std::pair<kmo::OptimizeOptions, kmo::WeightMap>> cases = {
        {{}, kmo::risk_parity_optimize(shrunk, x0, barrier, 1000)},
        {{.cov_shrinkage = false}, kmo::risk_parity_optimize(sample, x0, barrier, 1000)},
        {{.bnds = cap}, kmo::risk_parity_with_cons_optimize(shrunk, x0, capped, budget, 1000, 1e-8)},
        {{.cons = gics}, kmo::risk_parity_with_cons_optimize(shrunk, x0, barrier, gics_records, 1000, 1e-8)},
        {{.method = M::MIN_VARIANCE}, kmo::min_variance_optimize(shrunk, x0, unit, budget, 1000, 1e-8)},
        {{.method = M::MIN_VARIANCE, .bnds = cap, .cons = gics, .cov_shrinkage = false},
         kmo::min_variance_optimize(sample, x0, capped, gics_records, 1000, 1e-8)},
        {{.method = M::MEAN_VARIANCE, .risk_aversion_coefficient = 2.5},
         kmo::mean_variance_optimize(shrunk, x0, 2.5, mu, unit, budget, 1000, 1e-8)},
        {{.method = M::MIN_TRACKING_ERROR, .bnds = cap, .benchmark = "000300.XSHG", .tol = 1e-10},
         kmo::min_tracking_error_optimize(x0, bench, s.df, capped, budget, 1000, 1e-10)},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        SCOPED_TRACE("case " + std::to_string(k));
        const auto& options = cases[k].first;
        const auto w = kmo::optimize(ids, DATE, options);
        const auto* method = std::get_if<M>(&options.method);
        // The covariance in factor form: the same answers as on the dense matrix, up to rounding.
        const bool by_factor = (method && (*method == M::MIN_VARIANCE || *method == M::MEAN_VARIANCE)) ||
                               (method && *method == M::RISK_PARITY && !options.bnds && !options.cons);
        if (by_factor) {
            ASSERT_EQ(w.size(), cases[k].second.size());
            for (const auto& [id, v] : cases[k].second) EXPECT_NEAR(w.at(id), v, 1e-10 * v) << id;
        } else {
            EXPECT_EQ(w, cases[k].second);
        }
        // The answer itself: all four instruments, adding up to 1, ascending, within the limits.
        ASSERT_EQ(w.size(), 4u);
        EXPECT_NEAR(sum_of(w), 1.0, 1e-12);
        double previous = -1.0;
        for (const auto& [id, v] : w) {
            EXPECT_GE(v, previous);
            previous = v;
            EXPECT_GE(v, -1e-9);
            EXPECT_LE(v, (options.bnds ? 0.6 : 1.0) + 1e-9);
        }
        if (options.cons) {
            const double financials = sum_of(w) - w.at("600519.XSHG");
            EXPECT_GE(financials, 0.3 - 1e-9);
            EXPECT_LE(financials, 0.9 + 1e-9);
        }
    }
}
