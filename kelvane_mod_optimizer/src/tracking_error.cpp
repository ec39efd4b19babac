// The least-squares optimum of the tracking error under bounds and linear records, found directly
// as a start for the minimiser.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "internal.hpp"
#include "primal_qp.hpp"

namespace kelvane_mod_optimizer {

namespace {

// Relative weight of the ridge μ‖x‖² that makes the quadratic positive definite when there are
// fewer days than instruments: it picks one of the many optimal portfolios and costs at most
// μ·‖x‖²/2 of objective (about 1e-9 of the optimum on daily returns).
constexpr double kRidge = 1e-10;

}  // namespace

std::optional<Vector> least_squares_optimum(const Matrix& D, const Vector& b, const BoundsList& bounds,
                                            const std::vector<ConstraintRecord>& cons, const Vector& at) {
    const Eigen::Index n = D.cols();
    if (n == 0 || bounds.size() != static_cast<std::size_t>(n) || at.size() != n || b.size() != D.rows() ||
        !D.allFinite() || !b.allFinite() || !at.allFinite())
        return std::nullopt;
    Vector lower(n), upper(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        if (!bound.lower || !bound.upper || !std::isfinite(*bound.lower) || !std::isfinite(*bound.upper) ||
            !(*bound.lower <= *bound.upper))
            return std::nullopt;
        lower[i] = *bound.lower;
        upper[i] = *bound.upper;
    }

    // The records as rows a·x + offset, equalities first, linearised at `at` (exact for the linear
    // records of group limits and the budget; for any other the answer is checked by the caller).
    std::vector<const ConstraintRecord*> ordered;
    for (const auto& c : cons)
        if (c.type == ConstraintRecord::Type::eq) ordered.push_back(&c);
    const auto me = static_cast<Eigen::Index>(ordered.size());
    for (const auto& c : cons)
        if (c.type == ConstraintRecord::Type::ineq) ordered.push_back(&c);
    const auto m = static_cast<Eigen::Index>(ordered.size());
    Matrix A(m, n);
    Vector offset(m);
    for (Eigen::Index j = 0; j < m; ++j) {
        const ConstraintRecord& c = *ordered[static_cast<std::size_t>(j)];
        if (!c.fun || !c.jac) return std::nullopt;
        const Vector a = c.jac(at);
        if (a.size() != n) return std::nullopt;
        A.row(j) = a.transpose();
        offset[j] = c.fun(at) - a.dot(at);
    }
    if (!A.allFinite() || !offset.allFinite()) return std::nullopt;
    // The start: every weight at its lower bound, then filled in order of the tracking error of
    // the instrument alone, each as far as its upper bound, the budget (the one equality row, with
    // positive coefficients) and the inequality rows that hold allow; first the members of a row
    // the lower bounds break (a group floor), until it holds.
    if (me != 1 || !(A.row(0).array() > 0.0).all()) return std::nullopt;
    Vector x = lower;
    Vector value = A * x + offset;
    if (!(value[0] <= 0.0)) return std::nullopt;
    const Vector alone = D.colwise().squaredNorm().transpose() - 2.0 * D.transpose() * b;
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    std::stable_sort(order.begin(), order.end(), [&](Eigen::Index p, Eigen::Index q) { return alone[p] < alone[q]; });
    // Raises x_i by at most `most` within the limits above; returns the increase.
    const auto fill = [&](Eigen::Index i, double most) {
        double step = std::min({most, upper[i] - x[i], -value[0] / A(0, i)});
        for (Eigen::Index j = me; j < m; ++j)
            if (A(j, i) < 0.0) step = std::min(step, std::max(value[j], 0.0) / -A(j, i));
        if (!(step > 0.0)) return 0.0;
        x[i] += step;
        value += step * A.col(i);
        return step;
    };
    for (Eigen::Index j = me; j < m; ++j)
        for (Eigen::Index i : order)
            if (value[j] < 0.0 && A(j, i) > 0.0) fill(i, -value[j] / A(j, i));
    Eigen::Index last = -1;
    for (Eigen::Index i : order) {
        if (!(value[0] < 0.0)) break;
        if (fill(i, upper[i] - x[i]) > 0.0) last = i;
    }
    if (!(std::abs(value[0]) <= 1e-12 * std::max(1.0, std::abs(offset[0])))) return std::nullopt;  // stuck short of the budget
    // Weights strictly between their bounds are free. When none is, a tenth of the last one filled
    // moves to the next instrument, so that no free weight starts on a bound (a step of rounding
    // size would stop there).
    std::vector<char> free(static_cast<std::size_t>(n), 0);
    for (Eigen::Index i = 0; i < n; ++i) free[static_cast<std::size_t>(i)] = x[i] > lower[i] && x[i] < upper[i];
    if (std::find(free.begin(), free.end(), 1) == free.end() && last >= 0) {
        free[static_cast<std::size_t>(last)] = 1;
        const Vector kept = x, kept_value = value;
        const double shift = 0.1 * A(0, last) * (x[last] - lower[last]);
        x[last] -= shift / A(0, last);
        value -= (shift / A(0, last)) * A.col(last);
        for (Eigen::Index i : order) {
            if (i == last || !(upper[i] > lower[i])) continue;
            const double raised = fill(i, shift / A(0, i));
            if (raised > 0.0) free[static_cast<std::size_t>(i)] = 1;
            if (!(value[0] < 0.0)) break;
        }
        bool broken = !(std::abs(value[0]) <= 1e-12 * std::max(1.0, std::abs(offset[0])));
        for (Eigen::Index j = me; j < m; ++j) broken = broken || (value[j] < 0.0 && kept_value[j] >= 0.0);
        if (broken) {
            x = kept;
            value = kept_value;
        }
    }
    // An inequality the start still breaks joins the subproblem's working set: one more weight
    // that can move its way, or else one outside the row that can rise, is set free for it.
    for (Eigen::Index j = me; j < m; ++j) {
        if (value[j] >= 0.0) continue;
        Eigen::Index pick = -1;
        for (Eigen::Index i : order)
            if (pick < 0 && !free[static_cast<std::size_t>(i)] &&
                ((A(j, i) > 0.0 && x[i] < upper[i]) || (A(j, i) < 0.0 && x[i] > lower[i])))
                pick = i;
        for (Eigen::Index i : order)
            if (pick < 0 && !free[static_cast<std::size_t>(i)] && A(j, i) == 0.0 && x[i] < upper[i]) pick = i;
        if (pick < 0) return std::nullopt;
        free[static_cast<std::size_t>(pick)] = 1;
    }

    // min ½‖Dx − b‖²/τ + ½μ‖x‖² (τ the mean squared column norm, so that the Hessian's diagonal is
    // about 1) in the step s = x' − x from the vertex.
    const double tau = D.colwise().squaredNorm().mean();
    if (!(tau > 0.0) || !std::isfinite(tau)) return std::nullopt;
    Matrix B = reusable_matrix(n, n);
    B.triangularView<Eigen::Lower>().setZero();
    B.selfadjointView<Eigen::Lower>().rankUpdate(D.transpose(), 1.0 / tau);
    B.triangularView<Eigen::StrictlyUpper>() = B.transpose();
    B.diagonal().array() += kRidge;
    const Vector g = D.transpose() * (D * x - b) / tau + kRidge * x;
    minimize::detail::ActiveSet active;
    active.known = true;
    active.bound.assign(static_cast<std::size_t>(n), 0);
    for (Eigen::Index i = 0; i < n; ++i)
        if (!free[static_cast<std::size_t>(i)]) active.bound[static_cast<std::size_t>(i)] = x[i] == lower[i] ? -1 : 1;
    active.inequality.assign(static_cast<std::size_t>(m - me), 0);
    Vector s, r;
    const bool solved = minimize::detail::primal_active_set_qp(B, g, A, -(A * x + offset), me, lower - x, upper - x,
                                                               active, s, r);
    reuse_later(std::move(B));
    if (!solved || !(x + s).allFinite()) return std::nullopt;
    return Vector((x + s).cwiseMax(lower).cwiseMin(upper));
}

}  // namespace kelvane_mod_optimizer
