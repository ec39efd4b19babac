// The five portfolio solvers and the risk-budgeting portfolio, their objectives and gradients, and the covariance estimators.
// Every solver returns the weights normalised to add up to 1, smallest weight first, or throws
// OptimizationFailed. Before they go back, the weights are checked against the bounds, every
// constraint record and the budget, within FEASIBILITY_TOLERANCE (1e-8, absolute): an answer
// that breaks one of them by more, converged or stopped at the iteration limit, throws
// OptimizationFailed naming the worst violation instead. risk_parity_optimize's bounds bound
// the barrier variable before it is scaled, not the weights: its answer is checked against the
// budget only.
#pragma once

#include <string>
#include <vector>

#include <Eigen/Dense>

#include "kelvane_mod_optimizer/constraints.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"
#include "minimize/minimize.hpp"

namespace kelvane_mod_optimizer {

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;
using BoundsList = std::vector<minimize::Bound>;

// A square matrix labelled by instrument on both axes (the same labels, in the same order).
struct LabelledMatrix {
    std::vector<std::string> labels;
    Matrix values;
};

// Daily simple returns: one column per instrument (labelled), one row per day, oldest first;
// missing cells are NaN.
struct ReturnTable {
    std::vector<std::string> columns;
    Matrix values;  // rows x columns
};

// How solvers without a closed-form gradient in the classic formulation get derivatives.
enum class Derivatives {
    exact,               // analytic gradients of the objective and of linear constraint records
    finite_differences,  // the minimiser's forward differences
};

// Absolute tolerance of the check above, on a weight, a group's total weight or the budget.
inline constexpr double FEASIBILITY_TOLERANCE = 1e-8;

// Risk parity with constraints: from this many instruments each start is polished by the
// structured SQP on the factor form (a step costs n·k²) instead of the dense polishes below (n³ a
// step). It is far faster but ends higher in spread (on industry neutrality 25 % above SLSQP at
// 300 instruments); from this size the n³ steps would take seconds to minutes (5,000 instruments,
// every weight at most 2/n: 176 s by SLSQP, against 1 s with the same weights).
inline constexpr long STRUCTURED_POLISH_SIZE = 500;
// Risk parity with constraints, all records linear: from this many instruments (1: always) up to
// 1,500 the best start (up to 150 instruments every start) is polished on the smoothed spread
// (Gauss-Newton steps on Σ_{i<j} √((t_i − t_j)² + ε²), n³ each, at most 3·10¹⁰/n³ of them: beyond
// about 600 instruments it stops before it settles) instead of SLSQP or the structured SQP from
// every start, up to 200 instruments its answer moved towards other basins and polished again; up
// to 100 instruments SLSQP polishes the given start beside it, so that the answer is never worse
// than SLSQP's from there. Measured on generated problems (bench/limits_quality) against SLSQP
// from every start: at 5–80 instruments 3.6 s for 120 cases instead of 8.0 s (SLSQP from equal
// weights alone 3.3 s), never worse than SLSQP from equal weights, as before; at 101–150 0.9 s for
// 58 cases instead of 34 s, more than 1e-4 above SLSQP from equal weights in 8 of 44 (7 before);
// polishing every start there, in 2 of 52 instead of 8 (the worst 1.0 % above instead of 7.3 %, 21
// ms a request instead of 13), with the moves towards other basins in 1 (30 ms a request), and
// with exchanges, drops and rounds of moves in none of 103 cases at 101-200 (6.9 % above before
// in one case at 154, 6e-6 after, for 20-30 % more time; with trades, shifts and raises of the
// lower classes as well, on industry neutrality at 110-190 in 12 of 237 instead of 20, for 5-30 %
// more time); at 150–300 0.03–0.25 s a request
// against 0.3–10 s, spreads 1e-5 to 1.5e-3 higher (1.3 % in one case of 28, at 249 instruments,
// beyond the moves). Industry neutrality with every weight at most 3/n: 0.49 s instead of 1.2-1.6 s at 80
// instruments, 31-46 ms instead of 1.1-3.2 s at 110-145, 0.09 s through the tool against 34 s at
// 300; at 500 to 700 instruments 29-42 % lower spreads than the structured SQP.
inline constexpr long SMOOTHED_POLISH_SIZE = 1;

struct SolverSettings {
    Derivatives derivatives = Derivatives::exact;
    // Divide the objective by its value scale at the start point before minimising, so that the
    // minimiser's absolute tolerances mean the same for every problem size.
    bool scale_objective = true;
    // Risk parity with constraints: answer with the equal-risk-contribution weights when they meet
    // every bound and record (the spread is then 0, its least value), and otherwise start the
    // minimiser from the risk-budgeting weights within the bounds, moved onto the records. False:
    // the minimiser alone, from the given start.
    bool risk_budgeting = true;
    // Minimum variance, mean-variance and tracking error: when every record is linear (the group
    // limits and the budget) and max_iteration allows it, the exact optimum by an interior-point
    // method. False: the minimiser alone.
    bool exact_quadratic = true;
    // Risk parity with constraints: the number of instruments from which the structured polish
    // replaces SLSQP where the smoothed polish does not run (records that are not linear keep
    // SLSQP). 0 or 1: always; a huge value: never.
    long structured_polish_from = STRUCTURED_POLISH_SIZE;
    // Risk parity with constraints: the number of instruments from which (up to 1,500) the polish
    // towards a common level replaces the polishes of every start (up to 100 instruments SLSQP
    // still polishes the given start); 0 or 1: always; a huge value: never.
    long smoothed_polish_from = SMOOTHED_POLISH_SIZE;
};

// Risk parity by an L-BFGS-B log-barrier minimisation (no constraints, positive lower bounds).
WeightMap risk_parity_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                               int max_iteration);
// Risk parity under bounds and constraint records: minimises the spread of risk contributions.
WeightMap risk_parity_with_cons_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         int max_iteration, double tol, const SolverSettings& settings = {});
// Minimum portfolio variance xᵀCx.
WeightMap min_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                                const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                                const SolverSettings& settings = {});
// Mean-variance: minimises (λ/2)·xᵀCx − x·μ.
WeightMap mean_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                 Number risk_aversion_coefficient, const Vector& expected_return,
                                 const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                 int max_iteration, double tol, const SolverSettings& settings = {});
// Minimum tracking error: minimises ‖b − D x‖² over the days where every value is known.
WeightMap min_tracking_error_optimize(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                      const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                      int max_iteration, double tol, const SolverSettings& settings = {});

// The constrained risk-budgeting portfolio: the unique minimiser of ½xᵀCx − λ·Σ ln(xᵢ)/n under the
// bounds and the linear records, λ chosen so that the weights add up to 1. The instruments that
// no limit holds have equal risk contributions xᵢ(Cx)ᵢ. max_iteration bounds the Newton steps, tol
// is the relative accuracy of the optimality conditions. A record that is not linear throws
// KVInvalidArgument; limits that no positive weights meet throw OptimizationFailed.
WeightMap risk_budgeting_optimize(const LabelledMatrix& c_m, const BoundsList& bounds,
                                  const std::vector<ConstraintRecord>& cons, int max_iteration, double tol);

// Objectives and gradients (C the covariance matrix, x the weights).
double log_barrier_risk_parity_obj_fun(const Matrix& C, const Vector& x);
Vector log_barrier_risk_parity_gradient(const Matrix& C, const Vector& x);
double risk_parity_with_con_obj_fun(const Matrix& C, const Vector& x);
// A subgradient: s ⊙ Cx + C(s ⊙ x) with s_i = 2·rank_i − n − 1 of the risk contributions.
Vector risk_parity_with_con_gradient(const Matrix& C, const Vector& x);
double min_variance_obj_fun(const Matrix& C, const Vector& x);
Vector min_variance_gradient(const Matrix& C, const Vector& x);
double mean_variance_obj_fun(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x);
Vector mean_variance_gradient(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x);
double min_TE_obj_fun(const Matrix& D, const Vector& b, const Vector& x);
Vector min_TE_gradient(const Matrix& D, const Vector& b, const Vector& x);

// Pairwise-complete sample covariance (divisor k − 1 over the k rows where both cells are known).
LabelledMatrix sample_covariance(const ReturnTable& df);

}  // namespace kelvane_mod_optimizer
