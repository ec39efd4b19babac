// The policy the constrained solvers share: the checks of their inputs, the SLSQP runs with the
// tolerance relaxation, and the normalisation and certification of every answer.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

// The checks every public solver makes before it starts, in this order: the covariance (square,
// labelled, finite; skipped when `c_m` is null), the length of init_weight and of the bounds
// against n, max_iteration, and tol when there is one.
void check_solver_inputs(const char* solver, const LabelledMatrix* c_m, Eigen::Index n, const Vector& init_weight,
                         const BoundsList& bounds, int max_iteration, std::optional<double> tol);

// Refuses a record built for another number of instruments than the n weights of the problem
// (its limits would fall on other instruments than those they were built for).
void check_record_sizes(const char* solver, const std::vector<ConstraintRecord>& cons, Eigen::Index n);

// Refuses labels of which one is written twice: the answer maps each label to one weight.
void check_unique_labels(const char* solver, const char* what, const std::vector<std::string>& labels);

// A positive scale for the objective: `s` itself when it is a positive finite number, else 1.
double usable_scale(double s);

// An objective and its gradient as the minimiser takes them.
struct ScaledProblem {
    minimize::Objective objective;
    minimize::Gradient gradient;  // empty: finite differences
    double scale = 1.0;           // the objective's divisor: objective(x) · scale is the problem's own
};

// f and g divided by `scale`.
ScaledProblem scaled(minimize::Objective f, minimize::Gradient g, double scale);

// Weights divided by their sum (added first to last); OptimizationFailed when x or the quotient is
// not finite.
Vector normalised_weights(const Vector& x);
// The same, with a weight that ends past a bound (an empty list: none) by no more than rounding put
// back on it: one the minimiser left exactly at a bound would otherwise end past it when the sum is
// 1 − 1e-16. A weight farther out stays where it is, for the certificate to name.
inline constexpr double kRoundingPastBound = 1e-14;
Vector normalised_weights(const Vector& x, const BoundsList& bounds);

// The summary of a minimiser's accepted run, with the objective at the answer.
SolveSummary run_summary(const minimize::Result& run, double objective);

// Weights divided by their sum (added first to last), checked against the bounds, the records
// and the budget, handed to the result ordering.
WeightMap normalised_result(const std::vector<std::string>& labels, const Vector& x, const BoundsList& bounds,
                            const std::vector<ConstraintRecord>& cons);

// Weights that already add up to 1, any past a bound by rounding put back on it, checked and
// handed to the result ordering.
WeightMap certified_result(const std::vector<std::string>& labels, const Vector& weights, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons);

// The SLSQP policy on the problem: the accepted run, its point before normalisation.
minimize::Result minimise_with_slsqp(const ScaledProblem& problem, const Vector& init_weight, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                           const SolverSettings& settings);

// The SLSQP policy on the problem, its answer normalised and checked, with the unscaled objective
// at the answer in the summary.
SolveResult solve_with_slsqp(const std::vector<std::string>& labels, const ScaledProblem& problem,
                           const Vector& init_weight, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                           const SolverSettings& settings);

}  // namespace kelvane_mod_optimizer
