// The report of an optimize() call: the weights with what lies behind them (how the solve ended,
// each instrument's share of the risk, which limits bind, which instruments and rules were left
// out, where the time went), for a caller who wants to see why the weights are what they are.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelvane_mod_optimizer/definitions.hpp"
#include "kelvane_mod_optimizer/driver.hpp"

namespace kelvane_mod_optimizer {

// How the weights were found.
enum class SolveOutcome {
    not_reached,      // the call failed before solving
    converged,        // the minimiser met its tolerance
    iteration_limit,  // the minimiser stopped at max_iteration (or a polish at its own step budget); its last point, or the best on the way, is the answer
    exact_start,      // a starting point that already solves the problem was returned as it is
    lone_instrument,  // one instrument survived screening and takes the whole weight
    failed,           // no answer (the call raised)
};

// The outcome's text, as the tool and the Python report print it: "not_reached", "converged",
// "iteration_limit", "exact_start", "lone_instrument", "failed".
std::string_view outcome_text(SolveOutcome outcome);

struct SolveReport {
    SolveOutcome outcome = SolveOutcome::not_reached;
    int iterations = 0;                // iterations of the minimiser's accepted run (0 when none ran)
    std::optional<double> objective;   // the objective the method minimises, unscaled, at the answer
                                       // (risk parity without limits: the barrier at the minimiser's
                                       // point); none without a solve
    double contribution_spread = 0;    // max_i |t_i − t̄| / t̄ of the risk contributions t (0: equal)
    std::string message;  // the failure's message when outcome is failed, else empty
};

// One instrument's part in the answer's risk (daily returns, the covariance the call used).
struct InstrumentRisk {
    std::string order_book_id;
    double weight = 0;             // as in the weights
    double risk_contribution = 0;  // w_i · (C w)_i; they add up to the portfolio variance
    double risk_share = 0;         // risk_contribution / variance
};

// One bound or group limit against the answer.
struct LimitSlack {
    std::string name;              // the instrument's id, or the group's label
    std::optional<double> lower;   // the limit's lower side (none: unbounded)
    std::optional<double> upper;   // the limit's upper side (none: unbounded)
    double value = 0;              // the weight, or the group's total weight
    double lower_slack = 0;        // value - lower (infinite when unbounded)
    double upper_slack = 0;        // upper - value (infinite when unbounded)
    bool binds = false;            // a slack is within the feasibility tolerance
};

struct DroppedInstrument {
    std::string order_book_id;
    std::string reason;  // the screening message ("OPTIMIZER: ... 被剔除"), logged unless quiet
};

// Seconds of wall time per stage of the call.
struct StageTimes {
    double data_access = 0;  // screening: instrument records, suspensions and bars
    double covariance = 0;   // the (shrunk) covariance of the returns
    double solve = 0;        // the group rules, the method's solver and the answer's checks
};

struct Report {
    WeightMap weights;                 // exactly what optimize() returns (empty when it failed)
    SolveReport solve;                // how the solve ended
    std::vector<InstrumentRisk> risk;  // one per weight, in the order of the weights
    double variance = 0;               // wᵀCw of daily returns (0 for a lone instrument)
    double volatility = 0;             // its square root
    std::vector<LimitSlack> bounds;    // one per instrument that survived screening
    std::vector<LimitSlack> groups;    // one per ruled group the instruments fall into
    std::vector<DroppedInstrument> dropped;     // instruments screening left out, in request order
    std::vector<std::string> unmatched_rules;   // rule labels that no surviving instrument carries
    std::optional<DateTime> last_bar_date;      // the day of the last return used, when known
    StageTimes seconds;                         // where the time went
};

// optimize() with its report: same arguments, same weights, same exceptions.
Report optimize_report(const std::vector<std::string>& order_book_ids, const DateTime& date,
                       const OptimizeOptions& options = {});

// The same, filling `report` as far as the call gets: when it throws, `report` holds what was
// known by then and solve.outcome is failed with the message.
void optimize_report(const std::vector<std::string>& order_book_ids, const DateTime& date,
                     const OptimizeOptions& options, Report& report);

}  // namespace kelvane_mod_optimizer
