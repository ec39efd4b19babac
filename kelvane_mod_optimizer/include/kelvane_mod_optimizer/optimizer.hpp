// The optimiser's whole public surface.
#pragma once

#include "kelvane_mod_optimizer/constraints.hpp"
#include "kelvane_mod_optimizer/definitions.hpp"
#include "kelvane_mod_optimizer/driver.hpp"
#include "kelvane_mod_optimizer/solve_summary.hpp"
#include "kelvane_mod_optimizer/report.hpp"
#include "kelvane_mod_optimizer/solvers.hpp"
