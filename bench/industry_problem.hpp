// The industry-neutral problem the risk-parity benchmarks share: n instruments in ten industries,
// T = 131 daily returns of a market and ten industry factors, the covariance 0.2·m·I + 0.8·XᵀX/T
// in factor form (m the mean variance), and each industry within ±0.5 % of its share of the
// universe. The same n gives the same problem.
#pragma once

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "internal.hpp"

namespace industry_problem {

namespace kmo = kelvane_mod_optimizer;

inline constexpr Eigen::Index kDays = 131;
inline constexpr int kIndustries = 10;
inline constexpr double kBand = 0.005;

struct Problem {
    minimize::DiagonalPlusLowRank covariance;
    std::vector<kmo::ConstraintRecord> cons;  // two records per industry, then the budget
};

inline Problem make(Eigen::Index n) {
    std::mt19937 rng(static_cast<unsigned>(n));
    std::normal_distribution<double> z;
    std::vector<int> industry(static_cast<std::size_t>(n));
    for (auto& k : industry) k = std::uniform_int_distribution<int>(0, kIndustries - 1)(rng);
    kmo::Matrix X(kDays, n);
    for (Eigen::Index t = 0; t < kDays; ++t) {
        const double market = 0.01 * z(rng);
        kmo::Vector sector(kIndustries);
        for (auto& s : sector) s = 0.006 * z(rng);
        for (Eigen::Index i = 0; i < n; ++i)
            X(t, i) = (0.5 + 0.01 * static_cast<double>(i % 100)) * market +
                      sector[industry[static_cast<std::size_t>(i)]] +
                      (0.01 + 0.0003 * static_cast<double>(i % 97)) * z(rng);
    }
    X = X.rowwise() - X.colwise().mean();
    const double m = X.colwise().squaredNorm().sum() / kDays / static_cast<double>(n);
    kmo::Grouping groups;
    kmo::Rules rules;
    for (int k = 0; k < kIndustries; ++k) {
        std::vector<int> members;
        for (Eigen::Index i = 0; i < n; ++i)
            if (industry[static_cast<std::size_t>(i)] == k) members.push_back(static_cast<int>(i));
        const double share = static_cast<double>(members.size()) / static_cast<double>(n);
        const std::string label = std::string("I").append(std::to_string(k));
        groups.insert_or_assign(label, members);
        rules.insert_or_assign(label, kmo::Range{share - kBand, share + kBand});
    }
    return {minimize::DiagonalPlusLowRank(kmo::Vector::Constant(n, 0.2 * m),
                                          kmo::Matrix(X.transpose() * std::sqrt(0.8 / kDays))),
            kmo::_to_constraint(groups, rules)};
}

}  // namespace industry_problem
