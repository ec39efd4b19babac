// The factor-form matrix against its dense equal, and the Woodbury solves against a dense
// factorisation, including a shifted diagonal spanning many orders of magnitude and a zero diagonal.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <stdexcept>

#include "minimize/diagonal_plus_low_rank.hpp"
#include "minimize/products.hpp"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using minimize::DiagonalPlusLowRank;
using minimize::WoodburySolver;

DiagonalPlusLowRank random_matrix(int n, int k, double d_scale, unsigned seed) {
    std::srand(seed);
    VectorXd d = (VectorXd::Random(n).array() + 1.5).matrix() * d_scale;
    return {d, MatrixXd::Random(n, k) * 0.1};
}

TEST(DiagonalPlusLowRank, OperationsMatchTheDenseMatrix) {
    const DiagonalPlusLowRank m = random_matrix(40, 7, 0.01, 3);
    const MatrixXd dense = m.dense();
    EXPECT_TRUE(dense.isApprox(dense.transpose(), 0.0));
    EXPECT_TRUE(dense.isApprox(m.U() * m.U().transpose() + MatrixXd(m.d().asDiagonal()), 1e-14));
    const VectorXd x = VectorXd::Random(40);
    EXPECT_TRUE((m * x).isApprox(dense * x, 1e-13));
    EXPECT_NEAR(m.quadratic_form(x), x.dot(dense * x), 1e-13 * std::abs(x.dot(dense * x)));
    EXPECT_TRUE(m.diagonal().isApprox(dense.diagonal(), 1e-14));
    EXPECT_TRUE(m.row(5).isApprox(dense.row(5).transpose(), 1e-14));
}

TEST(DiagonalPlusLowRank, WithoutALowRankPartItIsDiagonal) {
    const DiagonalPlusLowRank m(VectorXd::LinSpaced(4, 1.0, 4.0), MatrixXd(4, 0));
    EXPECT_EQ(m.rank(), 0);
    EXPECT_DOUBLE_EQ(m.quadratic_form(VectorXd::Ones(4)), 10.0);
    const WoodburySolver solver(m, 1.0);
    EXPECT_TRUE(solver.solve(VectorXd(VectorXd::Ones(4))).isApprox(VectorXd::LinSpaced(4, 2.0, 5.0).cwiseInverse(), 1e-15));
}

TEST(WoodburySolver, SolvesMatchADenseFactorisation) {
    const DiagonalPlusLowRank m = random_matrix(60, 9, 0.001, 5);
    const VectorXd shift = VectorXd::Random(60).cwiseAbs();
    const MatrixXd k = m.dense() + MatrixXd(shift.asDiagonal());
    const WoodburySolver solver(m, shift);
    const VectorXd r = VectorXd::Random(60);
    const VectorXd z = solver.solve(r);
    EXPECT_LT((k * z - r).norm(), 1e-12 * r.norm());
    const MatrixXd R = MatrixXd::Random(60, 3);
    const MatrixXd Z = solver.solve(R);
    EXPECT_LT((k * Z - R).norm(), 1e-12 * R.norm());

    // A Newton method's next matrix in the same solver; one that fails the checks leaves it as it was.
    WoodburySolver reused(m, 1.0);
    reused.compute(m, shift);
    EXPECT_LT((k * reused.solve(r) - r).norm(), 1e-12 * r.norm());
    EXPECT_THROW(reused.compute(m, VectorXd::Constant(60, -1.0)), std::invalid_argument);
    EXPECT_LT((k * reused.solve(r) - r).norm(), 1e-12 * r.norm());

    // A solver outlives the matrix it was built from (it shares the factor; the sanitizer build
    // would see a dangling one).
    std::optional<WoodburySolver> outliving;
    {
        const DiagonalPlusLowRank copy = random_matrix(60, 9, 0.001, 5);
        outliving.emplace(copy, shift);
    }
    EXPECT_LT((k * outliving->solve(r) - r).norm(), 1e-12 * r.norm());
}

// A Newton diagonal near a bound: some entries 1e12, others 1e-8, and a singular low-rank part
// (more columns than the diagonal can hide: rank k < n with d = 0 outside the shift).
TEST(WoodburySolver, StaysAccurateWithAWidelySpreadDiagonal) {
    const int n = 50;
    std::srand(11);
    const DiagonalPlusLowRank m(VectorXd::Zero(n), MatrixXd::Random(n, 6));
    VectorXd shift(n);
    for (int i = 0; i < n; ++i) shift[i] = std::pow(10.0, -8.0 + 20.0 * (i % 5) / 4.0);
    const MatrixXd k = m.dense() + MatrixXd(shift.asDiagonal());
    const VectorXd want = VectorXd::Random(n);
    const VectorXd r = k * want;
    const VectorXd z = WoodburySolver(m, shift).solve(r);
    // backward error, relative to the size of the terms summed into r
    const VectorXd scale = k.cwiseAbs() * want.cwiseAbs();
    for (int i = 0; i < n; ++i) EXPECT_LT(std::abs((k * z - r)[i]), 1e-12 * scale[i]) << i;
}

// The blockwise products against whole ones: sizes that leave a partial last block, an operand
// deeper than one slice, a Gram matrix too large for blocks (computed whole), and no rows at all.
TEST(Products, BlockwiseLowerTrianglesEqualTheWholeProducts) {
    std::srand(17);
    for (const auto& [depth, n] : {std::pair{131, 300}, {7, 45}, {600, 70}, {0, 20}, {20, 700}}) {
        SCOPED_TRACE(testing::Message() << depth << " x " << n);
        const MatrixXd A = MatrixXd::Random(depth, n), B = MatrixXd::Random(depth, n);
        MatrixXd H = MatrixXd::Constant(n, n, 7.0);
        minimize::set_lower_product(H, A, B);
        const MatrixXd want = depth ? MatrixXd(A.transpose() * B) : MatrixXd::Zero(n, n);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) ASSERT_NEAR(H(i, j), i >= j ? want(i, j) : 7.0, 1e-12) << i << ", " << j;

        if (depth == 0) continue;
        MatrixXd G = MatrixXd::Identity(depth, depth);  // X Xᵀ is added to it
        minimize::add_lower_gram(G, A);
        const MatrixXd gram = MatrixXd::Identity(depth, depth) + A * A.transpose();
        EXPECT_LT((G.triangularView<Eigen::Lower>().toDenseMatrix() -
                   gram.triangularView<Eigen::Lower>().toDenseMatrix()).cwiseAbs().maxCoeff(), 1e-12);
    }
}

// Sizes that do not match, and a diagonal that is not positive.
TEST(DiagonalPlusLowRank, RefusesInvalidInput) {
    EXPECT_THROW(DiagonalPlusLowRank(VectorXd::Ones(3), MatrixXd::Ones(4, 2)), std::invalid_argument);
    EXPECT_THROW(WoodburySolver(DiagonalPlusLowRank(VectorXd::Ones(3), MatrixXd::Ones(3, 2)), VectorXd::Ones(4)),
                 std::invalid_argument);
    const DiagonalPlusLowRank m(VectorXd::Zero(3), MatrixXd::Ones(3, 1));
    EXPECT_THROW(WoodburySolver(m, 0.0), std::invalid_argument);
    EXPECT_THROW(WoodburySolver(m, VectorXd::Constant(3, std::nan(""))), std::invalid_argument);
}

}  // namespace
