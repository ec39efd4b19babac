// Opening a large bundle (5,000 instruments, 2,500 trading days) and answering a small request:
// the 132-day closes and suspension flags of 300 of its instruments.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kelvane/data_proxy.hpp"
#include "kelvane/data_source.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kInstruments = 5000;
constexpr int kDays = 2500;

std::string id_of(int i) { return fmt::format("{:06d}.XSHG", 600000 + i); }

// Weekdays ending 2014-01-03; every 37th instrument misses a few days (suspensions).
fs::path make_bundle() {
    const fs::path dir = fs::temp_directory_path() / "kv_bench_bundle_5000x2500";
    if (fs::exists(dir / "instruments.csv")) return dir;
    fs::create_directories(dir / "day_bars");
    std::vector<std::string> dates;
    const kelvane::DateTime last(2014, 1, 3);
    for (int n = last.day_number(); static_cast<int>(dates.size()) < kDays; --n) {
        if ((n + 3) % 7 >= 5) continue;  // weekend (1970-01-01 was a Thursday)
        const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{n}}};
        dates.push_back(fmt::format("{:04d}-{:02d}-{:02d}", static_cast<int>(ymd.year()),
                                    static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day())));
    }
    std::reverse(dates.begin(), dates.end());
    {
        std::ofstream out(dir / "trading_dates.csv");
        out << "date\n";
        for (const auto& d : dates) out << d << '\n';
    }
    std::ofstream inst(dir / "instruments.csv");
    inst << "order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n";
    std::mt19937 gen(7);
    std::normal_distribution<double> normal(0.0, 0.02);
    for (int i = 0; i < kInstruments; ++i) {
        inst << id_of(i) << ",S" << i << ",CS,2000-01-04,,Sector" << i % 10 << '\n';
        std::ofstream bars(dir / "day_bars" / (id_of(i) + ".csv"));
        bars << "date,open,close,volume\n";
        double p = 10.0 + i % 50;
        for (int t = 0; t < kDays; ++t) {
            p *= 1.0 + normal(gen);
            if (i % 37 == 0 && t % 101 == 5) continue;
            bars << dates[static_cast<std::size_t>(t)] << ',' << fmt::format("{:.2f},{:.2f}", p, p) << ",100000\n";
        }
    }
    return dir;
}

void BM_OpenBundle(benchmark::State& state) {
    const fs::path dir = make_bundle();
    for (auto _ : state) {
        kelvane::BaseDataSource source(dir);
        benchmark::DoNotOptimize(&source);
    }
}
BENCHMARK(BM_OpenBundle)->Unit(benchmark::kMillisecond);

void BM_OpenAndRead300(benchmark::State& state) {
    const fs::path dir = make_bundle();
    const kelvane::DateTime date(2014, 1, 4);
    for (auto _ : state) {
        kelvane::DataProxy proxy(std::make_shared<kelvane::BaseDataSource>(dir));
        double sum = 0.0;
        for (int i = 0; i < kInstruments; i += kInstruments / 300) {
            const auto closes = proxy.history_bars(id_of(i), 132, "1d", "close", date, false);
            const auto flags = proxy.is_suspended(id_of(i), date, 132);
            sum += closes.back() + static_cast<double>(flags.size());
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_OpenAndRead300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
