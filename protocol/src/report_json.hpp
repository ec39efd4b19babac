// The "report" object of a kelvane-optimize response: the optimiser's report as JSON (the fields
// are documented in the README).
#pragma once

#include <nlohmann/json.hpp>

#include "kelvane_mod_optimizer/report.hpp"

namespace kelvane_optimize {

// Unbounded sides and infinite slacks are null; weights read back to the same doubles.
nlohmann::json report_json(const kelvane_mod_optimizer::Report& report);

}  // namespace kelvane_optimize
