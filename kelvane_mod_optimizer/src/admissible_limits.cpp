// Before solving: do the bounds, the group limits and the budget admit any weights at all? A
// request whose limits contradict each other is refused with a message naming the group and the
// numbers, instead of a minimiser that cannot converge.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// The positions whose coefficient in a group record's constant gradient is `sign`; empty when the
// gradient has any other nonzero entry (then the record is not a plain group sum).
std::vector<int> group_positions(const Vector& gradient, double sign) {
    std::vector<int> positions;
    for (Eigen::Index i = 0; i < gradient.size(); ++i) {
        if (gradient[i] == 0.0) continue;
        if (gradient[i] != sign) return {};
        positions.push_back(static_cast<int>(i));
    }
    return positions;
}


double lower_of(const minimize::Bound& b) { return b.lower ? *b.lower : -INF; }
double upper_of(const minimize::Bound& b) { return b.upper ? *b.upper : INF; }

std::string number_text(double v) { return fmt::format("{:.6g}", v); }

}  // namespace

std::vector<GroupRange> group_ranges(const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    std::vector<GroupRange> groups;
    const Vector zero = Vector::Zero(n);
    for (const ConstraintRecord& record : cons) {
        if (record.group.empty() || record.side == ConstraintRecord::Side::none ||
            record.type != ConstraintRecord::Type::ineq || !record.jac)
            continue;
        const bool lower = record.side == ConstraintRecord::Side::lower;
        std::vector<int> positions = group_positions(record.jac(zero), lower ? 1.0 : -1.0);
        if (positions.empty()) continue;
        const double offset = record.fun(zero);
        GroupRange* group = nullptr;
        for (auto& g : groups)
            if (g.label == record.group && g.positions == positions) group = &g;
        if (!group) {
            groups.push_back(GroupRange{record.group, std::move(positions)});
            group = &groups.back();
        }
        if (lower)
            group->lower = std::max(group->lower, -offset);
        else
            group->upper = std::min(group->upper, offset);
    }
    return groups;
}

void check_limits_admit_weights(const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    const auto n = static_cast<Eigen::Index>(bounds.size());
    const std::vector<GroupRange> groups = group_ranges(cons, n);

    // Each group alone: its range against what its members' bounds can hold. An answer may break
    // each limit by the feasibility tolerance, so only a wider gap admits no answer.
    std::vector<int> owner(static_cast<std::size_t>(n), -1);
    bool overlapping = false;
    std::vector<double> lowest(groups.size()), highest(groups.size());
    for (std::size_t k = 0; k < groups.size(); ++k) {
        const GroupRange& g = groups[k];
        double floor = 0.0, cap = 0.0;
        for (int p : g.positions) {
            floor += lower_of(bounds[static_cast<std::size_t>(p)]);
            cap += upper_of(bounds[static_cast<std::size_t>(p)]);
            int& o = owner[static_cast<std::size_t>(p)];
            if (o >= 0 && o != static_cast<int>(k)) overlapping = true;
            o = static_cast<int>(k);
        }
        const double slack = FEASIBILITY_TOLERANCE * static_cast<double>(g.positions.size() + 1);
        if (g.lower > cap + slack)
            throw OptimizationFailed(fmt::format("OPTIMIZER: 约束 {} 要求权重之和至少为 {}，但其合约的上限之和只有 {}",
                                                 g.label, number_text(g.lower), number_text(cap)));
        if (g.upper < floor - slack)
            throw OptimizationFailed(fmt::format("OPTIMIZER: 约束 {} 要求权重之和至多为 {}，但其合约的下限之和已达 {}",
                                                 g.label, number_text(g.upper), number_text(floor)));
        lowest[k] = std::max(g.lower, floor);
        highest[k] = std::min(g.upper, cap);
    }
    // Overlapping groups (two classifications joined) tie the sums together; the minimiser judges.
    if (overlapping) return;

    // Disjoint groups: the total ranges over the sum of each group's range and each ungrouped bound.
    double total_lowest = 0.0, total_highest = 0.0;
    for (std::size_t k = 0; k < groups.size(); ++k) {
        total_lowest += lowest[k];
        total_highest += highest[k];
    }
    for (Eigen::Index i = 0; i < n; ++i) {
        if (owner[static_cast<std::size_t>(i)] >= 0) continue;
        total_lowest += lower_of(bounds[static_cast<std::size_t>(i)]);
        total_highest += upper_of(bounds[static_cast<std::size_t>(i)]);
    }
    const double slack = FEASIBILITY_TOLERANCE * static_cast<double>(n + static_cast<Eigen::Index>(groups.size()) + 1);
    if (total_lowest > 1.0 + slack)
        throw OptimizationFailed(fmt::format("OPTIMIZER: 在 bnds 与约束的下限之下，权重之和至少为 {}，无法等于1",
                                             number_text(total_lowest)));
    if (total_highest < 1.0 - slack)
        throw OptimizationFailed(fmt::format("OPTIMIZER: 在 bnds 与约束的上限之下，权重之和至多为 {}，无法等于1",
                                             number_text(total_highest)));
}

}  // namespace kelvane_mod_optimizer
