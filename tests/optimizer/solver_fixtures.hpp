// Small pieces the solver tests share: instrument labels, equal weights, box bounds, the budget,
// runs of positions, industries held near their share, and the weights of a result in label order.
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

// first, first + 1, … last − 1.
inline std::vector<int> positions(int first, int last) {
    std::vector<int> p;
    for (int i = first; i < last; ++i) p.push_back(i);
    return p;
}

// The records of industries (a partition of n instruments) each within ±band of its share of them,
// and the budget.
inline std::vector<kmo::ConstraintRecord> industry_bands(const std::vector<std::vector<int>>& industries, Eigen::Index n,
                                                         double band) {
    kmo::Grouping groups;
    kmo::Rules rules;
    for (std::size_t k = 0; k < industries.size(); ++k) {
        const double share = static_cast<double>(industries[k].size()) / static_cast<double>(n);
        const std::string label = std::string("I").append(std::to_string(k));
        groups.insert_or_assign(label, industries[k]);
        rules.insert_or_assign(label, kmo::Range{share - band, share + band});
    }
    return kmo::_to_constraint(groups, rules);
}

// The weights of a result, in the order of `order`.
inline kmo::Vector in_label_order(const kmo::WeightMap& w, const std::vector<std::string>& order) {
    kmo::Vector x(static_cast<Eigen::Index>(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) x[static_cast<Eigen::Index>(i)] = w.at(order[i]);
    return x;
}

}  // namespace solver_fixtures
