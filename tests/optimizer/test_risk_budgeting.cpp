// The constrained risk-budgeting portfolio: equal contributions where no limit holds an instrument,
// the limits and the budget kept, the box case against coordinate descent, the factor form against
// the dense matrix, and the refusals (a record that is not linear, limits no positive weights meet).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "expect_message.hpp"
#include "internal.hpp"
#include "kelvane/exception.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"
#include "solver_fixtures.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;
using namespace solver_fixtures;

namespace {

// Demeaned daily returns of a market factor and noise, T × n.
Matrix returns(Eigen::Index n, Eigen::Index T, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    Vector beta(n), vol(n);
    for (Eigen::Index j = 0; j < n; ++j) beta[j] = 0.5 + uniform(gen), vol[j] = 0.005 + 0.02 * uniform(gen);
    Matrix X(T, n);
    for (Eigen::Index t = 0; t < T; ++t) {
        const double market = 0.01 * normal(gen);
        for (Eigen::Index j = 0; j < n; ++j) X(t, j) = beta[j] * market + vol[j] * normal(gen);
    }
    return X.rowwise() - X.colwise().mean();
}

// A shrunk covariance 0.2·m·I + 0.8·XᵀX/T in factor form and dense.
minimize::DiagonalPlusLowRank factor_covariance(const Matrix& X) {
    const double T = static_cast<double>(X.rows());
    const double m = X.colwise().squaredNorm().sum() / T / static_cast<double>(X.cols());
    return {Vector::Constant(X.cols(), 0.2 * m), Matrix(X.transpose() * std::sqrt(0.8 / T))};
}

// The least and the greatest (Cw)ᵢ − λ/(n·wᵢ) over the members below the cap (at least two): at the
// risk-budgeting point with the budget's multiplier λ, the multiplier of the members' group row.
std::pair<double, double> multiplier_range(const Vector& cw, const Vector& w, double lambda,
                                           const std::vector<int>& members, double cap) {
    std::vector<double> m;
    for (const int i : members)
        if (w[i] < cap - 1e-9) m.push_back(cw[i] - lambda / (static_cast<double>(w.size()) * w[i]));
    EXPECT_GE(m.size(), 2u);
    if (m.empty()) return {0.0, 0.0};
    const auto [lo, hi] = std::minmax_element(m.begin(), m.end());
    return {*lo, *hi};
}

}  // namespace

// A cap on every weight that holds some, and a floor on a group above its natural share: the
// instruments outside the group and below the cap have one contribution, the group's members
// below the cap share one multiplier ((Cx)ᵢ − λ/(n·xᵢ) equal), the limits and the budget hold.
TEST(RiskBudgeting, EqualContributionsWhereNoLimitHoldsUnderACapAndAGroupFloor) {
    for (const bool factor_form : {false, true}) {
        const Eigen::Index n = 40;
        const Matrix X = returns(n, 131, 3);
        const minimize::DiagonalPlusLowRank F = factor_covariance(X);
        const auto c_m = labelled(F.dense());
        const double cap = 2.0 / n;
        const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, cap});
        const auto cons = kmo::_to_constraint(kmo::Grouping{{"G", positions(0, 10)}}, kmo::Rules{{"G", {0.4, 1.0}}});
        Vector w;
        if (factor_form) {
            const auto rows = kmo::budget_free_rows(cons, n);
            ASSERT_TRUE(rows);
            const auto point = kmo::constrained_risk_budgeting({&F, nullptr}, bounds, *rows, 200, 1e-12);
            ASSERT_TRUE(point);
            w = point->weights;
        } else {
            w = in_label_order(kmo::risk_budgeting_optimize(c_m, bounds, cons, 200, 1e-12), c_m.labels);
        }
        EXPECT_NEAR(w.sum(), 1.0, 1e-12);
        EXPECT_GE(w.minCoeff(), 0.0);
        EXPECT_LE(w.maxCoeff(), cap + 1e-12);
        EXPECT_GE(w.head(10).sum(), 0.4 - 1e-10);
        const Vector cw = c_m.values * w;
        const Vector t = w.cwiseProduct(cw);
        std::vector<double> free_t;
        for (Eigen::Index i = 10; i < n; ++i)
            if (w[i] < cap - 1e-9) free_t.push_back(t[i]);
        ASSERT_GT((w.array() > cap - 1e-9).count(), 0) << "the cap must bind";
        ASSERT_GE(free_t.size(), 5u);
        const auto [lo, hi] = std::minmax_element(free_t.begin(), free_t.end());
        EXPECT_LE(*hi - *lo, 1e-9 * *hi) << factor_form;
        // The group floor binds: its members carry more risk than the free instruments.
        EXPECT_NEAR(w.head(10).sum(), 0.4, 1e-9);
        const double lambda = *lo * static_cast<double>(n);
        for (Eigen::Index i = 0; i < 10; ++i)
            if (w[i] < cap - 1e-9) {
                EXPECT_GT(t[i], *hi * (1.0 + 1e-6)) << i;
            }
        // Stationarity of the members: (Cx)ᵢ − λ/(n·xᵢ) is the group's multiplier, one value.
        const auto [mlo, mhi] = multiplier_range(cw, w, lambda, positions(0, 10), cap);
        EXPECT_LE(mhi - mlo, 1e-8 * cw.cwiseAbs().maxCoeff()) << factor_form;
    }
}

// Industry neutrality (each industry within ±0.5 % of its share: a floor and a cap on the same row)
// with a cap 1.5/n, where the rows hold the total flat over a wide range of λ: the budget and every
// limit hold, (Cx)ᵢ − λ/(n·xᵢ) is one value among the members of an industry below the cap (its
// row's multiplier, 0 where neither row binds), and the factor form and the dense matrix agree.
TEST(RiskBudgeting, IndustryNeutralWithACapIsStationaryInEveryIndustry) {
    const Eigen::Index n = 120;
    const int industries = 4;
    const double band = 0.005, cap = 1.5 / n;
    const minimize::DiagonalPlusLowRank F = factor_covariance(returns(n, 131, 11));
    const Matrix C = F.dense();
    std::vector<std::vector<int>> members(industries);
    for (int i = 0; i < n; ++i) members[static_cast<std::size_t>(i % industries)].push_back(i);
    const auto cons = industry_bands(members, n, band);
    const auto rows = kmo::budget_free_rows(cons, n);
    ASSERT_TRUE(rows);
    const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, cap});
    std::vector<Vector> answers;
    for (const bool factor_form : {true, false}) {
        const auto point = factor_form ? kmo::constrained_risk_budgeting({&F, nullptr}, bounds, *rows, 500, 1e-10)
                                       : kmo::constrained_risk_budgeting({nullptr, &C}, bounds, *rows, 500, 1e-10);
        ASSERT_TRUE(point) << factor_form;
        const Vector& w = point->weights;
        answers.push_back(w);
        EXPECT_NEAR(w.sum(), 1.0, 1e-12);
        EXPECT_GE(w.minCoeff(), 0.0);
        EXPECT_LE(w.maxCoeff(), cap + 1e-12);
        const Vector cw = C * w;
        const double scale = cw.cwiseAbs().maxCoeff();
        int binding = 0;
        for (int k = 0; k < industries; ++k) {
            SCOPED_TRACE(testing::Message() << "industry " << k << " factor form " << factor_form);
            const auto& g = members[static_cast<std::size_t>(k)];
            double total = 0.0;
            for (const int i : g) total += w[i];
            const double share = static_cast<double>(g.size()) / n;
            EXPECT_GE(total, share - band - 1e-10);
            EXPECT_LE(total, share + band + 1e-10);
            const auto [lo, hi] = multiplier_range(cw, w, point->lambda, g, cap);
            EXPECT_LE(hi - lo, 1e-7 * scale);
            if (std::abs(total - share) < band - 1e-9) {
                EXPECT_LE(std::max(std::abs(lo), std::abs(hi)), 1e-7 * scale) << "free, yet with a multiplier";
            } else {
                ++binding;
            }
        }
        EXPECT_GE(binding, 1) << "an industry row must bind";
        EXPECT_GT((w.array() > cap - 1e-9).count(), 0) << "the cap must bind";
    }
    EXPECT_LE((answers[0] - answers[1]).cwiseAbs().maxCoeff(), 1e-7 * answers[1].maxCoeff());
}

// Only a box: the same portfolio as the clipped coordinate descent with its search for λ (an
// independent method), and with no limit binding the equal-risk-contribution weights.
TEST(RiskBudgeting, BoxCaseMatchesCoordinateDescentAndFreeCaseIsEqualContributions) {
    const Eigen::Index n = 30;
    const Matrix X = returns(n, 80, 5);
    const auto c_m = labelled(factor_covariance(X).dense());
    const kmo::BoundsList limits(static_cast<std::size_t>(n), {0.5 / n, 1.5 / n});
    const Vector ours = in_label_order(kmo::risk_budgeting_optimize(c_m, limits, budget(), 200, 1e-12), c_m.labels);
    const auto reference = kmo::box_risk_budgeting(c_m.values, limits, Vector());
    ASSERT_TRUE(reference);
    EXPECT_LE((ours - *reference).cwiseAbs().maxCoeff(), 1e-8 / n);
    EXPECT_GE(ours.minCoeff(), 0.5 / n - 1e-12);
    EXPECT_LE(ours.maxCoeff(), 1.5 / n + 1e-12);

    const Vector free = in_label_order(kmo::risk_budgeting_optimize(c_m, box(n, 1.0), budget(), 200, 1e-12), c_m.labels);
    const auto erc = kmo::equal_risk_contributions(c_m.values);
    ASSERT_TRUE(erc);
    EXPECT_LE((free - *erc).cwiseAbs().maxCoeff(), 1e-10 / n);
}

// A weight fixed by its bounds stays there; an equality group row holds to rounding.
TEST(RiskBudgeting, FixedWeightAndEqualityGroup) {
    const Eigen::Index n = 15;
    const auto c_m = labelled(factor_covariance(returns(n, 60, 9)).dense());
    kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, 1.0});
    bounds[2] = {0.05, 0.05};
    std::vector<int> rest = positions(0, 5);
    for (int i = 10; i < n; ++i) rest.push_back(i);
    const auto cons = kmo::_to_constraint(kmo::Grouping{{"G", positions(5, 10)}, {"H", rest}},
                                          kmo::Rules{{"G", {0.5, 0.5}}, {"H", {0.0, 1.0}}});
    const Vector w = in_label_order(kmo::risk_budgeting_optimize(c_m, bounds, cons, 200, 1e-12), c_m.labels);
    EXPECT_NEAR(w[2], 0.05, 1e-10);
    EXPECT_NEAR(w.segment(5, 5).sum(), 0.5, 1e-10);
    EXPECT_NEAR(w.sum(), 1.0, 1e-12);
    const Vector t = w.cwiseProduct(c_m.values * w);
    std::vector<double> outside;
    for (Eigen::Index i = 0; i < n; ++i)
        if (i != 2 && (i < 5 || i >= 10)) outside.push_back(t[i]);
    const auto [lo, hi] = std::minmax_element(outside.begin(), outside.end());
    EXPECT_LE(*hi - *lo, 1e-9 * *hi);
}

// A weight whose upper bound is 0 stays at 0 and takes no budget: the others are the portfolio of
// the problem without it.
TEST(RiskBudgeting, AWeightHeldAtZeroIsLeftOut) {
    const Eigen::Index n = 12;
    const auto c_m = labelled(factor_covariance(returns(n, 60, 4)).dense());
    kmo::BoundsList bounds = box(n, 0.2);
    bounds[3] = {0.0, 0.0};
    const auto cons = kmo::_to_constraint(kmo::Grouping{{"G", positions(0, 6)}, {"H", positions(6, 12)}},
                                          kmo::Rules{{"G", {0.6, 1.0}}, {"H", {0.0, 1.0}}});
    const Vector w = in_label_order(kmo::risk_budgeting_optimize(c_m, bounds, cons, 200, 1e-12), c_m.labels);
    EXPECT_EQ(w[3], 0.0);

    std::vector<int> rest;
    for (int i = 0; i < n; ++i)
        if (i != 3) rest.push_back(i);
    const kmo::LabelledMatrix without{labels(n - 1), c_m.values(rest, rest)};
    kmo::BoundsList rest_bounds = box(n - 1, 0.2);
    const auto rest_cons = kmo::_to_constraint(kmo::Grouping{{"G", positions(0, 5)}, {"H", positions(5, 11)}},
                                               kmo::Rules{{"G", {0.6, 1.0}}, {"H", {0.0, 1.0}}});
    const Vector v = in_label_order(kmo::risk_budgeting_optimize(without, rest_bounds, rest_cons, 200, 1e-12),
                                    without.labels);
    for (std::size_t k = 0; k < rest.size(); ++k) EXPECT_NEAR(w[rest[k]], v[static_cast<Eigen::Index>(k)], 1e-10);
}

TEST(RiskBudgeting, RefusesRecordsItCannotReadAndLimitsNoPositiveWeightsMeet) {
    const Eigen::Index n = 6;
    const auto c_m = labelled(factor_covariance(returns(n, 40, 1)).dense());
    const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, 0.5});
    // A record of the caller's own: evaluated only, so not readable as a row.
    kmo::ConstraintRecord own;
    own.type = kmo::ConstraintRecord::Type::ineq;
    own.fun = [](const Vector& x) { return 0.3 - x[0] * x[0]; };
    EXPECT_THROW_MESSAGE(kmo::risk_budgeting_optimize(c_m, bounds, {own, kmo::budget_constraint()}, 100, 1e-10),
                         kelvane::KVInvalidArgument,
                         "risk_budgeting_optimize: constraint record 0 is not linear (a function of the caller's "
                         "own); risk budgeting takes the bounds and linear records (group limits, the budget) only");
    // Limits no positive weights meet, and too few steps to converge.
    const struct {
        const char* what;
        kmo::BoundsList bounds;
        std::vector<kmo::ConstraintRecord> cons;
        int steps;
        double tol;
    } cases[] = {
        {"two instruments capped at 30 % cannot hold 70 %", box(n, 0.3),
         kmo::_to_constraint(kmo::Grouping{{"G", {0, 1}}}, kmo::Rules{{"G", {0.7, 1.0}}}), 500, 1e-10},
        {"a group at 100 % leaves the others at 0", box(n, 1.0),
         kmo::_to_constraint(kmo::Grouping{{"G", {0, 1, 2}}}, kmo::Rules{{"G", {1.0, 1.0}}}), 500, 1e-10},
        {"one step", box(n, 0.3), budget(), 1, 1e-12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW_MESSAGE(kmo::risk_budgeting_optimize(c_m, c.bounds, c.cons, c.steps, c.tol),
                             kmo::OptimizationFailed, "OPTIMIZER: 风险预算在迭代上限内未找到满足全部约束的正权重");
    }
}
