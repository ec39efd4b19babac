// Minimum variance: xᵀCx under bounds and constraint records, exactly where the records are linear,
// else by SLSQP.
#include "policy.hpp"

namespace kelvane_mod_optimizer {

SolveResult min_variance_solve(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                               const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                               const SolverSettings& settings) {
    check_solver_inputs("min_variance_optimize", &c_m, c_m.values.rows(), init_weight, bounds, max_iteration, tol);
    check_record_sizes("min_variance_optimize", cons, c_m.values.rows());
    const Matrix& C = c_m.values;
    if (exact_path_allowed(cons, max_iteration, settings))
        if (auto exact = exact_min_variance(c_m.labels, {nullptr, &C}, init_weight, bounds, cons)) return std::move(*exact);
    const double scale = settings.scale_objective ? usable_scale(min_variance_obj_fun(C, init_weight)) : 1.0;
    const ScaledProblem problem = scaled([&C](const Vector& x) { return min_variance_obj_fun(C, x); },
                                         [&C](const Vector& x) { return min_variance_gradient(C, x); }, scale);
    return solve_with_slsqp(c_m.labels, problem, init_weight, bounds, cons, max_iteration, tol, settings);
}

WeightMap min_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                                const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                                const SolverSettings& settings) {
    return min_variance_solve(c_m, init_weight, bounds, cons, max_iteration, tol, settings).weights;
}

}  // namespace kelvane_mod_optimizer
