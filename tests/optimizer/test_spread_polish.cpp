// Risk parity under limits on the factor form and the structured polish of the spread: the
// factor form answers as the dense matrix does, the polish keeps every limit and never raises the
// spread, and a request beyond the polish's size is answered within its limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>

#include "internal.hpp"
#include "solver_fixtures.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

// How much above SLSQP's spread the structured polish may end on the small problem below.
constexpr double kPolishMargin = 1.06;  // measured: 4.8 % above
// How much above it the polish of the smoothed spread may end.
constexpr double kSmoothedMargin = 1.00005;  // measured: 6.3e-6 above
// How much above SLSQP's spread (relative) an answer in SLSQP's basin may end: Newton's method on
// the ties takes it to the basin's minimum, below SLSQP's answer (measured: 7e-8 to 9e-7 below;
// without it up to 1.7e-5 above; another basin is 1e-3 or more above).
constexpr double kSameBasin = 1e-9;

// n instruments in four industries, each within ±0.5 % of its share, a covariance 0.2·m·I + 0.8·XᵀX/T
// of a market and the industries over T days, in factor form.
struct Problem {
    minimize::DiagonalPlusLowRank covariance;
    std::vector<kmo::ConstraintRecord> cons;
};

Problem industry_neutral(Eigen::Index n, Eigen::Index days, unsigned seed) {
    constexpr int kIndustries = 4;
    std::mt19937 rng(seed);
    std::normal_distribution<double> z;
    std::vector<int> industry(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i)
        industry[static_cast<std::size_t>(i)] =
            i < kIndustries ? static_cast<int>(i) : std::uniform_int_distribution<int>(0, kIndustries - 1)(rng);
    Matrix X(days, n);
    for (Eigen::Index t = 0; t < days; ++t) {
        const double market = 0.01 * z(rng);
        Vector sector(kIndustries);
        for (auto& s : sector) s = 0.006 * z(rng);
        for (Eigen::Index i = 0; i < n; ++i)
            X(t, i) = (0.5 + 0.02 * static_cast<double>(i % 50)) * market + sector[industry[static_cast<std::size_t>(i)]] +
                      (0.01 + 0.0005 * static_cast<double>(i % 37)) * z(rng);
    }
    X = X.rowwise() - X.colwise().mean();
    const double m = X.colwise().squaredNorm().sum() / static_cast<double>(days * n);
    std::vector<std::vector<int>> members(kIndustries);
    for (Eigen::Index i = 0; i < n; ++i)
        members[static_cast<std::size_t>(industry[static_cast<std::size_t>(i)])].push_back(static_cast<int>(i));
    return {minimize::DiagonalPlusLowRank(Vector::Constant(n, 0.2 * m),
                                          Matrix(X.transpose() * std::sqrt(0.8 / static_cast<double>(days)))),
            solver_fixtures::industry_bands(members, n, 0.005)};
}

Vector weights_of(const kmo::SolveResult& r, Eigen::Index n) {
    return solver_fixtures::in_label_order(r.weights, solver_fixtures::labels(n));
}

// Every group's weight within its range, checked on the groups themselves, not on the records.
void expect_within_limits(const Vector& x, const kmo::BoundsList& bounds, const std::vector<kmo::ConstraintRecord>& cons) {
    const double slack = 1e-12;
    EXPECT_NEAR(x.sum(), 1.0, slack);
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        EXPECT_GE(x[i], *bounds[static_cast<std::size_t>(i)].lower - slack);
        EXPECT_LE(x[i], *bounds[static_cast<std::size_t>(i)].upper + slack);
    }
    for (const kmo::GroupRange& g : kmo::group_ranges(cons, x.size())) {
        double total = 0.0;
        for (const int i : g.positions) total += x[i];
        EXPECT_GE(total, g.lower - slack) << g.label;
        EXPECT_LE(total, g.upper + slack) << g.label;
    }
}

kmo::SolverSettings polish_from(long size) {
    kmo::SolverSettings s;
    s.structured_polish_from = size;
    return s;
}

// Risk parity under `cons` and `bounds` from equal weights.
kmo::SolveResult risk_parity(const kmo::CovarianceView& C, const kmo::BoundsList& bounds,
                             const std::vector<kmo::ConstraintRecord>& cons, const kmo::SolverSettings& settings) {
    const auto n = static_cast<Eigen::Index>(bounds.size());
    return kmo::risk_parity_with_cons_solve(solver_fixtures::labels(n), C, solver_fixtures::equal(n), bounds, cons,
                                            1000, 1e-8, settings);
}

// A request's answer: within its limits, not a failure, its objective the spread at its weights.
void expect_answered_within_limits(const kmo::SolveResult& r, const kmo::CovarianceView& C,
                                   const kmo::BoundsList& bounds, const std::vector<kmo::ConstraintRecord>& cons) {
    const Vector x = weights_of(r, static_cast<Eigen::Index>(bounds.size()));
    expect_within_limits(x, bounds, cons);
    EXPECT_NE(r.summary.termination, kmo::Termination::failed);
    EXPECT_NEAR(r.summary.objective, kmo::contribution_spread(C, x), 1e-12 * r.summary.objective);
}

// An industry-neutral problem under the cap 3/n, with the constrained risk-budgeting point as the
// start of a polish.
struct PolishCase {
    Problem p;
    Matrix dense;
    kmo::BoundsList bounds;
    kmo::LinearRows rows;
    Vector from;
    double start_spread = 0.0;
    [[nodiscard]] kmo::CovarianceView view() const { return {&p.covariance, nullptr}; }
    // The spread SLSQP ends at from every start on the same request.
    [[nodiscard]] double slsqp_spread() const {
        const kmo::SolveResult r = risk_parity(view(), bounds, p.cons, polish_from(1000000));
        return kmo::risk_parity_with_con_obj_fun(dense, weights_of(r, dense.rows()));
    }
    // A polish of a few steps ends no worse than its start and keeps the limits.
    template <class Polish>
    void expect_few_steps_no_worse(Polish polish, std::initializer_list<int> steps) const {
        for (const int k : steps) {
            const kmo::SpreadPolish few = polish(k);
            EXPECT_LE(few.steps, k);
            EXPECT_LE(few.spread, start_spread);
            expect_within_limits(few.weights, bounds, p.cons);
        }
    }
};

// A floor on every third instrument at 1.5 times its share, a cap at half its share on every
// fourth of the others.
std::vector<kmo::ConstraintRecord> floored_and_capped(Eigen::Index n) {
    std::vector<int> floored, capped;
    for (int i = 0; i < n; i += 3) floored.push_back(i);
    for (int i = 1; i < n; i += 4)
        if (i % 3 != 0) capped.push_back(i);
    const double share = static_cast<double>(floored.size()) / static_cast<double>(n);
    return kmo::_to_constraint(
        kmo::Grouping{{"floored", floored}, {"capped", capped}},
        kmo::Rules{{"floored", {1.5 * share, 1.0}}, {"capped", {0.0, 0.5 * static_cast<double>(capped.size()) / n}}});
}

PolishCase polish_case(Eigen::Index n, Eigen::Index days, unsigned seed) {
    PolishCase c{industry_neutral(n, days, seed), {}, solver_fixtures::box(n, 3.0 / static_cast<double>(n)), {}, {}};
    c.dense = c.p.covariance.dense();
    const auto rows = kmo::budget_free_rows(c.p.cons, n);
    if (!rows) throw std::logic_error("the industry limits are linear rows");
    c.rows = *rows;
    const auto start = kmo::constrained_risk_budgeting(c.view(), c.bounds, c.rows, 200, 1e-10);
    if (!start) throw std::logic_error("the constrained risk-budgeting point exists");
    c.from = start->weights / start->weights.sum();
    c.start_spread = kmo::contribution_spread(c.view(), c.from);
    return c;
}

}  // namespace

TEST(SpreadPolish, FactorFormAnswersAsTheDenseMatrix) {
    const Eigen::Index n = 24;
    const Problem p = industry_neutral(n, 60, 7);
    const Matrix dense = p.covariance.dense();
    const kmo::BoundsList bounds = solver_fixtures::box(n, 3.0 / static_cast<double>(n));
    for (const long from : {1000000L, 1L}) {  // SLSQP polishes, then the structured polish
        const kmo::SolverSettings settings = polish_from(from);
        const Vector by_factor = weights_of(risk_parity({&p.covariance, nullptr}, bounds, p.cons, settings), n);
        const Vector by_dense = weights_of(risk_parity({nullptr, &dense}, bounds, p.cons, settings), n);
        // SLSQP runs on the same matrix from the same starts; the structured polish on the factor
        // takes its products and its model's diagonal in another order of rounding.
        const double same = from > n ? 1e-10 : 1e-8;
        const double spread = kmo::risk_parity_with_con_obj_fun(dense, by_dense);
        EXPECT_NEAR(kmo::risk_parity_with_con_obj_fun(dense, by_factor), spread, same * spread) << from;
        EXPECT_LT((by_factor - by_dense).cwiseAbs().maxCoeff(), same) << from;
        expect_within_limits(by_factor, bounds, p.cons);
    }
}

TEST(SpreadPolish, KeepsTheLimitsLowersTheSpreadAndNearsSlsqp) {
    const PolishCase c = polish_case(40, 80, 11);
    const kmo::SpreadPolish polished = kmo::polish_spread(c.view(), c.from, c.bounds, c.rows, 1000);
    expect_within_limits(polished.weights, c.bounds, c.p.cons);
    EXPECT_NEAR(polished.spread, kmo::risk_parity_with_con_obj_fun(c.dense, polished.weights), 1e-12 * c.start_spread);
    EXPECT_LT(polished.spread, c.start_spread);
    EXPECT_GT(polished.steps, 0);
    EXPECT_NE(polished.termination, kmo::Termination::failed);
    c.expect_few_steps_no_worse([&](int k) { return kmo::polish_spread(c.view(), c.from, c.bounds, c.rows, k); },
                                {1, 2, 5});
    // The measured gap to SLSQP from every start on this problem is a few per cent; the structured
    // polish follows the kinks of the spread less well.
    EXPECT_LT(polished.spread, kPolishMargin * c.slsqp_spread());
}

TEST(SpreadPolish, ARequestBeyondTheSizeOfSlsqpIsAnsweredWithinItsLimits) {
    // The structured polish from 150 instruments (by default it starts at a size whose request
    // takes seconds under the sanitizers).
    const Eigen::Index n = 180;
    const Problem p = industry_neutral(n, 131, 3);
    const kmo::CovarianceView C{&p.covariance, nullptr};
    const auto rows = kmo::budget_free_rows(p.cons, n);
    for (const double cap : {1.0, 3.0 / static_cast<double>(n)}) {
        const kmo::BoundsList bounds = solver_fixtures::box(n, cap);
        const kmo::SolveResult r = risk_parity(C, bounds, p.cons, polish_from(150));
        expect_answered_within_limits(r, C, bounds, p.cons);
        // No worse than the constrained risk-budgeting point, one of its starts.
        const auto rb = kmo::constrained_risk_budgeting(C, bounds, *rows, 200, 1e-10);
        ASSERT_TRUE(rb);
        EXPECT_LE(r.summary.objective, kmo::contribution_spread(C, Vector(rb->weights / rb->weights.sum())));
    }
}

// Weights held at zero by their bounds (an upper bound of 0, the way to leave an instrument out)
// have no logarithm: the risk-budgeting starts are found without them, their zeros put back, and
// a request beyond the size where the given start is polished is answered from them.
TEST(SmoothedSpreadPolish, WeightsHeldAtZeroLeaveTheStartsInPlace) {
    const Eigen::Index n = 160;
    const Problem p = industry_neutral(n, 131, 7);
    const kmo::CovarianceView C{&p.covariance, nullptr};
    kmo::BoundsList bounds = solver_fixtures::box(n, 1.0);
    const std::vector<Eigen::Index> held{5, 77};
    for (const Eigen::Index i : held) bounds[static_cast<std::size_t>(i)] = {0.0, 0.0};
    const auto rows = kmo::budget_free_rows(p.cons, n);
    const auto rb = kmo::constrained_risk_budgeting(C, bounds, *rows, 200, 1e-10);
    ASSERT_TRUE(rb);
    const kmo::SolveResult r = risk_parity(C, bounds, p.cons, {});
    expect_answered_within_limits(r, C, bounds, p.cons);
    const Vector x = weights_of(r, n);
    for (const Eigen::Index i : held) {
        EXPECT_EQ(rb->weights[i], 0.0);
        EXPECT_EQ(x[i], 0.0);
    }
    EXPECT_LE(r.summary.objective, kmo::contribution_spread(C, Vector(rb->weights / rb->weights.sum())));
}

TEST(SmoothedSpreadPolish, KeepsTheLimitsAndEqualisesAllButAFewContributions) {
    const Eigen::Index n = 60;
    const PolishCase c = polish_case(n, 80, 11);
    const kmo::SpreadPolish smoothed = kmo::polish_smoothed_spread(c.dense, c.from, c.bounds, c.rows, 1000);
    expect_within_limits(smoothed.weights, c.bounds, c.p.cons);
    EXPECT_NEAR(smoothed.spread, kmo::risk_parity_with_con_obj_fun(c.dense, smoothed.weights), 1e-12 * c.start_spread);
    EXPECT_EQ(smoothed.termination, kmo::Termination::converged) << smoothed.message;
    // The shape of the spread's optimum under binding limits: one level, a few instruments off it.
    const Vector t = smoothed.weights.cwiseProduct(c.dense * smoothed.weights);
    Vector sorted = t;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[n / 2];
    const auto off = (((t.array() - median).abs()) > 1e-6 * median).count();
    EXPECT_LE(off, 6) << "of " << n;  // measured: 3
    // Lower than the structured polish with its diagonal model from the same start, and near
    // SLSQP from every start.
    EXPECT_LT(smoothed.spread, kmo::polish_spread(c.view(), c.from, c.bounds, c.rows, 1000).spread);
    EXPECT_LT(smoothed.spread, kSmoothedMargin * c.slsqp_spread());
    c.expect_few_steps_no_worse(
        [&](int k) { return kmo::polish_smoothed_spread(c.dense, c.from, c.bounds, c.rows, k); }, {1, 3});
}

// From the smoothed polish's answer (60 instruments, seed 11, 6.3e-6 above SLSQP from every start)
// Newton's method on the ties closes the small gaps the smoothed polish leaves between
// contributions that meet at the optimum, and ends at or below SLSQP.
TEST(TiedSpreadNewton, TiesWhatTheSmoothedPolishLeavesApartAndEndsAtOrBelowSlsqp) {
    const PolishCase c = polish_case(60, 80, 11);
    const kmo::SpreadPolish smoothed = kmo::polish_smoothed_spread(c.dense, c.from, c.bounds, c.rows, 1000);
    const kmo::SpreadPolish tied = kmo::polish_spread_on_ties(c.dense, smoothed.weights, c.bounds, c.rows, 1000);
    expect_within_limits(tied.weights, c.bounds, c.p.cons);
    EXPECT_NEAR(tied.spread, kmo::risk_parity_with_con_obj_fun(c.dense, tied.weights), 1e-12 * c.start_spread);
    EXPECT_EQ(tied.termination, kmo::Termination::converged) << tied.message;
    EXPECT_LT(tied.spread, smoothed.spread);
    EXPECT_LE(tied.spread, c.slsqp_spread() * (1.0 + 1e-9));
    // Neighbouring contributions end either apart or tied to the rounding.
    const Vector t = tied.weights.cwiseProduct(c.dense * tied.weights);
    Vector sorted = t;
    std::sort(sorted.begin(), sorted.end());
    const double mean = t.mean();
    for (Eigen::Index k = 1; k < sorted.size(); ++k) {
        const double gap = (sorted[k] - sorted[k - 1]) / mean;
        EXPECT_TRUE(gap < 1e-11 || gap > 1e-6) << k << ": " << gap;
    }
    c.expect_few_steps_no_worse(
        [&](int k) { return kmo::polish_spread_on_ties(c.dense, c.from, c.bounds, c.rows, k); }, {1, 3});
}

// Under a floor and a cap on two groups (100 instruments, seed 1, every weight at most 2/n) the
// finish's minimum on the ties of its start holds a tie that its multipliers ask to split. SLSQP at
// a tight tolerance from the answer is the certificate: it finds no lower spread (1.1e-7 lower
// without the split).
TEST(TiedSpreadNewton, EndsWhereSlsqpFromItsAnswerFindsNoLowerSpread) {
    const Eigen::Index n = 100;
    const Problem p = industry_neutral(n, 80, 1);
    const auto cons = floored_and_capped(n);
    const kmo::CovarianceView C{&p.covariance, nullptr};
    const kmo::BoundsList bounds = solver_fixtures::box(n, 2.0 / static_cast<double>(n));
    const kmo::SolveResult r = risk_parity(C, bounds, cons, {});
    expect_answered_within_limits(r, C, bounds, cons);
    EXPECT_EQ(r.summary.message, "the spread is at its minimum on the ties");
    kmo::SolverSettings plain;
    plain.risk_budgeting = false;
    const kmo::SolveResult from_answer = kmo::risk_parity_with_cons_solve(
        solver_fixtures::labels(n), C, weights_of(r, n), bounds, cons, 1000, 1e-12, plain);
    EXPECT_GE(from_answer.summary.objective, r.summary.objective * (1.0 - 1e-10));
}

// A start that holds a weight at its cap where the optimum has it below: the request's answer under
// a floor at the cap on that weight. Its minimum on the ties is not the request's (the weight's
// multiplier asks it to leave its bound), and the finish releases it and ends at the request's
// own answer.
TEST(TiedSpreadNewton, ReleasesAWeightHeldAtItsCapWhereLeavingItLowersTheSpread) {
    const Eigen::Index n = 60;
    const PolishCase c = polish_case(n, 80, 11);
    const kmo::CovarianceView C = c.view();
    const Vector answer = weights_of(risk_parity(C, c.bounds, c.p.cons, {}), n);
    const double cap = *c.bounds[0].upper;
    Eigen::Index heaviest_below_cap = -1;
    for (Eigen::Index i = 0; i < n; ++i)
        if (answer[i] < cap - 1e-6 && (heaviest_below_cap < 0 || answer[i] > answer[heaviest_below_cap])) heaviest_below_cap = i;
    ASSERT_GE(heaviest_below_cap, 0);
    kmo::BoundsList at_cap = c.bounds;
    at_cap[static_cast<std::size_t>(heaviest_below_cap)].lower = cap;
    const Vector start = weights_of(risk_parity(C, at_cap, c.p.cons, {}), n);
    ASSERT_NEAR(start[heaviest_below_cap], cap, 1e-12);

    const kmo::SpreadPolish tied = kmo::polish_spread_on_ties(c.dense, start, c.bounds, c.rows, 1000);
    expect_within_limits(tied.weights, c.bounds, c.p.cons);
    EXPECT_EQ(tied.termination, kmo::Termination::converged) << tied.message;
    EXPECT_LT(tied.weights[heaviest_below_cap], cap - 1e-6);
    const double spread = kmo::risk_parity_with_con_obj_fun(c.dense, answer);
    EXPECT_NEAR(tied.spread, spread, 1e-9 * spread);
}

// At 160 instruments the polish settles; at 800 it stops at its step budget (n³ of work).
TEST(SmoothedSpreadPolish, RequestsOfSomeHundredsEndBelowTheStructuredPolish) {
    for (const Eigen::Index n : {160, 800}) {
        SCOPED_TRACE(n);
        const Problem p = industry_neutral(n, 131, 5);
        const kmo::CovarianceView C{&p.covariance, nullptr};
        const kmo::BoundsList bounds = solver_fixtures::box(n, 3.0 / static_cast<double>(n));
        const kmo::SolveResult r = risk_parity(C, bounds, p.cons, {});
        expect_answered_within_limits(r, C, bounds, p.cons);
        kmo::SolverSettings structured = polish_from(n);
        structured.smoothed_polish_from = std::numeric_limits<long>::max();
        EXPECT_LT(r.summary.objective, risk_parity(C, bounds, p.cons, structured).summary.objective);
    }
}

// The constrained risk-budgeting point, the best start in these two requests, keeps the limits
// only to 2e-12; the polish starts from the best start that keeps them strictly. It once fell back
// to SLSQP from the given start below 500 instruments (ten times slower) and polished nothing above.
TEST(SmoothedSpreadPolish, ABestStartLeaningOnTheToleranceIsNotTheLastResort) {
    for (const auto& [n, seed, cap] : {std::tuple<Eigen::Index, unsigned, double>{155, 25, 2.0}, {530, 1, 1.6}}) {
        SCOPED_TRACE(n);
        const Problem p = industry_neutral(n, 131, seed);
        const auto cons = floored_and_capped(n);
        const kmo::CovarianceView C{&p.covariance, nullptr};
        const kmo::BoundsList bounds = solver_fixtures::box(n, cap / static_cast<double>(n));
        const auto rb = kmo::constrained_risk_budgeting(C, bounds, *kmo::budget_free_rows(cons, n), 200, 1e-10);
        ASSERT_TRUE(rb);
        const Vector start = rb->weights / rb->weights.sum();
        ASSERT_GT(kmo::worst_violation(start, bounds, cons), 1e-12);

        const kmo::SolveResult r = risk_parity(C, bounds, cons, {});
        expect_answered_within_limits(r, C, bounds, cons);
        // The answer is the polishes' (Newton's method on the ties finishes the smoothed polish up
        // to 300 instruments), not SLSQP's.
        EXPECT_EQ(r.summary.message, n <= 300 ? "the spread is at its minimum on the ties"
                                              : "the smoothed spread settled at the finest smoothing");
        EXPECT_LT(r.summary.objective, kmo::contribution_spread(C, start));
        if (n < 200) {  // SLSQP from equal weights, the reference, takes seconds beyond
            kmo::SolverSettings plain;
            plain.risk_budgeting = false;
            EXPECT_LT(r.summary.objective, kSmoothedMargin * risk_parity(C, bounds, cons, plain).summary.objective);
        }
    }
}

// Up to 100 instruments SLSQP polishes the given start beside the smoothed polish of the best
// start: at 70 (seed 1) the smoothed polish alone ends 4.4 % above SLSQP from equal weights, at 95
// (seed 4) 1.2 % below it; the answer takes the better of the two in both.
TEST(SmoothedSpreadPolish, FewInstrumentsEndNoHigherThanSlsqpFromTheGivenStart) {
    for (const auto& [n, seed] : {std::pair<Eigen::Index, unsigned>{70, 1}, {95, 4}}) {
        SCOPED_TRACE(n);
        const Problem p = industry_neutral(n, 80, seed);
        const kmo::CovarianceView C{&p.covariance, nullptr};
        const kmo::BoundsList bounds = solver_fixtures::box(n, 3.0 / static_cast<double>(n));
        const kmo::SolveResult r = risk_parity(C, bounds, p.cons, {});
        expect_answered_within_limits(r, C, bounds, p.cons);
        kmo::SolverSettings plain;
        plain.risk_budgeting = false;
        const double slsqp = risk_parity(C, bounds, p.cons, plain).summary.objective;
        EXPECT_LE(r.summary.objective, slsqp * (1.0 + 1e-12));
        if (n == 95) {
            EXPECT_LT(r.summary.objective, 0.99 * slsqp);
        }
    }
}

// Industry neutrality alone, beyond 100 instruments, where SLSQP from equal weights no longer
// runs beside the smoothed polish: at 120 (seed 3) the best start's polish ends 1 % above SLSQP,
// that of the other start below it (every start is polished up to 150); at 105 (seed 5) the
// polish lowers two members of an industry held at the top of its band to 0.75 of the common
// level and ends 2 % above SLSQP, which lowers one of them to 0.49 (their consolidation); at 200
// (seed 3) it ends 0.5 % above SLSQP, which has one more member of an industry at zero (a zeroing);
// at 130 (seed 1) with every weight at most 3/n it ends 7e-6 above SLSQP, and 3.9 % below it once
// the heaviest member of an industry is given up for its lowered ones (an exchange); at 170
// (seed 7) it ends 1.3e-3 above SLSQP, which has the same member of an industry lowered that it
// has at zero and the other way round (their trade), and 4e-7 above it once they trade places (in
// SLSQP's basin the polish settles a little above its minimum, which Newton's method on the ties
// then reaches: 1.2e-7 below SLSQP); at 130 (seed 22) with every weight at most 3/n it ends 1.3e-3
// above SLSQP, which brings the lowered member of an industry back to the level and lowers its
// heaviest member instead (a shift), and 2e-6 above it after the shift (9e-7 below after the
// ties); at 130 (seed 15) two industries settle at a level 12 % below the other two, 1.4e-3 above
// SLSQP, and 1.2e-5 above it once their heaviest members give the weight that raises them to the
// others (a raise of the lower classes; 7e-8 below after the ties); at 130 (seed 3) with every
// weight at most 3/n the polishes of the starts and the moves end 0.74 % above SLSQP, and the
// smoothed polish of the given start itself, beyond the size where SLSQP polishes it, reaches
// SLSQP's basin (1.2e-7 below); at 110 (seed 14) with every weight at most 3/n it ends 2.6 %
// above SLSQP, which takes a lowered member of an industry much further down (a deepening, then
// 2e-5 below SLSQP); at 150 (seed 17) two industries at the top of their bands settle 6 % below
// the level of the other two, 1.9 % above SLSQP, which gives up the heaviest member of one of them
// (a shedding, then below SLSQP); at 130 (seed 12) it ends 1.2 % above SLSQP and at 190 (seed 1)
// 1.3 % above, where every move probed for 10 steps is still above the point it starts from
// (probed for 20, the zeroings of members of an industry gain, and the answer ends below SLSQP);
// at 170 (seed 12) it ends 0.4 % above SLSQP, which keeps 4 % of the weight of an industry's
// heaviest member: its shedding, held at zero, ends above the point, and below SLSQP once the probe
// releases it.
TEST(SmoothedSpreadPolish, EndsNoHigherThanSlsqpWhereItsBasinIsWithinReach) {
    for (const auto& [n, seed, cap] : {std::tuple<Eigen::Index, unsigned, double>{120, 3, 1.0},
                                       {105, 5, 1.0},
                                       {200, 3, 1.0},
                                       {130, 1, 3.0 / 130},
                                       {170, 7, 1.0},
                                       {130, 22, 3.0 / 130},
                                       {130, 15, 1.0},
                                       {130, 3, 3.0 / 130},
                                       {110, 14, 3.0 / 110},
                                       {150, 17, 1.0},
                                       {130, 12, 1.0},
                                       {190, 1, 1.0},
                                       {170, 12, 1.0}}) {
        SCOPED_TRACE(n);
        const Problem p = industry_neutral(n, 80, seed);
        const kmo::CovarianceView C{&p.covariance, nullptr};
        const kmo::BoundsList bounds = solver_fixtures::box(n, cap);
        const kmo::SolveResult r = risk_parity(C, bounds, p.cons, {});
        expect_answered_within_limits(r, C, bounds, p.cons);
        kmo::SolverSettings plain;
        plain.risk_budgeting = false;
        EXPECT_LE(r.summary.objective, risk_parity(C, bounds, p.cons, plain).summary.objective * (1.0 + kSameBasin));
    }
}
