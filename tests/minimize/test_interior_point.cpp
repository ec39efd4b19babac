// The interior-point QP: optima built from the optimality conditions, a linear programme, an
// unconstrained minimum, infeasible limits, the iteration limit, and cvxopt's optima on generated
// portfolio-shaped problems (diagonal plus low rank, rank-deficient, group rows, absent sides), in
// factor form and as a dense Hessian.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "json_matrix.hpp"
#include "minimize/interior_point.hpp"

namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;
using minimize::DiagonalPlusLowRank;
using minimize::QpStatus;
using minimize::QuadraticProgram;
using minimize::solve_qp;
using json = nlohmann::json;
using kv_test::matrix;
using kv_test::vector;

constexpr double kInf = std::numeric_limits<double>::infinity();

QuadraticProgram budget_problem(DiagonalPlusLowRank H, VectorXd q, double cap) {
    const auto n = q.size();
    return {std::move(H), std::move(q), MatrixXd::Ones(1, n), VectorXd::Ones(1), MatrixXd(0, n), VectorXd(0),
            VectorXd::Zero(n), VectorXd::Constant(n, cap), MatrixXd()};
}

// x* chosen with instruments at 0, at the cap and in between, both group rows holding with
// equality; q is set so that x* and the chosen multipliers meet the optimality conditions.
TEST(InteriorPoint, FindsTheOptimumBuiltFromTheOptimalityConditions) {
    const int n = 24, k = 5;
    std::srand(7);
    const DiagonalPlusLowRank H(VectorXd::Constant(n, 0.02), MatrixXd::Random(n, k) * 0.3);
    const double cap = 0.12;
    VectorXd x(n), zl = VectorXd::Zero(n), zu = VectorXd::Zero(n);
    // group one: instruments 0..7 (sum 0.40, a floor), group two: 16..23 (sum 0.15, a ceiling)
    for (int i = 0; i < 8; ++i) x[i] = i < 2 ? cap : (0.40 - 2 * cap) / 6;
    for (int i = 8; i < 16; ++i) x[i] = i < 10 ? 0.0 : (i < 11 ? cap : 0.0);
    for (int i = 16; i < 24; ++i) x[i] = i < 19 ? 0.05 : 0.0;
    const double middle = 1.0 - 0.40 - 0.15 - cap;  // what instruments 11..15 must hold with 10 at the cap
    for (int i = 11; i < 16; ++i) x[i] = middle / 5;
    for (int i = 0; i < n; ++i) {
        if (x[i] == 0.0) zl[i] = 0.01 + 0.001 * i;
        if (x[i] == cap) zu[i] = 0.02 + 0.001 * i;
    }
    ASSERT_NEAR(x.sum(), 1.0, 1e-15);
    MatrixXd A_in = MatrixXd::Zero(2, n);
    A_in.row(0).head(8).setConstant(-1.0);  // −Σ ≤ −0.40
    A_in.row(1).tail(8).setConstant(1.0);   // Σ ≤ 0.15
    const VectorXd b_in = (VectorXd(2) << -0.40, 0.15).finished();
    const VectorXd z_in = (VectorXd(2) << 0.03, 0.04).finished();
    const double y = -0.05;
    const VectorXd q = -(H * x + VectorXd::Constant(n, y) + A_in.transpose() * z_in - zl + zu);

    QuadraticProgram p = budget_problem(H, q, cap);
    p.A_in = A_in, p.b_in = b_in;
    const auto r = solve_qp(p);
    ASSERT_EQ(r.status, QpStatus::converged);
    EXPECT_LT((r.x - x).cwiseAbs().maxCoeff(), 1e-9);
    EXPECT_NEAR(r.y_eq[0], y, 1e-8);
    EXPECT_NEAR(r.z_in[0], z_in[0], 1e-8);
    EXPECT_NEAR(r.z_in[1], z_in[1], 1e-8);
    EXPECT_LT((r.z_lower - zl).cwiseAbs().maxCoeff(), 1e-8);
    EXPECT_LT((r.z_upper - zu).cwiseAbs().maxCoeff(), 1e-8);
    EXPECT_NEAR(r.objective, 0.5 * H.quadratic_form(x) + q.dot(x), 1e-12);
    EXPECT_GE(r.x.minCoeff(), 0.0);
    EXPECT_LE(r.x.maxCoeff(), cap);
}

// Optima known in closed form: with no Hessian the cheapest instruments filled to the cap; without
// limits the Newton point −H⁻¹q; where nothing but the budget holds, the minimum-variance portfolio
// C⁻¹1 / 1ᵀC⁻¹1, from the factor form and from the dense Hessian.
TEST(InteriorPoint, ClosedFormOptima) {
    const VectorXd cheap = (VectorXd(7) << 0.5, 0.1, 0.7, 0.2, 0.3, 0.9, 0.05).finished();
    std::srand(3);
    const DiagonalPlusLowRank newton(VectorXd::Constant(9, 0.5), MatrixXd::Random(9, 3));
    const VectorXd q = VectorXd::Random(9);
    const VectorXd newton_point = newton.dense().llt().solve(-q);
    std::srand(13);
    const DiagonalPlusLowRank C(VectorXd::Constant(12, 0.04), MatrixXd::Random(12, 3) * 0.05);
    const VectorXd w = C.dense().llt().solve(VectorXd(VectorXd::Ones(12)));
    ASSERT_GT(w.minCoeff(), 0.0);
    QuadraticProgram dense = budget_problem(C, VectorXd::Zero(12), 1.0);
    dense.H_dense = C.dense();
    const struct {
        const char* what;
        QuadraticProgram p;
        VectorXd want;
        double tol;  // on every coordinate
    } cases[] = {
        {"a linear programme", budget_problem(DiagonalPlusLowRank(VectorXd::Zero(7), MatrixXd(7, 0)), cheap, 0.3),
         (VectorXd(7) << 0.0, 0.3, 0.0, 0.3, 0.1, 0.0, 0.3).finished(), 1e-9},
        {"no limits",
         {newton, q, MatrixXd(0, 9), VectorXd(0), MatrixXd(0, 9), VectorXd(0), VectorXd::Constant(9, -kInf),
          VectorXd::Constant(9, kInf), MatrixXd()},
         newton_point, 1e-10 * newton_point.norm() / 3},
        {"the budget alone, factor form", budget_problem(C, VectorXd::Zero(12), 1.0), w / w.sum(), 1e-14},
        {"the budget alone, dense Hessian", dense, w / w.sum(), 1e-14},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = solve_qp(c.p);
        ASSERT_EQ(r.status, QpStatus::converged);
        EXPECT_LT((r.x - c.want).cwiseAbs().maxCoeff(), c.tol);
        EXPECT_NEAR(r.objective, 0.5 * c.p.H.quadratic_form(c.want) + c.p.q.dot(c.want), 1e-12);
    }
}

TEST(InteriorPoint, ReportsLimitsThatCannotHold) {
    const int n = 5;
    const DiagonalPlusLowRank H(VectorXd::Constant(n, 0.01), MatrixXd::Ones(n, 1) * 0.1);
    // five caps of 10 % cannot hold a budget of 100 %
    const auto r = solve_qp(budget_problem(H, VectorXd::Zero(n), 0.1));
    EXPECT_EQ(r.status, QpStatus::infeasible);
}

TEST(InteriorPoint, StopsAtTheIterationLimit) {
    const int n = 30;
    std::srand(5);
    const DiagonalPlusLowRank H(VectorXd::Constant(n, 0.01), MatrixXd::Random(n, 4));
    const auto r = solve_qp(budget_problem(H, VectorXd::Random(n), 0.1), {.max_iterations = 2});
    EXPECT_EQ(r.status, QpStatus::iteration_limit);
    EXPECT_EQ(r.iterations, 2);
}

TEST(InteriorPoint, RefusesInconsistentInput) {
    const DiagonalPlusLowRank H(VectorXd::Ones(3), MatrixXd(3, 0));
    QuadraticProgram p = budget_problem(H, VectorXd::Zero(3), 1.0);
    p.lower[1] = 2.0;
    EXPECT_THROW(solve_qp(p), std::invalid_argument);
    p = budget_problem(H, VectorXd::Zero(4), 1.0);
    EXPECT_THROW(solve_qp(p), std::invalid_argument);
}

TEST(InteriorPoint, MatchesCvxoptOnPortfolioProblems) {
    std::ifstream in(KV_QP_FIXTURE);
    ASSERT_TRUE(in) << "missing fixture " << KV_QP_FIXTURE;
    const auto cases = json::parse(in);
    ASSERT_GT(cases.size(), 30u);
    int index = 0;
    for (const auto& c : cases) {
        const VectorXd q = vector(c["q"]);
        const auto n = q.size();
        const MatrixXd u = matrix(c["u"]);
        const QuadraticProgram p{DiagonalPlusLowRank(vector(c["d"]), u), q, matrix(c["a_eq"], n), vector(c["b_eq"]),
                                 matrix(c["a_in"], n), vector(c["b_in"]), vector(c["lower"], -kInf),
                                 vector(c["upper"], kInf), MatrixXd()};
        QuadraticProgram dense = p;
        dense.H_dense = p.H.dense();
        SCOPED_TRACE(::testing::Message() << "case " << index++ << " " << c["kind"] << " n=" << n << " k=" << u.cols());
        const auto r = solve_qp(p);
        const auto rd = solve_qp(dense);
        EXPECT_EQ(rd.status, r.status);
        if (c["infeasible"]) {
            EXPECT_EQ(r.status, QpStatus::infeasible);
            continue;
        }
        ASSERT_EQ(r.status, QpStatus::converged);
        const double want = c["fun"];
        EXPECT_NEAR(r.objective, want, 1e-9 * std::abs(want));
        EXPECT_NEAR(rd.objective, want, 1e-9 * std::abs(want));
        EXPECT_LE(r.objective, want + 1e-10 * std::abs(want));  // never above the optimum beyond rounding
        EXPECT_NEAR(r.x.sum(), 1.0, 1e-12);
        EXPECT_TRUE((r.x.array() >= p.lower.array()).all() && (r.x.array() <= p.upper.array()).all());
        if (p.A_in.rows() > 0) {
            EXPECT_LE((p.A_in * r.x - p.b_in).maxCoeff(), 1e-12);
        }
    }
}

}  // namespace
