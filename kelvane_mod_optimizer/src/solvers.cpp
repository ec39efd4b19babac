// The five portfolio solvers and the minimiser policy they share.
#include "kelvane_mod_optimizer/solvers.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include <fmt/format.h>

#include "internal.hpp"
#include "kelvane/exception.hpp"

namespace kelvane_mod_optimizer {

using kelvane::KVInvalidArgument;

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

// ---------------------------------------------------------------------------------------------
// Objectives and gradients

namespace {

// The log-barrier objective and gradient from x and the product Cx.
double barrier_value(const Vector& x, const Vector& cx) {
    double log_sum = 0.0;
    for (Eigen::Index i = 0; i < x.size(); ++i) log_sum += std::log(x[i]);
    return x.dot(cx) - 15.0 * log_sum;
}

Vector barrier_gradient(const Vector& x, const Vector& cx) { return 2.0 * cx.array() - 15.0 * x.array().inverse(); }

}  // namespace

double log_barrier_risk_parity_obj_fun(const Matrix& C, const Vector& x) { return barrier_value(x, C * x); }

Vector log_barrier_risk_parity_gradient(const Matrix& C, const Vector& x) { return barrier_gradient(x, C * x); }

namespace {

// Risk contributions t = x ⊙ Cx with their ranks: s_i = 2·rank_i − n − 1 weighs t_i in the
// sum over pairs of |t_i − t_j|.
struct Spread {
    Vector cx;
    Vector t;
    Vector s;
    double value = 0.0;
};

Spread risk_contribution_spread(const Matrix& C, const Vector& x) {
    Spread sp;
    sp.cx = C * x;
    sp.t = x.cwiseProduct(sp.cx);
    const Eigen::Index n = x.size();
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    std::sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) { return sp.t[a] < sp.t[b]; });
    sp.s.resize(n);
    for (Eigen::Index k = 0; k < n; ++k) {
        const double weight = static_cast<double>(2 * k - n + 1);
        sp.s[order[static_cast<std::size_t>(k)]] = weight;
        sp.value += weight * sp.t[order[static_cast<std::size_t>(k)]];
    }
    return sp;
}

}  // namespace

double risk_parity_with_con_obj_fun(const Matrix& C, const Vector& x) {
    const Vector t = x.cwiseProduct(C * x);
    if (!t.allFinite()) {
        // Pairwise differences keep NaN and infinities as the plain sum over pairs would.
        double sum = 0.0;
        for (Eigen::Index i = 0; i < t.size(); ++i)
            for (Eigen::Index j = i + 1; j < t.size(); ++j) sum += std::abs(t[i] - t[j]);
        return sum;
    }
    return risk_contribution_spread(C, x).value;
}

Vector risk_parity_with_con_gradient(const Matrix& C, const Vector& x) {
    const Spread sp = risk_contribution_spread(C, x);
    return sp.s.cwiseProduct(sp.cx) + C * sp.s.cwiseProduct(x);
}

double min_variance_obj_fun(const Matrix& C, const Vector& x) { return (x.transpose() * C).dot(x); }

Vector min_variance_gradient(const Matrix& C, const Vector& x) { return 2.0 * (C * x); }

double mean_variance_obj_fun(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x) {
    return risk_aversion / 2.0 * (x.transpose() * C).dot(x) - x.dot(mu);
}

Vector mean_variance_gradient(const Matrix& C, double risk_aversion, const Vector& mu, const Vector& x) {
    return risk_aversion * (C.transpose() * x) - mu;
}

double min_TE_obj_fun(const Matrix& D, const Vector& b, const Vector& x) {
    const Vector e = b - D * x;
    return e.dot(e);
}

Vector min_TE_gradient(const Matrix& D, const Vector& b, const Vector& x) {
    return -2.0 * (D.transpose() * (b - D * x));
}

// ---------------------------------------------------------------------------------------------
// Shared policy

Vector apply_slsqp_policy(const SlsqpAttempt& attempt, int max_iteration, double tol) {
    check_max_iteration(max_iteration);
    check_tol(tol);
    minimize::SlsqpOptions options;
    options.maxiter = max_iteration;
    options.ftol = tol;
    for (;;) {
        minimize::Result r = attempt(options);
        if (r.success || r.nit >= max_iteration) return r.x;
        if (r.status == minimize::slsqp_status::positive_directional_derivative) {
            if (options.ftol >= 1e-5) throw OptimizationFailed("OPTIMIZER: 优化无法收敛到足够精度");
            options.ftol *= 10;  // the running value, compared with 1e-5 as it grows
            continue;
        }
        throw OptimizationFailed(r.message);
    }
}

namespace {

void check_problem(const char* solver, Eigen::Index n, const Vector& init_weight, const BoundsList& bounds) {
    if (init_weight.size() != n)
        throw KVInvalidArgument(fmt::format("{}: init_weight has {} entries for {} instruments", solver,
                                            init_weight.size(), n));
    if (bounds.size() != static_cast<std::size_t>(n))
        throw KVInvalidArgument(
            fmt::format("{}: bounds has {} entries for {} instruments", solver, bounds.size(), n));
}

void check_covariance(const char* solver, const LabelledMatrix& c_m) {
    if (c_m.values.rows() != c_m.values.cols() || c_m.labels.size() != static_cast<std::size_t>(c_m.values.rows()))
        throw KVInvalidArgument(fmt::format("{}: the covariance matrix must be square and labelled on both axes", solver));
    if (!c_m.values.allFinite())
        throw OptimizationFailed("OPTIMIZER: 协方差矩阵含有无效数值（NaN 或无穷大），无法优化");
}

// A positive scale for the objective: `s` itself when it is a positive finite number, else 1.
double usable_scale(double s) { return std::isfinite(s) && s > 0.0 ? s : 1.0; }

struct ScaledProblem {
    minimize::Objective objective;
    minimize::Gradient gradient;  // empty: finite differences
};

ScaledProblem scaled(minimize::Objective f, minimize::Gradient g, double scale) {
    if (scale == 1.0) return {std::move(f), std::move(g)};
    ScaledProblem p;
    p.objective = [f = std::move(f), scale](const Vector& x) { return f(x) / scale; };
    if (g) p.gradient = [g = std::move(g), scale](const Vector& x) { return Vector(g(x) / scale); };
    return p;
}

// The records as the minimiser takes them, without their gradients for finite differences.
std::vector<minimize::Constraint> minimiser_records(const std::vector<ConstraintRecord>& cons,
                                                    const SolverSettings& settings) {
    std::vector<minimize::Constraint> records(cons.begin(), cons.end());
    if (settings.derivatives == Derivatives::finite_differences)
        for (auto& c : records) c.jac = nullptr;
    return records;
}

// Weights divided by their sum (added first to last), checked against the bounds, the records
// and the budget, handed to the result ordering.
WeightMap normalised_result(const std::vector<std::string>& labels, const Vector& x, const BoundsList& bounds,
                            const std::vector<ConstraintRecord>& cons) {
    if (!x.allFinite()) throw OptimizationFailed("OPTIMIZER: 优化得到的权重不是有限数值，无法给出结果");
    double sum = 0.0;
    for (Eigen::Index i = 0; i < x.size(); ++i) sum += x[i];
    const Vector weights = x / sum;
    if (!weights.allFinite())
        throw OptimizationFailed(fmt::format("OPTIMIZER: 优化得到的权重之和为 {}，无法归一化", Number(sum).to_string()));
    certify_feasible(labels, weights, bounds, cons);
    return _sorted_result(labels, weights);
}

// Weights that already add up to 1, checked and handed to the result ordering.
WeightMap certified_result(const std::vector<std::string>& labels, const Vector& weights, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons) {
    certify_feasible(labels, weights, bounds, cons);
    return _sorted_result(labels, weights);
}

// The SLSQP policy on the problem: the accepted point, before normalisation.
Vector minimise_with_slsqp(const ScaledProblem& problem, const Vector& init_weight, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                           const SolverSettings& settings) {
    const std::vector<minimize::Constraint> records = minimiser_records(cons, settings);
    return apply_slsqp_policy(
        [&](const minimize::SlsqpOptions& options) {
            return minimize::slsqp(problem.objective, problem.gradient, init_weight, bounds, records, options);
        },
        max_iteration, tol);
}

// The SLSQP policy on the problem, its answer normalised and checked.
WeightMap solve_with_slsqp(const std::vector<std::string>& labels, const ScaledProblem& problem,
                           const Vector& init_weight, const BoundsList& bounds,
                           const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                           const SolverSettings& settings) {
    return normalised_result(labels, minimise_with_slsqp(problem, init_weight, bounds, cons, max_iteration,
                                                         tol, settings),
                             bounds, cons);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Solvers

WeightMap risk_parity_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                               int max_iteration, const SolverSettings&) {
    check_covariance("risk_parity_optimize", c_m);
    check_problem("risk_parity_optimize", c_m.values.rows(), init_weight, bounds);
    check_max_iteration(max_iteration);
    const Matrix& C = c_m.values;
    minimize::LbfgsbOptions options;
    options.maxiter = max_iteration;
    // The minimiser asks for the objective and the gradient at the same point: Cx is formed once.
    Vector last_x, last_cx;
    const auto product = [&](const Vector& x) -> const Vector& {
        if (last_x.size() != x.size() || last_x != x) {
            last_x = x;
            last_cx.noalias() = C * x;
        }
        return last_cx;
    };
    const minimize::Result r = minimize::lbfgsb([&](const Vector& x) { return barrier_value(x, product(x)); },
                                                [&](const Vector& x) { return barrier_gradient(x, product(x)); },
                                                init_weight, bounds, options);
    if (!(r.success || r.nit >= max_iteration)) throw OptimizationFailed(r.message);
    // The bounds keep the barrier defined; they are no promise on the scaled weights.
    return normalised_result(c_m.labels, r.x, {}, {});
}

WeightMap risk_parity_with_cons_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         int max_iteration, double tol, const SolverSettings& settings) {
    check_covariance("risk_parity_with_cons_optimize", c_m);
    check_problem("risk_parity_with_cons_optimize", c_m.values.rows(), init_weight, bounds);
    check_max_iteration(max_iteration);
    check_tol(tol);
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
    if (equal && meets_exactly(*equal, bounds, cons)) return certified_result(c_m.labels, *equal, bounds, cons);
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
    // a step of 1e-9 towards the given start (inside the bounds as a rule) avoids it.
    const Vector x = minimise_with_slsqp(problem,
                                         start ? Vector((1.0 - 1e-9) * *start + 1e-9 * init_weight) : init_weight,
                                         bounds, cons, max_iteration, tol, settings);
    if (start && meets_exactly(*start, bounds, cons) && x.allFinite() &&
        risk_parity_with_con_obj_fun(C, *start) <= risk_parity_with_con_obj_fun(C, x / x.sum()))
        return certified_result(c_m.labels, *start, bounds, cons);
    return normalised_result(c_m.labels, x, bounds, cons);
}

WeightMap min_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight, const BoundsList& bounds,
                                const std::vector<ConstraintRecord>& cons, int max_iteration, double tol,
                                const SolverSettings& settings) {
    check_covariance("min_variance_optimize", c_m);
    check_problem("min_variance_optimize", c_m.values.rows(), init_weight, bounds);
    check_max_iteration(max_iteration);
    check_tol(tol);
    const Matrix& C = c_m.values;
    const double scale = settings.scale_objective ? usable_scale(min_variance_obj_fun(C, init_weight)) : 1.0;
    const ScaledProblem problem = scaled([&C](const Vector& x) { return min_variance_obj_fun(C, x); },
                                         [&C](const Vector& x) { return min_variance_gradient(C, x); }, scale);
    return solve_with_slsqp(c_m.labels, problem, init_weight, bounds, cons, max_iteration, tol, settings);
}

WeightMap mean_variance_optimize(const LabelledMatrix& c_m, const Vector& init_weight,
                                 Number risk_aversion_coefficient, const Vector& expected_return,
                                 const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                 int max_iteration, double tol, const SolverSettings& settings) {
    check_covariance("mean_variance_optimize", c_m);
    check_problem("mean_variance_optimize", c_m.values.rows(), init_weight, bounds);
    check_max_iteration(max_iteration);
    check_tol(tol);
    if (expected_return.size() != c_m.values.rows())
        throw KVInvalidArgument(fmt::format("mean_variance_optimize: expected_return has {} entries for {} instruments",
                                            expected_return.size(), c_m.values.rows()));
    if (!expected_return.allFinite())
        throw OptimizationFailed("OPTIMIZER: 预期收益率含有无效数值（NaN 或无穷大），无法优化");
    check_risk_aversion(risk_aversion_coefficient);
    const double lambda = risk_aversion_coefficient.value();
    const Matrix& C = c_m.values;
    const Vector& mu = expected_return;
    const double scale = settings.scale_objective
                             ? usable_scale(min_variance_obj_fun(C, init_weight) + std::abs(init_weight.dot(mu)))
                             : 1.0;
    const ScaledProblem problem =
        scaled([&C, lambda, &mu](const Vector& x) { return mean_variance_obj_fun(C, lambda, mu, x); },
               [&C, lambda, &mu](const Vector& x) { return mean_variance_gradient(C, lambda, mu, x); }, scale);
    return solve_with_slsqp(c_m.labels, problem, init_weight, bounds, cons, max_iteration, tol, settings);
}

WeightMap min_tracking_error_optimize(const Vector& init_weight, const Vector& benchmark, const ReturnTable& df,
                                      const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                      int max_iteration, double tol, const SolverSettings& settings) {
    const Eigen::Index n = df.values.cols();
    if (df.columns.size() != static_cast<std::size_t>(n))
        throw KVInvalidArgument("min_tracking_error_optimize: the return table needs one label per column");
    check_problem("min_tracking_error_optimize", n, init_weight, bounds);
    check_max_iteration(max_iteration);
    check_tol(tol);

    // The benchmark and the table are aligned at their last row (the most recent day); only days
    // on which the benchmark and every instrument have a return are used.
    const Eigen::Index common = std::min(df.values.rows(), benchmark.size());
    const Eigen::Index table_start = df.values.rows() - common;
    const Eigen::Index bench_start = benchmark.size() - common;
    std::vector<Eigen::Index> used;
    for (Eigen::Index k = 0; k < common; ++k)
        if (std::isfinite(benchmark[bench_start + k]) && df.values.row(table_start + k).allFinite()) used.push_back(k);
    if (used.empty())
        throw KVInvalidArgument("OPTIMIZER: 基准与合约没有共同的有效收益率数据，无法计算跟踪误差");
    const auto rows = static_cast<Eigen::Index>(used.size());
    Matrix D(rows, n);
    Vector b(rows);
    for (Eigen::Index r = 0; r < rows; ++r) {
        const Eigen::Index k = used[static_cast<std::size_t>(r)];
        D.row(r) = df.values.row(table_start + k);
        b[r] = benchmark[bench_start + k];
    }

    minimize::Gradient gradient;
    if (settings.derivatives == Derivatives::exact)
        gradient = [&D, &b](const Vector& x) { return min_TE_gradient(D, b, x); };
    // Scaled by bᵀb, which is typically 10³ to 10⁴ times the optimum: tol then acts as an
    // absolute accuracy far coarser than the optimum itself. When the answer's tracking error is
    // that much smaller than the scale, a second run from the answer, scaled by its tracking
    // error, brings the objective to tol relative to the optimum; the better answer is kept.
    // Below 1e-6 bᵀb the benchmark is reproduced (more instruments than days usually allow
    // that) and no second run is made: accuracy relative to a vanishing optimum means nothing.
    const auto objective = [&D, &b](const Vector& x) { return min_TE_obj_fun(D, b, x); };
    const double scale = settings.scale_objective ? usable_scale(b.dot(b)) : 1.0;
    // With the scaled objective the minimiser starts from the least-squares optimum found
    // directly (its quasi-Newton matrix is n by n, and from equal weights it needs dozens of
    // iterations, each factorising the free block of it); the start itself is the answer when it
    // meets every limit exactly and the minimiser does not improve on it.
    const std::optional<Vector> start =
        settings.scale_objective ? least_squares_optimum(D, b, bounds, cons, init_weight) : std::nullopt;
    WeightMap answer = solve_with_slsqp(df.columns, scaled(objective, gradient, scale), start ? *start : init_weight,
                                        bounds, cons, max_iteration, tol, settings);
    const auto objective_of = [&](const WeightMap& w) {
        Vector x(n);
        for (Eigen::Index j = 0; j < n; ++j) x[j] = w.at(df.columns[static_cast<std::size_t>(j)]);
        return std::pair{objective(x), x};
    };
    const auto [first, x] = objective_of(answer);
    if (settings.scale_objective && std::isfinite(first) && first > 1e-6 * scale && first < 1e-2 * scale) {
        try {
            WeightMap polished = solve_with_slsqp(df.columns, scaled(objective, gradient, first), x, bounds, cons,
                                                  max_iteration, tol, settings);
            if (objective_of(polished).first < first) answer = std::move(polished);
        } catch (const OptimizationFailed&) {
            // The first answer was accepted; a second run that cannot improve it changes nothing.
        }
    }
    if (start && meets_exactly(*start, bounds, cons) && objective(*start) < objective_of(answer).first)
        return certified_result(df.columns, *start, bounds, cons);
    return answer;
}

}  // namespace kelvane_mod_optimizer
