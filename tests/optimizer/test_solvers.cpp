// The objectives and their gradients, SLSQP's acceptance policy, the solvers' optima and refusals,
// Ledoit-Wolf on small tables. No answer breaks what the caller asked for: weights that miss a
// bound, a group limit or the budget end in OptimizationFailed naming the worst violation, and a
// meaningless iteration limit is refused before anything is solved.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <numeric>
#include <random>

#include "expect_message.hpp"
#include "internal.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"
#include "solver_fixtures.hpp"
#include "vec.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;
using namespace solver_fixtures;

namespace {

kmo::BoundsList unit_bounds(Eigen::Index n) { return box(n, 1.0); }

// A random positive-definite covariance of daily returns from `T` observations.
Matrix daily_covariance(Eigen::Index n, Eigen::Index T, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 0.015);
    Matrix X(T, n);
    for (Eigen::Index t = 0; t < T; ++t) {
        const double market = normal(gen);
        for (Eigen::Index j = 0; j < n; ++j) X(t, j) = market * (0.5 + 0.1 * static_cast<double>(j % 7)) + normal(gen);
    }
    const Matrix centred = X.rowwise() - X.colwise().mean();
    return centred.transpose() * centred / static_cast<double>(T - 1);
}

}  // namespace

// The other objectives' forms are pinned by the solvers' known optima below.
TEST(Objectives, RiskContributionSpreadAndExactGradients) {
    // Σ_{i<j} |t_i − t_j| with t = x ⊙ Cx.
    EXPECT_DOUBLE_EQ(kmo::risk_parity_with_con_obj_fun(vec({1, 4}).asDiagonal(), vec({0.5, 0.5})), 0.75);
    EXPECT_DOUBLE_EQ(kmo::risk_parity_with_con_obj_fun(Matrix::Identity(3, 3), vec({1, std::sqrt(2.0), 2})), 6.0);
    const Matrix C = daily_covariance(6, 80, 3);
    const Vector x = vec({0.1, 0.25, 0.05, 0.2, 0.15, 0.25}), mu = Vector::Random(6) * 1e-3;
    const Matrix D = Matrix::Random(30, 6) * 0.02;
    const Vector b = Vector::Random(30) * 0.02;
    const auto check = [&](auto f, const Vector& g, double rel) {
        for (Eigen::Index i = 0; i < x.size(); ++i) {
            const double h = 1e-7;
            Vector xp = x, xm = x;
            xp[i] += h;
            xm[i] -= h;
            EXPECT_NEAR(g[i], (f(xp) - f(xm)) / (2 * h), rel * g.cwiseAbs().maxCoeff()) << "component " << i;
        }
    };
    check([&](const Vector& y) { return kmo::risk_parity_with_con_obj_fun(C, y); },
          kmo::risk_parity_with_con_gradient(C, x), 1e-5);
    check([&](const Vector& y) { return kmo::min_TE_obj_fun(D, b, y); }, kmo::min_TE_gradient(D, b, x), 1e-6);
    check([&](const Vector& y) { return kmo::min_variance_obj_fun(C, y); }, kmo::min_variance_gradient(C, x), 1e-6);
    check([&](const Vector& y) { return kmo::mean_variance_obj_fun(C, 2.5, mu, y); },
          kmo::mean_variance_gradient(C, 2.5, mu, x), 1e-6);
    check([&](const Vector& y) { return kmo::log_barrier_risk_parity_obj_fun(C, y); },
          kmo::log_barrier_risk_parity_gradient(C, x), 1e-6);
}

namespace {

// Hands out scripted results (the last one repeats) and records the ftol of each attempt.
struct ScriptedMinimiser {
    std::vector<minimize::Result> results;
    std::vector<double> ftols;
    minimize::Result operator()(const minimize::SlsqpOptions& o) {
        ftols.push_back(o.ftol);
        return results[std::min(ftols.size() - 1, results.size() - 1)];
    }
};

minimize::Result result(bool success, int nit, int status, const std::string& message = "m") {
    minimize::Result r;
    r.success = success;
    r.nit = nit;
    r.status = status;
    r.message = message;
    r.x = vec({0.25, 0.75});
    return r;
}

}  // namespace

// The answer is taken at success or at the iteration limit (tested before the status); mode 8
// relaxes ftol tenfold while the running value is below 1e-5; any other failure raises with the
// minimiser's message.
TEST(SlsqpPolicy, AcceptanceRelaxationAndFailure) {
    const std::string incompatible = "Inequality constraints incompatible", slow = "OPTIMIZER: 优化无法收敛到足够精度";
    struct Case {
        std::vector<minimize::Result> results;
        double tol;
        std::vector<double> ftols;
        std::string error;  // empty: the answer is taken
    };
    const Case cases[] = {
        {{result(true, 5, 0)}, 1e-8, {1e-8}, ""},
        {{result(false, 1000, 8)}, 1e-8, {1e-8}, ""},
        {{result(false, 4, 8), result(true, 6, 0)}, 1e-8, {1e-8, 1e-7}, ""},
        {{result(false, 2, 4, incompatible)}, 1e-8, {1e-8}, incompatible},
        {{result(false, 3, 8)}, 1e-8, {1e-8, 1e-7, 1e-6, 9.999999999999999e-06, 9.999999999999999e-05}, slow},
        {{result(false, 3, 8)}, 5e-6, {5e-6, 5e-5}, slow},
        {{result(false, 3, 8)}, 1e-5, {1e-5}, slow},
    };
    for (const Case& c : cases) {
        ScriptedMinimiser m{c.results, {}};
        if (c.error.empty())
            EXPECT_EQ(kmo::apply_slsqp_policy(std::ref(m), 1000, c.tol).x, vec({0.25, 0.75}));
        else
            EXPECT_THROW_MESSAGE(kmo::apply_slsqp_policy(std::ref(m), 1000, c.tol), kmo::OptimizationFailed, c.error);
        EXPECT_EQ(m.ftols, c.ftols) << "tol " << c.tol;
    }
}

TEST(Solvers, KnownOptimaOnDailySizedCovariances) {
    // Two uncorrelated instruments: minimum variance gives (b/(a+b), a/(a+b)).
    const double a = 1e-4, b = 2.5e-5;
    const auto mv = kmo::min_variance_optimize(labelled(vec({a, b}).asDiagonal()), equal(2), unit_bounds(2),
                                               budget(), 1000, 1e-8);
    EXPECT_NEAR(mv.at("S0"), b / (a + b), 1e-6);
    EXPECT_NEAR(mv.at("S1"), a / (a + b), 1e-6);
    // Risk parity on a diagonal covariance: weights proportional to 1/sqrt(v).
    const auto c4 = labelled(vec({1e-4, 4e-4, 2.5e-5, 1e-4}).asDiagonal());
    const std::vector<double> want{100 / 450.0, 50 / 450.0, 200 / 450.0, 100 / 450.0};
    const auto rp = kmo::risk_parity_optimize(c4, equal(4), kmo::BoundsList(4, {1e-6, std::nullopt}), 1000);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(rp.at(c4.labels[i]), want[i], 1e-4 * want[i]);
    // Mean-variance, λ/2·xᵀCx − μᵀx on the same two: x₀ = (λb + μ₀ − μ₁) / (λ(a + b)) = 0.4 for λ = 2.
    const auto mean = kmo::mean_variance_optimize(labelled(vec({a, b}).asDiagonal()), equal(2), 2.0,
                                                  vec({1e-4, 5e-5}), unit_bounds(2), budget(), 1000, 1e-8);
    EXPECT_NEAR(mean.at("S0"), 0.4, 1e-6);
}

TEST(Solvers, TrackingABenchmarkThatIsOneInstrument) {
    std::mt19937 gen(5);
    std::normal_distribution<double> normal(0.0, 0.01);
    kmo::ReturnTable df;
    df.columns = {"A", "B", "C"};
    df.values = Matrix::NullaryExpr(131, 3, [&] { return normal(gen); });
    // The benchmark has one extra (older) day, and the first column starts late: rows are aligned
    // at the latest day and only complete rows count.
    Vector bench(132);
    bench << 0.5, df.values.col(1);
    df.values.block(0, 0, 20, 1).setConstant(std::nan(""));
    const auto w = kmo::min_tracking_error_optimize(equal(3), bench, df, unit_bounds(3), budget(), 1000, 1e-8);
    EXPECT_NEAR(w.at("B"), 1.0, 1e-6);
}

// Both paths: the interior point, and the minimiser (the least-squares start, the objective
// scaled by bᵀb, then polished by its own value).
TEST(Solvers, TrackingErrorReachesTheOptimumRelativeToItsSize) {
    // A benchmark made of 20 instruments plus a little noise: bᵀb is about 10³ times the optimal
    // tracking error. The optimum is interior: the least squares in the first n − 1 weights with
    // the last one 1 − Σ of them.
    std::mt19937 gen(11);
    std::normal_distribution<double> daily(0.0, 0.015), noise(0.0, 0.0004);
    const Eigen::Index n = 20, T = 131;
    kmo::ReturnTable df{labels(n), Matrix(T, n)};
    for (Eigen::Index t = 0; t < T; ++t) {
        const double market = daily(gen);
        for (Eigen::Index j = 0; j < n; ++j) df.values(t, j) = market + daily(gen);
    }
    const Vector target = Vector::LinSpaced(n, 1.0, 3.0) / Vector::LinSpaced(n, 1.0, 3.0).sum();
    const Vector b = df.values * target + Vector::NullaryExpr(T, [&] { return noise(gen); });
    const Matrix others = df.values.leftCols(n - 1).colwise() - df.values.col(n - 1);
    Vector exact(n);
    exact.head(n - 1) = others.colPivHouseholderQr().solve(b - df.values.col(n - 1));
    exact[n - 1] = 1.0 - exact.head(n - 1).sum();
    ASSERT_GT(exact.minCoeff(), 0.0);
    const double optimum = kmo::min_TE_obj_fun(df.values, b, exact);
    ASSERT_GT(b.dot(b), 500 * optimum);

    for (const bool interior_point : {true, false}) {
        const auto w = kmo::min_tracking_error_optimize(equal(n), b, df, unit_bounds(n), budget(), 1000, 1e-8,
                                                        {.exact_quadratic = interior_point});
        EXPECT_LT(kmo::min_TE_obj_fun(df.values, b, in_label_order(w, df.columns)), optimum * (1 + 1e-6))
            << interior_point;
    }

    // One more instrument, with a bad close that makes one of its returns 10⁷: its column's
    // squared norm is 10¹⁵ times the others', the optimum keeps it at zero and the rest as before.
    kmo::ReturnTable spiked{labels(n + 1), Matrix(T, n + 1)};
    spiked.values << df.values, df.values.col(0);
    spiked.values(T / 2, n) = 1e7;
    for (const bool interior_point : {true, false}) {
        const auto w = kmo::min_tracking_error_optimize(equal(n + 1), b, spiked, unit_bounds(n + 1), budget(), 1000,
                                                        1e-8, {.exact_quadratic = interior_point});
        EXPECT_LT(kmo::min_TE_obj_fun(spiked.values, b, in_label_order(w, spiked.columns)), optimum * (1 + 1e-6))
            << interior_point;
    }
}

// Groups held exactly (floor = cap) on one partition given twice, as by two classifications that
// agree: each set of equalities implies the budget and the other. On a diagonal covariance the
// optimum is known: within a group, weights in proportion to 1/σ², adding up to the group's total.
TEST(Solvers, ExactOptimumUnderGroupsHeldExactlyByTwoClassifications) {
    const Eigen::Index n = 12;
    const Vector variance = Vector::LinSpaced(n, 1e-4, 4e-4);
    const kmo::Grouping groups{{"A", positions(0, 4)}, {"B", positions(4, 9)}, {"C", positions(9, 12)}};
    const kmo::Rules totals{{"A", {0.5, 0.5}}, {"B", {0.3, 0.3}}, {"C", {0.2, 0.2}}};
    std::vector<kmo::ConstraintRecord> cons = kmo::_to_constraint(groups, totals);
    cons.pop_back();  // the first classification's budget: the second one's closes the list
    for (auto& r : kmo::_to_constraint(groups, totals)) cons.push_back(std::move(r));
    Vector expected(n);
    for (const auto& [label, members] : groups) {
        double inverse_sum = 0.0;
        for (const int i : members) inverse_sum += 1.0 / variance[i];
        for (const int i : members) expected[i] = totals.find(label)->lower.value() / variance[i] / inverse_sum;
    }
    const auto c_m = labelled(variance.asDiagonal());
    const Vector w = in_label_order(kmo::min_variance_optimize(c_m, equal(n), unit_bounds(n), cons, 1000, 1e-8),
                                    c_m.labels);
    EXPECT_LT((w - expected).cwiseAbs().maxCoeff(), 1e-12);
}

// Tracking error under two classifications that cut across each other, every group held exactly
// at its share, and every weight at most 2/n: the same optimum as mean-variance on DᵀD with the
// linear term 2Dᵀb (‖b − Dx‖² less bᵀb), found on another path.
TEST(Solvers, TrackingErrorUnderTwoClassificationsHeldExactly) {
    const Eigen::Index n = 256, T = 400;
    std::mt19937 gen(17);
    std::normal_distribution<double> daily(0.0, 0.015), noise(0.0, 0.002);
    kmo::ReturnTable df{labels(n), Matrix(T, n)};
    for (Eigen::Index t = 0; t < T; ++t) {
        const double market = daily(gen);
        for (Eigen::Index j = 0; j < n; ++j) df.values(t, j) = market + daily(gen);
    }
    const Vector b = df.values * equal(n) + Vector::NullaryExpr(T, [&] { return noise(gen); });
    std::vector<kmo::ConstraintRecord> cons;
    for (const int classes : {8, 16}) {
        kmo::Grouping groups;
        kmo::Rules shares;
        for (int g = 0; g < classes; ++g) {
            std::vector<int> members;
            for (int i = g; i < n; i += classes) members.push_back(i);
            const double share = static_cast<double>(members.size()) / static_cast<double>(n);
            const std::string label = std::to_string(classes) + "/" + std::to_string(g);
            groups.insert_or_assign(label, members);
            shares.insert_or_assign(label, kmo::Range{share, share});
        }
        for (auto& r : kmo::_to_constraint(groups, shares))
            if (!r.budget) cons.push_back(std::move(r));
    }
    cons.push_back(kmo::budget_constraint());
    const kmo::BoundsList bounds = box(n, 2.0 / static_cast<double>(n));
    const Vector tracking = in_label_order(
        kmo::min_tracking_error_optimize(equal(n), b, df, bounds, cons, 1000, 1e-8), df.columns);
    const Matrix DtD = df.values.transpose() * df.values;
    const Vector mean_variance = in_label_order(
        kmo::mean_variance_optimize(kmo::LabelledMatrix{df.columns, DtD}, equal(n), 2.0,
                                    Vector(2.0 * df.values.transpose() * b), bounds, cons, 1000, 1e-8),
        df.columns);
    const double optimum = kmo::min_TE_obj_fun(df.values, b, mean_variance);
    EXPECT_LT(kmo::min_TE_obj_fun(df.values, b, tracking), optimum * (1 + 1e-9));
    EXPECT_LT((tracking - mean_variance).cwiseAbs().maxCoeff(), 1e-7);
}

TEST(Solvers, RefuseWhatWouldGiveMeaninglessWeights) {
    auto bad = labelled(vec({1e-4, 2e-4}).asDiagonal());
    EXPECT_THROW_MESSAGE(kmo::min_variance_optimize(bad, equal(2), unit_bounds(2), budget(), 1000, 0.0),
                         kelvane::KVInvalidArgument, "tol （收敛精度）必须是有限的正数，传入值为：0.0");
    bad.values(1, 1) = std::nan("");
    EXPECT_THROW_MESSAGE(kmo::min_variance_optimize(bad, equal(2), unit_bounds(2), budget(), 1000, 1e-8),
                         kmo::OptimizationFailed, "OPTIMIZER: 协方差矩阵中合约 S1 的一行含有无效数值（NaN 或无穷大），无法优化");
    EXPECT_THROW(kmo::risk_parity_optimize(bad, equal(2), kmo::BoundsList(2, {1e-6, std::nullopt}), 1000),
                 kmo::OptimizationFailed);
}

namespace {

// The largest amount by which w breaks a bound, a record or the budget (0 when it breaks none).
double largest_breach(const Vector& w, const kmo::BoundsList& bounds, const std::vector<kmo::ConstraintRecord>& cons) {
    double worst = std::abs(w.sum() - 1.0);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const double wi = w[static_cast<Eigen::Index>(i)];
        if (bounds[i].lower) worst = std::max(worst, *bounds[i].lower - wi);
        if (bounds[i].upper) worst = std::max(worst, wi - *bounds[i].upper);
    }
    for (const auto& c : cons) {
        const double v = c.fun(w);
        worst = std::max(worst, c.type == kmo::ConstraintRecord::Type::eq ? std::abs(v) : -v);
    }
    return worst;
}

// The records of `members` weighing at least `floor` together, and the budget.
std::vector<kmo::ConstraintRecord> group_floor(std::vector<int> members, double floor) {
    return kmo::_to_constraint(kmo::Grouping{{"G", std::move(members)}}, kmo::Rules{{"G", {floor, 1.0}}});
}

}  // namespace

TEST(RiskParityWithLimits, EqualContributionsWhenTheyAreAllowedWithoutTheMinimiser) {
    for (Eigen::Index n : {12, 300}) {
        const auto c_m = labelled(daily_covariance(n, 2 * n + 50, 7));
        // Every weight at most 20 %, the first quarter of the instruments at least 10 % together.
        const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, 0.2});
        std::vector<int> quarter(static_cast<std::size_t>(n / 4));
        std::iota(quarter.begin(), quarter.end(), 0);
        const auto cons = group_floor(quarter, 0.1);
        const Vector w = in_label_order(
            kmo::risk_parity_with_cons_optimize(c_m, equal(n), bounds, cons, 1000, 1e-8), c_m.labels);
        const Vector t = w.cwiseProduct(c_m.values * w);
        EXPECT_LE((t.array() - t.mean()).abs().maxCoeff(), 1e-12 * t.mean()) << n;
        EXPECT_LE(largest_breach(w, bounds, cons), 1e-14) << n;  // the minimiser would not get this close
    }
}

// Where equal contributions are not allowed (or do not exist), the answer keeps the limits and is at
// least as good as the minimiser's from equal weights.
TEST(RiskParityWithLimits, BindingLimitsAtLeastAsGoodAsTheMinimiserFromEqualWeights) {
    const auto c12 = labelled(daily_covariance(12, 131, 3));
    // Six instruments, three returns: the sample covariance has rank 2, and the first two
    // instruments move exactly against each other, so (½, ½, 0, ...) has zero variance.
    Matrix X(3, 6);
    X << 0.01, -0.01, 0.02, 0.00, 0.01, -0.02,  //
        -0.02, 0.02, 0.01, 0.01, -0.01, 0.00,   //
        0.01, -0.01, -0.03, 0.02, 0.02, 0.01;
    const Matrix centred = X.rowwise() - X.colwise().mean();
    const auto c6 = labelled(centred.transpose() * centred / 2.0);
    ASSERT_FALSE(kmo::equal_risk_contributions(c6.values));
    struct Case {
        const char* what;
        kmo::LabelledMatrix c_m;
        kmo::BoundsList bounds;
        std::vector<kmo::ConstraintRecord> cons;
        bool positive_weights = true;  // the limits admit weights that are all positive, with variance
    };
    const auto c60 = labelled(daily_covariance(60, 170, 5));
    std::vector<int> fifth;
    for (int i = 0; i < 60; i += 5) fifth.push_back(i);
    // Six industries of unequal size.
    std::vector<std::vector<int>> industries(6);
    for (int i = 0; i < 60; ++i) industries[static_cast<std::size_t>(i < 48 ? i % 6 : i % 3)].push_back(i);
    const std::vector<Case> cases{
        {"a box narrower than the equal-contribution weights", c12, kmo::BoundsList(12, {0.075, 0.09}), budget()},
        {"a floor on three instruments far above their share, with a cap", c12, box(12, 0.3),
         group_floor({0, 5, 10}, 0.5)},
        // Met by raising a few of them above the common contribution of the others.
        {"every fifth of 60 at least 40 % together, each at most 10 %", c60, box(60, 0.1), group_floor(fifth, 0.4)},
        {"each industry within 0.5 % of its share, each weight at most 3/n", labelled(daily_covariance(60, 131, 21)),
         box(60, 0.05), industry_bands(industries, 60, 0.005)},
        {"a rank-deficient covariance", c6, box(6, 0.6), budget(), false},
        // The raised-member start has no point to search (found by fuzzing: it read an empty order).
        {"a floor of 100 % on one instrument leaves a single portfolio", labelled(daily_covariance(4, 131, 11)),
         box(4, 1.0), group_floor({1}, 1.0), false},
    };
    for (const auto& [what, c_m, bounds, cons, positive_weights] : cases) {
        SCOPED_TRACE(what);
        const Vector x0 = equal(c_m.values.rows());
        if (const auto erc = kmo::equal_risk_contributions(c_m.values)) {
            ASSERT_GT(largest_breach(*erc, bounds, cons), 1e-3);
        }
        const Vector w = in_label_order(
            kmo::risk_parity_with_cons_optimize(c_m, x0, bounds, cons, 1000, 1e-8), c_m.labels);
        EXPECT_LE(largest_breach(w, bounds, cons), 1e-12);
        for (Eigen::Index i = 0; i < w.size(); ++i) EXPECT_LE(w[i], *bounds[static_cast<std::size_t>(i)].upper) << i;
        const double spread = kmo::risk_parity_with_con_obj_fun(c_m.values, w);
        const Vector from_equal = in_label_order(
            kmo::risk_parity_with_cons_optimize(c_m, x0, bounds, cons, 1000, 1e-8, {.risk_budgeting = false}),
            c_m.labels);
        // The minimiser's answer may break a limit by up to the feasibility tolerance, and buys
        // itself that much spread; it is matched exactly only where it keeps the limits.
        const double slack = largest_breach(from_equal, bounds, cons) > 1e-12 ? 1e-6 : 1e-9;
        EXPECT_LE(spread, kmo::risk_parity_with_con_obj_fun(c_m.values, from_equal) * (1 + slack) + 1e-15);
        // Nor worse than the risk-budgeting point, one of its starts, where there is one.
        if (positive_weights) {
            const Vector rb = in_label_order(kmo::risk_budgeting_optimize(c_m, bounds, cons, 200, 1e-10), c_m.labels);
            EXPECT_LE(spread, kmo::risk_parity_with_con_obj_fun(c_m.values, rb));
        }
    }
}

// scikit-learn's values pin the estimate (tests/optimizer/make_covariance_fixture.py); here the
// edges: a sample covariance that already equals the shrinkage target (no 0/0), and too few
// complete rows.
TEST(Covariance, LedoitWolfEdges) {
    kmo::ReturnTable orth;
    orth.columns = {"a", "b"};
    orth.values = (Matrix(4, 2) << 1, 1, -1, 1, 1, -1, -1, -1).finished();
    EXPECT_TRUE(kmo::_cov_shrinkage(orth).values.isApprox(Matrix::Identity(2, 2)));
    orth.values.topRows(3).col(0).setConstant(std::nan(""));
    EXPECT_THROW_MESSAGE(kmo::_cov_shrinkage(orth), kelvane::KVInvalidArgument,
                         "OPTIMIZER: 所有合约均有收益率数据的交易日只有 1 个，不足以估计协方差矩阵（至少需要2个）");
}

TEST(Feasibility, RequestsThatUsedToReturnWrongWeightsFail) {
    kelvane::Environment env(nullptr);
    env.data_proxy = std::make_shared<kelvane::DataProxy>(
        std::make_shared<kelvane::BaseDataSource>(std::string(KV_SOURCE_DIR) + "/data/sample_bundle"));
    const std::vector<std::string> ids{"601398.XSHG", "600519.XSHG"};
    const kelvane::DateTime date(2014, 1, 3);
    // Stopped at the iteration limit below the caller's lower bound.
    EXPECT_THROW_MESSAGE(kmo::optimize(ids, date, {.method = kmo::OptimizeMethod::MIN_VARIANCE,
                                                   .bnds = kmo::Bounds{{"601398.XSHG", {0.9, 1}}}, .max_iteration = 1}),
                         kmo::OptimizationFailed, "OPTIMIZER: 优化结果违反合约 601398.XSHG 的下限 0.9，相差 0.257");
    // The equal starting weights, accepted as if they were the optimum.
    for (int limit : {-5, 0})
        EXPECT_THROW_MESSAGE(kmo::optimize(ids, date, {.max_iteration = limit}), kelvane::KVInvalidArgument,
                             "max_iteration （最大迭代次数）不能小于1，传入值为：" + std::to_string(limit));
}

// No weights satisfy these limits (A <= 0.2 forces B >= 0.8 > 0.69): no constrained solver
// returns weights. Stopped at the iteration limit, the failure names the group; a minimiser that
// finds the limits incompatible first fails with its own message.
TEST(Feasibility, ContradictoryGroupCapFailsInEverySolver) {
    // Two sector indices over 60 days: their Ledoit-Wolf covariance.
    const auto c_m = labelled((Matrix(2, 2) << 6.5390804224230717e-05, 4.0009651676739043e-05, 4.0009651676739043e-05,
                               7.0079650508712344e-05).finished());
    const auto cons =
        kmo::_to_constraint(kmo::Grouping{{"Financials", {0}}, {"Energy", {1}}}, kmo::Rules{{"Financials", {0, 0.2}}});
    const kmo::BoundsList bounds(2, {0.0, 0.69});
    const Vector start = vec({0.5, 0.5});
    kmo::ReturnTable df;
    df.columns = c_m.labels;
    df.values.resize(60, 2);
    for (Eigen::Index t = 0; t < 60; ++t) df.values.row(t) << 0.01 * std::sin(t), 0.01 * std::cos(3.0 * t);
    const Vector benchmark = df.values.col(0);
    const std::string group_cap = "OPTIMIZER: 优化结果违反约束 Financials 的上限，相差 0.11";
    const std::string incompatible = "Inequality constraints incompatible";
    const std::string no_convergence = "OPTIMIZER: 优化无法收敛到足够精度";
    // At the least-violating point SLSQP ends the spread of risk contributions with either of its
    // two failures, as the last digits of the instruction set's rounding fall.
    const std::pair<std::function<kmo::WeightMap(int)>, std::vector<std::string>> cases[] = {
        {[&](int it) { return kmo::min_variance_optimize(c_m, start, bounds, cons, it, 1e-8); }, {incompatible}},
        {[&](int it) { return kmo::risk_parity_with_cons_optimize(c_m, start, bounds, cons, it, 1e-8); },
         {incompatible, no_convergence}},
        {[&](int it) { return kmo::mean_variance_optimize(c_m, start, 1, vec({1e-3, 0}), bounds, cons, it, 1e-8); },
         {incompatible}},
        {[&](int it) { return kmo::min_tracking_error_optimize(start, benchmark, df, bounds, cons, it, 1e-8); },
         {no_convergence}},
    };
    int solver = 0;
    for (const auto& [solve, messages] : cases) {
        SCOPED_TRACE("solver " + std::to_string(solver++));
        try {
            static_cast<void>(solve(1000));
            ADD_FAILURE() << "weights returned";
        } catch (const kmo::OptimizationFailed& e) {
            EXPECT_NE(std::find(messages.begin(), messages.end(), std::string(e.what())), messages.end()) << e.what();
        }
        EXPECT_THROW_MESSAGE(solve(5), kmo::OptimizationFailed, group_cap);
    }
}

TEST(Feasibility, TheWorstViolationIsNamedAndTinyOnesPass) {
    const std::vector<std::string> labels{"A", "B", "C"};
    const auto cons =
        kmo::_to_constraint(kmo::Grouping{{"G", {0, 1}}, {"H", {2}}}, kmo::Rules{{"G", {0.5, 0.7}}, {"H", {0.2, 0.6}}});
    const kmo::BoundsList bounds{{0.1, 0.4}, {0.0, 0.4}, {0.0, std::nullopt}};
    struct Case {
        Vector weights;
        const char* message;  // nullptr: passes
    };
    const Case cases[] = {
        {vec({0.3, 0.3, 0.4}), nullptr},
        {vec({0.1 - 1e-9, 0.4 + 1e-9, 0.5}), nullptr},
        {vec({0.05, 0.45, 0.5}), "OPTIMIZER: 优化结果违反合约 A 的下限 0.1，相差 0.05"},
        {vec({0.35, 0.45, 0.2}), "OPTIMIZER: 优化结果违反约束 G 的上限，相差 0.1"},
        {vec({0.15, 0.2, 0.65}), "OPTIMIZER: 优化结果违反约束 G 的下限，相差 0.15"},
        {vec({0.3, 0.3, 0.3}), "OPTIMIZER: 优化结果的权重之和为 0.8999999999999999，不等于1"},
    };
    for (const auto& c : cases) {
        if (c.message)
            EXPECT_THROW_MESSAGE(kmo::certify_feasible(labels, c.weights, bounds, cons), kmo::OptimizationFailed,
                                 c.message);
        else
            EXPECT_NO_THROW(kmo::certify_feasible(labels, c.weights, bounds, cons));
    }
}

// Each solve says how it ended, with the objective at the weights it returns (a stop at the
// iteration limit is pinned through the report, Report.SaysHowTheSolveEnded).
TEST(SolveSummaries, TerminationIterationsAndObjective) {
    const Matrix C = daily_covariance(8, 131, 11);
    const kmo::LabelledMatrix c_m = labelled(C);
    const auto objective_at = [&](const kmo::SolveResult& r, auto&& f) {
        return f(in_label_order(r.weights, c_m.labels));
    };
    // Converged from equal weights, well inside the limit.
    const kmo::SolveResult mv = kmo::min_variance_solve(c_m, equal(8), unit_bounds(8), budget(), 1000, 1e-10);
    EXPECT_EQ(mv.summary.termination, kmo::Termination::converged);
    EXPECT_GE(mv.summary.iterations, 1);
    EXPECT_LT(mv.summary.iterations, 1000);
    EXPECT_FALSE(mv.summary.message.empty());
    EXPECT_DOUBLE_EQ(mv.summary.objective,
                     objective_at(mv, [&](const Vector& x) { return kmo::min_variance_obj_fun(C, x); }));
    // Mean-variance: the unscaled objective, not the minimiser's scaled one.
    const Vector mu = Vector::LinSpaced(8, 1e-4, 8e-4);
    const kmo::SolveResult mean = kmo::mean_variance_solve(c_m, equal(8), 2.0, mu, unit_bounds(8), budget(), 1000, 1e-10);
    EXPECT_EQ(mean.summary.termination, kmo::Termination::converged);
    EXPECT_DOUBLE_EQ(mean.summary.objective,
                     objective_at(mean, [&](const Vector& x) { return kmo::mean_variance_obj_fun(C, 2.0, mu, x); }));
    // Risk parity with loose limits: the equal contributions meet them and are the answer as built.
    const kmo::SolveResult erc = kmo::risk_parity_with_cons_solve(c_m, equal(8), unit_bounds(8), budget(), 1000, 1e-10);
    EXPECT_EQ(erc.summary.termination, kmo::Termination::exact_start);
    EXPECT_EQ(erc.summary.iterations, 0);
    EXPECT_NEAR(erc.summary.objective, 0.0, 1e-12 * kmo::min_variance_obj_fun(C, equal(8)));
    // Without limits: the barrier minimiser converges; the objective is the barrier it minimised.
    const kmo::SolveResult rp = kmo::risk_parity_solve(c_m, equal(8), kmo::BoundsList(8, {1e-6, std::nullopt}), 1000);
    EXPECT_EQ(rp.summary.termination, kmo::Termination::converged);
    EXPECT_GT(rp.summary.iterations, 0);
    EXPECT_TRUE(std::isfinite(rp.summary.objective));
}
