// L-BFGS-B against reference runs: iteration counts, exit codes, messages and optima.
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
using minimize::Result;

const std::string kPgtol = "CONVERGENCE: NORM_OF_PROJECTED_GRADIENT_<=_PGTOL";

Result run(const Problem& p) { return minimize::lbfgsb(p.f, p.g, p.x0, p.bounds, {.maxiter = p.maxiter}); }

struct Row {
    const char* id;
    Problem (*make)();
    Vector x;
    double fun;
    int nit;
    int status;
    std::string message;
};

// Risk-parity log barrier xᵀCx − 15 Σ ln x on x >= 1e-6, from equal weights.
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

// Σ(x − 1)²; sign -1 gives a gradient of the wrong sign.
Problem squares(Vector x0, double sign = 1.0) {
    Problem p;
    p.f = [](const Vector& x) { return (x.array() - 1.0).square().sum(); };
    p.g = [sign](const Vector& x) -> Vector { return sign * 2.0 * (x.array() - 1.0).matrix(); };
    p.x0 = std::move(x0);
    return p;
}

const Row kRows[] = {
    {"L1", [] { return barrier(1000); }, vec({122.64677566320917, 81.76736279229148, 59.88305426737255}),
     -177.08310669826892, 17, 0, kPgtol},
    {"L4", [] { return barrier(5); }, vec({5.5491341205014635, 5.544957767465644, 5.539294177816585}),
     -76.9647597903632, 5, 1, "STOP: TOTAL NO. of ITERATIONS REACHED LIMIT"},
    {"L5", [] { return squares(vec({1, 1})); }, vec({1.0, 1.0}), 0.0, 0, 0, kPgtol},
    {"L6", [] { return squares(vec({0, 0}), -1.0); }, vec({0.0, 0.0}), 2.0, 0, 2, "ABNORMAL_TERMINATION_IN_LNSRCH"},
    {"L7",
     [] {
         Problem p = rosenbrock(true);
         p.bounds = {Bound{-2.0, 0.5}, Bound{-1.0, 2.0}};
         return p;
     },
     vec({0.5, 0.25}), 0.25, 20, 0, kPgtol},
    {"L8", [] { return rosenbrock(false); }, vec({0.9999962963045359, 0.9999926707485669}), 1.4327723805456878e-11,
     36, 0, "CONVERGENCE: REL_REDUCTION_OF_F_<=_FACTR*EPSMCH"},
    {"L9",
     [] {
         Problem p = squares(vec({0, 0}));
         p.bounds = {Bound{{}, 0.5}, Bound{-std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()}};
         return p;
     },
     vec({0.5, 1.0}), 0.25, 2, 0, kPgtol},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.id; }

class LbfgsbReference : public testing::TestWithParam<Row> {};

TEST_P(LbfgsbReference, MatchesRecordedRun) {
    const Row& want = GetParam();
    const Result r = run(want.make());
    EXPECT_EQ(r.nit, want.nit);
    EXPECT_EQ(r.status, want.status);
    EXPECT_EQ(r.success, want.status == 0);
    EXPECT_EQ(r.message, want.message);
    expect_close(r.x, want.x, 1e-8);
    EXPECT_NEAR(r.fun, want.fun, 1e-8 * std::max(1.0, std::abs(want.fun)));
}

INSTANTIATE_TEST_SUITE_P(minimize, LbfgsbReference, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& i) { return std::string(i.param.id); });

TEST(minimize_lbfgsb, EvaluationCounts) {
    EXPECT_EQ(run(barrier(1000)).nfev, 18);
    const Result r = run(squares(vec({0, 0}), -1.0));  // the first line search fails
    EXPECT_EQ(r.nfev, 21);
    EXPECT_EQ(r.njev, 21);
}

// With finite differences a fixed variable's difference step would be 0 and its derivative NaN:
// it is taken out of the problem, and the objective still sees the full vector.
TEST(minimize_lbfgsb, FixedVariablesWithFiniteDifferences) {
    // Σ(x − 1)² + x₁x₂ with x₂ fixed at 0.2: optimum (0.9, 0.2, 1).
    Problem p;
    p.f = [](const Vector& x) {
        EXPECT_EQ(x[1], 0.2);
        return (x.array() - 1.0).square().sum() + x[0] * x[1];
    };
    p.x0 = vec({0, 0, 0});
    p.bounds = {Bound{-5.0, 5.0}, Bound{0.2, 0.2}, Bound{}};
    Result r = run(p);
    EXPECT_TRUE(r.success) << r.message;
    EXPECT_EQ(r.nit, 2);
    expect_close(r.x, vec({0.9, 0.2, 1.0}), 1e-7);
    EXPECT_NEAR(r.fun, 0.83, 1e-12);

    p.bounds = {Bound{0.2, 0.2}, Bound{0.2, 0.2}, Bound{0.3, 0.3}};
    r = run(p);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.nit, 0);
    EXPECT_EQ(r.nfev, 1);
    EXPECT_EQ(r.message, "All independent variables were fixed by bounds.");
    expect_close(r.x, vec({0.2, 0.2, 0.3}), 0.0);
}

TEST(minimize_lbfgsb, RejectsInvalidBounds) {
    Problem p = squares(vec({0, 0}));
    p.bounds = {Bound{1.0, 0.0}, Bound{}};
    EXPECT_THROW_MESSAGE(run(p), std::invalid_argument,
                         "LBFGSB - one of the lower bounds is greater than an upper bound.");
    p.bounds = {Bound{}};
    EXPECT_THROW_MESSAGE(run(p), std::invalid_argument, "length of x0 != length of bounds");
}

}  // namespace
