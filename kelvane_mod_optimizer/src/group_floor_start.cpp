// The start of risk parity when a group floor binds: a few members of the group are raised, the
// other weights keep equal risk contributions, and the raised weights are chosen by SLSQP with
// exact derivatives.

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "internal.hpp"
#include "minimize/minimize.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Members of the group raised at first; doubled while that lowers the spread and most of the
// members last added end above the common contribution.
constexpr std::size_t kFirstRaised = 8;
// What the records must hold by in the search over the raised weights, so that its answer meets
// them exactly.
constexpr double kRecordMargin = 1e-12;

using Positions = std::vector<Eigen::Index>;

// Sweeps allowed for one solve of the common weights.
constexpr int kMaxCommonSweeps = 200;

// Weights with those at `raised` held at p and equal contributions τ elsewhere, with the
// derivatives in p of the weights (W, n by k) and of the contributions. The common weights y
// satisfy y_i (Cw)_i = τ and Σw = 1; differentiated, (Λ + C_SS) dy − dτ / y = −C_SK dp with
// Λ = diag((Cw)_i / y_i), an SPD matrix with one Cholesky factorisation serving every raised
// weight, and 1ᵀdy = −1ᵀdp.
struct RaisedPoint {
    bool ok = false;
    Vector p;           // the raised weights
    Vector w;
    double tau = 0.0;   // the common contribution
    Vector t;           // contributions of the raised members
    Matrix W;           // dw/dp
    Vector dtau;        // dτ/dp
    Vector slope;       // dw/dτ at fixed p (0 at the raised members)
    Matrix dt;          // dt/dp of the raised members (row per member)
    bool bound_held = false;  // a common weight ends at a bound: its contribution is not τ
    bool boxed = false;       // the common weights left their bounds: box risk budgeting answered
    Positions common;   // the weights with contribution τ
    Vector cw;          // Cw
    bool differentiated = false;
};

// The common weights of w (the raised ones already in place) for equal contributions and Σw = 1:
// Gauss-Seidel sweeps on y_i (Cw)_i = τ at fixed τ, each followed by a Newton step on τ for the
// budget, along `slope` (dw/dτ, from the last derivatives; empty: w/2τ, exact when the raised
// weights are 0). w and τ start from the caller's values; cw = Cw on success. False when the
// sweeps do not settle or a value is not a positive finite number. `cy` keeps Cw through the
// moves (on the factor form a move costs O(T), a sweep O(n·T)).
bool equalise_common(CoordinateProducts& cy, const Positions& common, const Vector& slope, Vector& w, Vector& cw,
                     double& tau) {
    const double rounding = 4.0 * static_cast<double>(w.size()) * std::numeric_limits<double>::epsilon();
    Vector direction = Vector::Zero(w.size());
    cy.reset(w);
    for (int sweep = 0; sweep < kMaxCommonSweeps; ++sweep) {
        double largest = 0.0;
        for (const Eigen::Index i : common) {
            const double delta = cy.step(i, tau, w);
            if (delta != 0.0) largest = std::max(largest, std::abs(delta) / w[i]);
        }
        double sum = 0.0;
        for (Eigen::Index i = 0; i < w.size(); ++i) sum += w[i];
        const double excess = sum - 1.0;
        if (!std::isfinite(excess) || !std::isfinite(largest)) return false;
        if (largest <= 1e-13 && std::abs(excess) <= rounding) {
            cw = cy.product(w);  // afresh, rid of the drift of the moves
            return true;
        }
        // Σw grows with τ at the rate 1ᵀ dw/dτ.
        double rate = 0.0;
        for (const Eigen::Index i : common) {
            direction[i] = slope.size() == w.size() ? slope[i] : w[i] / (2.0 * tau);
            rate += direction[i];
        }
        if (!(rate > 0.0 && rate < kInf)) return false;
        double step = -excess / rate;
        if (!(tau + step > 0.5 * tau)) step = -0.5 * tau;
        bool positive = true;
        for (const Eigen::Index i : common) positive = positive && w[i] + step * direction[i] > 0.0;
        if (positive) {
            for (const Eigen::Index i : common) w[i] += step * direction[i];
            cy.reset(w);
        }
        tau += step;
    }
    return false;
}

// The point at p, from the first-order prediction of `near` (the last point with derivatives,
// for the same raised members) where there is one, otherwise from `guess`; box risk budgeting with
// the raised bounds closed answers where a common weight leaves its bounds.
RaisedPoint raised_point(const Matrix& C, CoordinateProducts& cy, const BoundsList& bounds, const Positions& raised,
                         const Vector& p, const Vector& guess, const RaisedPoint* near) {
    const Eigen::Index n = C.rows();
    const auto k = static_cast<Eigen::Index>(raised.size());
    RaisedPoint point;
    point.p = p;
    std::vector<char> is_raised(static_cast<std::size_t>(n), 0);
    for (Eigen::Index j = 0; j < k; ++j) is_raised[static_cast<std::size_t>(raised[j])] = 1;
    for (Eigen::Index i = 0; i < n; ++i)
        if (!is_raised[static_cast<std::size_t>(i)]) point.common.push_back(i);
    const auto m = static_cast<Eigen::Index>(point.common.size());
    if (m == 0) return point;
    const auto within = [&bounds](Eigen::Index i, double wi) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        return (!bound.lower || wi > *bound.lower) && (!bound.upper || wi < *bound.upper);
    };

    // The start: the prediction, or the guess with its common weights scaled to the budget.
    Vector w;
    double tau = 0.0;
    Vector slope;
    if (near != nullptr && near->differentiated && near->p.size() == k) {
        const Vector dp = p - near->p;
        w = near->w + near->W * dp;
        tau = near->tau + near->dtau.dot(dp);
        slope = near->slope;
    }
    bool usable = w.size() == n && tau > 0.0 && w.allFinite();
    for (Eigen::Index a = 0; a < m && usable; ++a) usable = w[point.common[static_cast<std::size_t>(a)]] > 0.0;
    if (!usable) {
        w = guess;
        double common_sum = 0.0;
        for (const Eigen::Index i : point.common) common_sum += w[i];
        const double scale = (1.0 - p.sum()) / common_sum;
        if (!(scale > 0.0 && scale < kInf)) return point;
        for (const Eigen::Index i : point.common) w[i] *= scale;
        slope.resize(0);
        tau = 0.0;
    }
    for (Eigen::Index j = 0; j < k; ++j) w[raised[j]] = p[j];
    Vector cw;
    if (!(tau > 0.0)) {
        cw = cy.product(w);
        for (const Eigen::Index i : point.common) tau += w[i] * cw[i];
        tau /= static_cast<double>(m);
    }
    bool settled = tau > 0.0 && equalise_common(cy, point.common, slope, w, cw, tau);
    for (Eigen::Index a = 0; a < m && settled; ++a) {
        const Eigen::Index i = point.common[static_cast<std::size_t>(a)];
        settled = within(i, w[i]);
    }
    if (!settled) {
        BoundsList closed = bounds;
        for (Eigen::Index j = 0; j < k; ++j) closed[static_cast<std::size_t>(raised[j])] = {p[j], p[j]};
        const std::optional<Vector> budgeted = box_risk_budgeting(C, closed, guess);
        if (!budgeted) return point;
        w = *budgeted;
        cw = cy.product(w);
        point.boxed = true;
    }
    point.w = std::move(w);
    point.cw = std::move(cw);
    tau = 0.0;
    for (const Eigen::Index i : point.common) {
        if (!within(i, point.w[i])) point.bound_held = true;
        tau += point.w[i] * point.cw[i];
    }
    point.tau = tau / static_cast<double>(m);
    point.t.resize(k);
    for (Eigen::Index j = 0; j < k; ++j) point.t[j] = point.w[raised[j]] * point.cw[raised[j]];
    point.ok = point.w.allFinite() && point.t.allFinite() && std::isfinite(point.tau);
    return point;
}

// Fills in the derivatives of a point; false when the factorisation fails. `A` is scratch space,
// kept between calls so that the m-by-m block is not allocated again each time. With C's factor
// form, the common block diag(d_S + Λ) + U_S U_Sᵀ is solved by Woodbury (m·k² instead of the
// m³/3 of its Cholesky factor: at 1,000 instruments, k = 131, a tenth of the time).
bool differentiate(const Matrix& C, const minimize::DiagonalPlusLowRank* factor, const Positions& raised,
                   RaisedPoint& point, Matrix& A) {
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
    Matrix U;
    Vector v;
    if (factor) {
        Vector d_common(m);
        Matrix U_common(m, factor->rank());
        for (Eigen::Index a = 0; a < m; ++a) {
            const Eigen::Index i = common[static_cast<std::size_t>(a)];
            d_common[a] = factor->d()[i];
            U_common.row(a) = factor->U().row(i);
        }
        // The raised instruments are not common: their block of C is that of the low-rank part.
        Matrix U_raised(k, factor->rank());
        for (Eigen::Index j = 0; j < k; ++j) U_raised.row(j) = factor->U().row(raised[j]);
        try {
            const minimize::WoodburySolver block({std::move(d_common), U_common}, lambda);
            U = block.solve(Matrix(U_common * U_raised.transpose()));
            v = block.solve(Vector(y.cwiseInverse()));
        } catch (const std::invalid_argument&) {
            return false;
        }
    } else {
        A.resize(m, m);
        A = C(common, common);
        A.diagonal() += lambda;
        const Eigen::LLT<Eigen::Ref<Matrix>> llt(A);
        if (llt.info() != Eigen::Success) return false;
        U = llt.solve(Matrix(C(common, raised)));
        v = llt.solve(Vector(y.cwiseInverse()));
    }
    const double rate = v.sum();
    point.dtau = (U.colwise().sum().transpose() - Vector::Ones(k)) / rate;
    point.W = Matrix::Zero(n, k);
    point.slope = Vector::Zero(n);
    for (Eigen::Index a = 0; a < m; ++a) {
        const Eigen::Index i = common[static_cast<std::size_t>(a)];
        point.W.row(i) = v[a] * point.dtau.transpose() - U.row(a);
        point.slope[i] = v[a];
    }
    for (Eigen::Index j = 0; j < k; ++j) point.W(raised[j], j) = 1.0;
    const Matrix cw_raised = C(raised, Eigen::all) * point.W;
    point.dt.resize(k, k);
    for (Eigen::Index j = 0; j < k; ++j) {
        const Eigen::Index i = raised[j];
        point.dt.row(j) = point.w[i] * cw_raised.row(j);
        point.dt(j, j) += point.cw[i];
    }
    return point.W.allFinite() && point.dt.allFinite() && point.dtau.allFinite() && point.slope.allFinite();
}

}  // namespace

std::optional<Vector> raised_group_risk_parity(const Matrix& C, const minimize::DiagonalPlusLowRank* factor,
                                               const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                               const Vector& start) {
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
    Matrix scratch;
    CoordinateProducts products(factor ? CovarianceView{factor, nullptr} : CovarianceView{nullptr, &C});
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
        // One evaluation per point, shared by the objective, the records and their gradients; the
        // last point with derivatives predicts the next.
        RaisedPoint point, near;
        Vector at;
        // Values alone for the line search, derivatives when asked for.
        const auto evaluate = [&](const Vector& x, bool derivatives = false) -> const RaisedPoint& {
            if (!(at.size() == x.size() && at == x)) {
                at = x;
                point = raised_point(C, products, bounds, raised, x, guess, &near);
                if (point.ok) guess = point.w;
            }
            if (derivatives && point.ok && !point.differentiated) {
                point.ok = differentiate(C, factor, raised, point, scratch);
                point.differentiated = true;
                if (point.ok) near = point;
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
            // No point to search from (and no order to keep); or one where a weight that is not
            // raised sits at a bound, where the derivatives (all common weights free) do not hold
            // and an answer would be refused; or one whose common weights leave their bounds,
            // where every point of the search costs a box risk budgeting (measured: 1,133 of them,
            // 3.6 s at 276 instruments, and no start in the end).
            if (!first.ok || first.bound_held || first.boxed) {
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
        // Members join in order of least marginal risk: when most of those just added stay at the
        // common contribution, the next ones would too.
        Eigen::Index lifted = 0;
        for (Eigen::Index j = before; j < k; ++j) lifted += q.t[j] > q.tau * (1.0 + 1e-6) ? 1 : 0;
        if (2 * lifted <= k - before) break;
        count = std::min(2 * count, members.size());
    }
    return answer;
}

}  // namespace kelvane_mod_optimizer
