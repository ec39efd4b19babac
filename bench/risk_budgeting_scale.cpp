// The constrained risk-budgeting portfolio at scale: industry neutrality (ten industries, each
// within ±0.5 % of its share of the universe) with every weight at most 3/n, on a Ledoit-Wolf-like
// covariance 0.2·m·I + 0.8·XᵀX/T of a market and ten industry factors, T = 131. Usage:
// risk_budgeting_scale [n ...] (default 300 1000 5000). One line per size: the time and Newton
// steps with the covariance in factor form (Woodbury) and, up to 2,000 instruments, dense
// (Cholesky), the largest difference of the two answers, the stationarity (the spread of
// (Cx)ᵢ − λ/(n·xᵢ) within an industry below the cap, relative to the largest (Cx)ᵢ) and the worst
// breach of a limit. The environment variable KV_BENCH_TOL sets the accuracy asked for (1e-10);
// with KV_BENCH_WEIGHTS set, the factor form's weights go to the file $KV_BENCH_WEIGHTS.<n>, one a
// line (to compare two builds).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "industry_problem.hpp"

namespace kmo = kelvane_mod_optimizer;
using kmo::Matrix;
using kmo::Vector;

namespace {

constexpr Eigen::Index kLargestDense = 2000;

std::string fmt_name(const char* prefix, Eigen::Index n) { return std::string(prefix) + "." + std::to_string(n); }

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Eigen::Index> sizes;
    for (int a = 1; a < argc; ++a) sizes.push_back(std::atol(argv[a]));
    if (sizes.empty()) sizes = {300, 1000, 5000};
    // The accuracy asked for (KV_BENCH_TOL, 1e-10 unless set).
    const double tol = std::getenv("KV_BENCH_TOL") ? std::atof(std::getenv("KV_BENCH_TOL")) : 1e-10;
    for (const Eigen::Index n : sizes) {
        const industry_problem::Problem problem = industry_problem::make(n);
        const minimize::DiagonalPlusLowRank& F = problem.covariance;
        const auto& cons = problem.cons;
        const kmo::BoundsList bounds(static_cast<std::size_t>(n), {0.0, 3.0 / static_cast<double>(n)});
        const auto rows = kmo::budget_free_rows(cons, n);

        auto start = std::chrono::steady_clock::now();
        const auto factor = kmo::constrained_risk_budgeting({&F, nullptr}, bounds, *rows, 500, tol);
        const double factor_s = seconds_since(start);
        std::printf("n %5ld  factor form %8.1f ms %3d steps", static_cast<long>(n), 1e3 * factor_s,
                    factor ? factor->steps : -1);
        if (n <= kLargestDense) {
            const Matrix C = F.dense();
            start = std::chrono::steady_clock::now();
            const auto dense = kmo::constrained_risk_budgeting({nullptr, &C}, bounds, *rows, 500, tol);
            const double dense_s = seconds_since(start);
            std::printf("  dense %8.1f ms %3d steps", 1e3 * dense_s, dense ? dense->steps : -1);
            if (factor && dense)
                std::printf("  largest difference %.1e", (factor->weights - dense->weights).cwiseAbs().maxCoeff());
        }
        if (factor) {
            // Stationarity: (Cx)ᵢ − λ/(n·xᵢ) is one value among an industry's members below the cap.
            const Vector cx = F * factor->weights;
            double spread = 0.0;
            for (Eigen::Index r = 0; r < rows->A_in.rows(); ++r) {
                if (rows->A_in.row(r).maxCoeff() <= 0.0) continue;
                double lo = 1e300, hi = -1e300;
                for (Eigen::Index i = 0; i < n; ++i) {
                    const double xi = factor->weights[i];
                    if (rows->A_in(r, i) == 0.0 || xi > 3.0 / static_cast<double>(n) - 1e-9) continue;
                    const double g = cx[i] - factor->lambda / (static_cast<double>(n) * xi);
                    lo = std::min(lo, g), hi = std::max(hi, g);
                }
                if (hi >= lo) spread = std::max(spread, hi - lo);
            }
            std::printf("  stationarity %.1e", spread / cx.cwiseAbs().maxCoeff());
        }
        if (factor && std::getenv("KV_BENCH_WEIGHTS")) {
            std::FILE* out = std::fopen(fmt_name(std::getenv("KV_BENCH_WEIGHTS"), n).c_str(), "w");
            if (out) {
                for (Eigen::Index i = 0; i < n; ++i) std::fprintf(out, "%.17g\n", factor->weights[i]);
                std::fclose(out);
            }
        }
        if (factor) {
            double breach = std::abs(factor->weights.sum() - 1.0);
            for (const auto& r : cons) breach = std::max(breach, r.type == kmo::ConstraintRecord::Type::eq
                                                                     ? std::abs(r.fun(factor->weights))
                                                                     : -r.fun(factor->weights));
            breach = std::max(breach, factor->weights.maxCoeff() - 3.0 / static_cast<double>(n));
            std::printf("  worst breach %.1e  at the cap %ld", breach,
                        static_cast<long>((factor->weights.array() > 3.0 / n - 1e-9).count()));
        }
        std::printf("\n");
    }
}
