// Small pieces the solver tests share: instrument labels, equal weights, box bounds, the budget,
// and the weights of a result in label order.
#pragma once

#include <string>
#include <vector>

#include "internal.hpp"

namespace solver_fixtures {

namespace kmo = kelvane_mod_optimizer;

// "S0", "S1", … "S<n-1>".
inline std::vector<std::string> labels(Eigen::Index n) {
    std::vector<std::string> out;
    for (Eigen::Index i = 0; i < n; ++i) out.push_back(std::string("S").append(std::to_string(i)));
    return out;
}
inline kmo::LabelledMatrix labelled(const kmo::Matrix& C) { return {labels(C.rows()), C}; }

inline kmo::Vector equal(Eigen::Index n) { return kmo::Vector::Constant(n, 1.0 / static_cast<double>(n)); }
// Every weight within [0, upper].
inline kmo::BoundsList box(Eigen::Index n, double upper) {
    return kmo::BoundsList(static_cast<std::size_t>(n), {0.0, upper});
}
inline std::vector<kmo::ConstraintRecord> budget() { return {kmo::budget_constraint()}; }

// The weights of a result, in the order of `order`.
inline kmo::Vector in_label_order(const kmo::WeightMap& w, const std::vector<std::string>& order) {
    kmo::Vector x(static_cast<Eigen::Index>(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) x[static_cast<Eigen::Index>(i)] = w.at(order[i]);
    return x;
}

}  // namespace solver_fixtures
