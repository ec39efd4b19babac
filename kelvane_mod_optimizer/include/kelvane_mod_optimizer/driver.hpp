// The optimiser's entry point: validates the request, screens the instruments against the
// host's data, assembles the problem and solves it with the requested method.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvane_mod_optimizer/constraints.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"
#include "kelvane_mod_optimizer/solvers.hpp"

namespace kelvane_mod_optimizer {

// The arguments of optimize() after the instruments and the date, with their defaults.
struct OptimizeOptions {
    Method method = OptimizeMethod::RISK_PARITY;       // the problem to solve
    std::optional<Bounds> bnds = std::nullopt;         // per-instrument bounds; "*" for all others
    std::shared_ptr<const ConstraintProvider> cons = nullptr;  // group constraints (none when null)
    bool cov_shrinkage = true;                         // Ledoit-Wolf (true) or sample covariance
    std::optional<std::string> benchmark = std::nullopt;  // required by MIN_TRACKING_ERROR
    Number risk_aversion_coefficient = 1;              // λ of mean-variance; must not be negative
    int window = 132;                                  // daily bars read per instrument (at least 3)
    int max_iteration = 1000;                          // iteration limit of the minimiser
    double tol = 1e-8;                                 // starting tolerance of the constrained solvers
    bool quiet = false;                                // true: no warnings for dropped instruments
};

// Target weights for `order_book_ids` on `date`, adding up to 1, smallest weight first.
// Throws kelvane::KVInvalidArgument for a bad request and OptimizationFailed when no answer
// can be computed.
WeightMap optimize(const std::vector<std::string>& order_book_ids, const DateTime& date,
                   const OptimizeOptions& options = {});

}  // namespace kelvane_mod_optimizer
