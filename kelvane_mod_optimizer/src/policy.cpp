// The policy the constrained solvers share: input checks, SLSQP with the tolerance relaxation,
// and the normalised, certified result.
#include "policy.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <fmt/format.h>

#include "kelvane/exception.hpp"

namespace kelvane_mod_optimizer {

using kelvane::KVInvalidArgument;

namespace {

// The ftol beyond which a positive directional derivative is a failure rather than a reason to
// relax the tolerance, and the factor of each relaxation.
constexpr double kLargestRelaxedTol = 1e-5;
constexpr double kTolRelaxation = 10.0;

void check_covariance(const char* solver, const LabelledMatrix& c_m) {
    if (c_m.values.rows() != c_m.values.cols() || c_m.labels.size() != static_cast<std::size_t>(c_m.values.rows()))
        throw KVInvalidArgument(fmt::format("{}: the covariance matrix must be square and labelled on both axes", solver));
    check_unique_labels(solver, "the covariance matrix", c_m.labels);
    // The first instrument whose row holds a NaN or an infinity is named.
    for (Eigen::Index i = 0; i < c_m.values.rows(); ++i)
        if (!c_m.values.row(i).allFinite())
            throw OptimizationFailed(fmt::format("OPTIMIZER: 协方差矩阵中合约 {} 的一行含有无效数值（NaN 或无穷大），无法优化",
                                                 c_m.labels[static_cast<std::size_t>(i)]));
}

// The records as the minimiser takes them, without their gradients for finite differences.
std::vector<minimize::Constraint> minimiser_records(const std::vector<ConstraintRecord>& cons,
                                                    const SolverSettings& settings) {
    std::vector<minimize::Constraint> records(cons.begin(), cons.end());
    if (settings.derivatives == Derivatives::finite_differences)
        for (auto& c : records) c.jac = nullptr;
    return records;
}

}  // namespace

WeightMap _sorted_result(const std::vector<std::string>& index, const Vector& weight) {
    std::vector<std::size_t> order(index.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return weight[static_cast<Eigen::Index>(a)] < weight[static_cast<Eigen::Index>(b)];
    });
    WeightMap result;
    for (std::size_t i : order) result.insert_or_assign(index[i], weight[static_cast<Eigen::Index>(i)]);
    return result;
}

BoxVectors bound_vectors(const BoundsList& bounds, double missing_lower, double missing_upper) {
    const auto n = static_cast<Eigen::Index>(bounds.size());
    BoxVectors box{Vector(n), Vector(n)};
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        box.lower[i] = bound.lower ? *bound.lower : missing_lower;
        box.upper[i] = bound.upper ? *bound.upper : missing_upper;
    }
    return box;
}

minimize::Result apply_slsqp_policy(const SlsqpAttempt& attempt, int max_iteration, double tol) {
    check_max_iteration(max_iteration);
    check_tol(tol);
    minimize::SlsqpOptions options;
    options.maxiter = max_iteration;
    options.ftol = tol;
    for (;;) {
        minimize::Result r = attempt(options);
        if (r.success || r.nit >= max_iteration) return r;
        if (r.status == minimize::slsqp_status::positive_directional_derivative) {
            if (options.ftol >= kLargestRelaxedTol) throw OptimizationFailed("OPTIMIZER: 优化无法收敛到足够精度");
            options.ftol *= kTolRelaxation;  // the running value, compared with the limit as it grows
            continue;
        }
        throw OptimizationFailed(r.message);
    }
}

void check_record_sizes(const char* solver, const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    for (std::size_t k = 0; k < cons.size(); ++k)
        if (cons[k].instruments != 0 && cons[k].instruments != static_cast<std::size_t>(n))
            throw KVInvalidArgument(fmt::format("{}: constraint record {} was built for {} instruments, not {}", solver,
                                                k, cons[k].instruments, n));
}

void check_unique_labels(const char* solver, const char* what, const std::vector<std::string>& labels) {
    std::vector<std::string> sorted = labels;
    std::sort(sorted.begin(), sorted.end());
    const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
    if (twice != sorted.end())
        throw KVInvalidArgument(fmt::format("{}: {} labels {} twice", solver, what, *twice));
}

void check_solver_inputs(const char* solver, const LabelledMatrix* c_m, Eigen::Index n, const Vector& init_weight,
                         const BoundsList& bounds, int max_iteration, std::optional<double> tol) {
    if (c_m != nullptr) check_covariance(solver, *c_m);
    if (init_weight.size() != n)
        throw KVInvalidArgument(fmt::format("{}: init_weight has {} entries for {} instruments", solver,
                                            init_weight.size(), n));
    if (bounds.size() != static_cast<std::size_t>(n))
        throw KVInvalidArgument(
            fmt::format("{}: bounds has {} entries for {} instruments", solver, bounds.size(), n));
    check_max_iteration(max_iteration);
    if (tol) check_tol(*tol);
}

double usable_scale(double s) { return std::isfinite(s) && s > 0.0 ? s : 1.0; }

ScaledProblem scaled(minimize::Objective f, minimize::Gradient g, double scale) {
    if (scale == 1.0) return {std::move(f), std::move(g)};
    ScaledProblem p;
    p.scale = scale;
    p.objective = [f = std::move(f), scale](const Vector& x) { return f(x) / scale; };
    if (g) p.gradient = [g = std::move(g), scale](const Vector& x) { return Vector(g(x) / scale); };
    return p;
}

Vector normalised_weights(const Vector& x) {
    if (!x.allFinite()) throw OptimizationFailed("OPTIMIZER: 优化得到的权重不是有限数值，无法给出结果");
    double sum = 0.0;
    for (Eigen::Index i = 0; i < x.size(); ++i) sum += x[i];
    Vector weights = x / sum;
    if (!weights.allFinite())
        throw OptimizationFailed(fmt::format("OPTIMIZER: 优化得到的权重之和为 {}，无法归一化", Number(sum).to_string()));
    return weights;
}

namespace {

// A weight past a bound by no more than rounding put back on it (an empty list: no bounds).
Vector on_bounds(Vector weights, const BoundsList& bounds) {
    if (bounds.size() != static_cast<std::size_t>(weights.size())) return weights;
    const BoxVectors box = bound_vectors(bounds);
    for (Eigen::Index i = 0; i < weights.size(); ++i) {
        double& w = weights[i];
        if (w > box.upper[i] && w - box.upper[i] <= kRoundingPastBound) w = box.upper[i];
        if (w < box.lower[i] && box.lower[i] - w <= kRoundingPastBound) w = box.lower[i];
    }
    return weights;
}

}  // namespace

Vector normalised_weights(const Vector& x, const BoundsList& bounds) { return on_bounds(normalised_weights(x), bounds); }

SolveSummary run_summary(const minimize::Result& run, double objective) {
    return {run.success ? Termination::converged : Termination::iteration_limit, run.nit, objective, run.message};
}

WeightMap normalised_result(const std::vector<std::string>& labels, const Vector& x, const BoundsList& bounds,
                            const std::vector<ConstraintRecord>& cons) {
    const Vector weights = normalised_weights(x, bounds);
    certify_feasible(labels, weights, bounds, cons);
    return _sorted_result(labels, weights);
}

WeightMap certified_result(const std::vector<std::string>& labels, const Vector& weights, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons) {
    const Vector kept = on_bounds(weights, bounds);
    certify_feasible(labels, kept, bounds, cons);
    return _sorted_result(labels, kept);
}

minimize::Result minimise_with_slsqp(const ScaledProblem& problem, const Vector& init_weight, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                           const SolverSettings& settings) {
    const std::vector<minimize::Constraint> records = minimiser_records(cons, settings);
    return apply_slsqp_policy(
        [&](const minimize::SlsqpOptions& options) {
            return minimize::slsqp(problem.objective, problem.gradient, init_weight, bounds, records, options);
        },
        max_iteration, tol);
}

SolveResult solve_with_slsqp(const std::vector<std::string>& labels, const ScaledProblem& problem,
                             const Vector& init_weight, const BoundsList& bounds,
                             const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                             const SolverSettings& settings) {
    const minimize::Result run = minimise_with_slsqp(problem, init_weight, bounds, cons, max_iteration, tol, settings);
    const Vector weights = normalised_weights(run.x, bounds);
    certify_feasible(labels, weights, bounds, cons);
    return {_sorted_result(labels, weights), run_summary(run, problem.objective(weights) * problem.scale)};
}

const char* termination_text(Termination termination) {
    switch (termination) {
        case Termination::converged: return "converged";
        case Termination::iteration_limit: return "iteration_limit";
        case Termination::exact_start: return "exact_start";
        case Termination::failed: return "failed";
    }
    return "failed";
}

}  // namespace kelvane_mod_optimizer
