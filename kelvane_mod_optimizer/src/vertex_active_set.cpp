// A convex quadratic minimised under bounds and linear records by a primal active-set method
// from a vertex: the weights filled greedily within the limits, the instruments the answer
// leaves at a bound never entering the factorisation. Where few weights end between their
// bounds (the usual optimum of a long-only portfolio) this costs far less than any method that
// factorises every weight's row.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "minimize/primal_qp.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

std::optional<Vector> quadratic_optimum_from_vertex(const Matrix& H, const Vector& q, const BoundsList& bounds,
                                                    const std::vector<ConstraintRecord>& cons, const Vector& at) {
    const Eigen::Index n = H.cols();
    if (n == 0 || H.rows() != n || q.size() != n || bounds.size() != static_cast<std::size_t>(n) || at.size() != n ||
        !H.allFinite() || !q.allFinite() || !at.allFinite())
        return std::nullopt;
    // Named vectors rather than a structured binding: the fill below captures them in a lambda.
    const BoxVectors box = bound_vectors(bounds);
    const Vector& lower = box.lower;
    const Vector& upper = box.upper;
    if (!lower.allFinite() || !upper.allFinite() || !(lower.array() <= upper.array()).all()) return std::nullopt;

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
    // The start: every weight at its lower bound, then filled in order of the objective of
    // the instrument alone, each as far as its upper bound, the budget (the one equality row, with
    // positive coefficients) and the inequality rows that hold allow; first the members of a row
    // the lower bounds break (a group floor), until it holds.
    if (me != 1 || !(A.row(0).array() > 0.0).all()) return std::nullopt;
    Vector x = lower;
    Vector value = A * x + offset;
    if (!(value[0] <= 0.0)) return std::nullopt;
    const Vector alone = 0.5 * H.diagonal() + q;
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

    // min ½sᵀHs + (Hx + q)ᵀs in the step s = x' − x from the vertex.
    const Vector g = H * x + q;
    minimize::ActiveSet active;
    active.known = true;
    active.bound.assign(static_cast<std::size_t>(n), 0);
    for (Eigen::Index i = 0; i < n; ++i)
        if (!free[static_cast<std::size_t>(i)]) active.bound[static_cast<std::size_t>(i)] = x[i] == lower[i] ? -1 : 1;
    active.inequality.assign(static_cast<std::size_t>(m - me), 0);
    Vector s, r;
    if (!minimize::primal_active_set_qp(H, g, A, -(A * x + offset), me, lower - x, upper - x, active, s, r) ||
        !(x + s).allFinite())
        return std::nullopt;
    return Vector((x + s).cwiseMax(lower).cwiseMin(upper));
}

}  // namespace kelvane_mod_optimizer
