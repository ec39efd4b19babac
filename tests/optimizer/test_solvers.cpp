#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "expect_message.hpp"
#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

Vector vec(std::initializer_list<double> v) {
    Vector x(static_cast<Eigen::Index>(v.size()));
    Eigen::Index i = 0;
    for (double d : v) x[i++] = d;
    return x;
}

kmo::LabelledMatrix labelled(const Matrix& C) {
    kmo::LabelledMatrix m;
    for (Eigen::Index i = 0; i < C.rows(); ++i) m.labels.push_back(std::string("S").append(std::to_string(i)));
    m.values = C;
    return m;
}

kmo::BoundsList unit_bounds(Eigen::Index n) { return kmo::BoundsList(static_cast<std::size_t>(n), {0.0, 1.0}); }
std::vector<kmo::ConstraintRecord> budget() { return {kmo::budget_constraint()}; }
Vector equal(Eigen::Index n) { return Vector::Constant(n, 1.0 / static_cast<double>(n)); }

Vector weights_in_label_order(const kmo::WeightMap& w, const std::vector<std::string>& labels) {
    Vector x(static_cast<Eigen::Index>(labels.size()));
    for (std::size_t i = 0; i < labels.size(); ++i) x[static_cast<Eigen::Index>(i)] = w.at(labels[i]);
    return x;
}

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

TEST(Objectives, WorkedNumbers) {
    const Matrix C = vec({1, 4}).asDiagonal();
    const Vector x = vec({0.5, 0.5});
    EXPECT_DOUBLE_EQ(kmo::risk_parity_with_con_obj_fun(C, x), 0.75);
    const Matrix I3 = Matrix::Identity(3, 3);
    EXPECT_DOUBLE_EQ(kmo::risk_parity_with_con_obj_fun(I3, vec({1, std::sqrt(2.0), 2})), 6.0);
    EXPECT_DOUBLE_EQ(kmo::mean_variance_obj_fun(C, 2.0, vec({0.1, 0.2}), x), 1.1);
    EXPECT_TRUE(kmo::mean_variance_gradient(C, 2.0, vec({0.1, 0.2}), x).isApprox(vec({0.9, 3.8})));
    Matrix D(2, 2);
    D << 0.01, 0.03, -0.02, 0.00;
    EXPECT_NEAR(kmo::min_TE_obj_fun(D, vec({0.01, -0.02}), x), 0.0002, 1e-18);
    const Matrix C3 = daily_covariance(3, 50, 7);
    EXPECT_NEAR(kmo::min_variance_obj_fun(C3, equal(3)), C3.mean(), 1e-18);
    EXPECT_TRUE(kmo::min_variance_gradient(C3, equal(3)).isApprox(2.0 / 3.0 * C3.rowwise().sum()));
    EXPECT_TRUE(kmo::log_barrier_risk_parity_gradient(C, x).isApprox(vec({1 - 30, 4 - 30})));
}

TEST(Objectives, ExactGradientsMatchCentralDifferences) {
    const Matrix C = daily_covariance(6, 80, 3);
    const Vector x = vec({0.1, 0.25, 0.05, 0.2, 0.15, 0.25});
    Matrix D = Matrix::Random(30, 6) * 0.02;
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
}

namespace {

struct ScriptedMinimiser {
    std::vector<minimize::Result> results;  // the last one repeats
    std::vector<double> ftols;
    minimize::Result operator()(const minimize::SlsqpOptions& o) {
        ftols.push_back(o.ftol);
        const auto& r = results[std::min(ftols.size() - 1, results.size() - 1)];
        return r;
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

TEST(SlsqpPolicy, RelaxationCountsFollowTheRunningTolerance) {
    const std::vector<std::pair<double, std::vector<double>>> cases{
        {1e-8, {1e-8, 1e-7, 1e-6, 9.999999999999999e-06, 9.999999999999999e-05}},
        {1e-7, {1e-7, 1e-6, 9.999999999999999e-06, 9.999999999999999e-05}},
        {1e-6, {1e-6, 9.999999999999999e-06, 9.999999999999999e-05}},
        {5e-6, {5e-6, 5e-5}},
        {1e-5, {1e-5}},
    };
    for (const auto& [tol, expected] : cases) {
        ScriptedMinimiser m{{result(false, 3, 8)}, {}};
        EXPECT_THROW_MESSAGE(kmo::apply_slsqp_policy(std::ref(m), 1000, tol), kmo::OptimizationFailed,
                             "OPTIMIZER: 优化无法收敛到足够精度");
        ASSERT_EQ(m.ftols.size(), expected.size()) << "tol " << tol;
        for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(m.ftols[i], expected[i]);
    }
}

TEST(SlsqpPolicy, AcceptanceAndFailureReports) {
    ScriptedMinimiser converged{{result(true, 5, 0)}, {}};
    EXPECT_EQ(kmo::apply_slsqp_policy(std::ref(converged), 1000, 1e-8), vec({0.25, 0.75}));
    EXPECT_EQ(converged.ftols.size(), 1u);
    // The iteration limit is tested before the status.
    ScriptedMinimiser at_limit{{result(false, 1000, 8)}, {}};
    EXPECT_NO_THROW(kmo::apply_slsqp_policy(std::ref(at_limit), 1000, 1e-8));
    EXPECT_EQ(at_limit.ftols.size(), 1u);
    ScriptedMinimiser recovered{{result(false, 4, 8), result(true, 6, 0)}, {}};
    EXPECT_NO_THROW(kmo::apply_slsqp_policy(std::ref(recovered), 1000, 1e-8));
    EXPECT_EQ(recovered.ftols, (std::vector<double>{1e-8, 1e-7}));
    ScriptedMinimiser other{{result(false, 2, 4, "Inequality constraints incompatible")}, {}};
    EXPECT_THROW_MESSAGE(kmo::apply_slsqp_policy(std::ref(other), 1000, 1e-8), kmo::OptimizationFailed,
                         "Inequality constraints incompatible");
    EXPECT_EQ(other.ftols.size(), 1u);
    ScriptedMinimiser never{{result(true, 1, 0)}, {}};
    EXPECT_THROW_MESSAGE(kmo::apply_slsqp_policy(std::ref(never), 1000, -1e-8), kelvane::KVInvalidArgument,
                         "tol （收敛精度）必须是有限的正数，传入值为：-1e-08");
    EXPECT_TRUE(never.ftols.empty());
}

TEST(Solvers, KnownOptimaOnDailySizedCovariances) {
    // Two uncorrelated instruments: minimum variance gives (b/(a+b), a/(a+b)).
    const double a = 1e-4, b = 2.5e-5;
    const auto c_m = labelled(vec({a, b}).asDiagonal());
    const auto mv = kmo::min_variance_optimize(c_m, equal(2), unit_bounds(2), budget(), 1000, 1e-8);
    EXPECT_NEAR(mv.at("S0"), b / (a + b), 1e-6);
    EXPECT_NEAR(mv.at("S1"), a / (a + b), 1e-6);
    // Risk parity on a diagonal covariance: weights proportional to 1/sqrt(v).
    const auto c4 = labelled(vec({1e-4, 4e-4, 2.5e-5, 1e-4}).asDiagonal());
    const kmo::BoundsList barrier(4, minimize::Bound{1e-6, std::nullopt});
    const Vector want = vec({1 / 1e-2, 1 / 2e-2, 1 / 5e-3, 1 / 1e-2}) / (100 + 50 + 200 + 100);
    const auto rp = kmo::risk_parity_optimize(c4, equal(4), barrier, 1000);
    EXPECT_TRUE(weights_in_label_order(rp, c4.labels).isApprox(want, 1e-4));
    const auto rpc = kmo::risk_parity_with_cons_optimize(c4, equal(4), unit_bounds(4), budget(), 1000, 1e-8);
    EXPECT_TRUE(weights_in_label_order(rpc, c4.labels).isApprox(want, 1e-4));
    // Mean-variance without risk aversion puts everything on the best expected return.
    const auto mean = kmo::mean_variance_optimize(c4, equal(4), 0, vec({1e-4, 3e-4, 2e-4, 0}), unit_bounds(4),
                                                  budget(), 1000, 1e-8);
    EXPECT_NEAR(mean.at("S1"), 1.0, 1e-6);
}

TEST(Solvers, TrackingABenchmarkThatIsOneInstrument) {
    std::mt19937 gen(5);
    std::normal_distribution<double> normal(0.0, 0.01);
    kmo::ReturnTable df;
    df.columns = {"A", "B", "C"};
    df.values.resize(131, 3);
    for (Eigen::Index t = 0; t < 131; ++t)
        for (Eigen::Index j = 0; j < 3; ++j) df.values(t, j) = normal(gen);
    // The benchmark has one extra (older) day, and the first column starts late: rows are aligned
    // at the latest day and only complete rows count.
    Vector bench(132);
    bench[0] = 0.5;
    bench.tail(131) = df.values.col(1);
    df.values.block(0, 0, 20, 1).setConstant(std::nan(""));
    const auto w = kmo::min_tracking_error_optimize(equal(3), bench, df, unit_bounds(3), budget(), 1000, 1e-8);
    EXPECT_NEAR(w.at("B"), 1.0, 1e-6);
    // Finite differences reach no better objective than the exact gradient.
    const auto fd = kmo::min_tracking_error_optimize(equal(3), bench, df, unit_bounds(3), budget(), 1000, 1e-8,
                                                     {.derivatives = kmo::Derivatives::finite_differences});
    EXPECT_GE(std::abs(1.0 - fd.at("B")) + 1e-9, std::abs(1.0 - w.at("B")));
}

TEST(Solvers, RefuseWhatWouldGiveMeaninglessWeights) {
    const auto c_m = labelled(vec({1e-4, 2e-4}).asDiagonal());
    EXPECT_THROW_MESSAGE(kmo::min_variance_optimize(c_m, equal(2), unit_bounds(2), budget(), 1000, 0.0),
                         kelvane::KVInvalidArgument, "tol （收敛精度）必须是有限的正数，传入值为：0.0");
    auto bad = c_m;
    bad.values(0, 1) = std::nan("");
    EXPECT_THROW(kmo::min_variance_optimize(bad, equal(2), unit_bounds(2), budget(), 1000, 1e-8),
                 kmo::OptimizationFailed);
    EXPECT_THROW(kmo::risk_parity_optimize(bad, equal(2), kmo::BoundsList(2, {1e-6, std::nullopt}), 1000),
                 kmo::OptimizationFailed);
    // Group limits that contradict each other end with the convergence failure after the relaxation.
    kmo::ConstraintRecord at_least, at_most;
    at_least.type = at_most.type = kmo::ConstraintRecord::Type::ineq;
    at_least.fun = [](const Vector& x) { return x[0] + x[1] - 0.9; };
    at_most.fun = [](const Vector& x) { return 0.3 - x[0] - x[1]; };
    const std::vector<kmo::ConstraintRecord> cons{at_least, at_most, kmo::budget_constraint()};
    const auto c3 = labelled(Matrix::Identity(3, 3));
    EXPECT_THROW(kmo::min_variance_optimize(c3, equal(3), unit_bounds(3), cons, 1000, 1e-8), kmo::OptimizationFailed);
}

TEST(Solvers, ExactDerivativesReachObjectivesAtLeastAsGoodAsFiniteDifferences) {
    for (unsigned seed : {1u, 2u, 3u}) {
        const auto c_m = labelled(daily_covariance(12, 131, seed));
        const kmo::BoundsList bounds(12, {0.0, 0.2});
        const auto exact = kmo::risk_parity_with_cons_optimize(c_m, equal(12), bounds, budget(), 1000, 1e-8);
        const auto fd = kmo::risk_parity_with_cons_optimize(c_m, equal(12), bounds, budget(), 1000, 1e-8,
                                                            {.derivatives = kmo::Derivatives::finite_differences});
        const double f_exact = kmo::risk_parity_with_con_obj_fun(c_m.values, weights_in_label_order(exact, c_m.labels));
        const double f_fd = kmo::risk_parity_with_con_obj_fun(c_m.values, weights_in_label_order(fd, c_m.labels));
        // Both are near zero; the exact subgradient must not stop measurably higher.
        const double scale = kmo::min_variance_obj_fun(c_m.values, equal(12));
        EXPECT_LE(f_exact, f_fd + 1e-6 * scale) << "seed " << seed;
    }
}

TEST(Covariance, LedoitWolfBasicsAndCompleteRows) {
    kmo::ReturnTable one;
    one.columns = {"a"};
    one.values = vec({0.01, 0.03, -0.01, 0.01});
    EXPECT_NEAR(kmo::_cov_shrinkage(one).values(0, 0), 0.0002, 1e-18);  // divisor T
    // Equal variances and no sample correlation: S is already m·I and is returned as it is.
    kmo::ReturnTable orth;
    orth.columns = {"a", "b"};
    orth.values.resize(4, 2);
    orth.values << 1, 1, -1, 1, 1, -1, -1, -1;
    const auto s = kmo::_cov_shrinkage(orth);
    EXPECT_TRUE(s.values.isApprox(Matrix::Identity(2, 2)));
    EXPECT_EQ(s.labels, orth.columns);
    // Rows with a missing cell are left out of the fit.
    kmo::ReturnTable padded = orth;
    padded.values.conservativeResize(6, 2);
    padded.values.bottomRows(4) = orth.values;
    padded.values.topRows(2) << std::nan(""), 5, std::nan(""), -5;
    EXPECT_TRUE(kmo::_cov_shrinkage(padded).values.isApprox(s.values));
    padded.values.topRows(5).col(0).setConstant(std::nan(""));
    EXPECT_THROW(kmo::_cov_shrinkage(padded), kelvane::KVInvalidArgument);
}
