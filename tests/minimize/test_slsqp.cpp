// SLSQP against reference runs: iteration counts, exit modes, messages and optima.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "expect_message.hpp"
#include "reference.hpp"

namespace {

using namespace minimize_test;
using minimize::Constraint;
using minimize::Result;

Constraint eq(std::function<double(const Vector&)> f) { return {Constraint::Type::eq, std::move(f), {}}; }
Constraint ineq(std::function<double(const Vector&)> f) { return {Constraint::Type::ineq, std::move(f), {}}; }
Constraint budget(double total = 1.0) {
    return eq([total](const Vector& x) { return x.sum() - total; });
}
std::vector<Bound> box(int n) { return std::vector<Bound>(n, Bound{0.0, 1.0}); }

Result run(const Problem& p) {
    return minimize::slsqp(p.f, p.g, p.x0, p.bounds, p.cons, {.maxiter = p.maxiter, .ftol = p.ftol});
}

// One reference problem with its recorded outcome.
struct Row {
    const char* id;
    Problem (*make)();
    Vector x;
    double fun;
    int nit;
    int status;
    bool robust;  // false: the path depends on rounding, only the exit mode is compared
};

// xᵀCx under the budget and bounds [0, 1], tight tolerance.
Problem quadratic(const Eigen::MatrixXd& c, bool with_jac, Vector x0) {
    Problem p;
    p.f = [c](const Vector& x) { return x.dot(c * x); };
    if (with_jac) p.g = [c](const Vector& x) -> Vector { return 2.0 * c * x; };
    p.bounds = box(static_cast<int>(x0.size()));
    p.x0 = std::move(x0);
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

Problem sum_sq(Vector x0, std::vector<Constraint> cons, std::vector<Bound> bounds = {}) {
    Problem p;
    p.f = [](const Vector& x) { return x.squaredNorm(); };
    p.x0 = std::move(x0);
    p.cons = std::move(cons);
    p.bounds = std::move(bounds);
    return p;
}

Problem scaled_1e6(double total) {
    Problem p = quadratic(c1(), false, vec({kThird, kThird, kThird}));
    p.f = [](const Vector& x) { return 1e6 * (std::pow(x[0] - .3, 2) + 2 * std::pow(x[1] - .2, 2) + x[2] * x[2]); };
    p.cons = {budget(total)};
    return p;
}

const Row kRows[] = {
    {"S1", [] { return s1(100); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 0, true},
    {"S9_maxiter0", [] { return s1(0); }, vec({2.0, 0.0}), 7.25, 1, 9, true},
    {"S19", [] { return s1(3); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 9, true},
    {"S10",
     [] {
         return sum_sq(vec({0.5, 0.5}), {eq([](const Vector& x) { return x[0] - 1; }),
                                         eq([](const Vector& x) { return x[1] - 1; }),
                                         eq([](const Vector& x) { return x[0] + x[1] - 2; })});
     },
     vec({0.5, 0.5}), 0.5, 1, 2, true},
    {"S11", [] { return sum_sq(vec({0.2, 0.3, 0.5}), {budget(), budget()}, box(3)); }, vec({0.2, 0.3, 0.5}), 0.38, 1,
     6, true},
    {"S12",
     [] {
         Problem p = sum_sq(vec({0, 0}), {});
         p.f = [](const Vector& x) { return 1e10 * (std::pow(x[0] - 1, 2) + std::pow(x[1] - 2, 2)); };
         return p;
     },
     vec({2.0, 4.0}), 50000000000.0, 1, 0, true},
    {"S13",
     [] {
         Problem p = sum_sq(vec({0.5, 0.5}), {budget()}, box(2));
         p.f = [](const Vector&) { return std::numeric_limits<double>::quiet_NaN(); };
         return p;
     },
     vec({0.5, 0.5}), std::numeric_limits<double>::quiet_NaN(), 1, 4, true},
    {"S14",
     [] {
         Problem p = sum_sq(vec({kThird, kThird, kThird}),
                            {ineq([](const Vector& x) { return x[0] + x[1] - 0.9; }),
                             ineq([](const Vector& x) { return 0.3 - x[0] - x[1]; }), budget()},
                            box(3));
         p.maxiter = 1000;
         p.ftol = 1e-8;
         return p;
     },
     vec({0.3333333333150221, 0.33333333331490794, 0.33333333337006993}), 0.3333333333333333, 10, 8, false},
    {"S14b",
     [] {
         return sum_sq(vec({0.5, 0.5}), {ineq([](const Vector& x) { return x[0] - 1; }),
                                         ineq([](const Vector& x) { return -x[0]; })});
     },
     vec({0.5000000000016163, -2.220446049250313e-16}), 0.25000000000161626, 6, 8, false},
    {"S16",
     [] {
         Problem p = quadratic(c1(), true, vec({kThird, kThird, kThird}));
         p.bounds[1] = {0.2, 0.2};
         return p;
     },
     vec({0.6863636363636367, 0.2, 0.11363636363636331}), 0.00028847272727272735, 7, 0, true},
    {"S20",
     [] {
         Problem p = sum_sq(vec({0.9, 1.0}), {});
         p.f = [](const Vector& x) { return -std::log(x[0]) - std::log(1 - x[0]) + x[1] * x[1]; };
         return p;
     },
     // Recorded with the objective evaluated by the C library's log; a vectorised log that is
     // one ulp off at two difference points moves x[1] by 2e-8 (to -1.877861647729467e-08).
     vec({0.5002101220825762, 9.109189634689228e-10}), 1.3862945377250646, 5, 0, true},
};

const char* expected_message(int mode) {
    switch (mode) {
        case 0: return "Optimization terminated successfully";
        case 2: return "More equality constraints than independent variables";
        case 4: return "Inequality constraints incompatible";
        case 6: return "Singular matrix C in LSQ subproblem";
        case 8: return "Positive directional derivative for linesearch";
        case 9: return "Iteration limit reached";
        default: return "?";
    }
}

void PrintTo(const Row& r, std::ostream* os) { *os << r.id; }

class SlsqpReference : public testing::TestWithParam<Row> {};

TEST_P(SlsqpReference, MatchesRecordedRun) {
    const Row& want = GetParam();
    const Result r = run(want.make());
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.success, want.status == 0);
    EXPECT_EQ(r.message, expected_message(want.status));
    if (!want.robust) return;  // infeasible or badly scaled: only the kind of failure is reproducible
    EXPECT_EQ(r.nit, want.nit);
    expect_close(r.x, want.x, 1e-8);
    if (std::isnan(want.fun))
        EXPECT_TRUE(std::isnan(r.fun));
    else
        EXPECT_NEAR(r.fun, want.fun, 1e-8 * std::abs(want.fun) + 1e-13);
}

INSTANTIATE_TEST_SUITE_P(minimize, SlsqpReference, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& i) { return std::string(i.param.id); });

// The first subproblem's solution is a vertex (every variable at a bound). A least-squares
// reduction alone returns an ascent step there and stops at the start (f = 147777.78: success for
// the budget 1, mode 8 for 1.001, where the start is off the budget); solving the subproblem
// exactly reaches the optimum. With the budget off the start, how the run ends on this badly
// scaled problem moves with rounding (perturbing the start by 1e-16 gives mode 8 about 2.3e-4 from
// the optimum in a few runs out of forty), so there only the neighbourhood is pinned.
TEST(minimize_slsqp, VertexSubproblemIsSolvedExactly) {
    Result r = run(scaled_1e6(1.0));
    EXPECT_EQ(r.status, 0);
    expect_close(r.x, vec({0.5, 0.3, 0.2}), 1e-6);
    r = run(scaled_1e6(1.001));
    expect_close(r.x, vec({0.5004, 0.3002, 0.2004}), 1e-3);
}

// The fixed variable is taken out of the problem (row S16 pins the answer), yet the objective
// always sees the full vector with it in place.
TEST(minimize_slsqp, FixedVariableIsRemovedAndRestored) {
    Problem p = quadratic(c1(), true, vec({kThird, kThird, kThird}));
    p.bounds[1] = {0.2, 0.2};
    const auto f = p.f;
    p.f = [f](const Vector& x) {
        EXPECT_EQ(x[1], 0.2);
        return f(x);
    };
    EXPECT_EQ(run(p).x[1], 0.2);
}

TEST(minimize_slsqp, AllVariablesFixed) {
    Problem p = quadratic(c1(), true, vec({kThird, kThird, kThird}));
    p.bounds = {{0.5, 0.5}, {0.2, 0.2}, {0.3, 0.3}};
    Result r = run(p);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.nit, 0);
    EXPECT_EQ(r.nfev, 1);
    EXPECT_EQ(r.njev, 0);
    EXPECT_EQ(r.message, "All independent variables were fixed by bounds at values that satisfy the constraints.");
    expect_close(r.x, vec({0.5, 0.2, 0.3}), 0.0);
    EXPECT_DOUBLE_EQ(r.fun, 0.00034960000000000004);

    p.bounds[2] = {0.2, 0.2};
    r = run(p);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message,
              "All independent variables were fixed by bounds, but the independent variables do not satisfy the "
              "constraints exactly. (Maximum violation: 0.10000000000000009).");

    p.cons.clear();
    EXPECT_EQ(run(p).message, "All independent variables were fixed by bounds.");
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
    const Result r = run(p);
    EXPECT_TRUE(r.success) << r.message;
    expect_close(r.x, vec({1.0, -1.0}), 1e-10);
}

TEST(minimize_slsqp, RejectsInvalidBounds) {
    Problem p = s1(100);
    p.bounds = {Bound{1.0, 0.0}, Bound{0.0, {}}};
    EXPECT_THROW_MESSAGE(run(p), std::invalid_argument, "SLSQP Error: lb > ub in bounds[0]");
    p.bounds.pop_back();
    EXPECT_THROW(run(p), std::invalid_argument);
}

}  // namespace
