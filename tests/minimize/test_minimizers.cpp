// SLSQP and L-BFGS-B against reference runs (iteration counts, exit codes, messages and optima),
// fixed variables, points outside the bounds and invalid bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "expect_message.hpp"
#include "minimize/minimize.hpp"
#include "vec.hpp"

namespace {

using minimize::Bound;
using minimize::Constraint;
using minimize::Result;
using minimize::Vector;

constexpr double kThird = 1.0 / 3.0;
const double kNaN = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

// Each coordinate within rel · max(1, |want|).
void expect_close(const Vector& got, const Vector& want, double rel) {
    ASSERT_EQ(got.size(), want.size());
    for (Eigen::Index i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::abs(want[i]))) << "x[" << i << "]";
}

struct Problem {
    minimize::Objective f;
    minimize::Gradient g;  // empty: finite differences
    Vector x0;
    std::vector<Bound> bounds;
    std::vector<Constraint> cons;  // SLSQP only
    int maxiter = 100;
    double ftol = 1e-6;  // SLSQP only
};

Result slsqp(const Problem& p) {
    return minimize::slsqp(p.f, p.g, p.x0, p.bounds, p.cons, {.maxiter = p.maxiter, .ftol = p.ftol});
}
Result lbfgsb(const Problem& p) { return minimize::lbfgsb(p.f, p.g, p.x0, p.bounds, {.maxiter = p.maxiter}); }

Constraint eq(std::function<double(const Vector&)> f) { return {Constraint::Type::eq, std::move(f), {}}; }
Constraint ineq(std::function<double(const Vector&)> f) { return {Constraint::Type::ineq, std::move(f), {}}; }
Constraint budget(double total = 1.0) {
    return eq([total](const Vector& x) { return x.sum() - total; });
}
std::vector<Bound> box(int n) { return std::vector<Bound>(n, Bound{0.0, 1.0}); }

// The reference covariance C1.
Eigen::MatrixXd c1() {
    Eigen::MatrixXd c(3, 3);
    c << 0.04, 0.006, 0.012, 0.006, 0.09, 0.018, 0.012, 0.018, 0.16;
    return 1e-2 * c;
}

// xᵀC1x from equal weights under the budget and bounds [0, 1], tight tolerance.
Problem quadratic(bool with_jac) {
    Problem p;
    const Eigen::MatrixXd c = c1();
    p.f = [c](const Vector& x) { return x.dot(c * x); };
    if (with_jac) p.g = [c](const Vector& x) -> Vector { return 2.0 * c * x; };
    p.bounds = box(3);
    p.x0 = vec({kThird, kThird, kThird});
    p.cons = {budget()};
    p.maxiter = 1000;
    p.ftol = 1e-8;
    return p;
}

Problem s1(int maxiter) {
    Problem p;
    p.f = [](const Vector& x) { return std::pow(x[0] - 1, 2) + std::pow(x[1] - 2.5, 2); };
    p.x0 = vec({2, 0});
    p.bounds = {Bound{0.0, {}}, Bound{0.0, {}}};
    p.cons = {ineq([](const Vector& x) { return x[0] - 2 * x[1] + 2; }),
              ineq([](const Vector& x) { return -x[0] - 2 * x[1] + 6; }),
              ineq([](const Vector& x) { return -x[0] + 2 * x[1] + 2; })};
    p.maxiter = maxiter;
    return p;
}

Problem sum_sq(Vector x0, std::vector<Constraint> cons = {}, std::vector<Bound> bounds = {}) {
    Problem p;
    p.f = [](const Vector& x) { return x.squaredNorm(); };
    p.x0 = std::move(x0);
    p.cons = std::move(cons);
    p.bounds = std::move(bounds);
    return p;
}

// Σ(x − 1)²; sign -1 gives a gradient of the wrong sign.
Problem squares(Vector x0, double sign = 1.0) {
    Problem p;
    p.f = [](const Vector& x) { return (x.array() - 1.0).square().sum(); };
    p.g = [sign](const Vector& x) -> Vector { return sign * 2.0 * (x.array() - 1.0).matrix(); };
    p.x0 = std::move(x0);
    return p;
}

// Risk-parity log barrier xᵀC1x − 15 Σ ln x on x >= 1e-6, from equal weights.
Problem barrier(int maxiter) {
    Problem p;
    const Eigen::MatrixXd c = c1();
    p.f = [c](const Vector& x) { return x.dot(c * x) - 15.0 * x.array().log().sum(); };
    p.g = [c](const Vector& x) -> Vector { return 2.0 * c * x - (15.0 / x.array()).matrix(); };
    p.bounds = std::vector<Bound>(3, Bound{1e-6, {}});
    p.x0 = vec({kThird, kThird, kThird});
    p.maxiter = maxiter;
    return p;
}

Problem rosenbrock(bool with_gradient) {
    Problem p;
    p.f = [](const Vector& x) { return 100 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1 - x[0], 2); };
    if (with_gradient)
        p.g = [](const Vector& x) {
            return vec({-400 * x[0] * (x[1] - x[0] * x[0]) - 2 * (1 - x[0]), 200 * (x[1] - x[0] * x[0])});
        };
    p.x0 = vec({-1.2, 1});
    return p;
}

// One reference problem with its recorded outcome.
struct Row {
    const char* id;
    Result (*method)(const Problem&);
    Problem (*make)();
    Vector x;
    double fun;
    int nit;
    int status;
    const char* message;
    bool robust = true;  // false: the path depends on rounding, only the exit code is compared
};

const char* const kSuccess = "Optimization terminated successfully";
const char* const kLimit = "Iteration limit reached";
const char* const kPositive = "Positive directional derivative for linesearch";
const char* const kPgtol = "CONVERGENCE: NORM_OF_PROJECTED_GRADIENT_<=_PGTOL";

const Row kRows[] = {
    {"S1", slsqp, [] { return s1(100); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 0,
     kSuccess},
    {"S9_maxiter0", slsqp, [] { return s1(0); }, vec({2.0, 0.0}), 7.25, 1, 9, kLimit},
    {"S9_maxiter_min", slsqp, [] { return s1(std::numeric_limits<int>::min()); }, vec({2.0, 0.0}), 7.25, 1, 9, kLimit},
    {"S19", slsqp, [] { return s1(3); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 9,
     kLimit},
    {"S10", slsqp,
     [] {
         return sum_sq(vec({0.5, 0.5}), {eq([](const Vector& x) { return x[0] - 1; }),
                                         eq([](const Vector& x) { return x[1] - 1; }),
                                         eq([](const Vector& x) { return x[0] + x[1] - 2; })});
     },
     vec({0.5, 0.5}), 0.5, 1, 2, "More equality constraints than independent variables"},
    {"S11", slsqp, [] { return sum_sq(vec({0.2, 0.3, 0.5}), {budget(), budget()}, box(3)); }, vec({0.2, 0.3, 0.5}),
     0.38, 1, 6, "Singular matrix C in LSQ subproblem"},
    {"S12", slsqp,
     [] {
         Problem p = sum_sq(vec({0, 0}));
         p.f = [](const Vector& x) { return 1e10 * (std::pow(x[0] - 1, 2) + std::pow(x[1] - 2, 2)); };
         return p;
     },
     vec({2.0, 4.0}), 50000000000.0, 1, 0, kSuccess},
    {"S13", slsqp,
     [] {
         Problem p = sum_sq(vec({0.5, 0.5}), {budget()}, box(2));
         p.f = [](const Vector&) { return kNaN; };
         return p;
     },
     vec({0.5, 0.5}), kNaN, 1, 4, "Inequality constraints incompatible"},
    {"S14b", slsqp,
     [] {
         return sum_sq(vec({0.5, 0.5}), {ineq([](const Vector& x) { return x[0] - 1; }),
                                         ineq([](const Vector& x) { return -x[0]; })});
     },
     vec({0.5000000000016163, -2.220446049250313e-16}), 0.25000000000161626, 6, 8, kPositive, false},
    {"S16", slsqp,
     [] {
         Problem p = quadratic(true);
         p.bounds[1] = {0.2, 0.2};
         return p;
     },
     vec({0.6863636363636367, 0.2, 0.11363636363636331}), 0.00028847272727272735, 7, 0, kSuccess},
    // Recorded with the objective evaluated by the C library's log; a vectorised log that is
    // one ulp off at two difference points moves x[1] by 2e-8 (to -1.877861647729467e-08).
    {"S20", slsqp,
     [] {
         Problem p = sum_sq(vec({0.9, 1.0}));
         p.f = [](const Vector& x) { return -std::log(x[0]) - std::log(1 - x[0]) + x[1] * x[1]; };
         return p;
     },
     vec({0.5002101220825762, 9.109189634689228e-10}), 1.3862945377250646, 5, 0, kSuccess},
    {"L1", lbfgsb, [] { return barrier(1000); }, vec({122.64677566320917, 81.76736279229148, 59.88305426737255}),
     -177.08310669826892, 17, 0, kPgtol},
    {"L4", lbfgsb, [] { return barrier(5); }, vec({5.5491341205014635, 5.544957767465644, 5.539294177816585}),
     -76.9647597903632, 5, 1, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT"},
    {"L5", lbfgsb, [] { return squares(vec({1, 1})); }, vec({1.0, 1.0}), 0.0, 0, 0, kPgtol},
    {"L6", lbfgsb, [] { return squares(vec({0, 0}), -1.0); }, vec({0.0, 0.0}), 2.0, 0, 2,
     "ABNORMAL_TERMINATION_IN_LNSRCH"},
    {"L7", lbfgsb,
     [] {
         Problem p = rosenbrock(true);
         p.bounds = {Bound{-2.0, 0.5}, Bound{-1.0, 2.0}};
         return p;
     },
     vec({0.5, 0.25}), 0.25, 20, 0, kPgtol},
    {"L8", lbfgsb, [] { return rosenbrock(false); }, vec({0.9999962963045359, 0.9999926707485669}),
     1.4327723805456878e-11, 36, 0, "CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH"},
    {"L9", lbfgsb,
     [] {
         Problem p = squares(vec({0, 0}));
         p.bounds = {Bound{{}, 0.5}, Bound{-kInf, kInf}};
         return p;
     },
     vec({0.5, 1.0}), 0.25, 2, 0, kPgtol},
    // A fixed variable is taken out of the problem, yet the objective always sees the full vector
    // with it in place (row S16 pins SLSQP's answer, where finite differences would otherwise step
    // by 0 and give a NaN derivative). Σ(x − 1)² + x₀x₁ with x₁ fixed at 0.2: optimum (0.9, 0.2, 1).
    {"L10_fixed", lbfgsb,
     [] {
         Problem p = sum_sq(vec({0, 0, 0}), {}, {Bound{-5.0, 5.0}, Bound{0.2, 0.2}, Bound{}});
         p.f = [](const Vector& x) {
             EXPECT_EQ(x[1], 0.2);
             return (x.array() - 1.0).square().sum() + x[0] * x[1];
         };
         return p;
     },
     vec({0.9, 0.2, 1.0}), 0.83, 2, 0, kPgtol},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.id; }

class Reference : public testing::TestWithParam<Row> {};

TEST_P(Reference, MatchesRecordedRun) {
    const Row& want = GetParam();
    const Result r = want.method(want.make());
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.success, want.status == 0);
    EXPECT_EQ(r.message, want.message);
    if (!want.robust) return;
    EXPECT_EQ(r.nit, want.nit);
    expect_close(r.x, want.x, 1e-8);
    if (std::isnan(want.fun))
        EXPECT_TRUE(std::isnan(r.fun));
    else
        EXPECT_NEAR(r.fun, want.fun, 1e-8 * std::max(1.0, std::abs(want.fun)));
}

INSTANTIATE_TEST_SUITE_P(minimize, Reference, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& i) { return std::string(i.param.id); });

// The first subproblem's solution is a vertex (every variable at a bound). A least-squares
// reduction alone returns an ascent step there and stops at the start (f = 147777.78: success for
// the budget 1, mode 8 for 1.001, where the start is off the budget); solving the subproblem
// exactly reaches the optimum. With the budget off the start, how the run ends on this badly
// scaled problem moves with rounding (perturbing the start by 1e-16 gives mode 8 about 2.3e-4 from
// the optimum in a few runs out of forty), so there only the neighbourhood is pinned.
TEST(minimize_slsqp, VertexSubproblemIsSolvedExactly) {
    Problem p = quadratic(false);
    p.f = [](const Vector& x) { return 1e6 * (std::pow(x[0] - .3, 2) + 2 * std::pow(x[1] - .2, 2) + x[2] * x[2]); };
    Result r = slsqp(p);
    EXPECT_EQ(r.status, 0);
    expect_close(r.x, vec({0.5, 0.3, 0.2}), 1e-6);
    p.cons = {budget(1.001)};
    expect_close(slsqp(p).x, vec({0.5004, 0.3002, 0.2004}), 1e-3);
}

TEST(minimize_slsqp, ObjectiveNeverSeesPointsOutsideBounds) {
    // The minimum lies outside the box, so iterates press against the upper bound.
    Problem p;
    p.f = [](const Vector& x) {
        if (x[0] < 0.0 || x[0] > 1.0 || x[1] < -1.0) throw std::out_of_range("outside bounds");
        return std::pow(x[0] - 3, 2) + std::pow(x[1] + 2, 2);
    };
    p.x0 = vec({5, 5});  // clipped into the box before the start
    p.bounds = {Bound{0.0, 1.0}, Bound{-1.0, {}}};
    const Result r = slsqp(p);
    EXPECT_TRUE(r.success) << r.message;
    expect_close(r.x, vec({1.0, -1.0}), 1e-10);
}

TEST(minimize_fixed, AllVariablesFixed) {
    Problem p = quadratic(true);
    p.bounds = {{0.5, 0.5}, {0.2, 0.2}, {0.3, 0.3}};
    for (Result r : {slsqp(p), lbfgsb(p)}) {
        EXPECT_TRUE(r.success);
        EXPECT_EQ(r.nit, 0);
        EXPECT_EQ(r.nfev, 1);
        EXPECT_EQ(r.njev, 0);
        expect_close(r.x, vec({0.5, 0.2, 0.3}), 0.0);
        EXPECT_DOUBLE_EQ(r.fun, 0.00034960000000000004);
    }
    EXPECT_EQ(slsqp(p).message, "All independent variables were fixed by bounds at values that satisfy the constraints.");
    p.bounds[2] = {0.2, 0.2};
    const Result r = slsqp(p);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message,
              "All independent variables were fixed by bounds, but the independent variables do not satisfy the "
              "constraints exactly. (Maximum violation: 0.10000000000000009).");
    p.cons.clear();
    EXPECT_EQ(slsqp(p).message, "All independent variables were fixed by bounds.");
    EXPECT_EQ(lbfgsb(p).message, "All independent variables were fixed by bounds.");
}

TEST(minimize, RejectInvalidBounds) {
    Problem p = s1(100);
    p.bounds = {Bound{1.0, 0.0}, Bound{0.0, {}}};
    EXPECT_THROW_MESSAGE(slsqp(p), std::invalid_argument, "SLSQP Error: lb > ub in bounds[0]");
    EXPECT_THROW_MESSAGE(lbfgsb(p), std::invalid_argument,
                         "LBFGSB - one of the lower bounds is greater than an upper bound.");
    p.bounds.pop_back();
    EXPECT_THROW(slsqp(p), std::invalid_argument);
    EXPECT_THROW_MESSAGE(lbfgsb(p), std::invalid_argument, "length of x0 != length of bounds");
}

}  // namespace
