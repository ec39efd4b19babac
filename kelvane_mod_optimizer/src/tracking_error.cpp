// Minimum tracking error: ‖b − Dx‖² over the days where every value is known, exactly where the
// records are linear, else by SLSQP from the least-squares optimum under bounds and linear
// records, found directly.
#include <cmath>

#include "kelvane/exception.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// Relative weight of the ridge μ‖x‖² that makes the quadratic positive definite when there are
// fewer days than instruments: it picks one of the many optimal portfolios and costs at most
// μ·‖x‖²/2 of bᵀb (about 1e-9 of the optimum on daily returns).
constexpr double kRidge = 1e-10;

// A first answer whose tracking error lies between these fractions of bᵀb is polished by a
// second run scaled by its own value; below the first the benchmark counts as reproduced.
constexpr double kReproducedFraction = 1e-6;
constexpr double kPolishedFraction = 1e-2;

}  // namespace

std::optional<Vector> least_squares_optimum(const Matrix& D, const Vector& b, const BoundsList& bounds,
                                            const std::vector<ConstraintRecord>& cons, const Vector& at) {
    const Eigen::Index n = D.cols();
    if (n == 0 || b.size() != D.rows() || !D.allFinite() || !b.allFinite()) return std::nullopt;
    // min ½‖Dx − b‖²/τ + ½μ‖x‖² with τ = bᵀb, the objective's own size (the Hessian's diagonal is
    // then about 1 for instruments as volatile as the benchmark), so that the ridge costs at most
    // μ/2 of it whatever the sizes of the columns (the mean squared column norm, which a
    // single bad close of 10⁷ times the others makes 10¹⁵ times theirs, let the ridge outweigh
    // their curvature: the weights were split evenly rather than fitted). A benchmark without
    // returns (bᵀb = 0) takes the mean squared column norm.
    double tau = b.squaredNorm();
    if (!(tau > 0.0) || !std::isfinite(tau)) tau = D.colwise().squaredNorm().mean();
    if (!(tau > 0.0) || !std::isfinite(tau)) return std::nullopt;
    Matrix B = reusable_matrix(n, n);
    B.triangularView<Eigen::Lower>().setZero();
    B.selfadjointView<Eigen::Lower>().rankUpdate(D.transpose(), 1.0 / tau);
    B.triangularView<Eigen::StrictlyUpper>() = B.transpose();
    B.diagonal().array() += kRidge;
    const Vector q = -D.transpose() * b / tau;
    std::optional<Vector> x = quadratic_optimum_from_vertex(B, q, bounds, cons, at);
    reuse_later(std::move(B));
    return x;
}

SolveResult min_tracking_error_solve(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                     const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                     int max_iteration, double tol, const SolverSettings& settings) {
    const Eigen::Index n = df.values.cols();
    if (df.columns.size() != static_cast<std::size_t>(n))
        throw kelvane::KVInvalidArgument("min_tracking_error_optimize: the return table needs one label per column");
    check_solver_inputs("min_tracking_error_optimize", nullptr, n, init_weight, bounds, max_iteration, tol);
    check_unique_labels("min_tracking_error_optimize", "the return table", df.columns);
    check_record_sizes("min_tracking_error_optimize", cons, n);

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
