// One optimize() call end to end on a synthetic bundle, and its three stages alone:
// data access and screening, covariance, and the solve.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <fmt/format.h>

#include "internal.hpp"
#include "kelvane/data_proxy.hpp"
#include "kelvane/environment.hpp"
#include "kelvane_mod_optimizer/optimizer.hpp"

namespace kmo = kelvane_mod_optimizer;
namespace fs = std::filesystem;

namespace {

constexpr int kInstruments = 1000;
constexpr int kDays = 300;
const kelvane::DateTime kDate(2014, 1, 4);

std::string id_of(int i) { return fmt::format("{:06d}.XSHG", 600000 + i); }

// A bundle of kInstruments stocks over kDays weekdays ending 2014-01-03: market and sector
// factors plus noise.
fs::path make_bundle() {
    const fs::path dir = fs::temp_directory_path() / "kv_bench_optimize_bundle";
    if (fs::exists(dir / "instruments.csv")) return dir;
    fs::create_directories(dir / "day_bars");
    std::vector<std::string> dates;
    for (int y = 2012; y <= 2014; ++y)
        for (int m = 1; m <= 12; ++m)
            for (int d = 1; d <= 31; ++d) {
                kelvane::DateTime day;
                try {
                    day = kelvane::DateTime(y, m, d);
                } catch (const std::invalid_argument&) {
                    continue;  // no such day in this month
                }
                const int weekday = (day.day_number() + 3) % 7;  // 0 = Monday; 1970-01-01 was a Thursday
                if (weekday < 5 && day < kDate) dates.push_back(day.to_string().substr(0, 10));
            }
    if (static_cast<int>(dates.size()) > kDays) dates.erase(dates.begin(), dates.end() - kDays);
    {
        std::ofstream out(dir / "trading_dates.csv");
        out << "date\n";
        for (const auto& d : dates) out << d << '\n';
    }
    std::ofstream inst(dir / "instruments.csv");
    inst << "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n";
    std::mt19937 gen(42);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> market(dates.size()), sector(dates.size() * 8);
    for (auto& v : market) v = 0.012 * normal(gen);
    for (auto& v : sector) v = 0.008 * normal(gen);
    for (int i = 0; i < kInstruments; ++i) {
        inst << id_of(i) << ",S" << i << ",CS,2005-01-04,,Sector" << i % 8 << '\n';
        std::ofstream bars(dir / "day_bars" / (id_of(i) + ".csv"));
        bars << "date,close\n";
        double p = 10.0 + i % 50;
        for (std::size_t t = 0; t < dates.size(); ++t) {
            p *= 1.0 + market[t] + sector[t * 8 + static_cast<std::size_t>(i % 8)] + 0.015 * normal(gen);
            bars << dates[t] << ',' << fmt::format("{:.4f}", p) << '\n';
        }
    }
    return dir;
}

struct Host {
    kelvane::Environment env{nullptr};
    std::vector<std::string> ids;
    Host() {
        env.data_proxy = std::make_shared<kelvane::DataProxy>(std::make_shared<kelvane::BaseDataSource>(make_bundle()));
        for (int i = 0; i < kInstruments; ++i) ids.push_back(id_of(i));
    }
};

Host& host() {
    static Host h;
    return h;
}

std::vector<std::string> first(int n) { return {host().ids.begin(), host().ids.begin() + n}; }

void BM_OptimizeEndToEnd(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(kmo::optimize(ids, kDate, {.quiet = true}));
}

void BM_DataAccessAndScreening(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    const auto dp = host().env.data_proxy.load();
    for (auto _ : state) benchmark::DoNotOptimize(kmo::screen_instruments(ids, kDate, 132, true, *dp, "股票"));
}

void BM_LedoitWolfCovariance(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    const auto s = kmo::screen_instruments(ids, kDate, 132, true, *host().env.data_proxy.load(), "股票");
    for (auto _ : state) benchmark::DoNotOptimize(kmo::_cov_shrinkage(s.df));
}

void BM_RiskParitySolve(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    const auto s = kmo::screen_instruments(first(n), kDate, 132, true, *host().env.data_proxy.load(), "股票");
    const auto c_m = kmo::_cov_shrinkage(s.df);
    const kmo::BoundsList bounds(static_cast<std::size_t>(n), {1e-6, std::nullopt});
    const kmo::Vector x0 = kmo::Vector::Constant(n, 1.0 / n);
    for (auto _ : state) benchmark::DoNotOptimize(kmo::risk_parity_optimize(c_m, x0, bounds, 1000));
}

// The same calls with their report, beside the plain ones: risk parity without limits, and minimum
// variance under a 2 % cap and a cap on each sector's weight.
kmo::OptimizeOptions constrained() {
    kmo::Rules rules;
    for (int k = 0; k < 8; ++k) rules.insert_or_assign(fmt::format("Sector{}", k), kmo::Range{0, 0.2});
    return {.method = kmo::OptimizeMethod::MIN_VARIANCE,
            .bnds = kmo::Bounds{{"*", {0, 0.02}}},
            .cons = std::make_shared<kmo::GICSConstraint>(rules),
            .quiet = true};
}

void BM_Optimize(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    const kmo::OptimizeOptions options = state.range(1) ? constrained() : kmo::OptimizeOptions{.quiet = true};
    for (auto _ : state) benchmark::DoNotOptimize(kmo::optimize(ids, kDate, options));
}

void BM_OptimizeReport(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    const kmo::OptimizeOptions options = state.range(1) ? constrained() : kmo::OptimizeOptions{.quiet = true};
    for (auto _ : state) benchmark::DoNotOptimize(kmo::optimize_report(ids, kDate, options));
}

// The check that the limits admit weights, alone.
void BM_AdmissibleLimits(benchmark::State& state) {
    const auto ids = first(static_cast<int>(state.range(0)));
    const auto options = constrained();
    const auto bounds = kmo::_general_bnds(ids, options.bnds);
    const auto records = options.cons->to_constraint(ids, kDate);
    for (auto _ : state) kmo::check_limits_admit_weights(bounds, records);
}

}  // namespace

BENCHMARK(BM_Optimize)->Args({300, 0})->Args({300, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OptimizeReport)->Args({300, 0})->Args({300, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AdmissibleLimits)->Arg(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OptimizeEndToEnd)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataAccessAndScreening)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LedoitWolfCovariance)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RiskParitySolve)->Arg(50)->Arg(300)->Arg(1000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
