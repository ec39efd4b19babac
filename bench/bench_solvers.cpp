// Times each solver and both covariance estimators on the inputs of make_bench_inputs.py.
// The counter "objective" is the quality measure bench_solvers_scipy.py prints for the same
// problem: the spread of risk contributions for the risk-parity solvers, else the objective.
// The covariance figures depend on the allocator's state: glibc hands freed blocks of a few
// hundred kilobytes back to the system, and faulting them in again can cost more than the
// arithmetic (Ledoit-Wolf at n = 300: 4.3 ms, 0.74 ms with
// GLIBC_TUNABLES=glibc.malloc.trim_threshold=268435456:glibc.malloc.mmap_threshold=268435456).
#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

Matrix read_matrix(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path + " (run make_bench_inputs.py)");
    Eigen::Index rows = 0, cols = 0;
    in >> rows >> cols;
    Matrix m(rows, cols);
    for (Eigen::Index i = 0; i < rows; ++i)
        for (Eigen::Index j = 0; j < cols; ++j) in >> m(i, j);
    return m;
}

struct Inputs {
    kmo::ReturnTable df;
    kmo::LabelledMatrix c_m;
    Vector benchmark;
    Vector mu;
};

const Inputs& inputs(int n) {
    static std::map<int, Inputs> cache;
    auto it = cache.find(n);
    if (it != cache.end()) return it->second;
    const std::string dir = KV_BENCH_INPUTS;
    Inputs in;
    in.df.values = read_matrix(dir + "/returns_" + std::to_string(n) + ".txt");
    for (int j = 0; j < n; ++j) in.df.columns.push_back(std::string("X").append(std::to_string(1000 + j)));
    in.c_m = {in.df.columns, read_matrix(dir + "/cov_" + std::to_string(n) + ".txt")};
    in.benchmark = read_matrix(dir + "/bench_" + std::to_string(n) + ".txt").row(0).transpose();
    in.mu = in.df.values.colwise().mean().transpose();
    return cache.emplace(n, std::move(in)).first->second;
}

Vector weights(const kmo::WeightMap& w, const std::vector<std::string>& labels) {
    Vector x(static_cast<Eigen::Index>(labels.size()));
    for (std::size_t i = 0; i < labels.size(); ++i) x[static_cast<Eigen::Index>(i)] = w.at(labels[i]);
    return x;
}

enum class Solver { risk_parity, risk_parity_with_cons, min_variance, mean_variance, min_tracking_error };

void run(benchmark::State& state, Solver solver, kmo::SolverSettings settings) {
    const int n = static_cast<int>(state.range(0));
    const Inputs& in = inputs(n);
    const Vector x0 = Vector::Constant(n, 1.0 / n);
    const kmo::BoundsList unit(static_cast<std::size_t>(n), {0.0, 1.0});
    const kmo::BoundsList barrier(static_cast<std::size_t>(n), {1e-6, std::nullopt});
    const std::vector<kmo::ConstraintRecord> budget{kmo::budget_constraint()};
    kmo::WeightMap w;
    for (auto _ : state) {
        switch (solver) {
            case Solver::risk_parity: w = kmo::risk_parity_optimize(in.c_m, x0, barrier, 1000); break;
            case Solver::risk_parity_with_cons:
                w = kmo::risk_parity_with_cons_optimize(in.c_m, x0, unit, budget, 1000, 1e-8, settings);
                break;
            case Solver::min_variance: w = kmo::min_variance_optimize(in.c_m, x0, unit, budget, 1000, 1e-8, settings); break;
            case Solver::mean_variance:
                w = kmo::mean_variance_optimize(in.c_m, x0, 1, in.mu, unit, budget, 1000, 1e-8, settings);
                break;
            case Solver::min_tracking_error:
                w = kmo::min_tracking_error_optimize(x0, in.benchmark, in.df, unit, budget, 1000, 1e-8, settings);
                break;
        }
        benchmark::DoNotOptimize(w);
    }
    const Vector x = weights(w, in.c_m.labels);
    const Matrix& C = in.c_m.values;
    double objective = 0.0;
    switch (solver) {
        case Solver::risk_parity:
        case Solver::risk_parity_with_cons: objective = kmo::risk_parity_with_con_obj_fun(C, x); break;
        case Solver::min_variance: objective = kmo::min_variance_obj_fun(C, x); break;
        case Solver::mean_variance: objective = kmo::mean_variance_obj_fun(C, 1.0, in.mu, x); break;
        case Solver::min_tracking_error: objective = kmo::min_TE_obj_fun(in.df.values, in.benchmark, x); break;
    }
    state.counters["objective"] = objective;
}

void BM_LedoitWolf(benchmark::State& state) {
    const Inputs& in = inputs(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kmo::_cov_shrinkage(in.df));
}
void BM_SampleCovariance(benchmark::State& state) {
    const Inputs& in = inputs(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kmo::sample_covariance(in.df));
}
// Five recently listed instruments: their first 30 returns are missing.
void BM_SampleCovariancePadded(benchmark::State& state) {
    kmo::ReturnTable df = inputs(static_cast<int>(state.range(0))).df;
    df.values.topLeftCorner(30, 5).setConstant(std::nan(""));
    for (auto _ : state) benchmark::DoNotOptimize(kmo::sample_covariance(df));
}

// Risk parity with constraints on the problems a strategy asks for: a cap that does not bind
// (every weight in [0, 0.05]); a narrow box that does (every weight in [0.2/n·10, 0.4/n·10], i.e.
// [0.002, 0.004] at n = 300); a floor of 25 % on the group of every eighth instrument (its share
// is near 12.5 % at equal contributions) with the cap. Counters: "objective" the spread of the
// contributions, "relative" max|t_i − t̄|/t̄.
enum class Limits { cap, box, group_floor };

void risk_parity_limits(benchmark::State& state, Limits limits, kmo::SolverSettings settings) {
    const int n = static_cast<int>(state.range(0));
    const Inputs& in = inputs(n);
    const Vector x0 = Vector::Constant(n, 1.0 / n);
    kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, 0.05});
    std::vector<kmo::ConstraintRecord> cons{kmo::budget_constraint()};
    if (limits == Limits::box) bounds.assign(static_cast<std::size_t>(n), {0.6 / n, 1.2 / n});
    if (limits == Limits::group_floor) {
        kmo::Grouping groups;
        std::vector<int> members;
        for (int i = 0; i < n; i += 8) members.push_back(i);
        groups.insert_or_assign("every eighth", members);
        cons = kmo::_to_constraint(groups, kmo::Rules{{"every eighth", {0.25, 1}}});
    }
    kmo::WeightMap w;
    for (auto _ : state) {
        try {
            w = kmo::risk_parity_with_cons_optimize(in.c_m, x0, bounds, cons, 1000, 1e-8, settings);
        } catch (const kmo::OptimizationFailed& e) {
            // SLSQP from equal weights ends the group floor at its iteration limit 8e-6 short of
            // the floor: no answer.
            state.SkipWithError(e.what());
            return;
        }
        benchmark::DoNotOptimize(w);
    }
    const Vector x = weights(w, in.c_m.labels);
    state.counters["objective"] = kmo::risk_parity_with_con_obj_fun(in.c_m.values, x);
    state.counters["relative"] = kmo::relative_contribution_spread(in.c_m.values, x);
}

const kmo::SolverSettings exact{};
const kmo::SolverSettings from_equal_weights{.risk_budgeting = false};
const kmo::SolverSettings unscaled{.scale_objective = false};
const kmo::SolverSettings minimiser{.exact_quadratic = false};
const kmo::SolverSettings classic{.derivatives = kmo::Derivatives::finite_differences, .scale_objective = false};

}  // namespace

BENCHMARK(BM_LedoitWolf)->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SampleCovariance)->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SampleCovariancePadded)->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, risk_parity, Solver::risk_parity, exact)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
// At n = 1,000 this one runs its 1,000 iterations for minutes: left out.
BENCHMARK_CAPTURE(run, risk_parity_with_cons, Solver::risk_parity_with_cons, exact)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(risk_parity_limits, cap, Limits::cap, exact)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(risk_parity_limits, box, Limits::box, exact)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(risk_parity_limits, group_floor, Limits::group_floor, exact)
    ->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
// The minimiser alone from equal weights (the solver before the risk-budgeting start); at
// n = 1,000 one solve takes minutes.
BENCHMARK_CAPTURE(risk_parity_limits, cap_from_equal_weights, Limits::cap, from_equal_weights)
    ->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(risk_parity_limits, box_from_equal_weights, Limits::box, from_equal_weights)
    ->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(risk_parity_limits, group_floor_from_equal_weights, Limits::group_floor, from_equal_weights)
    ->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_variance, Solver::min_variance, exact)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, mean_variance, Solver::mean_variance, exact)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_tracking_error, Solver::min_tracking_error, exact)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
// SLSQP instead of the interior point, side by side with it.
BENCHMARK_CAPTURE(run, min_variance_slsqp, Solver::min_variance, minimiser)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, mean_variance_slsqp, Solver::mean_variance, minimiser)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_tracking_error_slsqp, Solver::min_tracking_error, minimiser)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
// Exact derivatives without the objective scale.
BENCHMARK_CAPTURE(run, min_variance_unscaled, Solver::min_variance, unscaled)
    ->Arg(10)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, mean_variance_unscaled, Solver::mean_variance, unscaled)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_tracking_error_unscaled, Solver::min_tracking_error, unscaled)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, risk_parity_with_cons_unscaled, Solver::risk_parity_with_cons, unscaled)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
// The classic formulation: finite differences and no objective scale.
BENCHMARK_CAPTURE(run, risk_parity_with_cons_classic, Solver::risk_parity_with_cons, classic)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_variance_classic, Solver::min_variance, classic)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(run, min_tracking_error_classic, Solver::min_tracking_error, classic)
    ->Arg(10)->Arg(50)->Arg(300)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
