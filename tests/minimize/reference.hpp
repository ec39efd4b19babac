// Helpers shared by the minimiser tests: vector literals, the 3×3 reference covariance, and a
// relative comparison of points.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "minimize/minimize.hpp"

namespace minimize_test {

using minimize::Vector;

inline constexpr double kThird = 1.0 / 3.0;

inline Vector vec(std::initializer_list<double> v) {
    Vector x(static_cast<Eigen::Index>(v.size()));
    Eigen::Index i = 0;
    for (double e : v) x[i++] = e;
    return x;
}

// The reference problems' covariance C1.
inline Eigen::MatrixXd c1() {
    Eigen::MatrixXd c(3, 3);
    c << 0.04, 0.006, 0.012, 0.006, 0.09, 0.018, 0.012, 0.018, 0.16;
    return 1e-2 * c;
}

// Each coordinate within rel · max(1, |want|).
inline void expect_close(const Vector& got, const Vector& want, double rel) {
    ASSERT_EQ(got.size(), want.size());
    for (Eigen::Index i = 0; i < want.size(); ++i)
        EXPECT_NEAR(got[i], want[i], rel * std::max(1.0, std::abs(want[i]))) << "x[" << i << "]";
}

}  // namespace minimize_test
