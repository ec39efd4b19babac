// Risk budgeting by cyclical coordinate descent: the equal-risk-contribution portfolio, the
// risk-budgeting portfolio inside a box of weight bounds, and the start of risk parity when a group
// floor binds (a few members raised over equal contributions of the others).
//
// Both minimise F(y) = ½ yᵀC y − λ Σ b_i ln y_i (b_i = 1/n) one coordinate at a time: in y_i
// alone F is convex with the single positive stationary point, the root of
// C_ii y_i² + a_i y_i − λ b_i = 0 with a_i = Σ_{j≠i} C_ij y_j. Cy is kept up to date with one
// column update per changed coordinate, so a sweep costs O(n²).
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "internal.hpp"
#include "minimize/minimize.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Sweeps allowed for the equal-risk-contribution portfolio; 10 to 20 are usual. A covariance
// that admits a long-only portfolio of zero variance has no such portfolio and uses them all.
constexpr int kMaxErcSweeps = 500;
// Sweeps allowed for one box-constrained solve, and for all of them together.
constexpr int kMaxBoxSweeps = 2000;
constexpr int kMaxBoxSweepsInAll = 20000;
// Multiplier evaluations of the budget search.
constexpr int kMaxBudgetSteps = 200;

// The positive root of c·y² + a·y − b = 0 (c, b > 0), without cancellation.
double positive_root(double c, double a, double b) {
    const double d = std::sqrt(a * a + 4.0 * c * b);
    return a >= 0.0 ? 2.0 * b / (a + d) : (d - a) / (2.0 * c);
}

// Every diagonal entry a positive finite number.
bool usable_diagonal(const Matrix& C) {
    for (Eigen::Index i = 0; i < C.rows(); ++i)
        if (!(C(i, i) > 0.0 && C(i, i) < kInf)) return false;
    return true;
}

// y divided by its sum (added first to last).
Vector normalised(const Vector& y) {
    double sum = 0.0;
    for (Eigen::Index i = 0; i < y.size(); ++i) sum += y[i];
    return y / sum;
}

}  // namespace

double relative_contribution_spread(const Matrix& C, const Vector& w) {
    const Vector t = w.cwiseProduct(C * w);
    const double mean = t.mean();
    if (!(mean > 0.0) || !t.allFinite()) return kInf;
    return (t.array() - mean).abs().maxCoeff() / mean;
}

std::optional<Vector> equal_risk_contributions(const Matrix& C, double tolerance) {
    const Eigen::Index n = C.rows();
    if (n == 0 || C.cols() != n || !usable_diagonal(C)) return std::nullopt;
    const double b = 1.0 / static_cast<double>(n);

    // Start from inverse volatilities. After every sweep y is rescaled so that yᵀCy = Σ b_i = 1,
    // the value it has at the solution: the descent then works on the correlation structure
    // alone (F is otherwise invariant under a diagonal rescaling of the variables), and the
    // contributions y_i (Cy)_i should all be b.
    Vector y = C.diagonal().cwiseSqrt().cwiseInverse();
    Vector cy = C * y;
    bool margin_sweep_done = false;
    for (int sweep = 0; sweep < kMaxErcSweeps; ++sweep) {
        const double q = y.dot(cy);
        if (!(q > 0.0 && q < kInf)) return std::nullopt;
        const double s = 1.0 / std::sqrt(q);
        y *= s;
        cy *= s;
        const double deviation = (y.cwiseProduct(cy).array() - b).abs().maxCoeff() / b;
        if (!std::isfinite(deviation)) return std::nullopt;
        // One more sweep once there, for a margin; the updates of Cy drift by rounding, so the
        // normalised weights are then judged afresh.
        if (deviation <= tolerance && margin_sweep_done) {
            Vector w = normalised(y);
            if (relative_contribution_spread(C, w) <= tolerance) return w;
            cy.noalias() = C * y;
        }
        margin_sweep_done = deviation <= tolerance;
        for (Eigen::Index i = 0; i < n; ++i) {
            const double c = C(i, i);
            const double yi = positive_root(c, cy[i] - c * y[i], b);
            const double delta = yi - y[i];
            if (delta != 0.0) {
                cy.noalias() += delta * C.col(i);
                y[i] = yi;
            }
        }
    }
    return std::nullopt;
}

namespace {

// Coordinate descent with clipping for min ½yᵀCy − Σ budget·ln y_i over lower ≤ y ≤ upper, from
// y (Cy in cy), until no coordinate moves by more than `tolerance` of its value. False when it
// does not settle within `sweeps` (counted down) or meets a number that is not finite.
bool box_descent(const Matrix& C, const Vector& lower, const Vector& upper, double budget, Vector& y, Vector& cy,
                 int& sweeps, double tolerance) {
    const Eigen::Index n = C.rows();
    while (sweeps-- > 0) {
        double largest = 0.0;
        for (Eigen::Index i = 0; i < n; ++i) {
            const double c = C(i, i);
            const double yi = std::clamp(positive_root(c, cy[i] - c * y[i], budget), lower[i], upper[i]);
            const double delta = yi - y[i];
            if (delta != 0.0) {
                cy.noalias() += delta * C.col(i);
                y[i] = yi;
                largest = std::max(largest, std::abs(delta) / yi);
            }
        }
        if (!std::isfinite(largest)) return false;
        if (largest <= tolerance) {
            cy.noalias() = C * y;  // rid Cy of the drift of its updates
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<Vector> box_risk_budgeting(const Matrix& C, const BoundsList& bounds, const Vector& guess) {
    const Eigen::Index n = C.rows();
    if (n == 0 || C.cols() != n || bounds.size() != static_cast<std::size_t>(n) || !usable_diagonal(C))
        return std::nullopt;
    // The logarithm keeps every weight positive: a missing or negative lower bound acts as 0.
    Vector lower(n), upper(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        lower[i] = bound.lower ? *bound.lower : 0.0;
        upper[i] = bound.upper ? *bound.upper : kInf;
        if (std::isnan(lower[i]) || std::isnan(upper[i]) || !(upper[i] > 0.0) || lower[i] > upper[i])
            return std::nullopt;
        lower[i] = std::max(lower[i], 0.0);
    }
    const double lower_sum = lower.sum(), upper_sum = upper.sum();
    if (lower_sum > 1.0 || upper_sum < 1.0) return std::nullopt;
    if (lower_sum == 1.0) return lower;  // the only weights in the box that add up to 1
    if (upper_sum == 1.0) return upper;

    // The sum of the solution y(λ) grows with the multiplier λ (without active bounds y is
    // proportional to √λ): a bracketing secant search on v = √λ finds Σy = 1.
    const double b = 1.0 / static_cast<double>(n);
    Vector y = guess.size() == n && guess.allFinite() && (guess.array() > 0.0).all()
                   ? normalised(guess)
                   : normalised(C.diagonal().cwiseSqrt().cwiseInverse());
    y = y.cwiseMax(lower).cwiseMin(upper);
    Vector cy = C * y;
    double v = std::sqrt(y.dot(cy));  // λ = yᵀCy/Σb makes y stationary when no bound is active
    if (!(v > 0.0 && v < kInf)) return std::nullopt;
    int sweeps_left = kMaxBoxSweepsInAll;
    // Each solve is as accurate as the search needs: far from the root a rough one places the
    // next multiplier as well.
    double accuracy = 1e-6;
    const auto excess_at = [&](double v_new, double v_old, double& excess) {
        // From the last solution, scaled as the unconstrained one would scale.
        y = (y * (v_new / v_old)).cwiseMax(lower).cwiseMin(upper);
        cy.noalias() = C * y;
        int sweeps = std::min(kMaxBoxSweeps, sweeps_left);
        const int given = sweeps;
        const bool settled = box_descent(C, lower, upper, v_new * v_new * b, y, cy, sweeps, accuracy);
        sweeps_left -= given - std::max(sweeps, 0);
        excess = y.sum() - 1.0;
        accuracy = std::clamp(1e-3 * std::abs(excess), 1e-13, 1e-6);
        return settled && std::isfinite(excess);
    };

    double excess = 0.0;
    if (!excess_at(v, v, excess)) return std::nullopt;
    // Bracket the root: lo with Σy < 1, hi with Σy > 1.
    double lo = 0.0, hi = 0.0, excess_lo = -1.0, excess_hi = 0.0;
    double current = v;
    int steps = 0;
    if (excess > 0.0) {
        hi = v, excess_hi = excess;
        while (excess > 0.0) {
            if (++steps > kMaxBudgetSteps || !excess_at(current / 2.0, current, excess)) return std::nullopt;
            current /= 2.0;
            if (excess > 0.0) hi = current, excess_hi = excess;
        }
        lo = current, excess_lo = excess;
    } else if (excess < 0.0) {
        lo = v, excess_lo = excess;
        while (excess < 0.0) {
            if (++steps > kMaxBudgetSteps || !excess_at(current * 2.0, current, excess)) return std::nullopt;
            current *= 2.0;
            if (excess < 0.0) lo = current, excess_lo = excess;
        }
        hi = current, excess_hi = excess;
    }
    // Illinois variant of false position between lo and hi, until Σy is 1 to rounding or the
    // bracket cannot shrink.
    const double rounding = 4.0 * static_cast<double>(n) * std::numeric_limits<double>::epsilon();
    int side = 0;
    while (std::abs(excess) > rounding && steps++ < kMaxBudgetSteps) {
        double next = (lo * excess_hi - hi * excess_lo) / (excess_hi - excess_lo);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next <= lo || next >= hi) break;
        if (!excess_at(next, current, excess)) return std::nullopt;
        current = next;
        if (excess > 0.0) {
            hi = next, excess_hi = excess;
            if (side == 1) excess_lo /= 2.0;
            side = 1;
        } else {
            lo = next, excess_lo = excess;
            if (side == -1) excess_hi /= 2.0;
            side = -1;
        }
    }
    // Σy is 1 to rounding: the division leaves the clipped weights within a rounding error of
    // their bound, and clipping again puts them back.
    return normalised(y).cwiseMax(lower).cwiseMin(upper).eval();
}

bool meets_exactly(const Vector& w, const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    if (!w.allFinite() || bounds.size() != static_cast<std::size_t>(w.size())) return false;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const double wi = w[static_cast<Eigen::Index>(i)];
        if (bounds[i].lower && !(wi >= *bounds[i].lower)) return false;
        if (bounds[i].upper && !(wi <= *bounds[i].upper)) return false;
    }
    // The budget Σw − 1 of weights divided by their sum is off by a few units of rounding.
    const double rounding = 16.0 * static_cast<double>(w.size()) * std::numeric_limits<double>::epsilon();
    for (const auto& record : cons) {
        const double value = record.fun(w);
        if (record.type == ConstraintRecord::Type::eq ? !(std::abs(value) <= rounding) : !(value >= 0.0)) return false;
    }
    return true;
}

std::optional<Vector> project_onto_records(const Vector& w, const BoundsList& bounds,
                                           const std::vector<ConstraintRecord>& cons) {
    const Eigen::Index n = w.size();
    if (bounds.size() != static_cast<std::size_t>(n) || !w.allFinite() || !(w.array() > 0.0).all()) return std::nullopt;
    // In v = (x − w)/√w the distance is ½‖v‖², whose Hessian the minimiser starts from: with
    // linear records its first step is the projection itself.
    const Vector root = w.cwiseSqrt();
    const auto point = [&w, &root](const Vector& v) { return Vector(w + root.cwiseProduct(v)); };
    std::vector<minimize::Bound> scaled_bounds(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        auto& scaled = scaled_bounds[static_cast<std::size_t>(i)];
        if (bound.lower) scaled.lower = (*bound.lower - w[i]) / root[i];
        if (bound.upper) scaled.upper = (*bound.upper - w[i]) / root[i];
    }
    std::vector<minimize::Constraint> records;
    for (const auto& record : cons) {
        minimize::Constraint r;
        r.type = record.type;
        r.fun = [&record, &point](const Vector& v) { return record.fun(point(v)); };
        if (record.jac)
            r.jac = [&record, &point, &root](const Vector& v) { return Vector(root.cwiseProduct(record.jac(point(v)))); };
        records.push_back(std::move(r));
    }
    minimize::SlsqpOptions options;
    options.maxiter = 100;
    options.ftol = 1e-14;
    const minimize::Result r = minimize::slsqp([](const Vector& v) { return 0.5 * v.squaredNorm(); },
                                               [](const Vector& v) { return v; }, Vector::Zero(n), scaled_bounds,
                                               records, options);
    if (!r.success || !r.x.allFinite()) return std::nullopt;
    Vector x = point(r.x);
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        if (bound.lower) x[i] = std::max(x[i], *bound.lower);
        if (bound.upper) x[i] = std::min(x[i], *bound.upper);
    }
    return x;
}

namespace {

// Members of the group raised at first; doubled while that lowers the spread.
constexpr std::size_t kFirstRaised = 8;
// What the records must hold by in the search over the raised weights, so that its answer meets
// them exactly.
constexpr double kRecordMargin = 1e-12;

using Positions = std::vector<Eigen::Index>;

// Weights with those at `raised` held at p and equal contributions τ elsewhere (box risk
// budgeting with those bounds closed), with the derivatives in p of the weights (W, n by k) and of
// the contributions. The common weights y satisfy y_i (Cw)_i = τ and Σw = 1; differentiated,
// (Λ + C_SS) dy − dτ / y = −C_SK dp with Λ = diag((Cw)_i / y_i), an SPD matrix with one
// Cholesky factorisation serving every raised weight, and 1ᵀdy = −1ᵀdp.
struct RaisedPoint {
    bool ok = false;
    Vector w;
    double tau = 0.0;   // the common contribution
    Vector t;           // contributions of the raised members
    Matrix W;           // dw/dp
    Vector dtau;        // dτ/dp
    Matrix dt;          // dt/dp of the raised members (row per member)
    bool bound_held = false;  // a common weight ends at a bound: its contribution is not τ
    Positions common;   // the weights with contribution τ
    Vector cw;          // Cw
    bool differentiated = false;
};

RaisedPoint raised_point(const Matrix& C, const BoundsList& bounds, const Positions& raised, const Vector& p,
                         const Vector& guess) {
    const Eigen::Index n = C.rows();
    const auto k = static_cast<Eigen::Index>(raised.size());
    RaisedPoint point;
    BoundsList closed = bounds;
    std::vector<char> is_raised(static_cast<std::size_t>(n), 0);
    for (Eigen::Index j = 0; j < k; ++j) {
        closed[static_cast<std::size_t>(raised[j])] = {p[j], p[j]};
        is_raised[static_cast<std::size_t>(raised[j])] = 1;
    }
    const std::optional<Vector> w = box_risk_budgeting(C, closed, guess);
    if (!w) return point;
    point.w = *w;
    for (Eigen::Index i = 0; i < n; ++i)
        if (!is_raised[static_cast<std::size_t>(i)]) point.common.push_back(i);
    const auto m = static_cast<Eigen::Index>(point.common.size());
    if (m == 0) return point;
    point.cw = C * point.w;
    double tau = 0.0;
    for (const Eigen::Index i : point.common) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        if ((bound.lower && point.w[i] <= *bound.lower) || (bound.upper && point.w[i] >= *bound.upper))
            point.bound_held = true;
        tau += point.w[i] * point.cw[i];
    }
    point.tau = tau / static_cast<double>(m);
    point.t.resize(k);
    for (Eigen::Index j = 0; j < k; ++j) point.t[j] = point.w[raised[j]] * point.cw[raised[j]];
    point.ok = point.w.allFinite() && point.t.allFinite() && std::isfinite(point.tau);
    return point;
}

// Fills in the derivatives of a point; false when the factorisation fails.
bool differentiate(const Matrix& C, const Positions& raised, RaisedPoint& point) {
    const Eigen::Index n = C.rows();
    const auto k = static_cast<Eigen::Index>(raised.size());
    const Positions& common = point.common;
    const auto m = static_cast<Eigen::Index>(common.size());
    Vector y(m), lambda(m);
    for (Eigen::Index a = 0; a < m; ++a) {
        const Eigen::Index i = common[static_cast<std::size_t>(a)];
        y[a] = point.w[i];
        lambda[a] = point.cw[i] / y[a];
    }
    Matrix A = C(common, common);
    A.diagonal() += lambda;
    const Eigen::LLT<Matrix> llt(A);
    if (llt.info() != Eigen::Success) return false;
    const Matrix U = llt.solve(Matrix(C(common, raised)));
    const Vector v = llt.solve(Vector(y.cwiseInverse()));
    point.dtau = (U.colwise().sum().transpose() - Vector::Ones(k)) / v.sum();
    point.W = Matrix::Zero(n, k);
    for (Eigen::Index a = 0; a < m; ++a)
        point.W.row(common[static_cast<std::size_t>(a)]) = v[a] * point.dtau.transpose() - U.row(a);
    for (Eigen::Index j = 0; j < k; ++j) point.W(raised[j], j) = 1.0;
    const Matrix cw_raised = C(raised, Eigen::all) * point.W;
    point.dt.resize(k, k);
    for (Eigen::Index j = 0; j < k; ++j) {
        const Eigen::Index i = raised[j];
        point.dt.row(j) = point.w[i] * cw_raised.row(j);
        point.dt(j, j) += point.cw[i];
    }
    return point.W.allFinite() && point.dt.allFinite() && point.dtau.allFinite();
}

}  // namespace

std::optional<Vector> raised_group_risk_parity(const Matrix& C, const BoundsList& bounds,
                                               const std::vector<ConstraintRecord>& cons, const Vector& start) {
    const Eigen::Index n = C.rows();
    if (n < 2 || C.cols() != n || start.size() != n || bounds.size() != static_cast<std::size_t>(n) ||
        !start.allFinite() || !(start.array() > 0.0).all())
        return std::nullopt;
    // The one broken record must be a group floor; every inequality needs its gradient.
    const ConstraintRecord* floor = nullptr;
    std::vector<const ConstraintRecord*> inequalities;
    for (const auto& record : cons) {
        if (record.type != ConstraintRecord::Type::ineq) continue;  // the budget holds by construction
        if (!record.fun || !record.jac) return std::nullopt;
        inequalities.push_back(&record);
        if (record.fun(start) >= 0.0) continue;
        if (floor || record.side != ConstraintRecord::Side::lower) return std::nullopt;
        floor = &record;
    }
    if (!floor) return std::nullopt;
    // Its members, those of least marginal risk first: raising them costs the least contribution.
    const Vector members_gradient = floor->jac(start);
    const Vector marginal = C * start;
    Positions members;
    for (Eigen::Index i = 0; i < n; ++i)
        if (members_gradient[i] > 0.0) members.push_back(i);
    if (members.empty() || members.size() >= static_cast<std::size_t>(n)) return std::nullopt;
    std::stable_sort(members.begin(), members.end(),
                     [&marginal](Eigen::Index a, Eigen::Index b) { return marginal[a] < marginal[b]; });

    // Scales: the objective in units of the portfolio variance at the start, the gaps between
    // contributions in units of the mean one.
    const double variance = start.dot(marginal);
    if (!(variance > 0.0 && variance < kInf)) return std::nullopt;
    const double mean_contribution = variance / static_cast<double>(n);

    Positions raised;
    Vector p;
    Vector guess = start;
    std::optional<Vector> answer;
    double best_spread = kInf;
    std::size_t count = std::min(kFirstRaised, members.size());
    while (true) {
        // The new members start where they are: at the start, the deficit shared among them.
        const auto k = static_cast<Eigen::Index>(count);
        const auto before = static_cast<Eigen::Index>(raised.size());
        const double deficit = before == 0 ? -floor->fun(start) / static_cast<double>(k) : 0.0;
        raised.assign(members.begin(), members.begin() + k);
        p.conservativeResize(k);
        std::vector<minimize::Bound> p_bounds(count);
        for (Eigen::Index j = 0; j < k; ++j) {
            const auto& bound = bounds[static_cast<std::size_t>(raised[j])];
            // Raised weights stay well above 0, where the logarithm of the risk budgeting lives.
            p_bounds[static_cast<std::size_t>(j)] = {std::max(bound.lower ? *bound.lower : 0.0, 0.5 * start[raised[j]]),
                                                     bound.upper};
            if (j >= before) p[j] = guess[raised[j]] + deficit;
            p[j] = std::max(p[j], *p_bounds[static_cast<std::size_t>(j)].lower);
            if (bound.upper) p[j] = std::min(p[j], *bound.upper);
        }
        // One evaluation per point, shared by the objective, the records and their gradients.
        RaisedPoint point;
        Vector at;
        // Values alone for the line search, derivatives when asked for.
        const auto evaluate = [&](const Vector& x, bool derivatives = false) -> const RaisedPoint& {
            if (!(at.size() == x.size() && at == x)) {
                at = x;
                point = raised_point(C, bounds, raised, x, guess);
                if (point.ok) guess = point.w;
            }
            if (derivatives && point.ok && !point.differentiated) {
                point.ok = differentiate(C, raised, point);
                point.differentiated = true;
            }
            return point;
        };
        // Σ_{i<j} |t_i − t_j| with the common contributions all τ and the raised ones at or above
        // τ is (n − k) Σ_j (t_j − τ) + Σ_r (2r − k + 1) t_(r), t_(r) ascending. A first search
        // sorts them at every point (kinks where two of them meet); a second keeps the order the
        // first ended with as constraints, t_(0) ≥ τ and t_(r) ≥ t_(r−1), which makes the
        // objective smooth there.
        const auto m = static_cast<double>(n - k);
        const auto sorted_weights = [&](const Vector& t, std::vector<Eigen::Index>& order) {
            order.resize(count);
            std::iota(order.begin(), order.end(), Eigen::Index{0});
            std::stable_sort(order.begin(), order.end(), [&t](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
            Vector weights(k);
            for (Eigen::Index r = 0; r < k; ++r)
                weights[order[static_cast<std::size_t>(r)]] = m + static_cast<double>(2 * r - k + 1);
            return weights;
        };
        const auto search = [&](const Vector& from, bool frozen) {
            std::vector<Eigen::Index> order;
            const RaisedPoint& first = evaluate(from);
            if (!first.ok) {  // no point to search from (and no order to keep)
                minimize::Result none;
                none.x = Vector::Constant(k, std::numeric_limits<double>::quiet_NaN());
                return none;
            }
            const Vector frozen_weights = sorted_weights(first.t, order);
            const auto weights_at = [&](const RaisedPoint& q) {
                std::vector<Eigen::Index> scratch;
                return frozen ? frozen_weights : sorted_weights(q.t, scratch);
            };
            const auto objective = [&](const Vector& x) {
                const RaisedPoint& q = evaluate(x);
                if (!q.ok) return kInf;
                return (weights_at(q).dot(q.t) - m * static_cast<double>(k) * q.tau) / variance;
            };
            const auto gradient = [&](const Vector& x) {
                const RaisedPoint& q = evaluate(x, true);
                if (!q.ok) return Vector(Vector::Zero(k));
                return Vector((q.dt.transpose() * weights_at(q) - m * static_cast<double>(k) * q.dtau) / variance);
            };
            std::vector<minimize::Constraint> limits;
            for (const ConstraintRecord* record : inequalities) {
                minimize::Constraint c;
                c.type = minimize::Constraint::Type::ineq;
                c.fun = [&evaluate, record](const Vector& x) {
                    const RaisedPoint& q = evaluate(x);
                    return q.ok ? record->fun(q.w) - kRecordMargin : -kInf;
                };
                c.jac = [&evaluate, record, k](const Vector& x) {
                    const RaisedPoint& q = evaluate(x, true);
                    return q.ok ? Vector(q.W.transpose() * record->jac(q.w)) : Vector(Vector::Zero(k));
                };
                limits.push_back(std::move(c));
            }
            // In units of the mean contribution: t_j ≥ τ for each, or the chain above.
            for (Eigen::Index r = 0; r < k; ++r) {
                const Eigen::Index j = frozen ? order[static_cast<std::size_t>(r)] : r;
                const Eigen::Index below = frozen && r > 0 ? order[static_cast<std::size_t>(r - 1)] : -1;
                minimize::Constraint c;
                c.type = minimize::Constraint::Type::ineq;
                c.fun = [&evaluate, j, below, mean_contribution](const Vector& x) {
                    const RaisedPoint& q = evaluate(x);
                    if (!q.ok) return -kInf;
                    return (q.t[j] - (below < 0 ? q.tau : q.t[below])) / mean_contribution;
                };
                c.jac = [&evaluate, j, below, k, mean_contribution](const Vector& x) {
                    const RaisedPoint& q = evaluate(x, true);
                    if (!q.ok) return Vector(Vector::Zero(k));
                    const Vector lower = below < 0 ? q.dtau : Vector(q.dt.row(below).transpose());
                    return Vector((q.dt.row(j).transpose() - lower) / mean_contribution);
                };
                limits.push_back(std::move(c));
            }
            minimize::SlsqpOptions options;
            options.maxiter = 100;
            options.ftol = 1e-10;
            return minimize::slsqp(objective, gradient, from, p_bounds, limits, options);
        };
        // The spread of the point (every pair, in units of the variance at the start).
        const auto spread_at = [&](const Vector& x) {
            const RaisedPoint& q = evaluate(x);
            if (!q.ok) return kInf;
            double f = 0.0;
            for (Eigen::Index j = 0; j < k; ++j) {
                f += m * std::abs(q.t[j] - q.tau);
                for (Eigen::Index l = j + 1; l < k; ++l) f += std::abs(q.t[j] - q.t[l]);
            }
            return f / variance;
        };
        minimize::Result r = search(p, false);
        if (r.x.allFinite()) {
            const minimize::Result smooth = search(r.x, true);
            if (smooth.x.allFinite() && spread_at(smooth.x) <= spread_at(r.x)) r = smooth;
        }
        if (!r.x.allFinite()) break;
        Vector x = r.x;
        // The floor met to the minimiser's accuracy; a step along its gradient meets it exactly.
        for (int repair = 0; repair < 3; ++repair) {
            const RaisedPoint& q = evaluate(x, true);
            if (!q.ok) break;
            const double value = floor->fun(q.w);
            if (value >= 0.0) break;
            const Vector direction = q.W.transpose() * floor->jac(q.w);
            const double norm = direction.squaredNorm();
            if (!(norm > 0.0)) break;
            x += (2.0 * kRecordMargin - value) / norm * direction;
            for (Eigen::Index j = 0; j < k; ++j) {
                const auto& bound = p_bounds[static_cast<std::size_t>(j)];
                x[j] = std::max(x[j], *bound.lower);
                if (bound.upper) x[j] = std::min(x[j], *bound.upper);
            }
        }
        const RaisedPoint& q = evaluate(x);
        if (!q.ok || q.bound_held || !(floor->fun(q.w) >= 0.0)) break;
        const double spread = spread_at(x);
        // More members raised while that lowers the spread.
        if (answer && !(spread < best_spread * (1.0 - 1e-9))) break;
        answer = q.w;
        best_spread = spread;
        p = x;
        if (count == members.size()) break;
        count = std::min(2 * count, members.size());
    }
    return answer;
}

}  // namespace kelvane_mod_optimizer
