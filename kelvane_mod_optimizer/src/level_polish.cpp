// The polish of the spread of risk contributions towards one common level. Under binding limits
// the spread's optimum keeps most contributions equal and lets a few instruments (about one per
// binding limit) carry what the limits ask, the shape of a least-absolute-deviation fit: with
// t = x ⊙ Cx and θ the level, the spread is Σ_i κ_i |t_i − θ|, κ_i the rank weight |2k − n − 1|
// of an instrument off the level and about n for one on it. So the polish minimises
// Σ κ_i √((t_i − θ)² + ε²) by Gauss-Newton steps whose weights κ_i/√((t_i − θ)² + ε²) turn the
// kinks into curvature: an instrument on the level is held there by a heavy weight, one far from
// it moves freely. ε shrinks as the steps settle. Each step is a convex QP (the dense
// Gauss-Newton Hessian, the level eliminated) under the bounds and rows, solved by the primal
// active-set method; the point of smallest exact spread on the way is the answer.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "minimize/primal_qp.hpp"

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

// The smoothing ε relative to the mean contribution of the start: its first value, its last, and
// the factor it shrinks by once a step lowers the smoothed deviation by less than kSettled
// (measured on industry neutrality at 300 instruments: settling to 1e-4 ends within 5e-5 of the
// spread settling to 1e-5 ends at, in 60 % of the steps).
constexpr double kFirstSmoothing = 1e-2;
constexpr double kLastSmoothing = 1e-9;
constexpr double kShrinkSmoothing = 0.1;
constexpr double kSettled = 1e-5;
// An instrument farther than this many ε from the level counts as off it.
constexpr double kOffLevel = 10.0;
// Levenberg-Marquardt damping (relative to the Gauss-Newton diagonal): first value, range and moves.
constexpr double kFirstDamping = 1e-6;
constexpr double kLeastDamping = 1e-12;
constexpr double kMostDamping = 1e6;
constexpr double kDampingDown = 0.3;
constexpr double kDampingUp = 10.0;
// A floor on the damped diagonal, relative to the mean Gauss-Newton diagonal.
constexpr double kDiagonalFloor = 1e-14;
// Armijo's fraction and the step cuts of the line search.
constexpr double kArmijo = 1e-4;
constexpr int kMostCuts = 20;
// Steps at most (the caller's max_iteration may ask for fewer).
constexpr int kMostSteps = 200;
// A step's point must keep the bounds and the rows to this much (absolute), or to the start's own
// violation where that is larger.
constexpr double kStepViolation = 1e-12;
// Newton steps of the one-dimensional search for the level.
constexpr int kLevelSteps = 50;

// The sum of pairwise distances of the contributions: Σ_k (2k − n − 1) t_(k) over t sorted.
double exact_spread(Vector t) {
    std::sort(t.begin(), t.end());
    const Eigen::Index n = t.size();
    double s = 0.0;
    for (Eigen::Index k = 0; k < n; ++k) s += static_cast<double>(2 * k - n + 1) * t[k];
    return s;
}

// The level θ that minimises Σ κ_i √((t_i − θ)² + ε²): Newton's method from the median, kept
// within the range of t (the function is convex; its minimum lies there).
double best_level(const Vector& t, double eps, const Vector& kappa) {
    Vector sorted = t;
    std::sort(sorted.begin(), sorted.end());
    const Eigen::Index n = t.size();
    double lo = sorted[0], hi = sorted[n - 1];
    double theta = sorted[n / 2];
    for (int k = 0; k < kLevelSteps; ++k) {
        double first = 0.0, second = 0.0;
        for (Eigen::Index i = 0; i < n; ++i) {
            const double r = theta - t[i];
            const double s = std::sqrt(r * r + eps * eps);
            first += kappa[i] * r / s;
            second += kappa[i] * eps * eps / (s * s * s);
        }
        if (first > 0.0) hi = std::min(hi, theta);
        if (first < 0.0) lo = std::max(lo, theta);
        double next = second > 0.0 ? theta - first / second : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - theta) <= 1e-15 * std::max(std::abs(theta), eps)) return next;
        theta = next;
    }
    return theta;
}

double smoothed_deviation(const Vector& t, double theta, double eps, const Vector& kappa) {
    return (kappa.array() * ((t.array() - theta).square() + eps * eps).sqrt()).sum();
}

// The largest amount by which x breaks the box or the rows.
double violation(const Vector& x, const Vector& lower, const Vector& upper, const Matrix& A_eq, const Vector& b_eq,
                 const Matrix& A_in, const Vector& b_in) {
    double v = std::max((lower - x).maxCoeff(), (x - upper).maxCoeff());
    if (A_eq.rows()) v = std::max(v, (A_eq * x - b_eq).cwiseAbs().maxCoeff());
    if (A_in.rows()) v = std::max(v, (A_in * x - b_in).maxCoeff());
    return std::max(v, 0.0);
}

// The rank weights of the spread for a deviation from the level, over n: |2k − n − 1|/n for an
// instrument off the level (k its place in the order), 1 for one on it.
void rank_weights(const Vector& t, double theta, double eps, std::vector<Eigen::Index>& order, Vector& kappa) {
    const Eigen::Index n = t.size();
    std::iota(order.begin(), order.end(), Eigen::Index{0});
    std::sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
    for (Eigen::Index k = 0; k < n; ++k) {
        const Eigen::Index i = order[static_cast<std::size_t>(k)];
        kappa[i] = std::abs(t[i] - theta) > kOffLevel * eps
                       ? std::abs(static_cast<double>(2 * k - n + 1)) / static_cast<double>(n)
                       : 1.0;
    }
}

}  // namespace

SpreadPolish polish_towards_level(const Matrix& C, const Vector& start, const BoundsList& bounds,
                                  const LinearRows& rows, int max_steps) {
    const Eigen::Index n = start.size();
    const auto [lower, upper] = bound_vectors(bounds);
    Matrix A_eq(rows.A_eq.rows() + 1, n);
    A_eq << Matrix::Ones(1, n), rows.A_eq;
    Vector b_eq(rows.b_eq.size() + 1);
    b_eq << 1.0, rows.b_eq;
    const Matrix& A_in = rows.A_in;
    const Vector& b_in = rows.b_in;
    // The step's rows for the active-set method: A s = 0 for the equalities, A s >= b for the
    // inequalities A_in x <= b_in written as −A_in s >= A_in x − b_in.
    const Eigen::Index me = A_eq.rows();
    Matrix A(me + A_in.rows(), n);
    A << A_eq, -A_in;

    SpreadPolish result{start, 0.0, 0, Termination::exact_start, {}};
    Vector x = start;
    Vector cx = C * x;
    // Contributions in units of the start's mean, so that ε and the weights are of order one.
    const double unit = x.dot(cx) / static_cast<double>(n);
    result.spread = exact_spread(x.cwiseProduct(cx));
    if (n < 2 || !(unit > 0.0) || !std::isfinite(result.spread)) return result;
    const double allowed = std::max(kStepViolation, violation(x, lower, upper, A_eq, b_eq, A_in, b_in));

    double eps = kFirstSmoothing;
    double damping = kFirstDamping;
    Vector t = x.cwiseProduct(cx) / unit;
    Vector kappa = Vector::Ones(n);
    double theta = best_level(t, eps, kappa);
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
    minimize::ActiveSet active;
    Matrix B(n, n), H(n, n), K(n, n);
    const int steps_allowed = std::min(max_steps, kMostSteps);
    int steps = 0;
    for (; steps < steps_allowed; ++steps) {
        rank_weights(t, theta, eps, order, kappa);
        theta = best_level(t, eps, kappa);
        const double phi = smoothed_deviation(t, theta, eps, kappa);
        const Vector r = t.array() - theta;
        const Vector s = (r.array().square() + eps * eps).sqrt();
        const Vector w = kappa.cwiseQuotient(s);
        // J = (diag(Cx) + diag(x) C)/unit is the Jacobian of t; Jᵀv = (Cx ⊙ v + C (x ⊙ v))/unit.
        const auto J_transpose = [&](const Vector& v) -> Vector {
            return (cx.cwiseProduct(v) + C * x.cwiseProduct(v)) / unit;
        };
        const Vector g = J_transpose(w.cwiseProduct(r));
        const Vector Jw = J_transpose(w);
        // The Gauss-Newton Hessian with the level eliminated: JᵀWJ − (JᵀW1)(JᵀW1)ᵀ/1ᵀW1.
        const Vector root_w = w.cwiseSqrt();
        B.noalias() = (root_w.cwiseProduct(x) / unit).asDiagonal() * C;
        B.diagonal() += root_w.cwiseProduct(cx) / unit;
        H.setZero();
        H.selfadjointView<Eigen::Lower>().rankUpdate(B.transpose());
        const Vector gn_diagonal = H.diagonal();
        H.selfadjointView<Eigen::Lower>().rankUpdate(Jw, -1.0 / w.sum());
        H.triangularView<Eigen::StrictlyUpper>() = H.transpose();
        const double floor = kDiagonalFloor * gn_diagonal.mean();

        // The step within the limits: s = 0 keeps them (to the rounding the check below allows).
        const Vector lo = (lower - x).cwiseMin(0.0);
        const Vector up = (upper - x).cwiseMax(0.0);
        Vector b(A.rows());
        b.head(me).setZero();
        if (A_in.rows()) b.tail(A_in.rows()) = (A_in * x - b_in).cwiseMin(0.0);
        Vector d, multipliers;
        bool solved = false;
        while (!solved && damping <= kMostDamping) {
            K = H;
            K.diagonal() += damping * gn_diagonal + Vector::Constant(n, floor);
            minimize::ActiveSet trial = active;
            solved = minimize::primal_active_set_qp(K, g, A, b, me, lo, up, trial, d, multipliers);
            if (solved)
                active = trial;
            else
                damping *= kDampingUp;
        }
        if (!solved) {
            result.message = "no step's subproblem could be solved";
            break;
        }
        const double slope = g.dot(d);
        bool accepted = false;
        if (slope < 0.0) {
            double alpha = 1.0;
            for (int cut = 0; cut <= kMostCuts; ++cut, alpha *= 0.5) {
                Vector y = (x + alpha * d).cwiseMax(lower).cwiseMin(upper);
                if (violation(y, lower, upper, A_eq, b_eq, A_in, b_in) > allowed) continue;
                Vector cy = C * y;
                Vector ty = y.cwiseProduct(cy) / unit;
                const double theta_y = best_level(ty, eps, kappa);
                const double phi_y = smoothed_deviation(ty, theta_y, eps, kappa);
                if (!(phi_y <= phi + kArmijo * alpha * slope)) continue;
                x = std::move(y);
                cx = std::move(cy);
                t = std::move(ty);
                theta = theta_y;
                accepted = true;
                damping = alpha == 1.0 ? std::max(kLeastDamping, damping * kDampingDown)
                                       : std::min(kMostDamping, damping * kDampingUp);
                const double spread = exact_spread(t) * unit;
                if (spread < result.spread) {
                    result.weights = x;
                    result.spread = spread;
                    result.steps = steps + 1;
                    result.termination = Termination::iteration_limit;
                }
                if ((phi - phi_y) / phi < kSettled) eps *= kShrinkSmoothing;
                break;
            }
        }
        // No descent at this smoothing: the point is settled for it, or the model needs damping.
        if (!accepted) {
            if (slope >= 0.0 || damping >= kMostDamping)
                eps *= kShrinkSmoothing;
            else
                damping *= kDampingUp;
        }
        if (eps < kLastSmoothing) {
            result.termination = Termination::converged;
            result.message = "the deviation from the level settled at the finest smoothing";
            ++steps;
            break;
        }
    }
    if (steps >= steps_allowed && result.steps > 0) result.message = "the step limit was reached";
    if (result.steps == 0) result.termination = Termination::exact_start;
    return result;
}

}  // namespace kelvane_mod_optimizer
