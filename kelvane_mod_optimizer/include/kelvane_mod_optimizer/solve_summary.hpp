// How one solve ended: whether the minimiser converged, stopped at the iteration limit, or the
// answer came from an exact start, with the iterations spent and the objective at the answer.
#pragma once

#include <limits>
#include <string>

namespace kelvane_mod_optimizer {

enum class Termination {
    converged,        // the minimiser's convergence test passed
    iteration_limit,  // the minimiser stopped at max_iteration (or a polish at its own step budget); the answer passed the certificate
    exact_start,      // a start built from the problem's structure met every limit and was kept
    failed,           // no answer (the solve threw OptimizationFailed)
};

struct SolveSummary {
    Termination termination = Termination::failed;
    int iterations = 0;  // iterations of the minimiser's accepted run (0 when none ran)
    // The objective the method minimises, unscaled, at the answer (risk parity without limits:
    // the barrier at the minimiser's point, before the weights are divided by their sum).
    double objective = std::numeric_limits<double>::quiet_NaN();
    std::string message;  // the minimiser's closing message; empty when none ran
};

// "converged", "iteration_limit", "exact_start" or "failed".
const char* termination_text(Termination termination);

}  // namespace kelvane_mod_optimizer
