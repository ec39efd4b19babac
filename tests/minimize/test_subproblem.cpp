// SLSQP's quadratic subproblem, min ½ sᵀBs + gᵀs under a budget row, one inequality row and step
// bounds, solved by the primal active-set solver and the guessed-active-set fast path, checked
// against Lawson & Hanson's LSEI on the same problem.
#include <gtest/gtest.h>

#include <random>

#include "active_set_qp.hpp"
#include "lsq.hpp"
#include "minimize/primal_qp.hpp"

namespace {

using minimize::ActiveSet;
using minimize::detail::Matrix;
using minimize::detail::Vector;
using Eigen::Index;

struct Subproblem {
    Matrix B;
    Vector g, lo, up, b;
    Matrix A;  // row 0: budget (equality), row 1: inequality
};

// Steps from a point x of the unit simplex, as SLSQP poses them: lo = -x, up = 1 - x. A large,
// uneven g pushes about half of the variables to a bound.
Subproblem make(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    Subproblem p;
    const Matrix M = Matrix::NullaryExpr(n, n, [&] { return normal(rng); });
    p.B = M.transpose() * M / n + 0.1 * Matrix::Identity(n, n);
    p.g = Vector::NullaryExpr(n, [&] { return 0.05 * normal(rng); });
    const Vector x = Vector::Constant(n, 1.0 / n);
    p.lo = -x;
    p.up = Vector::Ones(n) - x;
    p.A.resize(2, n);
    p.A.row(0).setOnes();
    for (Index i = 0; i < n; ++i) p.A(1, i) = i % 2 == 0 ? -1.0 : 0.0;  // even weights add up to at most 0.4
    p.b.resize(2);
    p.b << 0.0, x(Eigen::seq(0, n - 1, 2)).sum() - 0.4;
    return p;
}

Vector by_lsei(const Subproblem& p) {
    const Index n = p.g.size();
    const Eigen::LLT<Matrix> llt(p.B);
    const Matrix E = llt.matrixU();
    const Vector f = -llt.matrixL().solve(p.g);
    Matrix G(1 + 2 * n, n);
    Vector h(1 + 2 * n);
    G << p.A.row(1), Matrix::Identity(n, n), -Matrix::Identity(n, n);
    h << p.b[1], p.lo, -p.up;
    Vector s, multipliers;
    EXPECT_EQ(minimize::detail::lsei(p.A.topRows(1), p.b.head(1), E, f, G, h, s, multipliers), minimize::detail::kSolved);
    return s;
}

TEST(minimize_subproblem, BothSolversAgreeWithLeastSquaresFromAnyStart) {
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const int n = 150;
        const Subproblem p = make(n, seed);
        const Vector want = by_lsei(p);
        int at_bound = 0;
        for (Index i = 0; i < n; ++i) at_bound += want[i] <= p.lo[i] + 1e-12 || want[i] >= p.up[i] - 1e-12;
        ASSERT_GT(at_bound, n / 4);  // the solvers must swap many bounds
        // B = L D Lᵀ with L unit lower triangular, as SLSQP keeps it for the fast path.
        const Eigen::LLT<Matrix> llt(p.B);
        const Vector root = llt.matrixLLT().diagonal();
        const Matrix L = Matrix(llt.matrixL()) * root.cwiseInverse().asDiagonal();
        const Vector d = root.array().square();

        // From no guess, and from the opposite of the solution's active set (every bound wrong).
        ActiveSet opposite;
        opposite.known = true;
        opposite.inequality = {0};
        for (Index i = 0; i < n; ++i)
            opposite.bound.push_back(want[i] <= p.lo[i] + 1e-12 ? 0 : -1);
        // From every variable at its lower bound: more working rows than free variables, and
        // none of those bounds reached at the zero step.
        ActiveSet all_lower;
        all_lower.known = true;
        all_lower.inequality = {1};
        all_lower.bound.assign(static_cast<std::size_t>(n), -1);
        for (ActiveSet start : {ActiveSet{}, opposite, all_lower}) {
            Vector s, r;
            ASSERT_TRUE(minimize::primal_active_set_qp(p.B, p.g, p.A, p.b, 1, p.lo, p.up, start, s, r));
            EXPECT_LT((s - want).lpNorm<Eigen::Infinity>(), 1e-9);

            // The fast path, handed the active set the primal solver found, verifies it at once.
            Vector s_fast, r_fast;
            ASSERT_TRUE(minimize::detail::active_set_qp(L, d, p.g, p.A, p.b, 1, p.lo, p.up, start, s_fast, r_fast));
            EXPECT_LT((s_fast - want).lpNorm<Eigen::Infinity>(), 1e-9);
        }
    }
}

// A kept factor serves a sequence of subproblems on one B (the gradients differ, so the active sets
// move between them), and one kept from a different B is caught by the stationarity check rather
// than trusted: every answer is the least-squares one.
TEST(minimize_subproblem, AKeptFactorGivesTheAnswersOfAFreshOne) {
    const int n = 120;
    Subproblem p = make(n, 7);
    minimize::FreeBlockFactor kept;
    ActiveSet active;
    std::mt19937 rng(11);
    std::normal_distribution<double> normal;
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        if (k == 3) p.B.diagonal().array() += 1.0;  // B changed without reset(): the factor no longer fits
        p.g += Vector::NullaryExpr(n, [&] { return 0.01 * normal(rng); });
        const Vector want = by_lsei(p);
        Vector s, r;
        ActiveSet trial = active;
        bool solved = minimize::primal_active_set_qp(p.B, p.g, p.A, p.b, 1, p.lo, p.up, trial, s, r, &kept);
        if (!solved) {
            // Only the stale factor may fail; the fresh solve that follows succeeds.
            ASSERT_EQ(k, 3);
            kept.reset();
            trial = active;
            solved = minimize::primal_active_set_qp(p.B, p.g, p.A, p.b, 1, p.lo, p.up, trial, s, r, &kept);
        }
        ASSERT_TRUE(solved);
        EXPECT_LT((s - want).lpNorm<Eigen::Infinity>(), 1e-9);
        active = trial;
    }
}

}  // namespace
