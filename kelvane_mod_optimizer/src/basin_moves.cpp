// The moves of a risk-parity point towards other basins of the spread: what each kind of move
// reads of the point (the contributions and their levels) and where it puts the members it moves.
#include "basin_moves.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace kelvane_mod_optimizer {

namespace {

// A contribution this far (relative) below the common level (the median contribution) counts as
// lowered.
constexpr double kLowered = 1e-4;
// A deepening takes a class's most lowered member to this share of its weight. The sheddings and
// deepenings come last, from the point the raises reached: measured on industry neutrality in four
// industries at 110-190 instruments (seeds 1-24, with and without every weight at most 3/n, 206
// cases where SLSQP from equal weights keeps every limit), more than 1e-4 above SLSQP in 7 instead
// of 10 (2.6 % above at 110, seed 14 → 2e-5 below; 1.9 % at 150, seed 17 → 3.2e-3 below), 6
// answers lower, none higher; bench/limits_quality, the default set and 101-300 instruments: the
// same answers; bench/industry_neutral: 23 % more time at 110 instruments, 34 % at 145, 8 % at
// 200. Inside the rounds, the sheddings mend the same cases and cost 60 % more time at 200; the
// deepenings there lead one answer away from a lower basin (8e-8 below SLSQP → 5e-3 above).
constexpr double kDeepening = 0.5;
// The raise of the lower classes takes the weight from at most this many of a class's heaviest
// members; a member is at its class's level within kAtClassLevel (relative).
constexpr std::size_t kMostRaiseGivers = 3;
constexpr double kAtClassLevel = 1e-3;

// The point the moves start from, with what they read of it: C·x, the contributions t, their
// common level (the median), the highest of the classes' levels and the bounds as vectors.
struct MoveOrigin {
    MoveOrigin(const Matrix& C, const Vector& x, const BoundsList& bounds, const Classes& classes)
        : C(C), x(x), bounds(bounds), Cx(C * x), t(x.cwiseProduct(Cx)) {
        BoxVectors box = bound_vectors(bounds);
        lower = std::move(box.lower);
        upper = std::move(box.upper);
        std::vector<double> sorted(t.begin(), t.end());
        const auto middle = sorted.begin() + t.size() / 2;
        std::nth_element(sorted.begin(), middle, sorted.end());
        level = *middle;
        for (const std::vector<Eigen::Index>& members : classes)
            highest_class_level = std::max(highest_class_level, class_level(members));
    }

    // Whether instrument i contributes less than the level (by more than kLowered).
    bool lowered(Eigen::Index i) const { return t[i] < level * (1.0 - kLowered); }

    // The weight at which instrument i alone would contribute `contribution` (by default the
    // level), the others as in x, within its upper bound: the positive root of
    // C_ii y² + b_i y = contribution, b_i its marginal risk without its own term. None where it is
    // not above x_i.
    std::optional<double> level_weight(Eigen::Index i) const { return level_weight(i, level); }
    std::optional<double> level_weight(Eigen::Index i, double contribution) const {
        if (!(C(i, i) > 0.0)) return std::nullopt;
        const double b = Cx[i] - C(i, i) * x[i];
        const double y =
            std::min(upper[i], (-b + std::sqrt(b * b + 4.0 * C(i, i) * contribution)) / (2.0 * C(i, i)));
        if (!std::isfinite(y) || !(y > x[i])) return std::nullopt;
        return y;
    }

    // The median contribution of a class's members.
    double class_level(const std::vector<Eigen::Index>& members) const {
        std::vector<double> sorted;
        for (Eigen::Index i : members) sorted.push_back(t[i]);
        const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        return *middle;
    }

    // The members of a class strictly within their bounds.
    std::vector<Eigen::Index> inside(const std::vector<Eigen::Index>& members) const {
        std::vector<Eigen::Index> result;
        for (Eigen::Index i : members)
            if (x[i] > lower[i] + kStrictViolation && x[i] < upper[i] - kStrictViolation) result.push_back(i);
        return result;
    }

    // The heaviest of `members` (the first of equal ones) other than `except`; none where there is no other.
    std::optional<Eigen::Index> heaviest(const std::vector<Eigen::Index>& members,
                                         std::optional<Eigen::Index> except = std::nullopt) const {
        std::optional<Eigen::Index> result;
        for (Eigen::Index i : members)
            if (i != except && (!result || x[i] > x[*result])) result = i;
        return result;
    }

    // The member of `members` with the least contribution (the first of equal ones); none where
    // there are no members.
    std::optional<Eigen::Index> least_contributing(const std::vector<Eigen::Index>& members) const {
        std::optional<Eigen::Index> result;
        for (Eigen::Index i : members)
            if (!result || t[i] < t[*result]) result = i;
        return result;
    }

    // The lowered member of `members` with the least contribution; none where none is lowered.
    std::optional<Eigen::Index> most_lowered(const std::vector<Eigen::Index>& members) const {
        const std::optional<Eigen::Index> least = least_contributing(members);
        if (!least || !lowered(*least)) return std::nullopt;
        return least;
    }

    // A move of instrument i from x, its bounds as given until the move holds it.
    BasinMove move(Eigen::Index i) const { return {x, {{i, bounds[static_cast<std::size_t>(i)]}}}; }

    const Matrix& C;
    const Vector& x;
    const BoundsList& bounds;
    Vector Cx, t;
    double level = 0.0;
    double highest_class_level = 0.0;
    Vector lower, upper;
};

// `freed` weight added to the members of w other than `except` in proportion to their room (the
// lesser of their weight and their distance to the upper bound), none beyond its bound; false
// (w unchanged) where their room is less than that.
bool spread_by_room(Vector& w, const std::vector<Eigen::Index>& members, Eigen::Index except, double freed,
                    const Vector& upper) {
    double room = 0.0;
    for (Eigen::Index i : members)
        if (i != except) room += std::min(w[i], upper[i] - w[i]);
    if (!(room >= freed)) return false;
    if (freed <= 0.0) return true;
    const Vector before = w;
    for (Eigen::Index i : members)
        if (i != except) w[i] += freed * std::min(before[i], upper[i] - before[i]) / room;
    return true;
}

// The move that sets instrument i to `to` (from weights, o.x with what the move already placed)
// and holds it at most there, `freed` weight spread over the other members by room, probed for
// kProbeSteps; none where their room is less than that.
std::optional<BasinMove> held_down(const MoveOrigin& o, Vector weights, Eigen::Index i, double to, double freed,
                                   const std::vector<Eigen::Index>& members) {
    weights[i] = to;
    if (!spread_by_room(weights, members, i, freed, o.upper)) return std::nullopt;
    BasinMove move = o.move(i);
    move.weights = std::move(weights);
    move.held.front().bounds.upper = to;
    move.probe_steps = kProbeSteps;
    return move;
}

// The move that sets instrument i to zero and holds it there, its weight spread over the other
// members by room; none where i may not be zero or their room is less than its weight.
std::optional<BasinMove> zeroed(const MoveOrigin& o, Eigen::Index i, const std::vector<Eigen::Index>& members) {
    if (o.lower[i] > 0.0) return std::nullopt;
    return held_down(o, o.x, i, 0.0, o.x[i], members);
}

// Each kind of move below moves a few members of one class (every row keeps its value); none
// where the class offers no such move.
using ClassMove = std::optional<BasinMove> (*)(const MoveOrigin&, const std::vector<Eigen::Index>&);

// Where a limit makes a class of interchangeable instruments give up weight, the polish of the
// smoothed spread tends to lower several of them a little and holds them together there, where
// lowering one of them further may spread the contributions less (the spread is concave along
// that move). A class with two or more members lowered below the common level: the one that needs
// the least weight to return to the level, moved there, the weight taken from the member lowered
// most.
std::optional<BasinMove> consolidation(const MoveOrigin& o, const std::vector<Eigen::Index>& members) {
    // The lowered members, with the weight at which each alone would be at the level.
    std::vector<std::pair<Eigen::Index, double>> lowered;
    for (Eigen::Index i : members) {
        if (!o.lowered(i)) continue;
        if (const std::optional<double> y = o.level_weight(i)) lowered.push_back({i, *y});
    }
    if (lowered.size() < 2) return std::nullopt;
    const auto gain = [&o](const std::pair<Eigen::Index, double>& m) { return m.second - o.x[m.first]; };
    auto raised = lowered.front();
    for (const auto& m : lowered)
        if (gain(m) < gain(raised)) raised = m;
    std::optional<Eigen::Index> giver;
    for (const auto& [j, unused] : lowered) {
        if (j == raised.first || o.x[j] - gain(raised) < o.lower[j]) continue;
        if (!giver || o.t[j] < o.t[*giver]) giver = j;
    }
    if (!giver) return std::nullopt;
    BasinMove move = o.move(raised.first);
    move.weights[raised.first] = raised.second;
    move.weights[*giver] -= gain(raised);
    move.held.front().bounds.lower = raised.second;  // else the polish lowers it again
    return move;
}

// Where the optimum puts more instruments of a class at zero than the polish does, the polish
// does not find it: it holds the contributions together. A class with three or more members
// strictly within their bounds: the one of them with the least contribution, if it may be zero,
// set to zero and held there, its weight spread over the others by room.
std::optional<BasinMove> zeroing(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 3) return std::nullopt;
    return zeroed(o, *o.least_contributing(members), members);
}

// The optimum may also give up the member of a class that needs the most weight to reach the
// level, so that that weight brings several lowered members back to it. A class with three or
// more members strictly within their bounds whose heaviest member's weight brings at least one
// lowered member to the level: that member, if it may be zero, set to zero and held there, its
// weight raising the class's lowered members to the level (those that need the least first), the
// rest spread over the members within their bounds by room.
std::optional<BasinMove> exchange(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 3) return std::nullopt;
    const Eigen::Index heaviest = *o.heaviest(members);
    if (o.lower[heaviest] > 0.0) return std::nullopt;
    // The lowered members by the weight each needs to reach the level.
    std::vector<std::pair<double, Eigen::Index>> needs;
    for (Eigen::Index i : all) {
        if (i == heaviest || !o.lowered(i)) continue;
        if (const std::optional<double> y = o.level_weight(i)) needs.push_back({*y - o.x[i], i});
    }
    std::sort(needs.begin(), needs.end());
    if (needs.empty() || needs.front().first > o.x[heaviest]) return std::nullopt;  // it would bring none to the level
    Vector weights = o.x;
    double freed = o.x[heaviest];
    for (const auto& [need, i] : needs) {
        const double given = std::min(need, freed);
        weights[i] += given;
        freed -= given;
    }
    return held_down(o, std::move(weights), heaviest, 0.0, freed, members);
}

// A member held at its upper bound whose contribution is still below the level may spread the
// contributions less at its lower bound, its weight given to the rest of its class. A class with
// two or more members strictly within their bounds: the member at its upper bound with the least
// contribution below the level, moved to its lower bound and held there, its weight spread over
// those members by room.
std::optional<BasinMove> drop(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 2) return std::nullopt;
    std::optional<Eigen::Index> dropped;
    for (Eigen::Index i : all)
        if (o.x[i] >= o.upper[i] - kStrictViolation && std::isfinite(o.lower[i]) && o.lowered(i) &&
            (!dropped || o.t[i] < o.t[*dropped]))
            dropped = i;
    if (!dropped) return std::nullopt;
    const Eigen::Index d = *dropped;
    return held_down(o, o.x, d, o.lower[d], o.x[d] - o.lower[d], members);
}

// A class may have as many members at zero as the optimum and a lowered member, but the wrong
// ones: the optimum may put the lowered member at zero and one at zero in its place. A class with
// a lowered member strictly within its bounds that may be zero and a member at zero: the lowered
// one with the least contribution set to zero and held there, its weight given to the member at
// zero with the least marginal risk (C·x)_i that can take it. Measured with the shifts below on
// industry neutrality in four industries at 110-190 instruments (the test problems' generator,
// seeds 1-24, with and without every weight at most 3/n: 237 cases where SLSQP from equal weights
// keeps every limit): more than 1e-4 above SLSQP in 17 instead of 20 with the trades (3.96 % above
// → 0.41 % in one case), in 15 with the shifts as well (each mends a case the other does not);
// bench/limits_quality: the same spreads but one (5.2e-5 above → 1e-8 below);
// bench/industry_neutral: 5-20 % more time at 110-200 instruments.
std::optional<BasinMove> trade(const MoveOrigin& o, const std::vector<Eigen::Index>& members) {
    std::optional<Eigen::Index> lowered;
    for (Eigen::Index i : members)
        if (o.x[i] > o.lower[i] + kStrictViolation && o.lower[i] == 0.0 && o.lowered(i) &&
            (!lowered || o.t[i] < o.t[*lowered]))
            lowered = i;
    if (!lowered) return std::nullopt;
    const double given = o.x[*lowered];
    std::optional<Eigen::Index> zero;
    for (Eigen::Index i : members)
        if (o.lower[i] == 0.0 && o.x[i] <= kStrictViolation && o.upper[i] >= given &&
            (!zero || o.Cx[i] < o.Cx[*zero]))
            zero = i;
    if (!zero) return std::nullopt;
    BasinMove move = o.move(*lowered);
    move.weights[*zero] += given;
    move.weights[*lowered] = 0.0;
    move.held.front().bounds.upper = 0.0;
    move.probe_steps = kProbeSteps;
    return move;
}

// A class may lower the wrong member: the optimum may bring the lowered member back to the level
// and lower its heaviest member instead. A class with three or more members strictly within their
// bounds, one of them lowered: the one with the least contribution raised to the weight at which
// it meets the level and held at least there, the weight taken from the heaviest other member
// within its bounds, held at most where it is put.
std::optional<BasinMove> shift(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 3) return std::nullopt;
    const std::optional<Eigen::Index> lowered = o.most_lowered(members);
    if (!lowered) return std::nullopt;
    const std::optional<double> level = o.level_weight(*lowered);
    if (!level) return std::nullopt;
    const double need = *level - o.x[*lowered];
    const std::optional<Eigen::Index> giver = o.heaviest(members, *lowered);
    if (o.x[*giver] - need < o.lower[*giver]) return std::nullopt;
    BasinMove move = o.move(*giver);
    move.weights[*lowered] = *level;
    move.weights[*giver] -= need;
    move.held.front().bounds.upper = move.weights[*giver];
    move.held.push_back({*lowered, o.bounds[static_cast<std::size_t>(*lowered)]});
    move.held.back().bounds.lower = *level;
    move.probe_steps = kProbeSteps;
    return move;
}

// A class may hold its weight on too many members, its contributions below the others' level:
// the optimum may give up its heaviest member, whose weight raises the rest. A class whose level
// (the median contribution of its members) is below the highest class level, with three or more
// members strictly within their bounds: the heaviest of them, if it may be zero, set to zero and
// held there, its weight spread over the others by room.
std::optional<BasinMove> shedding(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    if (!(o.class_level(all) < o.highest_class_level * (1.0 - kLowered))) return std::nullopt;
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 3) return std::nullopt;
    return zeroed(o, *o.heaviest(members), members);
}

// The polish may lower a member of a class too little: the optimum may take it much further down,
// its weight raising the rest of the class. A class with three or more members strictly within
// their bounds, one of them lowered: the one with the least contribution moved to kDeepening
// times its weight (not below its lower bound) and held at most there, the weight spread over the
// others by room.
std::optional<BasinMove> deepening(const MoveOrigin& o, const std::vector<Eigen::Index>& all) {
    const std::vector<Eigen::Index> members = o.inside(all);
    if (members.size() < 3) return std::nullopt;
    const std::optional<Eigen::Index> lowered = o.most_lowered(members);
    if (!lowered) return std::nullopt;
    const Eigen::Index d = *lowered;
    const double to = std::max(o.lower[d], kDeepening * o.x[d]);
    return held_down(o, o.x, d, to, o.x[d] - to, members);
}

// The moves of each kind in turn, of each class in order.
std::vector<BasinMove> moves_of(const MoveOrigin& o, const Classes& classes, std::initializer_list<ClassMove> kinds) {
    std::vector<BasinMove> moves;
    for (ClassMove kind : kinds)
        for (const std::vector<Eigen::Index>& members : classes)
            if (std::optional<BasinMove> move = kind(o, members)) moves.push_back(std::move(*move));
    return moves;
}

// The polish may settle with the classes at two or more levels, the lower ones holding too little
// weight for the highest. Where a class's level (the median contribution of its members) is below
// the highest: its members at its level (within kAtClassLevel) raised to the highest level, the
// weight taken from its heaviest members within their bounds, at most kMostRaiseGivers of them in
// order of weight, each held at most where it is put; all such classes at once. Every row keeps
// its value.
std::optional<BasinMove> raise_of(const MoveOrigin& o, const Classes& classes) {
    const double highest = o.highest_class_level;
    BasinMove raise{o.x, {}};
    for (const std::vector<Eigen::Index>& all : classes) {
        const double level = o.class_level(all);
        if (!(level < highest * (1.0 - kLowered))) continue;
        std::vector<Eigen::Index> members = o.inside(all);
        if (members.size() < 3) continue;
        std::sort(members.begin(), members.end(), [&o](Eigen::Index a, Eigen::Index b) { return o.x[a] > o.x[b]; });
        std::vector<Eigen::Index> receivers;
        for (Eigen::Index i : members)
            if (std::abs(o.t[i] / level - 1.0) < kAtClassLevel) receivers.push_back(i);
        // The heaviest members give, one more while those so far have less than the others need.
        std::vector<Eigen::Index> givers;
        double need = 0.0;
        for (Eigen::Index giver : members) {
            if (givers.size() == kMostRaiseGivers || o.lower[giver] > 0.0) break;
            std::erase(receivers, giver);
            givers.push_back(giver);
            need = 0.0;
            for (Eigen::Index i : receivers)
                if (const std::optional<double> y = o.level_weight(i, highest)) need += *y - o.x[i];
            double have = 0.0;
            for (Eigen::Index j : givers) have += o.x[j];
            if (have >= need) break;
        }
        if (givers.empty() || !(need > 0.0)) continue;
        double given = 0.0;
        for (Eigen::Index j : givers) {
            const double take = std::min(o.x[j], need - given);
            raise.weights[j] -= take;
            given += take;
            Held held{j, o.bounds[static_cast<std::size_t>(j)]};
            held.bounds.upper = raise.weights[j];
            raise.held.push_back(held);
        }
        // Each receiver gets its share of what was given (all it needs unless the givers ran out).
        for (Eigen::Index i : receivers)
            if (const std::optional<double> y = o.level_weight(i, highest))
                raise.weights[i] += (*y - o.x[i]) * given / need;
    }
    if (raise.held.empty()) return std::nullopt;
    return raise;
}

}  // namespace

// The classes of interchangeable instruments: those with the same coefficient in every row
// (their weight can move from one to another without changing any row), each in index order.
Classes interchangeable_classes(const LinearRows& rows, Eigen::Index n) {
    Classes classes;
    std::vector<bool> classified(static_cast<std::size_t>(n), false);
    for (Eigen::Index i = 0; i < n; ++i) {
        if (classified[static_cast<std::size_t>(i)]) continue;
        classes.emplace_back();
        for (Eigen::Index j = i; j < n; ++j)
            if (!classified[static_cast<std::size_t>(j)] && rows.A_eq.col(i) == rows.A_eq.col(j) &&
                rows.A_in.col(i) == rows.A_in.col(j)) {
                classified[static_cast<std::size_t>(j)] = true;
                classes.back().push_back(j);
            }
    }
    return classes;
}

std::vector<BasinMove> round_moves(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                   const Classes& classes) {
    return moves_of(MoveOrigin(C, x, bounds, classes), classes,
                    {consolidation, zeroing, exchange, drop, trade, shift});
}

std::optional<BasinMove> raise_of_lower_classes(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                                const Classes& classes) {
    return raise_of(MoveOrigin(C, x, bounds, classes), classes);
}

std::vector<BasinMove> last_moves(const Matrix& C, const Vector& x, const BoundsList& bounds,
                                  const Classes& classes) {
    return moves_of(MoveOrigin(C, x, bounds, classes), classes, {shedding, deepening});
}

}  // namespace kelvane_mod_optimizer
