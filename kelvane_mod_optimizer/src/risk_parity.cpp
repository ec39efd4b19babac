// Risk parity without limits: L-BFGS-B on the log barrier.
#include "policy.hpp"

namespace kelvane_mod_optimizer {

SolveResult risk_parity_solve(const std::vector<std::string>& labels, const CovarianceView& C,
                              const Vector& init_weight, const BoundsList& bounds, int max_iteration) {
    minimize::LbfgsbOptions options;
    options.maxiter = max_iteration;
    // The minimiser asks for the objective and the gradient at the same point: Cx is formed once.
    Vector last_x, last_cx;
    const auto product = [&](const Vector& x) -> const Vector& {
        if (last_x.size() != x.size() || last_x != x) {
            last_x = x;
            last_cx = C.times(x);
        }
        return last_cx;
    };
    const minimize::Result r = minimize::lbfgsb([&](const Vector& x) { return barrier_value(x, product(x)); },
                                                [&](const Vector& x) { return barrier_gradient(x, product(x)); },
                                                init_weight, bounds, options);
    if (!(r.success || r.nit >= max_iteration)) throw OptimizationFailed(r.message);
    // The bounds keep the barrier defined; they are no promise on the scaled weights.
    return {normalised_result(labels, r.x, {}, {}), run_summary(r, r.fun)};
}

SolveResult risk_parity_solve(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                              int max_iteration) {
    check_solver_inputs("risk_parity_optimize", &c_m, c_m.values.rows(), init_weight, bounds, max_iteration,
                        std::nullopt);
    return risk_parity_solve(c_m.labels, {nullptr, &c_m.values}, init_weight, bounds, max_iteration);
}

WeightMap risk_parity_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                               int max_iteration) {
    return risk_parity_solve(c_m, init_weight, bounds, max_iteration).weights;
}

}  // namespace kelvane_mod_optimizer
