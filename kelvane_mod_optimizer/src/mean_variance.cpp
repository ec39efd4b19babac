// Mean-variance: (λ/2)·xᵀCx − x·μ under bounds and constraint records, exactly where the records
// are linear, else by SLSQP.
#include <cmath>

#include <fmt/format.h>

#include "kelvane/exception.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

SolveResult mean_variance_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                Number risk_aversion_coefficient, const Vector& expected_return,
                                const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                int max_iteration, double tol, const SolverSettings& settings) {
    check_solver_inputs("mean_variance_optimize", &c_m, c_m.values.rows(), init_weight, bounds, max_iteration, tol);
    check_record_sizes("mean_variance_optimize", cons, c_m.values.rows());
    if (expected_return.size() != c_m.values.rows())
        throw kelvane::KVInvalidArgument(
            fmt::format("mean_variance_optimize: expected_return has {} entries for {} instruments",
                        expected_return.size(), c_m.values.rows()));
    if (!expected_return.allFinite())
        throw OptimizationFailed("OPTIMIZER: 预期收益率含有无效数值（NaN 或无穷大），无法优化");
    check_risk_aversion(risk_aversion_coefficient);
    const double lambda = risk_aversion_coefficient.value();
    const Matrix& C = c_m.values;
    const Vector& mu = expected_return;
    if (exact_path_allowed(cons, max_iteration, settings))
        if (auto exact = exact_mean_variance(c_m.labels, {nullptr, &C}, lambda, mu, init_weight, bounds, cons))
            return std::move(*exact);
    const double scale = settings.scale_objective
                             ? usable_scale(min_variance_obj_fun(C, init_weight) + std::abs(init_weight.dot(mu)))
                             : 1.0;
    const ScaledProblem problem =
        scaled([&C, lambda, &mu](const Vector& x) { return mean_variance_obj_fun(C, lambda, mu, x); },
               [&C, lambda, &mu](const Vector& x) { return mean_variance_gradient(C, lambda, mu, x); }, scale);
    return solve_with_slsqp(c_m.labels, problem, init_weight, bounds, cons, max_iteration, tol, settings);
}

WeightMap mean_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                 Number risk_aversion_coefficient, const Vector& expected_return,
                                 const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                 int max_iteration, double tol, const SolverSettings& settings) {
    return mean_variance_solve(c_m, init_weight, risk_aversion_coefficient, expected_return, bounds, cons,
                               max_iteration, tol, settings)
        .weights;
}

}  // namespace kelvane_mod_optimizer
