// Functions private to the optimiser, shared between its subsystems and its tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/data_proxy.hpp"
#include "kelvane/instrument.hpp"
#include "kelvane_mod_optimizer/constraints.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"
#include "kelvane_mod_optimizer/solve_summary.hpp"
#include "kelvane_mod_optimizer/report.hpp"
#include "kelvane_mod_optimizer/solvers.hpp"
#include "minimize/diagonal_plus_low_rank.hpp"

namespace kelvane_mod_optimizer {

// Asset-class label of the instrument's type code; KVInvalidArgument for an unsupported code.
std::string _instrument_type(const kelvane::Instrument& instrument);

// One (lower, upper) pair per identifier, from the caller's bounds ((0, 1) when absent).
BoundsList _general_bnds(const std::vector<std::string>& order_book_ids, const std::optional<Bounds>& bounds);

// Group label to the positions of its instruments in the weight vector, in first-seen order.
using Grouping = OrderedMap<std::vector<int>>;

// Two records per ruled group (lower, upper), then the budget constraint.
std::vector<ConstraintRecord> _to_constraint(const Grouping& reversed_index, const Rules& rules);

// Identifier to weight in ascending weight order; equal weights keep the order of `index`.
WeightMap _sorted_result(const std::vector<std::string>& index, const Vector& weight);

// The bounds as two vectors, an absent side given by `missing_lower` or `missing_upper`.
struct BoxVectors {
    Vector lower;
    Vector upper;
};
BoxVectors bound_vectors(const BoundsList& bounds, double missing_lower = -std::numeric_limits<double>::infinity(),
                         double missing_upper = std::numeric_limits<double>::infinity());

// Weight of the logarithms in risk parity's barrier objective xᵀCx − w·Σ ln x_i.
inline constexpr double kBarrierWeight = 15.0;

// The barrier objective and its gradient from x and the product Cx.
double barrier_value(const Vector& x, const Vector& cx);
Vector barrier_gradient(const Vector& x, const Vector& cx);

// One SLSQP attempt with the given options.
using SlsqpAttempt = std::function<minimize::Result(const minimize::SlsqpOptions&)>;

// Runs attempts until one is accepted (converged, or stopped at the iteration limit), raising
// ftol tenfold after a positive directional derivative in the line search while ftol < 1e-5;
// returns the accepted attempt. Throws OptimizationFailed otherwise.
minimize::Result apply_slsqp_policy(const SlsqpAttempt& attempt, int max_iteration, double tol);

// A solver's answer with how its solve ended.
struct SolveResult {
    WeightMap weights;
    SolveSummary summary;
};

// The five solvers with their summaries; the public *_optimize functions return their weights.
SolveResult risk_parity_solve(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                              int max_iteration);
SolveResult risk_parity_with_cons_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                        const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                        int max_iteration, double tol, const SolverSettings& settings = {});
SolveResult min_variance_solve(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                               const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                               const SolverSettings& settings = {});
SolveResult mean_variance_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                Number risk_aversion_coefficient, const Vector& expected_return,
                                const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                int max_iteration, double tol, const SolverSettings& settings = {});
SolveResult min_tracking_error_solve(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                     const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                     int max_iteration, double tol, const SolverSettings& settings = {});

// The exact path of the convex problems. The interior point takes at most kExactSteps Newton
// steps: a request that allows the minimiser fewer iterations keeps the minimiser (so that the
// answers accepted at a small iteration limit stay what they are), as does a request with a
// record that is not linear.
inline constexpr int kExactSteps = 100;
bool exact_path_allowed(const std::vector<ConstraintRecord>& cons, int max_iteration, const SolverSettings& settings);

// A covariance given in factor form or as a dense matrix (exactly one of the two).
struct CovarianceView {
    const minimize::DiagonalPlusLowRank* factor = nullptr;
    const Matrix* dense = nullptr;
    Vector times(const Vector& x) const;
    double quadratic_form(const Vector& x) const;
};

// Risk parity without limits on a covariance in either form (the public solver checks its
// matrix and takes the dense one).
SolveResult risk_parity_solve(const std::vector<std::string>& labels, const CovarianceView& C,
                              const Vector& init_weight, const BoundsList& bounds, int max_iteration);

// Risk parity under limits on a covariance in either form (the public solver checks its matrix
// and takes the dense one).
SolveResult risk_parity_with_cons_solve(const std::vector<std::string>& labels, const CovarianceView& C,
                                        const Vector& init_weight, const BoundsList& bounds,
                                        const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                                        const SolverSettings& settings = {});

// The spread Σ_{i<j} |t_i − t_j| of the risk contributions t = x ⊙ Cx (on a dense matrix exactly
// risk_parity_with_con_obj_fun; NaN on the factor form when a contribution is not finite).
double contribution_spread(const CovarianceView& C, const Vector& x);

// The linear records as rows, read at 0 (fun(x) = a·x + c, exact for a linear record): an equality
// gives a·x = −c, an inequality fun(x) ≥ 0 gives −a·x ≤ c. None when a record is not linear, lacks
// its gradient or gives a value that is not finite.
struct LinearRows {
    Matrix A_eq, A_in;
    Vector b_eq, b_in;
};
std::optional<LinearRows> linear_rows(const std::vector<ConstraintRecord>& cons, Eigen::Index n);

// The optimum of minimum variance, mean-variance or minimum tracking error (residuals lifted:
// rᵀr under Dx − r = b) under the bounds and the linear records, normalised and certified, with
// how the interior point ended; none when a record is not linear, the method does not converge
// within kExactSteps or the certificate refuses its point (the caller takes the minimiser's path).
std::optional<SolveResult> exact_min_variance(const std::vector<std::string>& labels, const CovarianceView& C,
                                              const Vector& init_weight, const BoundsList& bounds,
                                              const std::vector<ConstraintRecord>& cons);
std::optional<SolveResult> exact_mean_variance(const std::vector<std::string>& labels, const CovarianceView& C,
                                               double risk_aversion, const Vector& expected_return,
                                               const Vector& init_weight, const BoundsList& bounds,
                                               const std::vector<ConstraintRecord>& cons);
std::optional<SolveResult> exact_tracking_error(const std::vector<std::string>& labels, const Matrix& D,
                                                const Vector& b, const Vector& init_weight,
                                                const BoundsList& bounds, const std::vector<ConstraintRecord>& cons);

// The linear records but the budget (the records marked so and equalities that restate 1ᵀx = 1)
// as rows; none when a record is not linear. OptimizationFailed when an equality asks for another
// total of every weight.
std::optional<LinearRows> budget_free_rows(const std::vector<ConstraintRecord>& cons, Eigen::Index n);

// The structured polish of the spread from a start that keeps the bounds, `rows` and the budget:
// each step minimises gᵀd + ½dᵀBd over the moves d that keep the limits (an interior point on a
// Hessian diagonal plus low rank), g the gradient with the rank weights S/n (contributions within
// a small gap of each other sharing their mean weight), B = μ(SCS + C) a positive semidefinite
// model of the Hessian SC + CS of xᵀSCx with C's low-rank part cut to its leading directions
// (measured best: none, its row norms kept on the diagonal), μ grown when the line search cuts the
// step and shrunk after full steps; an Armijo search on the exact spread. Ends on a small relative
// decrease, when no step lowers the spread, or after max_steps steps. The answer is never worse
// than the start and keeps the limits to 1e-12 (or to the start's own violation).
struct SpreadPolish {
    Vector weights;
    double spread = 0.0;
    int steps = 0;  // steps taken
    Termination termination = Termination::exact_start;  // exact_start: no step lowered the spread
    std::string message;
};
SpreadPolish polish_spread(const CovarianceView& C, const Vector& start, const BoundsList& bounds,
                           const LinearRows& rows, int max_steps);
// The rows with the budget 1ᵀx = 1 as the first equality row.
LinearRows with_budget(const LinearRows& rows, Eigen::Index n);
// The largest amount by which x breaks the box [lower, upper], A_eq x = b_eq or A_in x <= b_in.
double rows_violation(const Vector& x, const Vector& lower, const Vector& upper, const Matrix& A_eq,
                      const Vector& b_eq, const Matrix& A_in, const Vector& b_in);

// The polish of the spread through its smoothing, for a dense matrix: Gauss-Newton steps on
// Σ_{i<j} √((t_i − t_j)² + ε²) (t the contributions) with ε shrinking as they settle, each a QP
// under the bounds, `rows` and the budget by the primal active-set method. The answer is the point
// of smallest exact spread on the way, never worse than the start, keeping the limits to 1e-12
// (or to the start's own violation).
SpreadPolish polish_smoothed_spread(const Matrix& C, const Vector& start, const BoundsList& bounds,
                                    const LinearRows& rows, int max_steps);

// The spread of the contributions t, Σ_{i<j} |t_i − t_j|, as Σ_k (2k − n + 1) t_(k) over t sorted.
double sorted_spread(Vector t);

// The finish of the spread's polish, for a dense matrix: Newton steps on the manifold where the
// contributions tied at the start (and those that meet on the way) stay tied, under the bounds,
// `rows` and the budget, from a start that keeps them. The answer is the point of smallest spread
// on the way, never worse than the start, keeping the limits to 1e-12 (or to the start's own
// violation).
SpreadPolish polish_spread_on_ties(const Matrix& C, const Vector& start, const BoundsList& bounds,
                                   const LinearRows& rows, int max_steps);

// The constrained risk-budgeting point: the minimiser x of ½xᵀCx − λ·Σ ln(xᵢ)/n under the bounds
// and `rows` (not the budget), with the λ > 0 that makes 1ᵀx = 1, and the Newton steps taken.
struct RiskBudgetingPoint {
    Vector weights;
    double lambda = 0.0;
    int steps = 0;
};
// Found by an interior point for each λ tried and Newton's method on λ, within `max_steps` Newton
// steps in all; the optimality conditions met to the relative accuracy `tol` (at best 1e-14), the
// rows and the budget to 1e-11, the weights divided by their sum. None when no positive weights
// meet the limits, no λ gives weights adding up to 1, or the method stalls or runs out of steps.
std::optional<RiskBudgetingPoint> constrained_risk_budgeting(const CovarianceView& C, const BoundsList& bounds,
                                                             const LinearRows& rows, int max_steps, double tol);
SolveResult risk_budgeting_solve(const LabelledMatrix& c_m, const BoundsList& bounds,
                                 const std::vector<ConstraintRecord>& cons, int max_iteration, double tol);

// Argument checks shared by optimize() and the public solvers; each throws KVInvalidArgument
// naming the value. tol: a positive finite number (the relaxation ends only because it grows);
// max_iteration: at least 1; the risk-aversion coefficient: a finite number, not negative.
void check_tol(double tol);
void check_max_iteration(int max_iteration);
void check_risk_aversion(const Number& coefficient);

// The largest amount by which the weights break a bound, a record or the budget (0 when none,
// infinite for a NaN), as the check below measures it.
double worst_violation(const Vector& weights, const BoundsList& bounds, const std::vector<ConstraintRecord>& cons);
// Throws OptimizationFailed naming the worst violation when the weights break a bound (an empty
// list: no bounds), a constraint record or the budget by more than FEASIBILITY_TOLERANCE.
void certify_feasible(const std::vector<std::string>& labels, const Vector& weights, const BoundsList& bounds,
                      const std::vector<ConstraintRecord>& cons);

// A ruled group read back from its two records (sign·Σx + offset >= 0, which carry its label and
// side): the positions of its members and its range. Records without a label are not groups.
struct GroupRange {
    std::string label;
    std::vector<int> positions;
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
};
std::vector<GroupRange> group_ranges(const std::vector<ConstraintRecord>& cons, Eigen::Index n);

// Throws OptimizationFailed naming the group and the numbers when the bounds, the group limits
// among the records and the budget admit no weights at all (beyond the feasibility tolerance):
// each group against its members' bounds, then, where the groups do not overlap, the total.
void check_limits_admit_weights(const BoundsList& bounds, const std::vector<ConstraintRecord>& cons);

// The report's parts, filled by optimize_report() from the answer w (in the order of `labels`):
// each bound and group limit with its slack and the rules of `provider` no instrument matched;
// the risk contributions in the order of `answer` (cw the product of the covariance and w); how
// the solve ended.
void describe_limits(Report& report, const std::vector<std::string>& labels, const Vector& w,
                     const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                     const ConstraintProvider* provider);
void describe_risk(Report& report, const WeightMap& answer, const std::vector<std::string>& labels, const Vector& w,
                   const Vector& cw);

// Risk budgeting by cyclical coordinate descent (b_i = 1/n), for risk parity with constraints.

// The weight that gives an instrument the contribution b given the other weights: the positive
// root of c·y² + a·y − b = 0 (c its variance, a the rest of its marginal risk), taken without
// cancellation, clipped to [lower, upper].
inline double risk_budget_root(double c, double a, double b, double lower, double upper) {
    const double d = std::sqrt(a * a + 4.0 * c * b);
    return std::clamp(a >= 0.0 ? 2.0 * b / (a + d) : (d - a) / (2.0 * c), lower, upper);
}

// One coordinate step of risk budgeting: y_i moves to risk_budget_root, and cy = Cy follows.
// Returns the move.
inline double coordinate_step(const Matrix& C, Eigen::Index i, double b, Vector& y, Vector& cy, double lower = 0.0,
                              double upper = std::numeric_limits<double>::infinity()) {
    const double c = C(i, i);
    const double yi = risk_budget_root(c, cy[i] - c * y[i], b, lower, upper);
    const double delta = yi - y[i];
    if (delta != 0.0) {
        cy.noalias() += delta * C.col(i);
        y[i] = yi;
    }
    return delta;
}

// Cy kept up to date while coordinate descent moves y one weight at a time. On a dense matrix it
// is the product itself (a move costs a column, O(n)); on the factor form diag(d) + UUᵀ it is
// z = Uᵀy (a move and a read of (Cy)_i cost O(T)), so that a sweep costs O(n·T) instead of O(n²).
class CoordinateProducts {
public:
    explicit CoordinateProducts(const CovarianceView& C);
    Eigen::Index size() const { return diagonal_.size(); }
    const Vector& diagonal() const { return diagonal_; }
    Vector product(const Vector& y) const;  // Cy afresh
    void reset(const Vector& y);            // from y afresh, rid of the drift of the moves
    void scale(double s);                   // y was scaled by s
    double at(Eigen::Index i, const Vector& y) const {
        return dense_ ? cy_[i] : d_[i] * y[i] + ut_.col(i).dot(z_);
    }
    // One coordinate step as above on this representation of Cy.
    double step(Eigen::Index i, double b, Vector& y, double lower = 0.0,
                double upper = std::numeric_limits<double>::infinity()) {
        const double c = diagonal_[i];
        const double yi = risk_budget_root(c, at(i, y) - c * y[i], b, lower, upper);
        const double delta = yi - y[i];
        if (delta != 0.0) {
            if (dense_)
                cy_.noalias() += delta * dense_->col(i);
            else
                z_.noalias() += delta * ut_.col(i);
            y[i] = yi;
        }
        return delta;
    }

private:
    const Matrix* dense_ = nullptr;
    Vector diagonal_;
    Vector d_;   // factor form: the diagonal part
    Matrix ut_;  // factor form: Uᵀ, T × n, so that the factor's row i is a contiguous column
    Vector cy_;  // dense: Cy
    Vector z_;   // factor form: Uᵀy
};

// max_i |t_i − t̄| / t̄ of the risk contributions t = w ⊙ Cw; infinite unless t̄ > 0 and finite.
double relative_contribution_spread(const Matrix& C, const Vector& w);
double relative_contribution_spread(const CovarianceView& C, const Vector& w);

// The weights, adding up to 1, whose risk contributions are all equal, to a relative spread of at
// most `tolerance`; none when the descent does not get there within its sweeps (a covariance that
// admits a long-only portfolio of zero variance has no such weights) or meets a value that is not
// a positive finite number.
std::optional<Vector> equal_risk_contributions(const Matrix& C, double tolerance = 1e-12);
std::optional<Vector> equal_risk_contributions(const CovarianceView& C, double tolerance = 1e-12);

// Weights within the bounds (a missing or negative lower bound acting as 0), adding up to 1, whose
// risk contributions are equal except where a bound holds a weight back: the minimiser of
// ½wᵀCw − λ Σ ln(w_i)/n over the box for the multiplier λ that makes them add up to 1. `guess`
// (may be empty) starts the descent. None when the box holds no such weights or the search fails.
std::optional<Vector> box_risk_budgeting(const Matrix& C, const BoundsList& bounds, const Vector& guess);
std::optional<Vector> box_risk_budgeting(const CovarianceView& C, const BoundsList& bounds, const Vector& guess);

// Risk parity when one group floor binds: weights adding up to 1 whose contributions are equal
// outside a few members of that group (those of least marginal risk), whose weights are raised so
// that the group meets its floor, each member's contribution at or above the common one. `start`
// are the box risk-budgeting weights, which break that floor and no other record. The raised
// weights are chosen by SLSQP with exact derivatives (from the equations of the common
// contribution), the others follow by coordinate sweeps from the first-order prediction of the
// last point (box risk budgeting where one reaches a bound); more members are raised while that
// lowers the spread and most of those last added end above the common contribution. None when the floor is not the only broken record, a weight that is not raised
// ends at a bound, or the search fails; the caller checks the answer against every limit. `factor`,
// where given, is C in factor form (the same matrix), for the derivatives' solves.
std::optional<Vector> raised_group_risk_parity(const Matrix& C, const minimize::DiagonalPlusLowRank* factor,
                                               const BoundsList& bounds,
                                               const std::vector<ConstraintRecord>& cons, const Vector& start);

// Whether w meets every bound and every "ineq" record exactly and every "eq" record to rounding.
bool meets_exactly(const Vector& w, const BoundsList& bounds, const std::vector<ConstraintRecord>& cons);

// The scales m of the distance Σ(x_i − w_i)²/m_i from w that the projections below use: w itself,
// which keeps proportions, where w is positive; where w is 0 and the bounds hold the weight at 0
// (an upper bound of 0), the mean of the positive entries (the weight stays at 0 either way).
// None where another entry of w is not positive.
std::optional<Vector> projection_scales(const Vector& w, const BoundsList& bounds);

// The weights nearest to w (distance Σ(x_i − w_i)²/m_i, m the projection_scales of w) that meet
// the bounds and the records, by SLSQP; none when it does not converge or w has no scales.
std::optional<Vector> project_onto_records(const Vector& w, const BoundsList& bounds,
                                           const std::vector<ConstraintRecord>& cons);

// The minimum of ½xᵀHx + qᵀx (H positive definite, its diagonal of order 1) within the bounds
// (finite on both sides) and the records, linearised at `at`, by a primal active-set method that
// works on the free instruments only, from weights filled greedily (in order of ½H_ii + q_i)
// within the bounds, the budget and the records. None when the bounds are not finite, the
// records are not one equality with positive coefficients (the budget) and inequalities, all with
// gradients, or the method does not finish (H singular on the free instruments among them). The
// answer keeps the bounds; the records hold up to rounding.
std::optional<Vector> quadratic_optimum_from_vertex(const Matrix& H, const Vector& q, const BoundsList& bounds,
                                                    const std::vector<ConstraintRecord>& cons, const Vector& at);

// The minimum of ‖b − Dx‖² within the bounds (finite on both sides) and the records, linearised at
// `at`, with a ridge of 1e-10 of the mean squared column norm that picks one of the many optima
// when D has fewer rows than columns; found by a primal active-set method that works on the free
// instruments only, from weights filled greedily within the bounds, the budget and the records.
// None when the bounds are not finite, the records are not one equality with positive
// coefficients (the budget) and inequalities, all with gradients, or the method does not finish.
// The answer keeps the bounds; the records hold up to rounding.
std::optional<Vector> least_squares_optimum(const Matrix& D, const Vector& b, const BoundsList& bounds,
                                            const std::vector<ConstraintRecord>& cons, const Vector& at);

// A rows-by-cols matrix (contents unspecified) in storage this thread kept from an earlier call
// where there is some of that size, and a place to keep a matrix's storage for such a later call
// (a few per thread, the largest kept). Freed blocks of this size would go back to the system.
Matrix reusable_matrix(Eigen::Index rows, Eigen::Index cols);
void reuse_later(Matrix&& m) noexcept;

// Ledoit-Wolf shrunk covariance of the rows where every column is known.
LabelledMatrix _cov_shrinkage(const ReturnTable& df);

// The same estimates in factor form, diag(d) + UUᵀ with U of one column per return row, built in
// O(n·T²) without the n × n matrix. Ledoit-Wolf: d = s·m, U = √((1 − s)/T)·Xᵀ (X the centred
// complete rows). The sample covariance: d = 0, U = Xᵀ/√(T − 1), only for a table without gaps
// (none otherwise: the pairwise estimate is not of that form).
minimize::DiagonalPlusLowRank shrinkage_factor(const ReturnTable& df);
std::optional<minimize::DiagonalPlusLowRank> sample_covariance_factor(const ReturnTable& df);

// The outcome of screening: either a one-instrument answer or the survivors' return table.
struct Screening {
    std::optional<WeightMap> answer;
    ReturnTable df;
};

// Screens every identifier against the host's data (dropping delisted, too often suspended,
// too recently listed instruments and those with unusable prices, each added to `dropped` when
// given) and builds the survivors' return table: columns in ascending identifier order, shorter histories padded with NaN at the
// top so that every column's last row is the same most recent day.
Screening screen_instruments(const std::vector<std::string>& order_book_ids, const DateTime& date, int window,
                             bool quiet, const kelvane::DataProxy& dp, const std::string& instrument_type,
                             std::vector<DroppedInstrument>* dropped = nullptr);

}  // namespace kelvane_mod_optimizer
