// Risk parity under bounds and constraint records: the spread of risk contributions minimised
// from several starts (the constrained risk-budgeting point, the box risk-budgeting weights moved
// onto the records, the given start): where every record is linear the best start (up to 150
// instruments each) is polished through the smoothed spread up to 1,500 instruments (up to 200 its
// answer moved towards other basins and polished again, the sheddings and deepenings last; up to
// 100 SLSQP from the given start beside it, up to 250 the smoothed polish of the given start),
// each start by the structured SQP beyond, and by SLSQP otherwise; the best point the certificate
// accepts is the answer.
#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

#include "minimize/interior_point.hpp"

#include "basin_moves.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// The share of the given start mixed into the minimiser's start: a step this small towards it
// moves a start that sits exactly on many bounds inside them.
constexpr double kStartInset = 1e-9;
// The given start is polished as well up to this many instruments, where SLSQP is cheap.
constexpr Eigen::Index kMostPolishedInitial = 100;
// Beyond it, up to this many instruments, the smoothed polish runs from the given start as well
// (moved onto the records where it breaks them), after the moves towards other basins, whose
// starting point it would change: SLSQP from equal weights starts there, and the polish of that
// start often reaches SLSQP's basin where the other starts do not. Measured on bench/limits_quality
// at 101-300 instruments (114 cases where SLSQP from equal weights keeps every limit): more than
// 1e-9 above SLSQP in 3 instead of 6 (3.3e-4 to 1.3 % above → at or below SLSQP in the three at
// 211-249 instruments), 5 answers lower, none higher, for 28 % more time; made before the moves,
// one answer 1e-3 higher. Industry neutrality (bench/industry_neutral): 57 → 76 ms at 200
// instruments, 90 → 140 ms at 250; at 300 it would take 100 ms instead of 60, hence 250.
constexpr Eigen::Index kMostSmoothedGiven = 250;
// Up to this many instruments the smoothed polish runs from every start that keeps the limits
// strictly, beyond it from the best of them alone (measured on 52 generated problems of 101-150
// instruments: more than 1e-4 above SLSQP from equal weights in 2 instead of 8, the worst 1.0 %
// above instead of 7.3 %, in 21 ms a request instead of 13; at 150-300 instruments, 31 problems,
// more than 1e-4 above in 7 instead of 8 for 80 % more time, and 94 ms instead of 54 at 300 under
// industry neutrality).
constexpr Eigen::Index kMostSmoothedStarts = 150;
// The moves of the best point towards other basins (consolidations, zeroings, exchanges, drops,
// trades, shifts) are tried up to this many instruments; a consolidation is probed by the whole
// smoothed polish, the others by at most kProbeSteps of its steps (measured for the consolidations
// and zeroings against the every-start polish alone: industry neutrality at 105 instruments, seed
// 5 of the test problems, 2 % above SLSQP from equal weights → below it, at 200 (seed 3) 0.5 %
// above → below; bench/limits_quality at 150-200 instruments, 15 cases, more than 1e-4 above
// SLSQP in 0 instead of 1, at 150-300, 16 cases, in 4 instead of 7 (but at 1.8 times the time,
// and 125 ms instead of 54 at 300 under industry neutrality, where there are ten classes to probe:
// hence up to 200); bench/industry_neutral, against the polish of the best start alone, 9-17 ms →
// 31-46 ms at 110-145 instruments, 25 → 53 ms at 200, the spread at 110 5.164e-4 → 5.1576e-4,
// SLSQP's).
constexpr Eigen::Index kMostBasinMoves = 200;
// A drop is a member at its upper bound still below the level, moved to its lower bound; an
// exchange, the heaviest member of a class given up for its lowered members; a trade, a lowered
// member and one at zero trading places. The moves are tried again from the point they reached, up
// to kMostMoveRounds times in all, while a round lowers the spread. Measured on
// bench/limits_quality, the 103 generated problems of 101-200 instruments where SLSQP keeps every
// limit (seeds 1000-4000, 6000 and 7000) and the three of 154-166 among seed 1000's at 150-300,
// for the drops, exchanges and rounds: more than 1e-4 above SLSQP from equal weights in 0 instead
// of 4, the worst 6.9 % above (industry neutrality at 154) → 6e-6, for 20-30 % more time (an
// exchange only where it brings a member to the level: 60 % more without that condition).
constexpr int kMostMoveRounds = 3;
// Last, from the point the raises reached, the sheddings and deepenings, the best probe taken once;
// the best kMostReleased of their probes go on for kProbeSteps more steps with the moved member
// released, since the optimum may keep a little of its weight: at 170 instruments (seed 12 of the
// test problems) SLSQP keeps 4 % of the heaviest member of an industry, where the held probe ends
// above the point and the released one below. On industry neutrality in four industries at
// 110-190 instruments (seeds 1-24, with and without every weight at most 3/n, 206 cases where SLSQP
// from equal weights keeps every limit), with the probes of 20 steps: more than 1e-4 above SLSQP
// in 1 instead of 3 (4e-3 above → 9e-8 below at 170; 3.4e-4 above → 4.8e-3 below at 130, seed 21,
// every weight at most 3/n), 5 answers lower, none higher; bench/limits_quality: 3 lower (2.6e-6
// above → 1.3e-7 below at 133 instruments), none higher; 3-8 % more time on bench/industry_neutral
// at 110-200 instruments. Every probe released: the same answers for 10-20 % more time; the best
// one alone: two fewer mended.
constexpr std::size_t kMostReleased = 2;
// After the rounds, the raise of the lower classes (the classes below the highest class level
// raised to it) is made at most kMostRaises times, probed by the whole polish. Measured on industry
// neutrality in four industries at 110-190 instruments (seeds 1-24, with and without every weight
// at most 3/n, 237 cases where SLSQP keeps every limit): more than 1e-4 above SLSQP from equal
// weights in 12 instead of 15 (2.0 % above at 190, seed 11 → 1e-7), 2-8 % more time; made inside
// the rounds instead, it mends two and loses one (9e-7 above → 1.9 %).
constexpr int kMostRaises = 2;
// A round of moves lowers the spread where it does by more than this (relative).
constexpr double kRoundGain = 1e-9;
// Newton steps and accuracy of the constrained risk-budgeting start.
constexpr int kRiskBudgetingSteps = 200;
constexpr double kRiskBudgetingTolerance = 1e-10;
// A candidate that leans on the feasibility tolerance (its worst violation above kStrictViolation)
// must have a spread this much smaller (relative) to be preferred to one that keeps its limits
// strictly.
constexpr double kLeaningAdvantage = 1e-6;
// Starts this close (largest difference of a weight) to one already polished are not polished again.
constexpr double kSameStart = 1e-10;
// On the factor form, the starts that need the dense matrix (the raised group members: a Cholesky
// of the common instruments' block, n³; the projection onto the records by SLSQP, n³ a step) run
// up to this many instruments; beyond, the projection is a QP on a diagonal Hessian and the raised
// members are not tried. At 1,000 the raised members are worth their 3.3 s: with Financials at
// least 30 % they end 19 % lower in spread than the structured polish from the other starts.
constexpr Eigen::Index kMostDenseStarts = 1000;
// The polish of the smoothed spread works on the dense matrix (n³ a step): below this size it
// takes the place of the structured SQP as well, beyond it the structured SQP on the factor form
// polishes whatever smoothed_polish_from says. Its steps are at most kSmoothedStepWork / n³
// (beyond about 700 instruments fewer than it takes to settle), the point of smallest spread on
// the way being its answer. Measured on industry neutrality, with and without every weight at
// most 3/n: 29-42 % lower spreads than the structured polish at 500, 600 and 700 instruments, in
// 0.36-0.40, 0.49-0.61 and 0.82-0.86 s (against 0.10-0.22 s); at 1,000 in its 30 steps 32-39 %
// lower in 0.44-0.58 s (against 0.41-0.46 s), within 1 % of the spread it settles at in 1.4-1.9 s.
constexpr Eigen::Index kMostSmoothedPolished = 1500;
constexpr double kSmoothedStepWork = 3e10;
// The finish by Newton's method on the ties of the contributions (dense, a QR factorisation of
// about n × n a step) runs up to this many instruments. Measured on bench/limits_quality, the 113
// generated problems of 101-300 instruments where SLSQP from equal weights keeps every limit (seeds
// 1000-4000 at 101-150, 6000 and 7000 at 150-200, 1000 at 150-300, 5000 at 200-300): more than 1e-9
// above SLSQP in 9 instead of 61 (6 in another basin, 3.3e-4 to 1.3 % above; 3 at most 7.6e-6
// above), for 7 % more time in all; industry neutrality at 300 instruments the same time, at 500
// 10-35 % more, at 1,000 twenty times as much.
constexpr Eigen::Index kMostTiedNewton = 300;

// The projection's interior point: its tolerance and its Newton steps at most.
constexpr double kProjectionTolerance = 1e-12;
constexpr int kProjectionSteps = 100;

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
std::optional<Vector> risk_budgeting_start(const CovarianceView& C, const BoundsList& bounds,
                                           const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    std::vector<ConstraintRecord> linear;
    for (const auto& c : cons)
        if (c.linear && c.fun && c.jac) linear.push_back(c);
    try {
        const std::optional<LinearRows> rows = budget_free_rows(linear, n);
        if (!rows) return std::nullopt;
        const std::optional<RiskBudgetingPoint> point =
            constrained_risk_budgeting(C, bounds, *rows, kRiskBudgetingSteps, kRiskBudgetingTolerance);
        if (!point) return std::nullopt;
        return Vector(point->weights / point->weights.sum());
    } catch (const OptimizationFailed&) {
        return std::nullopt;  // an equality that asks for another total: the minimiser says so
    }
}

// The weights nearest to w (distance Σ(x_i − w_i)²/m_i, m the projection_scales of w) within the
// bounds, the linear records and the budget, by the interior point on the diagonal Hessian: the
// projection of project_onto_records without its n × n steps. None when a record is not linear,
// w has no scales or the method does not converge.
std::optional<Vector> project_onto_rows(const Vector& w, const BoundsList& bounds,
                                        const std::vector<ConstraintRecord>& cons) {
    const Eigen::Index n = w.size();
    const std::optional<Vector> scales = projection_scales(w, bounds);
    if (!scales) return std::nullopt;
    std::optional<LinearRows> rows;
    try {
        rows = budget_free_rows(cons, n);
    } catch (const OptimizationFailed&) {
        return std::nullopt;
    }
    if (!rows) return std::nullopt;
    minimize::QuadraticProgram qp;
    qp.H = minimize::DiagonalPlusLowRank(Vector(2.0 * scales->cwiseInverse()), Matrix(n, 0));
    qp.q = -2.0 * w.cwiseQuotient(*scales);  // the gradient of Σ(x_i − w_i)²/m_i at 0
    auto [lower, upper] = bound_vectors(bounds);
    qp.lower = std::move(lower);
    qp.upper = std::move(upper);
    qp.A_eq.resize(rows->A_eq.rows() + 1, n);
    qp.A_eq << rows->A_eq, Matrix::Ones(1, n);
    qp.b_eq.resize(rows->b_eq.size() + 1);
    qp.b_eq << rows->b_eq, 1.0;
    qp.A_in = std::move(rows->A_in);
    qp.b_in = std::move(rows->b_in);
    minimize::InteriorPointOptions options;
    options.tolerance = kProjectionTolerance;
    options.max_iterations = kProjectionSteps;
    options.objective_scale = 1.0;
    options.gradient_scale = 2.0;
    try {
        const minimize::QpResult r = minimize::solve_qp(qp, options);
        if (r.status != minimize::QpStatus::converged || !r.x.allFinite()) return std::nullopt;
        return Vector(r.x.cwiseMax(qp.lower).cwiseMin(qp.upper));
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

}  // namespace

SolveResult risk_parity_with_cons_solve(const std::vector<std::string>& labels, const CovarianceView& given,
                                        const Vector& init_weight, const BoundsList& bounds,
                                        const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                                        const SolverSettings& settings) {
    const Eigen::Index n = init_weight.size();
    // The structured polishes need every record linear: from smoothed_polish_from up to
    // kMostSmoothedPolished the polish of the smoothed spread polishes the best start; elsewhere
    // (and where a start is taken as it is) the structured SQP each start from
    // structured_polish_from, SLSQP each start below.
    std::optional<LinearRows> linear;
    if (settings.risk_budgeting && n >= std::min(settings.smoothed_polish_from, settings.structured_polish_from)) {
        try {
            linear = budget_free_rows(cons, n);
        } catch (const OptimizationFailed&) {
            linear.reset();  // an equality that asks for another total: SLSQP says so
        }
    }
    const std::optional<LinearRows> polish_rows = n >= settings.structured_polish_from ? linear : std::nullopt;
    bool smoothed_polish = linear && n >= settings.smoothed_polish_from && n < kMostSmoothedPolished;
    // Where SLSQP polishes, the matrix is formed anyway and the starts are computed on it too, so
    // that the factor form answers exactly as its dense matrix would.
    Matrix formed;
    if (given.factor && !polish_rows) formed = given.factor->dense();
    const CovarianceView C = formed.size() ? CovarianceView{nullptr, &formed} : given;
    // SLSQP and the dense starts take the matrix itself: on the factor form beyond SLSQP's size it
    // is formed only when one of them runs.
    const auto dense = [&]() -> const Matrix& {
        if (C.dense) return *C.dense;
        if (formed.size() == 0) formed = C.factor->dense();
        return formed;
    };
    const auto spread = [&C](const Vector& x) { return contribution_spread(C, x); };
    const auto slsqp_problem = [&]() {
        const Matrix& M = dense();
        minimize::Gradient gradient;
        if (settings.derivatives == Derivatives::exact)
            gradient = [&M](const Vector& x) { return risk_parity_with_con_gradient(M, x); };
        const double scale =
            settings.scale_objective ? usable_scale(min_variance_obj_fun(M, init_weight)) : 1.0;
        return scaled([&M](const Vector& x) { return risk_parity_with_con_obj_fun(M, x); }, gradient, scale);
    };
    if (!settings.risk_budgeting)
        return solve_with_slsqp(labels, slsqp_problem(), init_weight, bounds, cons, max_iteration, tol, settings);

    // The spread is never negative and is 0 exactly at equal contributions: when those weights
    // are allowed, nothing does better.
    const std::optional<Vector> equal = equal_risk_contributions(C);
    if (equal && meets_exactly(*equal, bounds, cons))
        return {certified_result(labels, *equal, bounds, cons),
                {Termination::exact_start, 0, spread(*equal), {}}};

    const bool dense_starts = C.dense || n <= kMostDenseStarts;
    // The nearest weights to w that meet the records (w itself where it meets them exactly).
    const auto within_records = [&](const Vector& w) -> std::optional<Vector> {
        if (meets_exactly(w, bounds, cons)) return w;
        return dense_starts ? project_onto_records(w, bounds, cons) : project_onto_rows(w, bounds, cons);
    };

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
    // A box start that meets every limit, as it is or with a few members of a floored group raised,
    // is as a rule the optimum, and SLSQP confirms it in a few steps: the smoothed polish is left
    // out (measured at 300 instruments, every weight at most 2/n: 0.07 s against 0.15 s, and
    // Financials at least 30 %: 0.26 s against 0.35 s, the same weights).
    if (box && meets_exactly(*box, bounds, cons)) smoothed_polish = false;
    if (box && !meets_exactly(*box, bounds, cons)) {
        std::optional<Vector> raised;
        if (dense_starts) raised = raised_group_risk_parity(dense(), C.factor, bounds, cons, *box);
        if (raised && meets_exactly(*raised, bounds, cons)) {
            box = raised;
            smoothed_polish = false;
        } else {
            box = within_records(*box);
        }
    }
    if (box) starts.push_back({*box});
    if (std::optional<Vector> rb = risk_budgeting_start(C, bounds, cons, n)) starts.push_back({*rb});
    if (n <= kMostPolishedInitial || starts.empty()) starts.push_back({init_weight, true});

    // The best candidate, and the best of those that keep every limit strictly (the smoothed
    // polish starts from it: a start that leans on the tolerance, often the risk-budgeting point
    // by some 1e-12, may be the best candidate and yet a poor start).
    std::optional<Candidate> best, best_strict;
    const auto consider = [&](const Vector& w, const SolveSummary& summary) {
        const double violation = worst_violation(w, bounds, cons);
        if (!(violation <= FEASIBILITY_TOLERANCE)) return;
        Candidate c{w, spread(w), violation <= kStrictViolation, summary};
        c.summary.objective = c.spread;
        if (c.strict && (!best_strict || c.spread < best_strict->spread)) best_strict = c;
        if (!best || better(c, *best)) best = std::move(c);
    };
    std::exception_ptr first_failure;
    // SLSQP's answer from a start, none where it failed.
    const auto slsqp_polish = [&](const Start& start) -> std::optional<Vector> {
        // Started exactly on many bounds, the minimiser's first subproblem takes its slow dense
        // path; a small step towards the given start (inside the bounds as a rule) avoids it.
        try {
            const Vector from =
                start.given ? start.weights : Vector((1.0 - kStartInset) * start.weights + kStartInset * init_weight);
            const minimize::Result run =
                minimise_with_slsqp(slsqp_problem(), from, bounds, cons, max_iteration, tol, settings);
            const Vector weights = normalised_weights(run.x);
            consider(weights, run_summary(run, 0.0));
            if (!first_failure && worst_violation(weights, bounds, cons) > FEASIBILITY_TOLERANCE) {
                try {
                    certify_feasible(labels, weights, bounds, cons);
                } catch (const OptimizationFailed&) {
                    first_failure = std::current_exception();
                }
            }
            return weights;
        } catch (const OptimizationFailed&) {
            if (!first_failure) first_failure = std::current_exception();
        }
        return std::nullopt;
    };
    std::vector<Vector> polished;
    // The distinct starts that keep the limits strictly, the given one apart (SLSQP polishes it
    // where the instruments are few), for the smoothed polish.
    std::vector<Vector> strict_starts;
    // Where the instruments are few, SLSQP polishes the given start beside the smoothed polish of
    // the best start, after it (the smoothed polish starts from the starts, not from SLSQP's
    // answer), also where another start coincides with the given one.
    const bool given_beside = smoothed_polish && n <= kMostPolishedInitial;
    for (const Start& start : starts) {
        bool seen = false;
        for (const Vector& p : polished) seen = seen || (p - start.weights).cwiseAbs().maxCoeff() <= kSameStart;
        if (seen) continue;
        polished.push_back(start.weights);
        if (!start.given) consider(start.weights, {Termination::exact_start, 0, 0.0, {}});
        if (smoothed_polish) {
            if (!start.given && worst_violation(start.weights, bounds, cons) <= kStrictViolation)
                strict_starts.push_back(start.weights);
            continue;
        }
        if (!polish_rows) {
            slsqp_polish(start);
            continue;
        }
        // The structured polish starts from a point within the limits: the given start only
        // where it keeps them.
        if (worst_violation(start.weights, bounds, cons) > kStrictViolation) continue;
        const SpreadPolish run = polish_spread(C, start.weights, bounds, *polish_rows, max_iteration);
        consider(run.weights, {run.termination, run.steps, 0.0, run.message});
    }
    // The polish of the smoothed spread from each start that keeps the limits strictly up to
    // kMostSmoothedStarts instruments, beyond from the best of them (measured there: the starts
    // end alike as a rule; SLSQP from its answer ends where it starts, in 40 cases of
    // 40; on three requests of 168-287 instruments whose best start leaned on the tolerance, 36-107
    // ms, spreads within 2e-6 of SLSQP's from the given start, 0.2-2.5 s, or lower); SLSQP from the
    // given start where no start keeps the limits strictly, below the structured polish's size.
    // Beside it, up to kMostPolishedInitial instruments, SLSQP from the given start, whose answer
    // the smoothed polish takes further where it keeps the limits strictly (measured on 120
    // generated problems of 5-80 instruments, bench/limits_quality: never above SLSQP from equal
    // weights, better in 71 of 103 instead of 68, in 3.6 s against 8.0 s with SLSQP from every start).
    if (smoothed_polish) {
        const double cube = static_cast<double>(n) * static_cast<double>(n) * static_cast<double>(n);
        const int steps = static_cast<int>(std::min<double>(max_iteration, std::floor(kSmoothedStepWork / cube)));
        const auto smoothed_from = [&](const Vector& start) {
            const SpreadPolish run = polish_smoothed_spread(dense(), start, bounds, *linear, steps);
            consider(run.weights, {run.termination, run.steps, 0.0, run.message});
        };
        if (n <= kMostSmoothedStarts) {
            for (const Vector& start : strict_starts) smoothed_from(start);
        } else if (best_strict) {
            smoothed_from(best_strict->weights);  // read before any consider()
        }
        // Up to kMostBasinMoves instruments, the moves of the best point that keeps the limits
        // strictly towards other basins, each probed by the smoothed polish with the moved
        // instrument held where the move put it; the best probe, where it improves on that point,
        // polished once more under the limits themselves, and the moves made again from there
        // while a round gains.
        if (n <= kMostBasinMoves && best_strict) {
            const Classes classes = interchangeable_classes(*linear, n);
            // The smoothed polish from w under `under` for at most `most_steps` steps; none where
            // it does not keep every limit strictly.
            const auto strict_polish = [&](const Vector& w, const BoundsList& under,
                                           int most_steps) -> std::optional<SpreadPolish> {
                SpreadPolish run = polish_smoothed_spread(dense(), w, under, *linear, std::min(steps, most_steps));
                if (worst_violation(run.weights, bounds, cons) > kStrictViolation) return std::nullopt;
                return run;
            };
            // A move's probe: the smoothed polish with the moved instruments held; none where the
            // move or the probe does not keep every limit strictly.
            const auto probed = [&](const BasinMove& move) -> std::optional<SpreadPolish> {
                if (worst_violation(move.weights, bounds, cons) > kStrictViolation) return std::nullopt;
                BoundsList held = bounds;
                for (const Held& h : move.held) held[static_cast<std::size_t>(h.index)] = h.bounds;
                return strict_polish(move.weights, held, move.probe_steps);
            };
            // A probe that improves on the spread `before` is a candidate and polished once more
            // under the limits themselves; whether that gained.
            const auto taken = [&](const std::optional<SpreadPolish>& probe, double before) {
                if (!probe || !(probe->spread < before)) return false;
                consider(probe->weights, {probe->termination, probe->steps, 0.0, probe->message});
                smoothed_from(probe->weights);
                return best_strict->spread < before * (1.0 - kRoundGain);
            };
            for (int round = 0; round < kMostMoveRounds; ++round) {
                const double before = best_strict->spread;
                std::optional<SpreadPolish> best_probe;
                for (const BasinMove& move : round_moves(dense(), best_strict->weights, bounds, classes)) {
                    std::optional<SpreadPolish> probe = probed(move);
                    if (probe && (!best_probe || probe->spread < best_probe->spread)) best_probe = std::move(probe);
                }
                if (!taken(best_probe, before)) break;
            }
            // The raise of the lower classes, from the point the rounds reached (taken in a round,
            // its probe may lead the later rounds away from a lower basin).
            for (int attempt = 0; attempt < kMostRaises; ++attempt) {
                const double before = best_strict->spread;
                const std::optional<BasinMove> move =
                    raise_of_lower_classes(dense(), best_strict->weights, bounds, classes);
                if (!move || !taken(probed(*move), before)) break;
            }
            // The sheddings and deepenings last, from the point the raises reached; the best
            // kMostReleased probes go on with the moved members released.
            {
                const double before = best_strict->spread;
                std::vector<SpreadPolish> probes;
                for (const BasinMove& move : last_moves(dense(), best_strict->weights, bounds, classes))
                    if (std::optional<SpreadPolish> probe = probed(move)) probes.push_back(std::move(*probe));
                std::sort(probes.begin(), probes.end(),
                          [](const SpreadPolish& a, const SpreadPolish& b) { return a.spread < b.spread; });
                std::optional<SpreadPolish> best_probe;
                if (!probes.empty()) best_probe = probes.front();
                for (std::size_t k = 0; k < std::min<std::size_t>(probes.size(), kMostReleased); ++k) {
                    std::optional<SpreadPolish> released = strict_polish(probes[k].weights, bounds, kProbeSteps);
                    if (released && released->spread < best_probe->spread) best_probe = std::move(released);
                }
                taken(best_probe, before);
            }
        }
        if (given_beside || (!best_strict && !polish_rows)) {
            const std::optional<Vector> answer = slsqp_polish({init_weight, true});
            if (given_beside && answer && worst_violation(*answer, bounds, cons) <= kStrictViolation)
                smoothed_from(*answer);
        }
        // Beyond the size where SLSQP polishes the given start, the smoothed polish of the given
        // start itself, where it keeps the limits and the budget strictly.
        if (n > kMostPolishedInitial && n <= kMostSmoothedGiven) {
            const std::optional<Vector> given_start = within_records(init_weight);
            if (given_start && worst_violation(*given_start, bounds, cons) <= kStrictViolation &&
                std::abs(given_start->sum() - 1.0) <= kStrictViolation)
                smoothed_from(*given_start);
        }
        // The finish: Newton's method on the ties of the best point that keeps the limits strictly.
        if (best_strict && n <= kMostTiedNewton) {
            const SpreadPolish run = polish_spread_on_ties(dense(), best_strict->weights, bounds, *linear, max_iteration);
            consider(run.weights, {run.termination, run.steps, 0.0, run.message});
        }
    }
    // No start within the limits for the structured polish: SLSQP from the given start, whatever
    // it costs, rather than a refusal of a request that may have an answer.
    if (!best && polish_rows) slsqp_polish({init_weight, true});
    if (!best) {
        if (first_failure) std::rethrow_exception(first_failure);
        throw OptimizationFailed("OPTIMIZER: 优化无法收敛到足够精度");
    }
    return {certified_result(labels, best->weights, bounds, cons), best->summary};
}

SolveResult risk_parity_with_cons_solve(const LabelledMatrix& c_m, const Vector& init_weight,
                                        const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                        int max_iteration, double tol, const SolverSettings& settings) {
    check_solver_inputs("risk_parity_with_cons_optimize", &c_m, c_m.values.rows(), init_weight, bounds,
                        max_iteration, tol);
    check_record_sizes("risk_parity_with_cons_optimize", cons, c_m.values.rows());
    return risk_parity_with_cons_solve(c_m.labels, {nullptr, &c_m.values}, init_weight, bounds, cons, max_iteration,
                                       tol, settings);
}

WeightMap risk_parity_with_cons_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         int max_iteration, double tol, const SolverSettings& settings) {
    return risk_parity_with_cons_solve(c_m, init_weight, bounds, cons, max_iteration, tol, settings).weights;
}

}  // namespace kelvane_mod_optimizer
