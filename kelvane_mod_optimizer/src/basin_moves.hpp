// The moves of a risk-parity point towards other basins of the spread of risk contributions under
// linear limits. Each moves a few members of a class of interchangeable instruments (the same
// coefficient in every row, so that every row keeps its value) and names the instruments a probe
// by the smoothed polish holds where the move put them; the caller probes, compares and polishes.
#pragma once

#include <limits>
#include <optional>
#include <vector>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

// A weight this close (absolute) to a bound is at it, and a point whose worst violation is at most
// this keeps its limits strictly.
inline constexpr double kStrictViolation = 1e-12;

// The steps of the smoothed polish that probe a move (a consolidation's probe is the whole polish).
// Measured on bench/limits_quality, the 103 generated problems of 101-200 instruments where SLSQP
// keeps every limit (seeds 1000-4000, 6000 and 7000) and the three of 154-166 among seed 1000's at
// 150-300, 10 steps for the exchanges lose a case 6.9 % above SLSQP from equal weights (industry
// neutrality at 154 instruments) that 20 mend. On industry neutrality in four industries at
// 110-190 instruments (the test problems' generator, seeds 1-24, with and without every weight at
// most 3/n, 206 cases where SLSQP keeps every limit), 20 steps for the zeroings, drops, shifts and
// deepenings as well (instead of 10): more than 1e-4 above SLSQP in 3 instead of 7 (1.3 % above at
// 190, seed 1 → 1e-6 below; 1.2 % at 130, seed 12 → 8e-7 below), 7 answers lower and none higher;
// on bench/limits_quality 2 lower at 101-300 instruments, one higher in the default set (still
// 2.5e-4 below SLSQP); 14-21 % more time on bench/industry_neutral at 110-200 instruments. 20
// steps for the zeroings alone mend two cases fewer; 30 steps (for the exchanges' kind or the
// zeroings') take one or two answers above SLSQP. A probe sees a zeroing's gain only after some 20
// steps: 190 instruments, seed 1, needs two members of an industry zeroed in turn, and each probe
// is still above the point after 10.
inline constexpr int kProbeSteps = 20;

// An instrument a move put somewhere, and the bounds that hold it there during the probe's polish.
struct Held {
    Eigen::Index index = 0;
    minimize::Bound bounds;
};

// A move of a point towards another basin of the spread: the weights moved, and the instruments
// the probe holds where the move put them.
struct BasinMove {
    Vector weights;
    std::vector<Held> held;
    int probe_steps = std::numeric_limits<int>::max();  // at most (a consolidation: the whole polish)
};

// The classes of interchangeable instruments: those with the same coefficient in every row
// (their weight can move from one to another without changing any row), each in index order.
using Classes = std::vector<std::vector<Eigen::Index>>;
Classes interchangeable_classes(const LinearRows& rows, Eigen::Index n);

// The moves of a round from x (C dense): the consolidations, zeroings, exchanges, drops, trades
// and shifts of every class, in this order.
std::vector<BasinMove> round_moves(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                   const Classes& classes);

// The raise of the classes whose level (the median contribution of their members) is below the
// highest, all at once; none where no class is raised.
std::optional<BasinMove> raise_of_lower_classes(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                                const Classes& classes);

// The moves of the last stage from x (C dense): the sheddings and deepenings of every class, in
// this order.
std::vector<BasinMove> last_moves(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                  const Classes& classes);

}  // namespace kelvane_mod_optimizer
