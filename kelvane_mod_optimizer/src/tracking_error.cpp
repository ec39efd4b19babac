// Minimum tracking error: ‖b − Dx‖² over the days where every value is known, exactly where the
// records are linear, else by SLSQP from the least-squares optimum under bounds and linear
// records, found directly.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "kelvane/exception.hpp"
#include "minimize/primal_qp.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// Relative weight of the ridge μ‖x‖² that makes the quadratic positive definite when there are
// fewer days than instruments: it picks one of the many optimal portfolios and costs at most
// μ·‖x‖²/2 of objective (about 1e-9 of the optimum on daily returns).
constexpr double kRidge = 1e-10;

// A first answer whose tracking error lies between these fractions of bᵀb is polished by a
// second run scaled by its own value; below the first the benchmark counts as reproduced.
constexpr double kReproducedFraction = 1e-6;
constexpr double kPolishedFraction = 1e-2;

}  // namespace

std::optional<Vector> least_squares_optimum(const Matrix& D, const Vector& b, const BoundsList& bounds,
                                            const std::vector<ConstraintRecord>& cons, const Vector& at) {
    const Eigen::Index n = D.cols();
    if (n == 0 || bounds.size() != static_cast<std::size_t>(n) || at.size() != n || b.size() != D.rows() ||
        !D.allFinite() || !b.allFinite() || !at.allFinite())
        return std::nullopt;
    // Named vectors rather than a structured binding: the fill below captures them in a lambda.
    const BoxVectors box = bound_vectors(bounds);
    const Vector& lower = box.lower;
    const Vector& upper = box.upper;
    if (!lower.allFinite() || !upper.allFinite() || !(lower.array() <= upper.array()).all()) return std::nullopt;

    // The records as rows a·x + offset, equalities first, linearised at `at` (exact for the linear
    // records of group limits and the budget; for any other the answer is checked by the caller).
    std::vector<const ConstraintRecord*> ordered;
    for (const auto& c : cons)
        if (c.type == ConstraintRecord::Type::eq) ordered.push_back(&c);
    const auto me = static_cast<Eigen::Index>(ordered.size());
    for (const auto& c : cons)
        if (c.type == ConstraintRecord::Type::ineq) ordered.push_back(&c);
    const auto m = static_cast<Eigen::Index>(ordered.size());
    Matrix A(m, n);
    Vector offset(m);
    for (Eigen::Index j = 0; j < m; ++j) {
        const ConstraintRecord& c = *ordered[static_cast<std::size_t>(j)];
        if (!c.fun || !c.jac) return std::nullopt;
        const Vector a = c.jac(at);
        if (a.size() != n) return std::nullopt;
        A.row(j) = a.transpose();
        offset[j] = c.fun(at) - a.dot(at);
    }
    if (!A.allFinite() || !offset.allFinite()) return std::nullopt;
    // The start: every weight at its lower bound, then filled in order of the tracking error of
    // the instrument alone, each as far as its upper bound, the budget (the one equality row, with
    // positive coefficients) and the inequality rows that hold allow; first the members of a row
    // the lower bounds break (a group floor), until it holds.
    if (me != 1 || !(A.row(0).array() > 0.0).all()) return std::nullopt;
    Vector x = lower;
    Vector value = A * x + offset;
    if (!(value[0] <= 0.0)) return std::nullopt;
    const Vector alone = D.colwise().squaredNorm().transpose() - 2.0 * D.transpose() * b;
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    std::stable_sort(order.begin(), order.end(), [&](Eigen::Index p, Eigen::Index q) { return alone[p] < alone[q]; });
    // Raises x_i by at most `most` within the limits above; returns the increase.
    const auto fill = [&](Eigen::Index i, double most) {
        double step = std::min({most, upper[i] - x[i], -value[0] / A(0, i)});
        for (Eigen::Index j = me; j < m; ++j)
            if (A(j, i) < 0.0) step = std::min(step, std::max(value[j], 0.0) / -A(j, i));
        if (!(step > 0.0)) return 0.0;
        x[i] += step;
        value += step * A.col(i);
        return step;
    };
    for (Eigen::Index j = me; j < m; ++j)
        for (Eigen::Index i : order)
            if (value[j] < 0.0 && A(j, i) > 0.0) fill(i, -value[j] / A(j, i));
    Eigen::Index last = -1;
    for (Eigen::Index i : order) {
        if (!(value[0] < 0.0)) break;
        if (fill(i, upper[i] - x[i]) > 0.0) last = i;
    }
    if (!(std::abs(value[0]) <= 1e-12 * std::max(1.0, std::abs(offset[0])))) return std::nullopt;  // stuck short of the budget
    // Weights strictly between their bounds are free. When none is, a tenth of the last one filled
    // moves to the next instrument, so that no free weight starts on a bound (a step of rounding
    // size would stop there).
    std::vector<char> free(static_cast<std::size_t>(n), 0);
    for (Eigen::Index i = 0; i < n; ++i) free[static_cast<std::size_t>(i)] = x[i] > lower[i] && x[i] < upper[i];
    if (std::find(free.begin(), free.end(), 1) == free.end() && last >= 0) {
        free[static_cast<std::size_t>(last)] = 1;
        const Vector kept = x, kept_value = value;
        const double shift = 0.1 * A(0, last) * (x[last] - lower[last]);
        x[last] -= shift / A(0, last);
        value -= (shift / A(0, last)) * A.col(last);
        for (Eigen::Index i : order) {
            if (i == last || !(upper[i] > lower[i])) continue;
            const double raised = fill(i, shift / A(0, i));
            if (raised > 0.0) free[static_cast<std::size_t>(i)] = 1;
            if (!(value[0] < 0.0)) break;
        }
        bool broken = !(std::abs(value[0]) <= 1e-12 * std::max(1.0, std::abs(offset[0])));
        for (Eigen::Index j = me; j < m; ++j) broken = broken || (value[j] < 0.0 && kept_value[j] >= 0.0);
        if (broken) {
            x = kept;
            value = kept_value;
        }
    }
    // An inequality the start still breaks joins the subproblem's working set: one more weight
    // that can move its way, or else one outside the row that can rise, is set free for it.
    for (Eigen::Index j = me; j < m; ++j) {
        if (value[j] >= 0.0) continue;
        Eigen::Index pick = -1;
        for (Eigen::Index i : order)
            if (pick < 0 && !free[static_cast<std::size_t>(i)] &&
                ((A(j, i) > 0.0 && x[i] < upper[i]) || (A(j, i) < 0.0 && x[i] > lower[i])))
                pick = i;
        for (Eigen::Index i : order)
            if (pick < 0 && !free[static_cast<std::size_t>(i)] && A(j, i) == 0.0 && x[i] < upper[i]) pick = i;
        if (pick < 0) return std::nullopt;
        free[static_cast<std::size_t>(pick)] = 1;
    }

    // min ½‖Dx − b‖²/τ + ½μ‖x‖² (τ the mean squared column norm, so that the Hessian's diagonal is
    // about 1) in the step s = x' − x from the vertex.
    const double tau = D.colwise().squaredNorm().mean();
    if (!(tau > 0.0) || !std::isfinite(tau)) return std::nullopt;
    Matrix B = reusable_matrix(n, n);
    B.triangularView<Eigen::Lower>().setZero();
    B.selfadjointView<Eigen::Lower>().rankUpdate(D.transpose(), 1.0 / tau);
    B.triangularView<Eigen::StrictlyUpper>() = B.transpose();
    B.diagonal().array() += kRidge;
    const Vector g = D.transpose() * (D * x - b) / tau + kRidge * x;
    minimize::ActiveSet active;
    active.known = true;
    active.bound.assign(static_cast<std::size_t>(n), 0);
    for (Eigen::Index i = 0; i < n; ++i)
        if (!free[static_cast<std::size_t>(i)]) active.bound[static_cast<std::size_t>(i)] = x[i] == lower[i] ? -1 : 1;
    active.inequality.assign(static_cast<std::size_t>(m - me), 0);
    Vector s, r;
    const bool solved = minimize::primal_active_set_qp(B, g, A, -(A * x + offset), me, lower - x, upper - x,
                                                               active, s, r);
    reuse_later(std::move(B));
    if (!solved || !(x + s).allFinite()) return std::nullopt;
    return Vector((x + s).cwiseMax(lower).cwiseMin(upper));
}

SolveResult min_tracking_error_solve(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                     const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                     int max_iteration, double tol, const SolverSettings& settings) {
    const Eigen::Index n = df.values.cols();
    if (df.columns.size() != static_cast<std::size_t>(n))
        throw kelvane::KVInvalidArgument("min_tracking_error_optimize: the return table needs one label per column");
    check_solver_inputs("min_tracking_error_optimize", nullptr, n, init_weight, bounds, max_iteration, tol);

    // The benchmark and the table are aligned at their last row (the most recent day); only days
    // on which the benchmark and every instrument have a return are used.
    const Eigen::Index common = std::min(df.values.rows(), benchmark.size());
    const Eigen::Index table_start = df.values.rows() - common;
    const Eigen::Index bench_start = benchmark.size() - common;
    std::vector<Eigen::Index> used;
    for (Eigen::Index k = 0; k < common; ++k)
        if (std::isfinite(benchmark[bench_start + k]) && df.values.row(table_start + k).allFinite()) used.push_back(k);
    if (used.empty())
        throw kelvane::KVInvalidArgument("OPTIMIZER: 基准与合约没有共同的有效收益率数据，无法计算跟踪误差");
    const auto rows = static_cast<Eigen::Index>(used.size());
    Matrix D(rows, n);
    Vector b(rows);
    for (Eigen::Index r = 0; r < rows; ++r) {
        const Eigen::Index k = used[static_cast<std::size_t>(r)];
        D.row(r) = df.values.row(table_start + k);
        b[r] = benchmark[bench_start + k];
    }

    if (exact_path_allowed(cons, max_iteration, settings))
        if (auto exact = exact_tracking_error(df.columns, D, b, init_weight, bounds, cons)) return std::move(*exact);

    minimize::Gradient gradient;
    if (settings.derivatives == Derivatives::exact)
        gradient = [&D, &b](const Vector& x) { return min_TE_gradient(D, b, x); };
    // Scaled by bᵀb, which is typically 10³ to 10⁴ times the optimum: tol then acts as an
    // absolute accuracy far coarser than the optimum itself. When the answer's tracking error is
    // that much smaller than the scale, a second run from the answer, scaled by its tracking
    // error, brings the objective to tol relative to the optimum; the better answer is kept.
    // Below a millionth of bᵀb the benchmark is reproduced (more instruments than days usually allow
    // that) and no second run is made: accuracy relative to a vanishing optimum means nothing.
    const auto objective = [&D, &b](const Vector& x) { return min_TE_obj_fun(D, b, x); };
    const double scale = settings.scale_objective ? usable_scale(b.dot(b)) : 1.0;
    // With the scaled objective the minimiser starts from the least-squares optimum found
    // directly (its quasi-Newton matrix is n by n, and from equal weights it needs dozens of
    // iterations, each factorising the free block of it); the start itself is the answer when it
    // meets every limit exactly and the minimiser does not improve on it.
    const std::optional<Vector> start =
        settings.scale_objective ? least_squares_optimum(D, b, bounds, cons, init_weight) : std::nullopt;
    SolveResult answer = solve_with_slsqp(df.columns, scaled(objective, gradient, scale), start ? *start : init_weight,
                                        bounds, cons, max_iteration, tol, settings);
    const auto weights_of = [&](const WeightMap& w) {
        Vector x(n);
        for (Eigen::Index j = 0; j < n; ++j) x[j] = w.at(df.columns[static_cast<std::size_t>(j)]);
        return x;
    };
    const double first = answer.summary.objective;
    if (settings.scale_objective && std::isfinite(first) && first > kReproducedFraction * scale &&
        first < kPolishedFraction * scale) {
        try {
            SolveResult polished = solve_with_slsqp(df.columns, scaled(objective, gradient, first),
                                                    weights_of(answer.weights), bounds, cons, max_iteration, tol,
                                                    settings);
            if (polished.summary.objective < first) answer = std::move(polished);
        } catch (const OptimizationFailed&) {
            // The first answer was accepted; a second run that cannot improve it changes nothing.
        }
    }
    if (start && meets_exactly(*start, bounds, cons)) {
        const double at_start = objective(*start);
        if (at_start < answer.summary.objective)
            return {certified_result(df.columns, *start, bounds, cons),
                    {Termination::exact_start, answer.summary.iterations, at_start, answer.summary.message}};
    }
    return answer;
}

WeightMap min_tracking_error_optimize(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                      const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                      int max_iteration, double tol, const SolverSettings& settings) {
    return min_tracking_error_solve(init_weight, benchmark, df, bounds, cons, max_iteration, tol, settings).weights;
}

}  // namespace kelvane_mod_optimizer
