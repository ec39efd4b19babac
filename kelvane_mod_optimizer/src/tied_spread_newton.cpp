// Newton's method on the ties of the contributions, the finish of the spread's polish. Where the
// contributions t = x ⊙ Cx fall into clusters of equal values (ties), the spread
// Σ_{i<j} |t_i − t_j| = Σ_k (2k − n + 1) t_(k) is smooth as long as each cluster stays tied and the
// clusters keep their order: it is Σ_i c̄_i t_i, c̄_i the mean rank weight of the places that i's
// cluster takes. On that manifold (the tied pairs, the budget, the equality rows and the active
// inequality rows held as equalities, the weights at a bound fixed) each step is a Newton step: a
// restoration onto the manifold plus the step within it on the reduced Hessian of the Lagrangian,
// its eigenvalues made positive. A step stops where two neighbouring clusters meet, which are tied
// from there on, where a free weight reaches its bound or an inequality row its limit. At the
// minimum on the ties, or where no step lowers the spread, the multipliers are read: a cluster
// where some members rising above the others lower the spread is split in two, or else a weight
// at a bound or a row at its limit whose leaving lowers it is released, and the steps go on (a
// split or release that no step follows with a lower spread is taken back, and the last minimum
// stands). The smoothed polish only approaches the spread's local minimum (its pair weights
// 1/√(gap² + ε²) close a gap by a fraction a step); from its answer these steps reach the minimum
// of its basin as a rule.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <vector>

#include <Eigen/Eigenvalues>
#include <Eigen/QR>

#include "internal.hpp"

namespace kelvane_mod_optimizer {

namespace {

// Neighbouring contributions closer than this (relative to the mean contribution) start tied.
constexpr double kTieGap = 1e-6;
// A weight this close to its bound, or an inequality row this close to its limit, holds there.
constexpr double kAtLimit = 1e-12;
// Steps at most.
constexpr int kMostSteps = 60;
// A held constraint whose pivot in the QR factorisation is below this share of the largest is
// taken as depending on the others.
constexpr double kDependent = 1e-10;
// The reduced Hessian's eigenvalues are taken in magnitude, and at least this share of the largest.
constexpr double kEigenFloor = 1e-8;
// Settled: the reduced gradient at most this share of the gradient, the tied pairs (relative to
// the mean contribution) and the rows within this of their values.
constexpr double kSettled = 1e-12;
// Restoration steps onto the manifold after a step, on the step's factorisation.
constexpr int kRestorations = 3;
// Halvings of a step whose point does not lower the spread.
constexpr int kMostCuts = 10;
// A step may raise the spread by this much (relative): the restoration's rounding on a step that
// only brings a new constraint in.
constexpr double kStepSlack = 1e-13;
// At the minimum on the ties, a tied cluster splits where some of its members' multipliers exceed
// the rank weights of the places above by more than kSplitMargin times n; else a weight at a bound
// or a row at its limit is released where its multiplier has the wrong sign by more than
// kReleaseMargin times the gradient; kMostLoosenings times at most.
constexpr double kSplitMargin = 1e-6;
constexpr double kReleaseMargin = 1e-6;
constexpr int kMostLoosenings = 20;
// Steps after a loosening that only meet a constraint before one must lower the spread.
constexpr int kMostBlockedSteps = 5;

// A cluster of tied contributions, in the order of their levels.
struct Cluster {
    std::vector<Eigen::Index> members;
    double level = 0.0;  // the members' mean contribution
};

// Two neighbours in a cluster, held tied.
struct Pair {
    Eigen::Index i, j;
};

}  // namespace

SpreadPolish polish_spread_on_ties(const Matrix& C, const Vector& start, const BoundsList& bounds,
                                   const LinearRows& rows, int max_steps) {
    const Eigen::Index n = start.size();
    const BoxVectors box = bound_vectors(bounds);
    const Vector& lower = box.lower;
    const Vector& upper = box.upper;
    const LinearRows all = with_budget(rows, n);
    const Matrix& A_eq = all.A_eq;
    const Vector& b_eq = all.b_eq;
    const Matrix& A_in = all.A_in;
    const Vector& b_in = all.b_in;
    const Eigen::Index me = A_eq.rows(), mi = A_in.rows();

    Vector x = start;
    Vector cx = C * x;
    Vector t = x.cwiseProduct(cx);
    double spread = sorted_spread(t);
    SpreadPolish result{start, spread, 0, Termination::exact_start, {}};
    const double unit = t.sum() / static_cast<double>(n);
    if (n < 2 || !(unit > 0.0) || !std::isfinite(spread)) return result;
    const double allowed = std::max(kAtLimit, rows_violation(x, lower, upper, A_eq, b_eq, A_in, b_in));

    // The ties of the start, the weights at a bound and the inequality rows at their limit.
    std::vector<Cluster> clusters;
    {
        std::vector<Eigen::Index> order(static_cast<std::size_t>(n));
        std::iota(order.begin(), order.end(), Eigen::Index{0});
        std::sort(order.begin(), order.end(), [&](Eigen::Index a, Eigen::Index b) { return t[a] < t[b]; });
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (k == 0 || t[order[k]] - t[order[k - 1]] > kTieGap * unit) clusters.emplace_back();
            clusters.back().members.push_back(order[k]);
        }
    }
    std::vector<char> fixed(static_cast<std::size_t>(n));
    for (Eigen::Index i = 0; i < n; ++i)
        fixed[static_cast<std::size_t>(i)] = x[i] <= lower[i] + kAtLimit || x[i] >= upper[i] - kAtLimit;
    std::vector<char> held_row(static_cast<std::size_t>(mi));
    for (Eigen::Index j = 0; j < mi; ++j)
        held_row[static_cast<std::size_t>(j)] = A_in.row(j).dot(x) - b_in[j] >= -kAtLimit;

    Matrix gt_storage(n, n + me + mi);
    const int steps_allowed = std::min(max_steps, kMostSteps);
    int steps = 0;
    // The splits and releases made, and the constraints held and the spread before the last one
    // until a step follows it.
    struct Holds {
        std::vector<Cluster> clusters;
        std::vector<char> fixed, held_row;
    };
    int loosenings = 0;
    Holds before_loosening;
    bool loosened = false;
    double loosened_from = 0.0;
    int blocked_steps = 0;  // steps since the last loosening that only met a constraint
    for (; steps < steps_allowed; ++steps) {
        // The clusters in the order of their levels.
        for (Cluster& c : clusters) {
            c.level = 0.0;
            for (Eigen::Index i : c.members) c.level += t[i];
            c.level /= static_cast<double>(c.members.size());
        }
        // In place where the levels are within a tie (a split cluster keeps its halves' order).
        for (std::size_t a = 1; a < clusters.size(); ++a)
            for (std::size_t b = a; b > 0 && clusters[b].level < clusters[b - 1].level - kTieGap * unit; --b)
                std::swap(clusters[b], clusters[b - 1]);
        // The mean rank weight of each instrument's cluster: 2s + c − n for a cluster of c members
        // above s others.
        Vector weight(n);
        {
            Eigen::Index below = 0;
            for (const Cluster& c : clusters) {
                const auto size = static_cast<Eigen::Index>(c.members.size());
                for (Eigen::Index i : c.members) weight[i] = static_cast<double>(2 * below + size - n);
                below += size;
            }
        }
        std::vector<Eigen::Index> free;
        for (Eigen::Index i = 0; i < n; ++i)
            if (!fixed[static_cast<std::size_t>(i)]) free.push_back(i);
        const auto nf = static_cast<Eigen::Index>(free.size());
        if (nf == 0) break;

        // The held constraints as columns of Gᵀ on the free weights, with their values h: each
        // tied pair (neighbours in a cluster) t_i − t_j, whose gradient is row i of the Jacobian
        // J = diag(Cx) + diag(x)C less row j; then the equality rows and the held inequality rows.
        std::vector<Pair> pairs;
        for (const Cluster& c : clusters)
            for (std::size_t k = 1; k < c.members.size(); ++k) pairs.push_back({c.members[k - 1], c.members[k]});
        std::vector<Eigen::Index> held;
        for (Eigen::Index j = 0; j < mi; ++j)
            if (held_row[static_cast<std::size_t>(j)]) held.push_back(j);
        const auto np = static_cast<Eigen::Index>(pairs.size());
        const Eigen::Index m = np + me + static_cast<Eigen::Index>(held.size());
        std::vector<Eigen::Index> slot(static_cast<std::size_t>(n), -1);
        for (Eigen::Index a = 0; a < nf; ++a) slot[static_cast<std::size_t>(free[static_cast<std::size_t>(a)])] = a;
        // Gᵀ is built in storage kept across the steps (a fresh n × n block each step costs its
        // page faults, more than its arithmetic), and factorised in place.
        auto GT = gt_storage.topLeftCorner(nf, m);
        const auto build_gt = [&]() {
            for (Eigen::Index k = 0; k < np; ++k) {
                const auto [i, j] = pairs[static_cast<std::size_t>(k)];
                GT.col(k) = x[i] * C(free, i) - x[j] * C(free, j);
                if (slot[static_cast<std::size_t>(i)] >= 0) GT(slot[static_cast<std::size_t>(i)], k) += cx[i];
                if (slot[static_cast<std::size_t>(j)] >= 0) GT(slot[static_cast<std::size_t>(j)], k) -= cx[j];
            }
            for (Eigen::Index e = 0; e < me; ++e) GT.col(np + e) = A_eq(e, free).transpose();
            for (std::size_t e = 0; e < held.size(); ++e)
                GT.col(np + me + static_cast<Eigen::Index>(e)) = A_in(held[e], free).transpose();
        };
        // The held constraints' values at a point (its products Cy given).
        const auto values = [&](const Vector& y, const Vector& cy) {
            Vector h(m);
            for (Eigen::Index k = 0; k < np; ++k) {
                const auto [i, j] = pairs[static_cast<std::size_t>(k)];
                h[k] = y[i] * cy[i] - y[j] * cy[j];
            }
            h.segment(np, me) = A_eq * y - b_eq;
            for (std::size_t e = 0; e < held.size(); ++e)
                h[np + me + static_cast<Eigen::Index>(e)] = A_in.row(held[e]).dot(y) - b_in[held[e]];
            return h;
        };
        const Vector h = values(x, cx);

        // Gᵀ P = Q R: the first `rank` pivoted columns are the independent constraints, Y (Q's
        // first columns) spans their gradients and Z (the others) the manifold's tangent space.
        // The blocked factorisation without pivots serves where every constraint is independent
        // (as a rule), the pivoted one otherwise.
        using Block = Eigen::Ref<Matrix>;
        build_gt();
        bool independent_columns = m <= nf;
        std::optional<Eigen::HouseholderQR<Block>> plain;
        std::optional<Eigen::ColPivHouseholderQR<Block>> pivoted;
        if (independent_columns) {
            plain.emplace(GT);
            const Vector pivots = plain->matrixQR().diagonal().cwiseAbs();
            independent_columns = m == 0 || pivots.minCoeff() > kDependent * pivots.maxCoeff();
        }
        if (!independent_columns) {
            plain.reset();
            build_gt();
            pivoted.emplace(GT);
            pivoted->setThreshold(kDependent);
        }
        const Eigen::Index rank = independent_columns ? m : pivoted->rank();
        const Eigen::Index r = nf - rank;
        const auto Q = independent_columns ? plain->householderQ() : pivoted->householderQ();
        const auto R = (independent_columns ? plain->matrixQR() : pivoted->matrixR())
                           .topLeftCorner(rank, rank)
                           .triangularView<Eigen::Upper>();
        std::vector<Eigen::Index> independent(static_cast<std::size_t>(rank));
        for (Eigen::Index k = 0; k < rank; ++k)
            independent[static_cast<std::size_t>(k)] = independent_columns ? k : pivoted->colsPermutation().indices()[k];
        // The step −Y R⁻ᵀ h onto the manifold's linearisation, for the independent constraints.
        const auto restoration = [&](const Vector& hv) {
            Vector w = Vector::Zero(nf);
            Vector hs(rank);
            for (Eigen::Index k = 0; k < rank; ++k) hs[k] = hv[independent[static_cast<std::size_t>(k)]];
            w.head(rank) = R.transpose().solve(hs);
            return Vector(-(Q * w));
        };

        // The gradient of Σ c̄_i t_i, Jᵀc̄, and the multipliers λ = R⁻¹Yᵀg.
        const Vector g = cx.cwiseProduct(weight) + C * x.cwiseProduct(weight);
        Vector gF = g(free);
        const Vector qg = Q.adjoint() * gF;
        const Vector lambda = R.solve(qg.head(rank));
        // The Lagrangian's Hessian Σ v_i ∇²t_i = diag(v)C + C diag(v), v = c̄ less the tied pairs'
        // multipliers, times moves M of the free weights (a few columns), on the free weights.
        Vector v = weight;
        for (Eigen::Index k = 0; k < rank; ++k) {
            const Eigen::Index c = independent[static_cast<std::size_t>(k)];
            if (c >= np) continue;
            v[pairs[static_cast<std::size_t>(c)].i] -= lambda[k];
            v[pairs[static_cast<std::size_t>(c)].j] += lambda[k];
        }
        const auto hessian_times = [&](const Matrix& M) -> Matrix {
            Matrix moved = Matrix::Zero(n, M.cols());
            moved(free, Eigen::all) = M;
            const Matrix product = v.asDiagonal() * (C * moved) + C * (v.asDiagonal() * moved);
            return product(free, Eigen::all);
        };
        const Vector d_restore = restoration(h);
        Vector dF = d_restore;
        double reduced_gradient = 0.0;
        if (r > 0) {
            Matrix E = Matrix::Zero(nf, r);
            E.bottomRows(r).setIdentity();
            const Matrix Z = Q * E;
            const Matrix HZ = hessian_times(Z);
            const Vector gr = Z.transpose() * (gF + hessian_times(d_restore));
            reduced_gradient = gr.lpNorm<Eigen::Infinity>();
            Matrix Hr = Z.transpose() * HZ;
            Hr = (0.5 * (Hr + Hr.transpose())).eval();
            const Eigen::SelfAdjointEigenSolver<Matrix> eigen(Hr);
            const Vector magnitude = eigen.eigenvalues().cwiseAbs();
            const double floor = kEigenFloor * std::max(magnitude.maxCoeff(), std::numeric_limits<double>::min());
            const Vector p = -eigen.eigenvectors() *
                             (eigen.eigenvectors().transpose() * gr).cwiseQuotient(magnitude.cwiseMax(floor));
            dF += Z * p;
        }
        double tie_gap = 0.0;
        for (Eigen::Index k = 0; k < m; ++k) tie_gap = std::max(tie_gap, std::abs(h[k]) / (k < np ? unit : 1.0));
        // The loosening of the constraints held, where the multipliers at this point ask for one: at
        // the minimum on the ties, or where no step lowers the spread.
        const auto loosen = [&]() -> bool {
            if (loosenings >= kMostLoosenings) return false;
            // The minimum on these ties is the spread's own where, in each cluster, every k members'
            // multipliers v sum to at most the rank weights of the cluster's k top places; where they
            // exceed them, those members rising above the others lower the spread.
            double most_excess = kSplitMargin * static_cast<double>(n);
            std::size_t split_at = 0, rising = 0;
            Eigen::Index below = 0;
            for (std::size_t a = 0; a < clusters.size(); ++a) {
                std::vector<Eigen::Index> members = clusters[a].members;
                const auto size = static_cast<Eigen::Index>(members.size());
                std::sort(members.begin(), members.end(), [&](Eigen::Index i, Eigen::Index j) { return v[i] > v[j]; });
                double excess = 0.0;
                for (Eigen::Index k = 1; k < size; ++k) {
                    excess += v[members[static_cast<std::size_t>(k - 1)]] - static_cast<double>(2 * (below + size - k) - n + 1);
                    if (excess > most_excess) most_excess = excess, split_at = a, rising = static_cast<std::size_t>(k);
                }
                clusters[a].members = std::move(members);  // kept in this order: the pairs follow it
                below += size;
            }
            // The constraints held before, kept until a step follows.
            const auto keep_holds = [&]() {
                before_loosening = {clusters, fixed, held_row};
                loosened = true;
                loosened_from = spread;
                ++loosenings;
            };
            if (rising > 0) {
                keep_holds();
                std::vector<Eigen::Index>& members = clusters[split_at].members;
                Cluster upper_part{{members.begin(), members.begin() + static_cast<std::ptrdiff_t>(rising)}, 0.0};
                members.erase(members.begin(), members.begin() + static_cast<std::ptrdiff_t>(rising));
                clusters.insert(clusters.begin() + static_cast<std::ptrdiff_t>(split_at) + 1, std::move(upper_part));
                return true;
            }
            // The multipliers of the bounds and rows held: the gradient of Σ v_i t_i less the rows'
            // part, where the tied pairs' part is in v; a weight at its upper bound whose component is
            // positive, at its lower bound negative, or a row whose multiplier is positive, lowers the
            // spread as it leaves.
            Vector row_part = Vector::Zero(n);
            std::vector<double> row_multiplier(static_cast<std::size_t>(mi), 0.0);
            for (Eigen::Index k = 0; k < rank; ++k) {
                const Eigen::Index c = independent[static_cast<std::size_t>(k)];
                if (c < np) continue;
                if (c < np + me) {
                    row_part += lambda[k] * A_eq.row(c - np).transpose();
                } else {
                    const Eigen::Index j = held[static_cast<std::size_t>(c - np - me)];
                    row_part += lambda[k] * A_in.row(j).transpose();
                    row_multiplier[static_cast<std::size_t>(j)] = lambda[k];
                }
            }
            const Vector leaving = cx.cwiseProduct(v) + C * x.cwiseProduct(v) - row_part;
            double most_gain = kReleaseMargin * std::max(1.0, gF.lpNorm<Eigen::Infinity>());
            Eigen::Index released_weight = -1, released_row = -1;
            for (Eigen::Index i = 0; i < n; ++i) {
                if (!fixed[static_cast<std::size_t>(i)] || upper[i] - lower[i] <= kAtLimit) continue;
                const double gain = x[i] >= upper[i] - kAtLimit ? leaving[i] : -leaving[i];
                if (gain > most_gain) most_gain = gain, released_weight = i;
            }
            for (Eigen::Index j = 0; j < mi; ++j)
                if (row_multiplier[static_cast<std::size_t>(j)] > most_gain)
                    most_gain = row_multiplier[static_cast<std::size_t>(j)], released_row = j, released_weight = -1;
            if (released_weight >= 0 || released_row >= 0) {
                keep_holds();
                if (released_row >= 0) held_row[static_cast<std::size_t>(released_row)] = 0;
                else fixed[static_cast<std::size_t>(released_weight)] = 0;
                return true;
            }
            return false;
        };
        if (reduced_gradient <= kSettled * std::max(1.0, gF.lpNorm<Eigen::Infinity>()) && tie_gap <= kSettled) {
            if (loosen()) continue;
            result.termination = result.steps > 0 ? Termination::converged : Termination::exact_start;
            result.message = "the spread is at its minimum on the ties";
            break;
        }

        // As far as the constraints not held allow: the free weights' bounds, the inequality rows
        // not held, and the meeting of neighbouring clusters (their levels to first order).
        Vector d = Vector::Zero(n);
        d(free) = dF;
        double alpha = 1.0;
        enum class Blocking { none, bound, row, meeting } blocking = Blocking::none;
        Eigen::Index blocker = -1;
        for (Eigen::Index i : free) {
            double a = alpha;
            if (d[i] < 0.0) a = (lower[i] - x[i]) / d[i];
            if (d[i] > 0.0) a = (upper[i] - x[i]) / d[i];
            if (a < alpha) alpha = a, blocking = Blocking::bound, blocker = i;
        }
        for (Eigen::Index j = 0; j < mi; ++j) {
            if (held_row[static_cast<std::size_t>(j)]) continue;
            const double rise = A_in.row(j).dot(d);
            if (rise > 0.0 && (b_in[j] - A_in.row(j).dot(x)) / rise < alpha)
                alpha = (b_in[j] - A_in.row(j).dot(x)) / rise, blocking = Blocking::row, blocker = j;
        }
        const Vector dt = cx.cwiseProduct(d) + x.cwiseProduct(C * d);
        std::vector<double> rise(clusters.size(), 0.0);
        for (std::size_t a = 0; a < clusters.size(); ++a) {
            for (Eigen::Index i : clusters[a].members) rise[a] += dt[i];
            rise[a] /= static_cast<double>(clusters[a].members.size());
        }
        for (std::size_t a = 0; a + 1 < clusters.size(); ++a) {
            if (!(rise[a] > rise[a + 1])) continue;
            const double meet = (clusters[a + 1].level - clusters[a].level) / (rise[a] - rise[a + 1]);
            if (meet < alpha) alpha = meet, blocking = Blocking::meeting, blocker = static_cast<Eigen::Index>(a);
        }
        alpha = std::max(alpha, 0.0);

        // The step's point, restored onto the manifold, taken where it keeps the limits and does
        // not raise the spread; halved otherwise (it then meets no new constraint).
        bool accepted = false;
        Vector y, cy;
        double spread_y = spread;
        for (int cut = 0; cut <= kMostCuts && !accepted; ++cut) {
            if (cut > 0) alpha *= 0.5, blocking = Blocking::none;
            y = x + alpha * d;
            cy = C * y;
            for (int k = 0; k < kRestorations; ++k) {
                const Vector hy = values(y, cy);
                if (hy.lpNorm<Eigen::Infinity>() == 0.0) break;
                y(free) += restoration(hy);
                cy = C * y;
            }
            if (!y.allFinite() || rows_violation(y, lower, upper, A_eq, b_eq, A_in, b_in) > allowed) continue;
            spread_y = sorted_spread(y.cwiseProduct(cy));
            accepted = spread_y <= spread * (1.0 + kStepSlack);
        }
        // A split or release that no step follows with a lower spread is taken back, and the last
        // minimum stands; a step that only meets a constraint (at no gain, as a rule of zero length)
        // does not decide, up to kMostBlockedSteps of them: the step after it, with that
        // constraint held, may lower the spread.
        const bool lowered = accepted && spread_y < loosened_from;
        const bool undecided = loosened && !lowered && accepted && blocking != Blocking::none &&
                               blocked_steps < kMostBlockedSteps;
        const bool taken_back = loosened && !lowered && !undecided;
        if (undecided) {
            ++blocked_steps;
        } else {
            loosened = false;
            blocked_steps = 0;
        }
        if (taken_back) {
            clusters = std::move(before_loosening.clusters);
            fixed = std::move(before_loosening.fixed);
            held_row = std::move(before_loosening.held_row);
            loosenings = kMostLoosenings;
            if (!accepted) continue;
        } else if (!accepted) {
            if (loosen()) continue;
            result.message = "no step on the ties lowers the spread";
            break;
        }
        x = std::move(y);
        cx = std::move(cy);
        t = x.cwiseProduct(cx);
        spread = spread_y;
        if (spread < result.spread) {
            result.weights = x;
            result.spread = spread;
            result.steps = steps + 1;
            result.termination = Termination::iteration_limit;
        }
        if (taken_back) continue;
        if (blocking == Blocking::bound) fixed[static_cast<std::size_t>(blocker)] = 1;
        if (blocking == Blocking::row) held_row[static_cast<std::size_t>(blocker)] = 1;
        if (blocking == Blocking::meeting) {
            const auto a = static_cast<std::size_t>(blocker);
            std::vector<Eigen::Index>& joined = clusters[a].members;
            joined.insert(joined.end(), clusters[a + 1].members.begin(), clusters[a + 1].members.end());
            clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(a) + 1);
        }
    }
    if (steps >= steps_allowed && result.steps > 0) result.message = "the step limit was reached";
    return result;
}

}  // namespace kelvane_mod_optimizer
