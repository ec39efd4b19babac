// Risk parity under bounds and constraint records: the spread of risk contributions minimised
// by SLSQP from the risk-budgeting starts.
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// The share of the given start mixed into the minimiser's start: a step this small towards it
// moves a start that sits exactly on many bounds inside them.
constexpr double kStartInset = 1e-9;

}  // namespace

SolveResult risk_parity_with_cons_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                        const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                        int max_iteration, double tol, const SolverSettings& settings) {
    check_solver_inputs("risk_parity_with_cons_optimize", &c_m, c_m.values.rows(), init_weight, bounds,
                        max_iteration, tol);
    const Matrix& C = c_m.values;
    minimize::Gradient gradient;
    if (settings.derivatives == Derivatives::exact)
        gradient = [&C](const Vector& x) { return risk_parity_with_con_gradient(C, x); };
    const double scale = settings.scale_objective ? usable_scale(min_variance_obj_fun(C, init_weight)) : 1.0;
    const ScaledProblem problem =
        scaled([&C](const Vector& x) { return risk_parity_with_con_obj_fun(C, x); }, gradient, scale);
    if (!settings.risk_budgeting)
        return solve_with_slsqp(c_m.labels, problem, init_weight, bounds, cons, max_iteration, tol, settings);

    // The spread is never negative and is 0 exactly at equal contributions: when those weights
    // are allowed, nothing does better.
    const std::optional<Vector> equal = equal_risk_contributions(C);
    if (equal && meets_exactly(*equal, bounds, cons))
        return {certified_result(c_m.labels, *equal, bounds, cons),
                {Termination::exact_start, 0, risk_parity_with_con_obj_fun(C, *equal), {}}};
    // Otherwise the minimiser starts from the risk-budgeting weights within the bounds (moved
    // onto the records where they break one), and the better of start and end is the answer.
    // A group floor that those weights break is met by raising a few of its members, the others
    // keeping equal contributions; other broken records by the nearest weights that meet them.
    std::optional<Vector> start = box_risk_budgeting(C, bounds, equal ? *equal : Vector());
    if (start && !meets_exactly(*start, bounds, cons)) {
        std::optional<Vector> raised = raised_group_risk_parity(C, bounds, cons, *start);
        start = raised && meets_exactly(*raised, bounds, cons) ? raised : project_onto_records(*start, bounds, cons);
    }
    // Started exactly on many bounds, the minimiser's first subproblem takes its slow dense path;
    // a small step towards the given start (inside the bounds as a rule) avoids it.
    const minimize::Result run = minimise_with_slsqp(
        problem, start ? Vector((1.0 - kStartInset) * *start + kStartInset * init_weight) : init_weight, bounds,
        cons, max_iteration, tol, settings);
    const Vector& x = run.x;
    if (start && meets_exactly(*start, bounds, cons) && x.allFinite()) {
        const double at_start = risk_parity_with_con_obj_fun(C, *start);
        if (at_start <= risk_parity_with_con_obj_fun(C, x / x.sum()))
            return {certified_result(c_m.labels, *start, bounds, cons),
                    {Termination::exact_start, run.nit, at_start, run.message}};
    }
    const Vector weights = normalised_weights(x);
    certify_feasible(c_m.labels, weights, bounds, cons);
    return {_sorted_result(c_m.labels, weights), run_summary(run, risk_parity_with_con_obj_fun(C, weights))};
}

WeightMap risk_parity_with_cons_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         int max_iteration, double tol, const SolverSettings& settings) {
    return risk_parity_with_cons_solve(c_m, init_weight, bounds, cons, max_iteration, tol, settings).weights;
}

}  // namespace kelvane_mod_optimizer
