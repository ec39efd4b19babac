// Risk parity under industry neutrality: ten industries, each within ±0.5 % of its share of the
// universe, with and without every weight at most 3/n, on a shrunk covariance of a market and ten
// industry factors, T = 131 (risk_parity_with_cons_optimize, max_iteration 1000, tol 1e-8).
// Usage: industry_neutral [n ...] (default 300 1000). One line per request: the time, the spread
// of risk contributions and the worst breach of a limit, or the failure. With the environment
// variable KV_BENCH_RISK_BUDGETING set: the constrained risk-budgeting point alone instead. The
// covariance goes in factor form, as the driver passes it; KV_BENCH_DENSE set: the dense matrix
// through the public function. KV_BENCH_POLISH_FROM=k: the structured polish from k instruments
// where the smoothed polish does not run; KV_BENCH_SMOOTHED_FROM=k: the smoothed polish from k (up
// to 1,500; a huge value: never).
// KV_BENCH_PLAIN set: SLSQP from equal weights alone (the reference). KV_BENCH_DUMP=prefix: the
// industry, weight and contribution of every instrument to prefix_free<n> and prefix_cap<n>.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "industry_problem.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

int main(int argc, char** argv) {
    std::vector<Eigen::Index> sizes;
    for (int a = 1; a < argc; ++a) sizes.push_back(std::atol(argv[a]));
    if (sizes.empty()) sizes = {300, 1000};
    for (const Eigen::Index n : sizes) {
        const industry_problem::Problem problem = industry_problem::make(n);
        kmo::LabelledMatrix c_m{{}, problem.covariance.dense()};
        for (Eigen::Index i = 0; i < n; ++i) c_m.labels.push_back(std::string("S").append(std::to_string(100000 + i)));
        const auto& cons = problem.cons;
        for (const double cap : {1.0, 3.0 / static_cast<double>(n)}) {
            const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, cap});
            if (std::getenv("KV_BENCH_RISK_BUDGETING")) {
                // The constrained risk-budgeting point alone, the start the polish begins from.
                const auto t0 = std::chrono::steady_clock::now();
                const auto w = kmo::risk_budgeting_optimize(c_m, bounds, cons, 500, 1e-10);
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                Vector x(n);
                for (Eigen::Index i = 0; i < n; ++i) x[i] = w.at(c_m.labels[static_cast<std::size_t>(i)]);
                std::printf("n %5ld  %-12s risk budgeting %7.1f ms  spread %.6e\n", static_cast<long>(n),
                            cap < 1.0 ? "cap 3/n" : "no cap", 1e3 * s, kmo::risk_parity_with_con_obj_fun(c_m.values, x));
                continue;
            }
            const auto start = std::chrono::steady_clock::now();
            std::printf("n %5ld  %-12s", static_cast<long>(n), cap < 1.0 ? "cap 3/n" : "no cap");
            try {
                kmo::SolverSettings settings;
                if (const char* from = std::getenv("KV_BENCH_POLISH_FROM")) settings.structured_polish_from = std::atol(from);
                if (const char* from = std::getenv("KV_BENCH_SMOOTHED_FROM")) settings.smoothed_polish_from = std::atol(from);
                if (std::getenv("KV_BENCH_PLAIN")) settings.risk_budgeting = false;
                const Vector equal_weights = Vector::Constant(n, 1.0 / n);
                const auto w = std::getenv("KV_BENCH_DENSE")
                                   ? kmo::risk_parity_with_cons_optimize(c_m, equal_weights, bounds, cons, 1000, 1e-8, settings)
                                   : kmo::risk_parity_with_cons_solve(c_m.labels, {&problem.covariance, nullptr}, equal_weights,
                                                                      bounds, cons, 1000, 1e-8, settings)
                                         .weights;
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                Vector x(n);
                for (Eigen::Index i = 0; i < n; ++i) x[i] = w.at(c_m.labels[static_cast<std::size_t>(i)]);
                double breach = std::max(x.maxCoeff() - cap, -x.minCoeff());
                for (const auto& r : cons) breach = std::max(breach, -r.fun(x));
                if (const char* dump = std::getenv("KV_BENCH_DUMP")) {
                    FILE* f = std::fopen((std::string(dump) + (cap < 1.0 ? "_cap" : "_free") + std::to_string(n)).c_str(), "w");
                    const Vector t = x.cwiseProduct(c_m.values * x);
                    for (Eigen::Index i = 0; i < n; ++i) {
                        int g = -1;
                        for (int k = 0; k < industry_problem::kIndustries; ++k)
                            if (cons[2 * static_cast<std::size_t>(k)].jac(x)[i] != 0.0) g = k;
                        std::fprintf(f, "%d %.17g %.17g\n", g, x[i], t[i]);
                    }
                    std::fclose(f);
                }
                std::printf("%9.1f ms  spread %.6e  worst breach %.1e\n", 1e3 * s,
                            kmo::risk_parity_with_con_obj_fun(c_m.values, x), breach);
            } catch (const std::exception& e) {
                const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::printf("%9.1f ms  failed: %s\n", 1e3 * s, e.what());
            }
        }
    }
}
