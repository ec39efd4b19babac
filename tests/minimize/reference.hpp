// Helpers shared by the minimiser tests: a problem, vector literals, the 3×3 reference
// covariance, Rosenbrock's function and a relative comparison of points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <vector>

#include "minimize/minimize.hpp"

namespace minimize_test {

using minimize::Bound;
using minimize::Vector;

inline constexpr double kThird = 1.0 / 3.0;

inline Vector vec(std::initializer_list<double> v) {
    return Eigen::Map<const Vector>(v.begin(), static_cast<Eigen::Index>(v.size()));
}

struct Problem {
    minimize::Objective f;
    minimize::Gradient g;  // empty: finite differences
    Vector x0;
    std::vector<Bound> bounds;
    std::vector<minimize::Constraint> cons;  // SLSQP only
    int maxiter = 100;
    double ftol = 1e-6;  // SLSQP only
};

// The reference problems' covariance C1.
inline Eigen::MatrixXd c1() {
    Eigen::MatrixXd c(3, 3);
    c << 0.04, 0.006, 0.012, 0.006, 0.09, 0.018, 0.012, 0.018, 0.16;
    return 1e-2 * c;
}

// Rosenbrock's function from (-1.2, 1), with or without its gradient.
inline Problem rosenbrock(bool with_gradient) {
    Problem p;
    p.f = [](const Vector& x) { return 100 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1 - x[0], 2); };
    if (with_gradient)
        p.g = [](const Vector& x) {
            return vec({-400 * x[0] * (x[1] - x[0] * x[0]) - 2 * (1 - x[0]), 200 * (x[1] - x[0] * x[0])});
        };
    p.x0 = vec({-1.2, 1});
    return p;
}

// Each coordinate within rel · max(1, |want|).
inline void expect_close(const Vector& got, const Vector& want, double rel) {
    ASSERT_EQ(got.size(), want.size());
    for (Eigen::Index i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::abs(want[i]))) << "x[" << i << "]";
}

}  // namespace minimize_test
