// Risk budgeting by cyclical coordinate descent: the equal-risk-contribution portfolio and the
// risk-budgeting portfolio inside a box of weight bounds.
//
// Both minimise F(y) = ½ yᵀC y − λ Σ b_i ln y_i (b_i = 1/n) one coordinate at a time: in y_i
// alone F is convex with the single positive stationary point, the root of
// C_ii y_i² + a_i y_i − λ b_i = 0 with a_i = Σ_{j≠i} C_ij y_j. Cy is kept up to date with one
// column update per changed coordinate, so a sweep costs O(n²).
#include <algorithm>
#include <cmath>
#include <limits>

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

// Every diagonal entry a positive finite number.
bool usable_diagonal(const Vector& diagonal) {
    for (Eigen::Index i = 0; i < diagonal.size(); ++i)
        if (!(diagonal[i] > 0.0 && diagonal[i] < kInf)) return false;
    return true;
}

// y divided by its sum (added first to last).
Vector normalised(const Vector& y) {
    double sum = 0.0;
    for (Eigen::Index i = 0; i < y.size(); ++i) sum += y[i];
    return y / sum;
}

}  // namespace

CoordinateProducts::CoordinateProducts(const CovarianceView& C) : dense_(C.dense) {
    if (dense_) {
        diagonal_ = dense_->diagonal();
    } else {
        d_ = C.factor->d();
        ut_ = C.factor->U().transpose();
        diagonal_ = C.factor->diagonal();
    }
}

Vector CoordinateProducts::product(const Vector& y) const {
    if (dense_) return *dense_ * y;
    return Vector(d_.cwiseProduct(y) + ut_.transpose() * (ut_ * y));
}

void CoordinateProducts::reset(const Vector& y) {
    if (dense_)
        cy_.noalias() = *dense_ * y;
    else
        z_.noalias() = ut_ * y;
}

void CoordinateProducts::scale(double s) {
    if (dense_)
        cy_ *= s;
    else
        z_ *= s;
}

double relative_contribution_spread(const CovarianceView& C, const Vector& w) {
    const Vector t = w.cwiseProduct(C.times(w));
    const double mean = t.mean();
    if (!(mean > 0.0) || !t.allFinite()) return kInf;
    return (t.array() - mean).abs().maxCoeff() / mean;
}

double relative_contribution_spread(const Matrix& C, const Vector& w) {
    return relative_contribution_spread(CovarianceView{nullptr, &C}, w);
}

std::optional<Vector> equal_risk_contributions(const CovarianceView& C, double tolerance) {
    if (C.dense && C.dense->cols() != C.dense->rows()) return std::nullopt;
    CoordinateProducts cy(C);
    const Eigen::Index n = cy.size();
    if (n == 0 || !usable_diagonal(cy.diagonal())) return std::nullopt;
    const double b = 1.0 / static_cast<double>(n);

    // Start from inverse volatilities. After every sweep y is rescaled so that yᵀCy = Σ b_i = 1,
    // the value it has at the solution: the descent then works on the correlation structure
    // alone (F is otherwise invariant under a diagonal rescaling of the variables), and the
    // contributions y_i (Cy)_i should all be b.
    Vector y = cy.diagonal().cwiseSqrt().cwiseInverse();
    cy.reset(y);
    bool margin_sweep_done = false;
    for (int sweep = 0; sweep < kMaxErcSweeps; ++sweep) {
        Vector products(n);
        for (Eigen::Index i = 0; i < n; ++i) products[i] = cy.at(i, y);
        const double q = y.dot(products);
        if (!(q > 0.0 && q < kInf)) return std::nullopt;
        const double s = 1.0 / std::sqrt(q);
        y *= s;
        cy.scale(s);
        products *= s;
        const double deviation = (y.cwiseProduct(products).array() - b).abs().maxCoeff() / b;
        if (!std::isfinite(deviation)) return std::nullopt;
        // One more sweep once there, for a margin; the updates of Cy drift by rounding, so the
        // normalised weights are then judged afresh.
        if (deviation <= tolerance && margin_sweep_done) {
            Vector w = normalised(y);
            if (relative_contribution_spread(C, w) <= tolerance) return w;
            cy.reset(y);
        }
        margin_sweep_done = deviation <= tolerance;
        for (Eigen::Index i = 0; i < n; ++i) cy.step(i, b, y);
    }
    return std::nullopt;
}

std::optional<Vector> equal_risk_contributions(const Matrix& C, double tolerance) {
    return equal_risk_contributions(CovarianceView{nullptr, &C}, tolerance);
}

namespace {

// Coordinate descent with clipping for min ½yᵀCy − Σ budget·ln y_i over lower ≤ y ≤ upper, from
// y (Cy in cy), until no coordinate moves by more than `tolerance` of its value. False when it
// does not settle within `sweeps` (counted down) or meets a number that is not finite.
bool box_descent(CoordinateProducts& cy, const Vector& lower, const Vector& upper, double budget, Vector& y,
                 int& sweeps, double tolerance) {
    const Eigen::Index n = cy.size();
    while (sweeps-- > 0) {
        double largest = 0.0;
        for (Eigen::Index i = 0; i < n; ++i) {
            const double delta = cy.step(i, budget, y, lower[i], upper[i]);
            if (delta != 0.0) largest = std::max(largest, std::abs(delta) / y[i]);
        }
        if (!std::isfinite(largest)) return false;
        if (largest <= tolerance) {
            cy.reset(y);  // rid Cy of the drift of its updates
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<Vector> box_risk_budgeting(const CovarianceView& C, const BoundsList& bounds, const Vector& guess) {
    if (C.dense && C.dense->cols() != C.dense->rows()) return std::nullopt;
    CoordinateProducts cy(C);
    const Eigen::Index n = cy.size();
    if (n == 0 || bounds.size() != static_cast<std::size_t>(n) || !usable_diagonal(cy.diagonal()))
        return std::nullopt;
    // The logarithm keeps every weight positive: a missing or negative lower bound acts as 0, and a
    // weight whose upper bound is 0 stays at 0 (its coordinate steps end on that bound).
    // Named vectors rather than a structured binding: the search below captures them in a lambda.
    BoxVectors box = bound_vectors(bounds, 0.0, kInf);
    Vector& lower = box.lower;
    Vector& upper = box.upper;
    for (Eigen::Index i = 0; i < n; ++i) {
        lower[i] = std::max(lower[i], 0.0);
        if (std::isnan(lower[i]) || std::isnan(upper[i]) || lower[i] > upper[i]) return std::nullopt;
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
                   : normalised(cy.diagonal().cwiseSqrt().cwiseInverse());
    y = y.cwiseMax(lower).cwiseMin(upper);
    double v = std::sqrt(y.dot(cy.product(y)));  // λ = yᵀCy/Σb makes y stationary when no bound is active
    if (!(v > 0.0 && v < kInf)) return std::nullopt;
    int sweeps_left = kMaxBoxSweepsInAll;
    // Each solve is as accurate as the search needs: far from the root a rough one places the
    // next multiplier as well.
    double accuracy = 1e-6;
    const auto excess_at = [&](double v_new, double v_old, double& excess) {
        // From the last solution, scaled as the unconstrained one would scale.
        y = (y * (v_new / v_old)).cwiseMax(lower).cwiseMin(upper);
        cy.reset(y);
        int sweeps = std::min(kMaxBoxSweeps, sweeps_left);
        const int given = sweeps;
        const bool settled = box_descent(cy, lower, upper, v_new * v_new * b, y, sweeps, accuracy);
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

std::optional<Vector> box_risk_budgeting(const Matrix& C, const BoundsList& bounds, const Vector& guess) {
    return box_risk_budgeting(CovarianceView{nullptr, &C}, bounds, guess);
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

std::optional<Vector> projection_scales(const Vector& w, const BoundsList& bounds) {
    const Eigen::Index n = w.size();
    if (bounds.size() != static_cast<std::size_t>(n) || !w.allFinite()) return std::nullopt;
    double positive_sum = 0.0;
    Eigen::Index positive = 0;
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& upper = bounds[static_cast<std::size_t>(i)].upper;
        if (w[i] > 0.0)
            positive_sum += w[i], ++positive;
        else if (!(w[i] == 0.0 && upper && *upper == 0.0))
            return std::nullopt;
    }
    if (positive == 0) return std::nullopt;
    return w.unaryExpr([mean = positive_sum / static_cast<double>(positive)](double v) { return v > 0.0 ? v : mean; })
        .eval();
}

std::optional<Vector> project_onto_records(const Vector& w, const BoundsList& bounds,
                                           const std::vector<ConstraintRecord>& cons) {
    const Eigen::Index n = w.size();
    const std::optional<Vector> scales = projection_scales(w, bounds);
    if (!scales) return std::nullopt;
    // In v = (x − w)/√m the distance is ½‖v‖², whose Hessian the minimiser starts from: with
    // linear records its first step is the projection itself.
    const Vector root = scales->cwiseSqrt();
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

}  // namespace kelvane_mod_optimizer
