// SLSQP against reference runs: iteration counts, exit modes, messages and optima.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "minimize/minimize.hpp"
#include "reference.hpp"

using minimize::Bound;
using minimize::Constraint;
using minimize::Result;
using minimize::SlsqpOptions;
using minimize::Vector;
namespace status = minimize::slsqp_status;

namespace {

using minimize_test::c1;
using minimize_test::expect_close;
using minimize_test::kThird;
using minimize_test::vec;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();


Eigen::MatrixXd cd() { return Vector(vec({1.0, 4.0}) * 1e-4).asDiagonal(); }

Constraint eq(std::function<double(const Vector&)> f) { return {Constraint::Type::eq, std::move(f), {}}; }
Constraint ineq(std::function<double(const Vector&)> f) { return {Constraint::Type::ineq, std::move(f), {}}; }
Constraint budget(double total = 1.0) {
    return eq([total](const Vector& x) { return x.sum() - total; });
}
std::vector<Bound> box(int n, double lo = 0.0, double hi = 1.0) { return std::vector<Bound>(n, Bound{lo, hi}); }

// One reference problem with its recorded outcome.
struct Problem {
    minimize::Objective f;
    minimize::Gradient g;
    Vector x0;
    std::vector<Bound> bounds;
    std::vector<Constraint> cons;
    SlsqpOptions opt;
};
struct Row {
    const char* id;
    Problem (*make)();
    Vector x;
    double fun;
    int nit;
    int status;
    bool robust;  // false: the path depends on rounding, only the exit mode is compared
};

SlsqpOptions tight() { return {1000, 1e-8}; }

Problem quadratic(const Eigen::MatrixXd& c, bool with_jac, Vector x0) {
    Problem p;
    p.f = [c](const Vector& x) { return x.dot(c * x); };
    if (with_jac) p.g = [c](const Vector& x) -> Vector { return 2.0 * c * x; };
    p.bounds = box(static_cast<int>(x0.size()));
    p.x0 = std::move(x0);
    p.cons = {budget()};
    p.opt = tight();
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
    p.opt.maxiter = maxiter;
    return p;
}

Problem sum_sq(Vector x0) {
    Problem p;
    p.f = [](const Vector& x) { return x.squaredNorm(); };
    p.x0 = std::move(x0);
    return p;
}

Problem scaled_1e6(double total) {
    Problem p = quadratic(c1(), false, vec({kThird, kThird, kThird}));
    p.f = [](const Vector& x) { return 1e6 * (std::pow(x[0] - .3, 2) + 2 * std::pow(x[1] - .2, 2) + x[2] * x[2]); };
    p.cons = {budget(total)};
    return p;
}

Problem rosenbrock() {
    Problem p;
    p.f = [](const Vector& x) { return 100 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1 - x[0], 2); };
    p.g = [](const Vector& x) {
        return vec({-400 * x[0] * (x[1] - x[0] * x[0]) - 2 * (1 - x[0]), 200 * (x[1] - x[0] * x[0])});
    };
    p.x0 = vec({-1.2, 1});
    p.opt.maxiter = 5;
    return p;
}

const Row kRows[] = {
    {"S1", [] { return s1(100); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 0, true},
    {"S2",
     [] {
         Problem p = s1(100);
         p.cons.clear();
         return p;
     },
     vec({1.0, 2.5}), 0.0, 2, 0, true},
    {"S3",
     [] {
         Problem p = sum_sq(vec({2, 0}));
         p.cons = {eq([](const Vector& x) { return x[0] + x[1] - 1; })};
         return p;
     },
     vec({0.500000000310441, 0.49999999968955894}), 0.49999999999999994, 4, 0, true},
    {"S9_maxiter1", [] { return s1(1); }, vec({2.0, 0.0}), 7.25, 1, 9, true},
    {"S9_maxiter0", [] { return s1(0); }, vec({2.0, 0.0}), 7.25, 1, 9, true},
    {"S19", [] { return s1(3); }, vec({1.4000000033834283, 1.7000000009466527}), 0.8000000011920985, 3, 9, true},
    {"S18", rosenbrock, vec({-0.5251929003093476, 0.26168233970316096}), 2.3462221726321832, 5, 9, true},
    {"S10",
     [] {
         Problem p = sum_sq(vec({0.5, 0.5}));
         p.cons = {eq([](const Vector& x) { return x[0] - 1; }), eq([](const Vector& x) { return x[1] - 1; }),
                   eq([](const Vector& x) { return x[0] + x[1] - 2; })};
         return p;
     },
     vec({0.5, 0.5}), 0.5, 1, 2, true},
    {"S11",
     [] {
         Problem p = sum_sq(vec({0.2, 0.3, 0.5}));
         p.bounds = box(3);
         p.cons = {budget(), budget()};
         return p;
     },
     vec({0.2, 0.3, 0.5}), 0.38, 1, 6, true},
    {"S12",
     [] {
         Problem p;
         p.f = [](const Vector& x) { return 1e10 * (std::pow(x[0] - 1, 2) + std::pow(x[1] - 2, 2)); };
         p.x0 = vec({0, 0});
         return p;
     },
     vec({2.0, 4.0}), 50000000000.0, 1, 0, true},
    {"S13",
     [] {
         Problem p = quadratic(cd(), false, vec({0.5, 0.5}));
         p.f = [](const Vector&) { return kNaN; };
         p.opt = {};
         return p;
     },
     vec({0.5, 0.5}), kNaN, 1, 4, true},
    {"S14",
     [] {
         Problem p = sum_sq(vec({kThird, kThird, kThird}));
         p.bounds = box(3);
         p.cons = {ineq([](const Vector& x) { return x[0] + x[1] - 0.9; }),
                   ineq([](const Vector& x) { return 0.3 - x[0] - x[1]; }), budget()};
         p.opt = tight();
         return p;
     },
     vec({0.3333333333150221, 0.33333333331490794, 0.33333333337006993}), 0.3333333333333333, 10, 8, false},
    {"S14b",
     [] {
         Problem p = sum_sq(vec({0.5, 0.5}));
         p.cons = {ineq([](const Vector& x) { return x[0] - 1; }), ineq([](const Vector& x) { return -x[0]; })};
         return p;
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
         Problem p;
         p.f = [](const Vector& x) { return -std::log(x[0]) - std::log(1 - x[0]) + x[1] * x[1]; };
         p.x0 = vec({0.9, 1.0});
         return p;
     },
     // Recorded with the objective evaluated by the C library's log; a vectorised log that is
     // one ulp off at two difference points moves x[1] by 2e-8 (to -1.877861647729467e-08).
     vec({0.5002101220825762, 9.109189634689228e-10}), 1.3862945377250646, 5, 0, true},
};

const Row& row(const std::string& id) {
    for (const Row& r : kRows)
        if (id == r.id) return r;
    throw std::logic_error("no row " + id);
}

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

Result run(const Problem& p) { return minimize::slsqp(p.f, p.g, p.x0, p.bounds, p.cons, p.opt); }


class SlsqpReference : public testing::TestWithParam<Row> {};

TEST_P(SlsqpReference, MatchesRecordedRun) {
    const Row& want = GetParam();
    const Result r = run(want.make());
    if (!want.robust) {
        // Infeasible or badly scaled: only the kind of failure is reproducible.
        EXPECT_EQ(r.status, want.status);
        return;
    }
    EXPECT_EQ(r.nit, want.nit);
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.success, want.status == 0);
    EXPECT_EQ(r.message, expected_message(want.status));
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

TEST(minimize_slsqp, FixedVariableIsRemovedAndRestored) {
    Problem p = row("S16").make();
    std::vector<double> seen;
    const auto f = p.f;
    p.f = [&seen, f](const Vector& x) {
        seen.push_back(x[1]);
        return f(x);
    };
    const Result r = run(p);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.nit, 7);
    EXPECT_EQ(r.x[1], 0.2);
    expect_close(r.x, vec({0.6863636363636367, 0.2, 0.11363636363636331}), 1e-8);
    for (double v : seen) ASSERT_EQ(v, 0.2);  // the objective always sees the full vector
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
    EXPECT_EQ(r.nit, 0);
    EXPECT_EQ(r.message,
              "All independent variables were fixed by bounds, but the independent variables do not satisfy the "
              "constraints exactly. (Maximum violation: 0.10000000000000009).");
    EXPECT_DOUBLE_EQ(r.fun, 0.0002504);

    p.cons.clear();
    r = run(p);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.message, "All independent variables were fixed by bounds.");
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
    try {
        run(p);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("SLSQP Error: lb > ub in bounds", 0), 0u) << e.what();
    }
    p.bounds.pop_back();
    EXPECT_THROW(run(p), std::invalid_argument);
}

}  // namespace
