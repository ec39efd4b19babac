// The covariance in factor form and the exact quadratic solves: the factor form is the dense
// estimate, and the answers of minimum variance, mean-variance and tracking error are the optima
// their optimality conditions define, within every limit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "internal.hpp"
#include "solver_fixtures.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;
using namespace solver_fixtures;

namespace {

// Daily returns of n instruments over T days driven by a market factor, with distinct volatilities.
kmo::ReturnTable daily_returns(Eigen::Index T, Eigen::Index n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 0.01);
    kmo::ReturnTable df{labels(n), Matrix(T, n)};
    for (Eigen::Index t = 0; t < T; ++t) {
        const double market = normal(gen);
        for (Eigen::Index j = 0; j < n; ++j)
            df.values(t, j) = 0.0004 + market * (0.6 + 0.1 * static_cast<double>(j % 5)) +
                              (1.0 + static_cast<double>(j % 3)) * normal(gen);
    }
    return df;
}

double relative_difference(const Matrix& a, const Matrix& b) {
    return (a - b).cwiseAbs().maxCoeff() / b.cwiseAbs().maxCoeff();
}

}  // namespace

TEST(FactorCovariance, SameEstimateAsTheDenseEstimators) {
    // Fewer days than instruments, more days than instruments, and a lone instrument.
    for (const auto& [T, n] : {std::pair<Eigen::Index, Eigen::Index>{30, 70}, {131, 12}, {20, 1}}) {
        SCOPED_TRACE(testing::Message() << "T " << T << ", n " << n);
        const kmo::ReturnTable df = daily_returns(T, n, 3);
        const minimize::DiagonalPlusLowRank lw = kmo::shrinkage_factor(df);
        EXPECT_LT(relative_difference(lw.dense(), kmo::_cov_shrinkage(df).values), 1e-12);
        EXPECT_EQ(lw.rank(), T);
        const auto sample = kmo::sample_covariance_factor(df);
        ASSERT_TRUE(sample);
        EXPECT_LT(relative_difference(sample->dense(), kmo::sample_covariance(df).values), 1e-12);
        if (n > 1) {
            EXPECT_GT(lw.d().minCoeff(), 0.0);  // shrunk: positive definite
        }
    }
}

TEST(FactorCovariance, RiskBudgetingStartsAgreeWithTheDenseMatrix) {
    // More instruments than days: the coordinate descent reads the factor, not the n × n matrix.
    for (const auto& [T, n] : {std::pair<Eigen::Index, Eigen::Index>{40, 90}, {131, 25}}) {
        SCOPED_TRACE(testing::Message() << "T " << T << ", n " << n);
        const minimize::DiagonalPlusLowRank lw = kmo::shrinkage_factor(daily_returns(T, n, 5));
        const Matrix dense = lw.dense();
        const kmo::CovarianceView by_factor{&lw, nullptr};
        const auto erc = kmo::equal_risk_contributions(by_factor);
        ASSERT_TRUE(erc);
        EXPECT_LT(kmo::relative_contribution_spread(dense, *erc), 1e-12);
        EXPECT_LT((*erc - *kmo::equal_risk_contributions(dense)).cwiseAbs().maxCoeff(), 1e-12);
        // A cap that holds some weights back: equal contributions on the others.
        const double cap = 1.2 / static_cast<double>(n);
        const auto boxed = kmo::box_risk_budgeting(by_factor, box(n, cap), *erc);
        ASSERT_TRUE(boxed);
        EXPECT_NEAR(boxed->sum(), 1.0, 1e-13);
        EXPECT_LE(boxed->maxCoeff(), cap);
        EXPECT_LT((*boxed - *kmo::box_risk_budgeting(dense, box(n, cap), *erc)).cwiseAbs().maxCoeff(), 1e-10 * cap);
        const Vector t = boxed->cwiseProduct(dense * *boxed);
        double free_min = std::numeric_limits<double>::infinity(), free_max = 0.0;
        int held = 0;
        for (Eigen::Index i = 0; i < n; ++i) {
            if ((*boxed)[i] >= cap * (1.0 - 1e-9)) {
                ++held;
                continue;
            }
            free_min = std::min(free_min, t[i]), free_max = std::max(free_max, t[i]);
        }
        EXPECT_GT(held, 0);
        EXPECT_LT(free_max / free_min - 1.0, 1e-6);
    }
}

TEST(FactorCovariance, GapsInTheTable) {
    // A recently listed instrument: its first days are missing. Ledoit-Wolf uses the complete rows
    // alone, which the factor form reproduces; the sample covariance is pairwise there, which is
    // not of that form.
    kmo::ReturnTable df = daily_returns(60, 8, 4);
    df.values.block(0, 2, 15, 1).setConstant(std::nan(""));
    EXPECT_LT(relative_difference(kmo::shrinkage_factor(df).dense(), kmo::_cov_shrinkage(df).values), 1e-12);
    EXPECT_FALSE(kmo::sample_covariance_factor(df));
    // Fewer than two complete rows: the dense estimator's refusal.
    df.values.block(0, 3, 59, 1).setConstant(std::nan(""));
    EXPECT_THROW(kmo::shrinkage_factor(df), kelvane::KVInvalidArgument);
}

namespace {

// Two groups: G (the first third) at most `cap`, H (the second third) at least `floor`, the rest free.
std::vector<kmo::ConstraintRecord> two_groups(int n, double cap, double floor) {
    return kmo::_to_constraint(
        kmo::Grouping{{"G", positions(0, n / 3)}, {"H", positions(n / 3, 2 * n / 3)}, {"R", positions(2 * n / 3, n)}},
        kmo::Rules{{"G", {0, cap}}, {"H", {floor, 1}}});
}

// The weights x* and the expected returns μ that make x* the optimum of mean-variance
// (λ/2)xᵀCx − μᵀx within [0, u], G's cap and H's floor and the budget: x* meets G's cap and H's floor
// exactly, has weights at 0 and at u and free ones, and μ = λCx* + y·1 + ν_G·g_G − ν_H·g_H − z_l + z_u with
// positive multipliers on what binds (the optimality conditions).
struct BuiltOptimum {
    Vector x, mu;
};
BuiltOptimum mean_variance_optimum(const kmo::CovarianceView& C, int n, double u, double lambda, double cap,
                                   double floor, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> uniform(0.8, 1.2);
    const int third = n / 3;
    Vector x = Vector::Zero(n);
    // In each third: a fifth of the members at u, two fifths at 0, the rest free; G's weights add
    // up to its cap, H's to its floor.
    const auto fill = [&](int first, int last, double total) {
        double at_u = 0.0;
        std::vector<int> free;
        for (int i = first; i < last; ++i) {
            if ((i - first) % 5 == 0) x[i] = u, at_u += u;
            else if ((i - first) % 5 < 3) free.push_back(i), x[i] = uniform(gen);
        }
        double s = 0.0;
        for (int i : free) s += x[i];
        for (int i : free) x[i] *= (total - at_u) / s;
        for (int i : free) EXPECT_TRUE(x[i] > 0.0 && x[i] < u) << "built weight " << x[i];
    };
    fill(0, third, cap);
    fill(third, 2 * third, floor);
    fill(2 * third, n, 1.0 - cap - floor);
    const double scale = lambda * C.times(x).cwiseAbs().maxCoeff();
    Vector mu = lambda * C.times(x) + Vector::Constant(n, scale * 0.7);
    for (int i = 0; i < third; ++i) mu[i] += 0.3 * scale;           // ν_G > 0 on the cap
    for (int i = third; i < 2 * third; ++i) mu[i] -= 0.2 * scale;   // ν_H > 0 on the floor
    for (int i = 0; i < n; ++i) {
        if (x[i] == 0.0) mu[i] -= scale * uniform(gen);  // z_l > 0
        if (x[i] == u) mu[i] += scale * uniform(gen);    // z_u > 0
    }
    return {x, mu};
}

double mean_variance_value(const kmo::CovarianceView& C, double lambda, const Vector& mu, const Vector& x) {
    return lambda / 2.0 * C.quadratic_form(x) - mu.dot(x);
}

}  // namespace

// Mean-variance on the factor form (as optimize uses it) and through the public solver on the
// dense matrix, with a shrunk covariance and with a sample covariance of fewer days than
// instruments (rank at most T − 1 < n: the optimum's value is unique though its weights need not be).
TEST(ExactQuadratic, OptimumBuiltFromTheOptimalityConditionsUnderBoundsAndTwoGroups) {
    const double u = 0.05;
    for (const bool rank_deficient : {false, true}) {
        SCOPED_TRACE(rank_deficient ? "sample covariance, 60 instruments, 20 days" : "shrunk, 45 instruments, 131 days");
        const int n = rank_deficient ? 60 : 45;
        const double lambda = rank_deficient ? 2.0 : 3.0;
        const kmo::ReturnTable df = rank_deficient ? daily_returns(20, n, 10) : daily_returns(131, n, 8);
        const auto factor = rank_deficient ? kmo::sample_covariance_factor(df) : kmo::shrinkage_factor(df);
        ASSERT_TRUE(factor);
        if (rank_deficient) {
            ASSERT_EQ(factor->d().cwiseAbs().maxCoeff(), 0.0);
        }
        const Matrix dense = factor->dense();
        const kmo::CovarianceView by_factor{&*factor, nullptr};
        const BuiltOptimum opt = mean_variance_optimum(by_factor, n, u, lambda, 0.3, 0.35, rank_deficient ? 4 : 2);
        const auto cons = two_groups(n, 0.3, 0.35);
        const double optimum = mean_variance_value(by_factor, lambda, opt.mu, opt.x);
        const auto exact = kmo::exact_mean_variance(df.columns, by_factor, lambda, opt.mu, equal(n), box(n, u), cons);
        ASSERT_TRUE(exact);
        const kmo::SolveResult dense_answer = kmo::mean_variance_solve({df.columns, dense}, equal(n), lambda, opt.mu,
                                                                       box(n, u), cons, 1000, 1e-8);
        for (const kmo::SolveResult* r : {&*exact, &dense_answer}) {
            const Vector w = in_label_order(r->weights, df.columns);
            if (!rank_deficient) {
                EXPECT_LT((w - opt.x).cwiseAbs().maxCoeff(), 1e-9);
            }
            EXPECT_NEAR(r->summary.objective, optimum, 1e-10 * std::abs(optimum));
            EXPECT_EQ(r->summary.termination, kmo::Termination::converged);
            EXPECT_LE(r->summary.iterations, kmo::kExactSteps);
            EXPECT_LE(w.maxCoeff(), u);
            EXPECT_GE(w.minCoeff(), 0.0);
        }
        // The same programme with the minimiser stops farther from the optimum.
        kmo::SolverSettings minimiser;
        minimiser.exact_quadratic = false;
        const kmo::SolveResult slsqp = kmo::mean_variance_solve({df.columns, dense}, equal(n), lambda, opt.mu,
                                                                box(n, u), cons, 1000, 1e-8, minimiser);
        EXPECT_GE(slsqp.summary.objective, optimum - 1e-12 * std::abs(optimum));
    }
}

// Minimum variance where a long-only portfolio has no variance at all: every day's return of x* is
// the mean return. The optimum is 0.
TEST(ExactQuadratic, MinimumVarianceOfAPortfolioWithoutVariance) {
    const int n = 60, T = 20;
    kmo::ReturnTable df = daily_returns(T, n, 10);
    Vector x = Vector::LinSpaced(n, 1.0, 2.0);
    x /= x.sum();
    df.values -= (df.values * x - Vector::Constant(T, 0.0003)) * x.transpose() / x.squaredNorm();
    const auto flat = kmo::sample_covariance_factor(df);
    ASSERT_LT(flat->quadratic_form(x), 1e-20);
    const double at_equal = flat->quadratic_form(equal(n));
    const auto mv = kmo::exact_min_variance(df.columns, {&*flat, nullptr}, equal(n), box(n, 0.05), budget());
    ASSERT_TRUE(mv);
    EXPECT_LT(mv->summary.objective, 1e-10 * at_equal);
    EXPECT_LE(in_label_order(mv->weights, df.columns).maxCoeff(), 0.05);
}

TEST(ExactQuadratic, WhatKeepsTheMinimisersPath) {
    const int n = 30;
    const kmo::ReturnTable df = daily_returns(131, n, 12);
    const kmo::LabelledMatrix c_m = kmo::_cov_shrinkage(df);
    const auto cons = two_groups(n, 0.3, 0.35);
    kmo::SolverSettings minimiser;
    minimiser.exact_quadratic = false;
    // The answer, or the message of the failure.
    struct Outcome {
        std::optional<kmo::SolveResult> result;
        std::string failure;
    };
    const auto outcome = [&](const std::vector<kmo::ConstraintRecord>& records, int limit,
                             const kmo::SolverSettings& settings, double cap = 0.1) {
        try {
            return Outcome{kmo::min_variance_solve(c_m, equal(n), box(n, cap), records, limit, 1e-8, settings), {}};
        } catch (const kmo::OptimizationFailed& e) {
            return Outcome{std::nullopt, e.what()};
        }
    };
    const auto same = [&](const Outcome& a, const Outcome& b) {
        EXPECT_EQ(a.failure, b.failure);
        ASSERT_EQ(a.result.has_value(), b.result.has_value());
        if (!a.result) return;
        EXPECT_EQ(a.result->weights, b.result->weights);
        EXPECT_EQ(a.result->summary.termination, b.result->summary.termination);
        EXPECT_EQ(a.result->summary.iterations, b.result->summary.iterations);
        EXPECT_EQ(a.result->summary.message, b.result->summary.message);
    };
    // An iteration limit below the interior point's steps: the minimiser's outcome (at 3 iterations
    // its point breaks G's cap and is refused; the step before the interior point's, accepted).
    for (int limit : {3, kmo::kExactSteps - 1}) same(outcome(cons, limit, {}), outcome(cons, limit, minimiser));
    EXPECT_FALSE(outcome(cons, 3, {}).failure.empty());
    EXPECT_TRUE(outcome(cons, kmo::kExactSteps - 1, {}).result);
    // A record of the caller's own, though it is the budget's own function.
    std::vector<kmo::ConstraintRecord> opaque = cons;
    opaque.back().linear = false;
    same(outcome(opaque, 1000, {}), outcome(opaque, 1000, minimiser));
    // The exact path otherwise, which ends no worse.
    const auto exact = kmo::min_variance_solve(c_m, equal(n), box(n, 0.1), cons, kmo::kExactSteps, 1e-8);
    const auto slsqp = kmo::min_variance_solve(c_m, equal(n), box(n, 0.1), cons, kmo::kExactSteps, 1e-8, minimiser);
    EXPECT_NE(exact.summary.message, slsqp.summary.message);
    EXPECT_LE(exact.summary.objective, slsqp.summary.objective * (1 + 1e-12));
    // Limits that admit no weights fail as they do with the minimiser, on either path.
    const auto impossible = two_groups(n, 0.3, 0.75);  // H's ten members hold 0.5 at most
    const Outcome refused = outcome(impossible, kmo::kExactSteps, {}, 0.05);
    EXPECT_FALSE(refused.failure.empty());
    same(refused, outcome(impossible, kmo::kExactSteps, minimiser, 0.05));
}

TEST(ExactQuadratic, TrackingErrorOptimumBuiltFromTheOptimalityConditions) {
    // Fewer days than instruments. x* meets G's cap and H's floor with weights at 0 and at u; r* a
    // residual; returns D with Dᵀr* = w, where −2w = y·1 + ν_G·g_G − ν_H·g_H − z_l + z_u (the
    // optimality conditions of ‖Dx − b‖² with b = Dx* − r*); the least tracking error is ‖r*‖².
    const int n = 90, T = 40;
    std::mt19937 gen(21);
    std::normal_distribution<double> daily(0.0, 0.015), residual(0.0, 0.0005);
    std::uniform_real_distribution<double> uniform(0.2, 1.0);
    const double u = 0.03;
    Matrix D = Matrix::NullaryExpr(T, n, [&] { return daily(gen); });
    const minimize::DiagonalPlusLowRank none(Vector::Zero(n), Matrix(n, 0));
    const BuiltOptimum shape = mean_variance_optimum({&none, nullptr}, n, u, 1.0, 0.3, 0.35, 22);
    const Vector& x = shape.x;
    const Vector r = Vector::NullaryExpr(T, [&] { return residual(gen); });
    const double size = 0.01 * r.norm();
    Vector w = Vector::Constant(n, 0.7 * size);
    for (int i = 0; i < n / 3; ++i) w[i] -= 0.3 * size;
    for (int i = n / 3; i < 2 * n / 3; ++i) w[i] += 0.2 * size;
    for (int i = 0; i < n; ++i) {
        if (x[i] == 0.0) w[i] += size * uniform(gen);
        if (x[i] == u) w[i] -= size * uniform(gen);
    }
    w /= 2.0;
    D += r * (w - D.transpose() * r).transpose() / r.squaredNorm();
    const Vector b = D * x - r;
    const kmo::ReturnTable df{labels(n), D};
    // The exact path, and the minimiser from the least-squares start. Both hold many weights
    // exactly at the cap, which dividing them by their sum must not lift past it.
    for (const bool exact : {true, false}) {
        SCOPED_TRACE(exact);
        const kmo::SolveResult got = kmo::min_tracking_error_solve(equal(n), b, df, box(n, u), two_groups(n, 0.3, 0.35),
                                                                   1000, 1e-8, {.exact_quadratic = exact});
        EXPECT_NEAR(got.summary.objective, r.squaredNorm(), 1e-10 * r.squaredNorm());
        EXPECT_EQ(got.summary.termination, kmo::Termination::converged);
        const Vector answer = in_label_order(got.weights, df.columns);
        EXPECT_LE(answer.head(n / 3).sum(), 0.3 + 1e-12);
        EXPECT_GE(answer.segment(n / 3, n / 3).sum(), 0.35 - 1e-12);
        EXPECT_LE(answer.maxCoeff(), u);
        EXPECT_GE(answer.minCoeff(), 0.0);
    }
}

namespace {

// Factor-model returns as strategies meet them: a market and nine sectors, each instrument's daily
// volatility between 1 % and 4 %.
kmo::ReturnTable factor_model_returns(Eigen::Index T, Eigen::Index n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> vol(0.01, 0.04), beta(0.5, 1.5);
    const Matrix factors = Matrix::NullaryExpr(T, 10, [&] { return normal(gen); });
    kmo::ReturnTable df{labels(n), Matrix(T, n)};
    for (Eigen::Index j = 0; j < n; ++j) {
        const double b = beta(gen), v = vol(gen);
        const double idiosyncratic = std::sqrt(std::max(v * v - b * b * 1.44e-4 - 0.49e-4, 1e-6));
        for (Eigen::Index t = 0; t < T; ++t)
            df.values(t, j) = 0.0002 + b * 0.012 * factors(t, 0) + 0.007 * factors(t, 1 + j % 9) +
                              idiosyncratic * normal(gen);
    }
    return df;
}

// The group-floor start on the factor form (Woodbury for its derivatives, Cw kept through U) ends
// where the one on the dense matrix ends: the same weights, within every limit.
TEST(StructuredStarts, RaisedGroupMembersOnTheFactorFormAsOnTheDenseMatrix) {
    const int n = 80;
    const kmo::ReturnTable df = daily_returns(131, n, 12);
    const minimize::DiagonalPlusLowRank factor = kmo::shrinkage_factor(df);
    const Matrix dense = factor.dense();
    const auto cons = two_groups(n, 1.0, 0.45);  // H, a third of the instruments, at least 45 %
    const kmo::BoundsList bounds = box(n, 1.0);
    const std::optional<Vector> start = kmo::box_risk_budgeting(dense, bounds, Vector());
    ASSERT_TRUE(start);
    const auto by_dense = kmo::raised_group_risk_parity(dense, nullptr, bounds, cons, *start);
    const auto by_factor = kmo::raised_group_risk_parity(dense, &factor, bounds, cons, *start);
    ASSERT_TRUE(by_dense && by_factor);
    EXPECT_LT((*by_factor - *by_dense).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_LE(kmo::worst_violation(*by_factor, bounds, cons), 1e-12);
}

}  // namespace

TEST(ExactQuadratic, ManyCappedAndManyZeroWeights) {
    // Minimum variance with every weight at most 1 %: most weights end at 0, a few dozen at the cap.
    const int n = 1500;
    const kmo::ReturnTable df = factor_model_returns(131, n, 30);
    const minimize::DiagonalPlusLowRank factor = kmo::shrinkage_factor(df);
    const auto mv = kmo::exact_min_variance(df.columns, {&factor, nullptr}, equal(n), box(n, 0.01),
                                            {kmo::budget_constraint()});
    ASSERT_TRUE(mv);
    const Vector w = in_label_order(mv->weights, df.columns);
    EXPECT_LE(w.maxCoeff(), 0.01);
    EXPECT_GT((w.array() >= 0.01 - 1e-9).count(), 0);
    EXPECT_GT((w.array() <= 1e-9).count(), n / 2);
    // No weight at 0 would lower the variance by rising, none at the cap by falling: the gradient
    // 2Cw, less the budget's multiplier, is at least 0 at 0, at most 0 at the cap, 0 in between.
    const Vector g = 2.0 * (factor * w);
    double level = 0.0;
    int free = 0;
    for (int i = 0; i < n; ++i)
        if (w[i] > 1e-6 && w[i] < 0.01 - 1e-6) level += g[i], ++free;
    ASSERT_GT(free, 0);
    level /= free;
    const double size = g.cwiseAbs().maxCoeff();
    for (int i = 0; i < n; ++i) {
        if (w[i] <= 1e-9) {
            EXPECT_GE(g[i] - level, -1e-6 * size) << i;
        }
        if (w[i] >= 0.01 - 1e-9) {
            EXPECT_LE(g[i] - level, 1e-6 * size) << i;
        }
    }
}
