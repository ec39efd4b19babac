// Risk parity under bounds and constraint records: the spread of risk contributions minimised
// by SLSQP from several starts (the constrained risk-budgeting point, the box risk-budgeting
// weights moved onto the records, the given start), the best point the certificate accepts
// being the answer.
#include <cmath>
#include <exception>

#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// The share of the given start mixed into the minimiser's start: a step this small towards it
// moves a start that sits exactly on many bounds inside them.
constexpr double kStartInset = 1e-9;
// The given start is polished as well up to this many instruments, where SLSQP is cheap.
constexpr Eigen::Index kMostPolishedInitial = 100;
// Newton steps and accuracy of the constrained risk-budgeting start.
constexpr int kRiskBudgetingSteps = 200;
constexpr double kRiskBudgetingTolerance = 1e-10;
// A candidate whose worst violation is at most this keeps its limits strictly; one that leans
// on the feasibility tolerance must have a spread this much smaller (relative) to be preferred.
constexpr double kStrictViolation = 1e-12;
constexpr double kLeaningAdvantage = 1e-6;
// Starts this close (largest difference of a weight) to one already polished are not polished again.
constexpr double kSameStart = 1e-10;

// A point the certificate accepted, with its spread and how it was reached.
struct Candidate {
    Vector weights;
    double spread = 0.0;
    bool strict = false;  // keeps every limit within kStrictViolation
    SolveSummary summary;
};

// Whether a is to be preferred to b.
bool better(const Candidate& a, const Candidate& b) {
    if (a.strict == b.strict) return a.spread < b.spread;
    const Candidate& leaning = a.strict ? b : a;
    const Candidate& strict = a.strict ? a : b;
    const bool leaning_wins = leaning.spread < strict.spread * (1.0 - kLeaningAdvantage);
    return a.strict ? !leaning_wins : leaning_wins;
}

// The constrained risk-budgeting point under the bounds and the linear records (the others are
// left to the minimiser), or none when it cannot be found.
std::optional<Vector> risk_budgeting_start(const Matrix& C, const BoundsList& bounds,
                                           const std::vector<ConstraintRecord>& cons) {
    std::vector<ConstraintRecord> linear;
    for (const auto& c : cons)
        if (c.linear && c.fun && c.jac) linear.push_back(c);
    try {
        const std::optional<LinearRows> rows = budget_free_rows(linear, C.rows());
        if (!rows) return std::nullopt;
        const std::optional<RiskBudgetingPoint> point =
            constrained_risk_budgeting({nullptr, &C}, bounds, *rows, kRiskBudgetingSteps, kRiskBudgetingTolerance);
        if (!point) return std::nullopt;
        return Vector(point->weights / point->weights.sum());
    } catch (const OptimizationFailed&) {
        return std::nullopt;  // an equality that asks for another total: the minimiser says so
    }
}

}  // namespace

SolveResult risk_parity_with_cons_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                        const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                        int max_iteration, double tol, const SolverSettings& settings) {
    check_solver_inputs("risk_parity_with_cons_optimize", &c_m, c_m.values.rows(), init_weight, bounds,
                        max_iteration, tol);
    const Matrix& C = c_m.values;
    const Eigen::Index n = C.rows();
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

    // The starts, the first being the one whose failure is reported when every run fails:
    // - the risk-budgeting weights within the bounds, a group floor they break met by raising a
    //   few of its members (the others keeping equal contributions), other broken records by the
    //   nearest weights that meet them;
    // - the constrained risk-budgeting point under every bound and linear record;
    // - the given start, where the instruments are few.
    struct Start {
        Vector weights;
        bool given = false;  // the caller's start: not a candidate itself, polished as it is
    };
    std::vector<Start> starts;
    std::optional<Vector> box = box_risk_budgeting(C, bounds, equal ? *equal : Vector());
    if (box && !meets_exactly(*box, bounds, cons)) {
        std::optional<Vector> raised = raised_group_risk_parity(C, bounds, cons, *box);
        box = raised && meets_exactly(*raised, bounds, cons) ? raised : project_onto_records(*box, bounds, cons);
    }
    if (box) starts.push_back({*box});
    if (std::optional<Vector> rb = risk_budgeting_start(C, bounds, cons)) starts.push_back({*rb});
    if (n <= kMostPolishedInitial || starts.empty()) starts.push_back({init_weight, true});

    std::optional<Candidate> best;
    const auto consider = [&](const Vector& w, const SolveSummary& summary) {
        const double violation = worst_violation(w, bounds, cons);
        if (!(violation <= FEASIBILITY_TOLERANCE)) return;
        Candidate c{w, risk_parity_with_con_obj_fun(C, w), violation <= kStrictViolation, summary};
        c.summary.objective = c.spread;
        if (!best || better(c, *best)) best = std::move(c);
    };
    std::exception_ptr first_failure;
    std::vector<Vector> polished;
    for (const Start& start : starts) {
        bool seen = false;
        for (const Vector& p : polished) seen = seen || (p - start.weights).cwiseAbs().maxCoeff() <= kSameStart;
        if (seen) continue;
        polished.push_back(start.weights);
        if (!start.given) consider(start.weights, {Termination::exact_start, 0, 0.0, {}});
        // Started exactly on many bounds, the minimiser's first subproblem takes its slow dense
        // path; a small step towards the given start (inside the bounds as a rule) avoids it.
        try {
            const Vector from =
                start.given ? start.weights : Vector((1.0 - kStartInset) * start.weights + kStartInset * init_weight);
            const minimize::Result run = minimise_with_slsqp(problem, from, bounds, cons, max_iteration, tol, settings);
            const Vector weights = normalised_weights(run.x);
            consider(weights, run_summary(run, 0.0));
            if (!first_failure && worst_violation(weights, bounds, cons) > FEASIBILITY_TOLERANCE) {
                try {
                    certify_feasible(c_m.labels, weights, bounds, cons);
                } catch (const OptimizationFailed&) {
                    first_failure = std::current_exception();
                }
            }
        } catch (const OptimizationFailed&) {
            if (!first_failure) first_failure = std::current_exception();
        }
    }
    if (!best) {
        if (first_failure) std::rethrow_exception(first_failure);
        throw OptimizationFailed("OPTIMIZER: 优化无法收敛到足够精度");
    }
    return {certified_result(c_m.labels, best->weights, bounds, cons), best->summary};
}

WeightMap risk_parity_with_cons_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         int max_iteration, double tol, const SolverSettings& settings) {
    return risk_parity_with_cons_solve(c_m, init_weight, bounds, cons, max_iteration, tol, settings).weights;
}

}  // namespace kelvane_mod_optimizer
