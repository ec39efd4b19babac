// The polish of the spread of risk contributions through its smoothing: with t = x ⊙ Cx, the
// spread Σ_{i<j} |t_i − t_j| becomes Σ_{i<j} √((t_i − t_j)² + ε²), minimised by Gauss-Newton
// steps on the reweighted pairs (the weight of a pair 1/√((t_i − t_j)² + ε²), the majorant of
// |t_i − t_j| at the current point), so that the kinks of the spread turn into curvature: two
// contributions that meet are held together by a heavy weight, two far apart move freely. ε
// shrinks as the steps settle. Each step is a convex QP (the dense Gauss-Newton Hessian JᵀLJ, L
// the Laplacian of the pair weights, formed every few steps) under the bounds and rows, solved by
// the primal active-set method, whose factor serves the steps until the Hessian is formed again;
// the point of smallest exact spread on the way is the answer.
#include <algorithm>
#include <cmath>
#include <numeric>

#include "minimize/primal_qp.hpp"
#include "minimize/products.hpp"

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

// The smoothing ε relative to the mean contribution of the start: its first value, its last, and
// the factor it shrinks by once a step (per unit of its length) lowers the smoothed spread by a
// fraction less than kSettledPerSmoothing·ε, and never less than kSettled: loosely where the
// smoothing is coarse, tightly where it is close to the spread itself (measured on 28 problems of
// 150 to 300 instruments against 1e-2 and a fixed 1e-5: lower spreads in 26, 4 of them below
// SLSQP from equal weights, in half the steps at 300 instruments).
constexpr double kFirstSmoothing = 1e-3;
constexpr double kLastSmoothing = 1e-9;
constexpr double kShrinkSmoothing = 0.1;
constexpr double kSettledPerSmoothing = 0.1;
constexpr double kSettled = 1e-7;
// A full step that lowers the smoothed spread is doubled up to this many times while that lowers
// it further: between two Hessians the steps repeat much the same move (measured at 300
// instruments: 70 steps instead of 130, lower spreads).
constexpr int kMostDoublings = 2;
// The Gauss-Newton Hessian (two n³ products) is formed again after this many steps or when ε
// shrinks, the steps between taking the last one (measured at 300 instruments: the same steps and
// spreads as forming it every step, in half the time).
constexpr int kHessianReuse = 5;
// Contributions closer than this many ε to their neighbour in the order form a cluster; the
// Hessian takes the clusters' mean pair weights where there are at most n/kClusterShare clusters
// (a product of n² × clusters instead of n³; measured on 40 problems: the same spreads or lower,
// 5-10 % sooner).
constexpr double kClusterGap = 1.0;
constexpr Eigen::Index kClusterShare = 4;
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

// Σ_{i<j} √((t_i − t_j)² + ε²), over n.
double smoothed_spread(const Vector& t, double eps) {
    const Eigen::Index n = t.size();
    double v = 0.0;
    for (Eigen::Index j = 0; j + 1 < n; ++j)
        v += ((t.tail(n - j - 1).array() - t[j]).square() + eps * eps).sqrt().sum();
    return v / static_cast<double>(n);
}

}  // namespace

SpreadPolish polish_smoothed_spread(const Matrix& C, const Vector& start, const BoundsList& bounds,
                                    const LinearRows& rows, int max_steps) {
    const Eigen::Index n = start.size();
    const auto [lower, upper] = bound_vectors(bounds);
    const LinearRows all = with_budget(rows, n);
    const Matrix& A_eq = all.A_eq;
    const Vector& b_eq = all.b_eq;
    const Matrix& A_in = all.A_in;
    const Vector& b_in = all.b_in;
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
    result.spread = sorted_spread(x.cwiseProduct(cx));
    if (n < 2 || !(unit > 0.0) || !std::isfinite(result.spread)) return result;
    const double allowed = std::max(kStepViolation, rows_violation(x, lower, upper, A_eq, b_eq, A_in, b_in));
    const auto count = static_cast<double>(n);

    double eps = kFirstSmoothing;
    // The step and the smoothing at which the Hessian was last formed.
    int formed_at = 0;
    double formed_eps = 0.0;
    double damping = kFirstDamping;
    Vector t = x.cwiseProduct(cx) / unit;
    minimize::ActiveSet active;
    Eigen::ArrayXd pair_gap(n), pair_weight(n);
    // The QP's matrix K (the Hessian plus the damping) is built again only when the Hessian is
    // formed or the damping must grow: a smaller damping waits for the next Hessian, so that the
    // factor of K's free block serves every step in between.
    minimize::FreeBlockFactor kept;
    double damping_in_k = 0.0;
    Matrix J(n, n), LJ(n, n), H(n, n), K(n, n);
    // The Laplacian L is only read while the Hessian is formed, and K is built from the Hessian
    // after that in the same step: L takes K's storage (an n × n matrix fewer, 18 MB at 1,500).
    Matrix& L = K;
    std::vector<Eigen::Index> order(static_cast<std::size_t>(n)), cluster(static_cast<std::size_t>(n));
    const int steps_allowed = std::min(max_steps, kMostSteps);
    int steps = 0;
    for (; steps < steps_allowed; ++steps) {
        // The smoothed spread at x (its pairs' roots s_ij summed in the order smoothed_spread
        // sums them), the gradient in t, γ_i = Σ_j (t_i − t_j)/s_ij, and the Laplacian
        // L = diag(W1) − W of the pair weights W_ij = 1/s_ij (all over n), in one pass.
        const bool form = steps == 0 || steps - formed_at >= kHessianReuse || eps != formed_eps;
        // The clusters: contributions in their order, a new one after a gap wider than ε.
        Eigen::Index clusters = 0;
        if (form) {
            std::iota(order.begin(), order.end(), Eigen::Index{0});
            std::sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
            for (Eigen::Index k = 0; k < n; ++k) {
                const Eigen::Index i = order[static_cast<std::size_t>(k)];
                if (k == 0 || t[i] - t[order[static_cast<std::size_t>(k - 1)]] > kClusterGap * eps) ++clusters;
                cluster[static_cast<std::size_t>(i)] = clusters - 1;
            }
        }
        const bool clustered = form && clusters <= n / kClusterShare;
        Matrix omega;
        if (clustered) omega = Matrix::Zero(clusters, clusters);
        Vector gamma = Vector::Zero(n);
        double root_sum = 0.0;
        // Column j of the pairs (i > j) at once, in vector arithmetic.
        for (Eigen::Index j = 0; j + 1 < n; ++j) {
            const Eigen::Index rest = n - j - 1;
            auto gap = pair_gap.head(rest);
            auto weight = pair_weight.head(rest);
            gap = t.tail(rest).array() - t[j];
            weight = (gap.square() + eps * eps).sqrt();
            root_sum += weight.sum();
            weight = weight.inverse() / count;
            gamma.tail(rest).array() += gap * weight;
            gamma[j] -= (gap * weight).sum();
            if (clustered) {
                const auto c = cluster[static_cast<std::size_t>(j)];
                for (Eigen::Index k = 0; k < rest; ++k) {
                    const auto a = cluster[static_cast<std::size_t>(j + 1 + k)];
                    omega(a, c) += weight[k];
                    if (a != c) omega(c, a) += weight[k];
                }
            } else if (form) {
                L.col(j).tail(rest) = -weight.matrix();
            }
        }
        const double phi = root_sum / count;
        // J = (diag(Cx) + diag(x) C)/unit is the Jacobian of t; the gradient is Jᵀγ.
        const Vector g = (cx.cwiseProduct(gamma) + C * x.cwiseProduct(gamma)) / unit;
        if (form) {
            J.noalias() = (x / unit).asDiagonal() * C;
            J.diagonal() += cx / unit;
            if (clustered) {
                // The pair weights averaged over each pair of clusters, Ω: the Laplacian becomes
                // diag(δ) − EΩEᵀ (E the clusters' indicator, δ_i = Σ_b n_b Ω_{a(i)b}), and JᵀLJ a
                // product of rows scaled by √δ less a term of rank at most the clusters.
                Vector size = Vector::Zero(clusters);
                for (Eigen::Index i = 0; i < n; ++i) size[cluster[static_cast<std::size_t>(i)]] += 1.0;
                for (Eigen::Index a = 0; a < clusters; ++a) {
                    for (Eigen::Index c = 0; c < clusters; ++c) {
                        const double pairs = a == c ? size[a] * (size[a] - 1.0) / 2.0 : size[a] * size[c];
                        omega(a, c) = pairs > 0.0 ? omega(a, c) / pairs : 0.0;
                    }
                }
                const Vector per_cluster = omega * size;
                Matrix P = Matrix::Zero(n, clusters);  // JᵀE
                Vector root(n);
                for (Eigen::Index i = 0; i < n; ++i) {
                    const auto a = cluster[static_cast<std::size_t>(i)];
                    P.col(a) += J.row(i).transpose();
                    root[i] = std::sqrt(per_cluster[a]);
                }
                LJ.noalias() = root.asDiagonal() * J;
                minimize::set_lower_product(H, LJ, LJ);
                const Matrix Q = P * omega;
                H.triangularView<Eigen::Lower>() -= Q * P.transpose();
            } else {
                // The lower half was filled: mirrored, then each diagonal entry makes its column sum 0.
                L.diagonal().setZero();
                L.triangularView<Eigen::StrictlyUpper>() = L.transpose();
                L.diagonal() = -L.colwise().sum().transpose();
                LJ.noalias() = L * J;
                // JᵀLJ is symmetric: its lower half is computed, then mirrored.
                minimize::set_lower_product(H, J, LJ);
            }
            H.triangularView<Eigen::StrictlyUpper>() = H.transpose();
            formed_at = steps;
            formed_eps = eps;
        }
        const Vector gn_diagonal = H.diagonal();
        const double floor = kDiagonalFloor * gn_diagonal.mean();

        // The step within the limits: s = 0 keeps them (to the rounding the check below allows).
        const Vector lo = (lower - x).cwiseMin(0.0);
        const Vector up = (upper - x).cwiseMax(0.0);
        Vector b(A.rows());
        b.head(me).setZero();
        if (A_in.rows()) b.tail(A_in.rows()) = (A_in * x - b_in).cwiseMin(0.0);
        Vector d, multipliers;
        bool solved = false;
        bool rebuild = form;
        while (!solved && damping <= kMostDamping) {
            if (rebuild || damping > damping_in_k) {
                K = H;
                K.diagonal() += damping * gn_diagonal + Vector::Constant(n, floor);
                damping_in_k = damping;
                kept.reset();
                rebuild = false;
            }
            minimize::ActiveSet trial = active;
            solved = minimize::primal_active_set_qp(K, g, A, b, me, lo, up, trial, d, multipliers, &kept);
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
                if (rows_violation(y, lower, upper, A_eq, b_eq, A_in, b_in) > allowed) continue;
                Vector cy = C * y;
                Vector ty = y.cwiseProduct(cy) / unit;
                double phi_y = smoothed_spread(ty, eps);
                if (!(phi_y <= phi + kArmijo * alpha * slope)) continue;
                for (int doubling = 0; cut == 0 && doubling < kMostDoublings; ++doubling) {
                    Vector y2 = (x + 2.0 * alpha * d).cwiseMax(lower).cwiseMin(upper);
                    if (rows_violation(y2, lower, upper, A_eq, b_eq, A_in, b_in) > allowed) break;
                    Vector cy2 = C * y2;
                    Vector ty2 = y2.cwiseProduct(cy2) / unit;
                    const double phi2 = smoothed_spread(ty2, eps);
                    if (!(phi2 < phi_y)) break;
                    alpha *= 2.0, phi_y = phi2, y = std::move(y2), cy = std::move(cy2), ty = std::move(ty2);
                }
                x = std::move(y);
                cx = std::move(cy);
                t = std::move(ty);
                accepted = true;
                damping = alpha >= 1.0 ? std::max(kLeastDamping, damping * kDampingDown)
                                       : std::min(kMostDamping, damping * kDampingUp);
                const double spread = sorted_spread(t) * unit;
                if (spread < result.spread) {
                    result.weights = x;
                    result.spread = spread;
                    result.steps = steps + 1;
                    result.termination = Termination::iteration_limit;
                }
                if ((phi - phi_y) / (phi * alpha) < std::max(kSettled, kSettledPerSmoothing * eps)) eps *= kShrinkSmoothing;
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
            result.message = "the smoothed spread settled at the finest smoothing";
            ++steps;
            break;
        }
    }
    if (steps >= steps_allowed && result.steps > 0) result.message = "the step limit was reached";
    if (result.steps == 0) result.termination = Termination::exact_start;
    return result;
}

}  // namespace kelvane_mod_optimizer
