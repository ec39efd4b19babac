// Risk parity under binding limits on generated problems, against SLSQP from equal weights on
// the same problem. Usage: limits_quality [cases] [first seed]. One line per case (spread, time,
// the worst slack of the bounds and group limits, the same for the reference), then a summary:
// how often the answer is worse than the reference by more than 1e-9 relative where the
// reference keeps every limit to 1e-12 (a reference that leans on the feasibility tolerance buys
// itself spread), and the total times.
//
// Problems: 5 to 80 instruments, 20 to 200 daily returns of a one-factor market, a shrunk sample
// covariance, every weight at most a cap of 1.5/n to 4/n, and by case number modulo 7:
//   0  a floor on every s-th instrument at 1.8 times its equal-weight share,
//   1  the same at 1.3 times,
//   2  a floor at 1.5 times and a cap on a second group,
//   3  a floor at 1.5 times inside a box [0.3/n, 2/n],
//   4  industry neutrality: up to ten industries (a partition, members drawn at random), each
//      within ±0.5 % of its share of the instruments, weights in [0, 1],
//   5  the same with every weight at most 3/n,
//   6  several groups: a floor at 1.5 times on the first, a cap at half its share on a second,
//      a floor at 1.3 times on a third, under the cap.
// KV_BENCH_SIZES="lo hi" draws the instruments from lo to hi instead. The environment variable
// KV_BENCH_POLISH_FROM=k polishes with the structured SQP from k
// instruments (1: always) instead of the default size where the polish towards a common level does
// not run, KV_BENCH_SMOOTHED_FROM=k that polish from k (up to 1,500; a huge value: never).
// Requests that no weights can meet (the group cannot reach its floor) end in a failure in both.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "internal.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

constexpr unsigned kKinds = 7;
constexpr int kIndustries = 10;
constexpr double kNeutralBand = 0.005;

struct Problem {
    kmo::LabelledMatrix c_m;
    kmo::BoundsList bounds;
    std::vector<kmo::ConstraintRecord> cons;
    int kind = 0;
};

Problem make(unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> z;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const char* sizes = std::getenv("KV_BENCH_SIZES");  // "lo hi": instruments drawn from lo to hi
    int lo = 5, hi = 80;
    if (sizes) std::sscanf(sizes, "%d %d", &lo, &hi);
    const int n = std::uniform_int_distribution<int>(lo, hi)(rng);
    const int T = std::uniform_int_distribution<int>(20, 200)(rng);
    Vector market(T), beta(n), vol(n);
    for (int t = 0; t < T; ++t) market[t] = 0.01 * z(rng);
    for (int i = 0; i < n; ++i) beta[i] = 0.5 + u(rng), vol[i] = 0.005 + 0.02 * u(rng);
    Matrix X(T, n);
    for (int t = 0; t < T; ++t)
        for (int i = 0; i < n; ++i) X(t, i) = beta[i] * market[t] + vol[i] * z(rng);
    const Matrix centred = X.rowwise() - X.colwise().mean();
    const Matrix S = centred.transpose() * centred / T;
    Problem p;
    p.kind = static_cast<int>(seed % kKinds);
    p.c_m.values = 0.8 * S;
    p.c_m.values.diagonal().array() += 0.2 * S.trace() / n;
    for (int i = 0; i < n; ++i) {
        std::string label = "X";
        label += std::to_string(100 + i);
        p.c_m.labels.push_back(std::move(label));
    }

    const double cap = std::max(1.5 / n, (1.0 + 3.0 * u(rng)) / n);
    p.bounds.assign(static_cast<std::size_t>(n), {0.0, std::min(1.0, cap)});
    const int step = std::uniform_int_distribution<int>(2, 6)(rng);
    std::vector<int> first, second;
    for (int i = 0; i < n; i += step) first.push_back(i);
    for (int i = 1; i < n; i += step + 1)
        if (std::find(first.begin(), first.end(), i) == first.end()) second.push_back(i);
    const double share = static_cast<double>(first.size()) / n;
    kmo::Grouping groups;
    kmo::Rules rules;
    groups.insert_or_assign("first", first);
    const double factor = p.kind == 0 ? 1.8 : p.kind == 1 ? 1.3 : 1.5;
    rules.insert_or_assign("first", kmo::Range{std::min(0.95, factor * share), 1.0});
    if (p.kind == 2) {
        groups.insert_or_assign("second", second);
        rules.insert_or_assign("second", kmo::Range{0.0, std::max(0.05, 0.5 * second.size() / n)});
    }
    if (p.kind == 3) p.bounds.assign(static_cast<std::size_t>(n), {0.3 / n, 2.0 / n});
    if (p.kind == 4 || p.kind == 5) {
        // Industry neutrality replaces the groups above.
        groups = kmo::Grouping();
        rules = kmo::Rules();
        const int industries = std::clamp(n / 4, 2, kIndustries);
        std::vector<std::vector<int>> members(static_cast<std::size_t>(industries));
        for (int i = 0; i < n; ++i)
            members[static_cast<std::size_t>(i < industries ? i : std::uniform_int_distribution<int>(0, industries - 1)(rng))]
                .push_back(i);
        for (int k = 0; k < industries; ++k) {
            const auto& m = members[static_cast<std::size_t>(k)];
            const double industry_share = static_cast<double>(m.size()) / n;
            const std::string label = "industry" + std::to_string(k);
            groups.insert_or_assign(label, m);
            rules.insert_or_assign(label, kmo::Range{std::max(0.0, industry_share - kNeutralBand),
                                                     std::min(1.0, industry_share + kNeutralBand)});
        }
        p.bounds.assign(static_cast<std::size_t>(n), {0.0, p.kind == 5 ? std::min(1.0, 3.0 / n) : 1.0});
    }
    if (p.kind == 6) {
        std::vector<int> third;
        for (int i = 2; i < n; i += step + 2)
            if (std::find(first.begin(), first.end(), i) == first.end() &&
                std::find(second.begin(), second.end(), i) == second.end())
                third.push_back(i);
        groups.insert_or_assign("second", second);
        rules.insert_or_assign("second", kmo::Range{0.0, std::max(0.02, 0.5 * second.size() / n)});
        if (!third.empty()) {
            groups.insert_or_assign("third", third);
            rules.insert_or_assign("third", kmo::Range{std::min(0.9, 1.3 * third.size() / n), 1.0});
        }
    }
    p.cons = kmo::_to_constraint(groups, rules);
    return p;
}

// The smallest margin by which x keeps its bounds and inequality records (negative: broken).
double worst_slack(const Problem& p, const Vector& x) {
    double slack = 1.0;
    for (Eigen::Index i = 0; i < x.size(); ++i) {
        const auto& b = p.bounds[static_cast<std::size_t>(i)];
        if (b.lower) slack = std::min(slack, x[i] - *b.lower);
        if (b.upper) slack = std::min(slack, *b.upper - x[i]);
    }
    for (const auto& r : p.cons)
        if (r.type == kmo::ConstraintRecord::Type::ineq) slack = std::min(slack, r.fun(x));
    return slack;
}

struct Outcome {
    bool ok = false;
    double spread = 0.0, seconds = 0.0, slack = 0.0;
    std::string failure;
};

Outcome solve(const Problem& p, const kmo::SolverSettings& settings) {
    const auto n = p.c_m.values.rows();
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    try {
        const kmo::WeightMap w = kmo::risk_parity_with_cons_optimize(p.c_m, Vector::Constant(n, 1.0 / n), p.bounds,
                                                                     p.cons, 1000, 1e-8, settings);
        Vector x(n);
        for (Eigen::Index i = 0; i < n; ++i) x[i] = w.at(p.c_m.labels[static_cast<std::size_t>(i)]);
        o.ok = true;
        o.spread = kmo::risk_parity_with_con_obj_fun(p.c_m.values, x);
        o.slack = worst_slack(p, x);
        if (const char* dump = std::getenv("KV_BENCH_DUMP")) {
            static int count = 0;
            FILE* f = std::fopen((std::string(dump) + std::to_string(count++)).c_str(), "w");
            const Vector t = x.cwiseProduct(p.c_m.values * x);
            for (Eigen::Index i = 0; i < n; ++i) std::fprintf(f, "0 %.17g %.17g\n", x[i], t[i]);
            std::fclose(f);
        }
    } catch (const std::exception& e) {
        o.failure = e.what();
    }
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const int cases = argc > 1 ? std::atoi(argv[1]) : 120;
    const unsigned first_seed = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1000;
    int compared = 0, worse = 0, better = 0, both_failed = 0, one_failed = 0;
    double worst = 0.0, ours_time = 0.0, reference_time = 0.0;
    for (int c = 0; c < cases; ++c) {
        const Problem p = make(first_seed + static_cast<unsigned>(c));
        kmo::SolverSettings settings;
        if (const char* from = std::getenv("KV_BENCH_POLISH_FROM")) settings.structured_polish_from = std::atol(from);
        if (const char* from = std::getenv("KV_BENCH_SMOOTHED_FROM")) settings.smoothed_polish_from = std::atol(from);
        const Outcome ours = solve(p, settings);
        const Outcome reference = solve(p, {.risk_budgeting = false});
        std::printf("%4d n %2ld kind %d  ", c, static_cast<long>(p.c_m.values.rows()), p.kind);
        if (!ours.ok || !reference.ok) {
            (ours.ok || reference.ok ? one_failed : both_failed) += 1;
            std::printf("failed: ours \"%s\", reference \"%s\"\n", ours.failure.c_str(), reference.failure.c_str());
            continue;
        }
        ours_time += ours.seconds;
        reference_time += reference.seconds;
        const double relative = (ours.spread - reference.spread) / reference.spread;
        std::printf("spread %.10e (%7.1f ms, slack %9.2e)  reference %.10e (%8.1f ms, slack %9.2e)  %+.2e\n",
                    ours.spread, 1e3 * ours.seconds, ours.slack, reference.spread, 1e3 * reference.seconds,
                    reference.slack, relative);
        if (reference.slack < -1e-12) continue;
        ++compared;
        if (relative > 1e-9) ++worse, worst = std::max(worst, relative);
        if (relative < -1e-9) ++better;
    }
    std::printf("compared %d (reference within every limit), worse than the reference %d (at most %.2e relative), "
                "better %d; both failed %d, one failed %d; time %.2f s against %.2f s\n",
                compared, worse, worst, better, both_failed, one_failed, ours_time, reference_time);
}
