// Forward-difference gradients with the absolute step and bound handling of the minimisers.
#pragma once

#include <vector>

#include "minimize/minimize.hpp"

namespace minimize::detail {

// Step for component i at x: eps, reversed or shortened so that x + h stays within the bounds.
double step(const Vector& x, Eigen::Index i, double eps, const std::vector<Bound>& bounds, bool any_finite_bound);

// Gradient of `f` at x by forward differences, f(x) == fx given; adds the evaluations to nfev.
Vector forward_difference(const Objective& f, const Vector& x, double fx, const std::vector<Bound>& bounds, double eps,
                          int& nfev);

}  // namespace minimize::detail
