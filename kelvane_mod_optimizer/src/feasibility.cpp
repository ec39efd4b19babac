// The argument checks shared by optimize() and the public solvers, and the feasibility check
// that every answer passes before it goes back to the caller.
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "internal.hpp"
#include "kelvane/exception.hpp"

namespace kelvane_mod_optimizer {

using kelvane::KVInvalidArgument;

void check_tol(double tol) {
    if (!(std::isfinite(tol) && tol > 0.0))
        throw KVInvalidArgument(fmt::format("tol （收敛精度）必须是有限的正数，传入值为：{}", Number(tol).to_string()));
}

void check_max_iteration(int max_iteration) {
    if (max_iteration < 1)
        throw KVInvalidArgument(fmt::format("max_iteration （最大迭代次数）不能小于1，传入值为：{}", max_iteration));
}

void check_risk_aversion(const Number& coefficient) {
    const double v = coefficient.value();
    if (!(v >= 0.0 && std::isfinite(v)))
        throw KVInvalidArgument(
            fmt::format("risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}", coefficient.to_string()));
}

namespace {

// How far `value` lies beyond what the record asks; NaN counts as infinitely far.
double excess(const ConstraintRecord& record, double value) {
    if (std::isnan(value)) return std::numeric_limits<double>::infinity();
    return record.type == ConstraintRecord::Type::eq ? std::abs(value) : std::max(0.0, -value);
}

std::string amount_text(double amount) { return fmt::format("{:.3g}", amount); }

}  // namespace

namespace {

// The worst violation, first found on ties: its size and, with labels and beyond
// FEASIBILITY_TOLERANCE, how to name it.
struct Violation {
    double amount = 0.0;
    std::string message;
};

Violation find_worst_violation(const std::vector<std::string>* labels, const Vector& weights,
                               const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    Violation worst;
    const auto consider = [&](double amount, auto&& describe) {
        if (amount > worst.amount) {
            worst.amount = amount;
            if (labels && amount > FEASIBILITY_TOLERANCE) worst.message = describe();
        }
    };

    double sum = 0.0;
    for (Eigen::Index i = 0; i < weights.size(); ++i) sum += weights[i];
    consider(std::isnan(sum) ? std::numeric_limits<double>::infinity() : std::abs(sum - 1.0), [&] {
        return fmt::format("OPTIMIZER: 优化结果的权重之和为 {}，不等于1", Number(sum).to_string());
    });

    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const double w = weights[static_cast<Eigen::Index>(i)];
        const auto& b = bounds[i];
        if (b.lower)
            consider(std::isnan(w) ? std::numeric_limits<double>::infinity() : *b.lower - w, [&] {
                return fmt::format("OPTIMIZER: 优化结果违反合约 {} 的下限 {}，相差 {}", (*labels)[i],
                                   Number(*b.lower).to_string(), amount_text(*b.lower - w));
            });
        if (b.upper)
            consider(std::isnan(w) ? std::numeric_limits<double>::infinity() : w - *b.upper, [&] {
                return fmt::format("OPTIMIZER: 优化结果违反合约 {} 的上限 {}，相差 {}", (*labels)[i],
                                   Number(*b.upper).to_string(), amount_text(w - *b.upper));
            });
    }

    for (std::size_t k = 0; k < cons.size(); ++k) {
        const ConstraintRecord& record = cons[k];
        const double amount = excess(record, record.fun(weights));
        consider(amount, [&] {
            switch (record.side) {
                case ConstraintRecord::Side::lower:
                    return fmt::format("OPTIMIZER: 优化结果违反约束 {} 的下限，相差 {}", record.group,
                                       amount_text(amount));
                case ConstraintRecord::Side::upper:
                    return fmt::format("OPTIMIZER: 优化结果违反约束 {} 的上限，相差 {}", record.group,
                                       amount_text(amount));
                case ConstraintRecord::Side::none: break;
            }
            return fmt::format("OPTIMIZER: 优化结果违反第 {} 个约束条件，相差 {}", k + 1, amount_text(amount));
        });
    }

    return worst;
}

}  // namespace

double worst_violation(const Vector& weights, const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    return find_worst_violation(nullptr, weights, bounds, cons).amount;
}

void certify_feasible(const std::vector<std::string>& labels, const Vector& weights, const BoundsList& bounds,
                      const std::vector<ConstraintRecord>& cons) {
    const Violation worst = find_worst_violation(&labels, weights, bounds, cons);
    if (!worst.message.empty()) throw OptimizationFailed(worst.message);
}

}  // namespace kelvane_mod_optimizer
