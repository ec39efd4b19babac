// The covariance in factor form and the exact quadratic solves: the factor form is the dense
// estimate, and the answers of minimum variance, mean-variance and tracking error are the optima
// their optimality conditions define, within every limit.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "internal.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

std::vector<std::string> labels(Eigen::Index n) {
    std::vector<std::string> out;
    for (Eigen::Index i = 0; i < n; ++i) out.push_back(std::string("S").append(std::to_string(i)));
    return out;
}

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
