#include "minimize/primal_qp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "active_set_qp.hpp"

namespace minimize::detail {

namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;
using Index = Eigen::Index;

constexpr double kRelTol = 1e-11;
constexpr double kFeasTol = 1e-12;
constexpr double kStationarityTol = 1e-9;

// Lower Cholesky factor of B restricted to an ordered list of free variables, updated in O(n²)
// when a variable joins or leaves the list.
class FreeFactor {
public:
    explicit FreeFactor(const Matrix& B) : B_(B) {}

    [[nodiscard]] const std::vector<Index>& free() const { return free_; }
    [[nodiscard]] Index size() const { return static_cast<Index>(free_.size()); }
    [[nodiscard]] int updates() const { return updates_; }
    [[nodiscard]] Index order() const { return B_.rows(); }

    // Takes the storage of a kept factor; with `valid` its factor of the variables `free` as well.
    void adopt(Matrix& lower, std::vector<Index>& free, int updates, bool valid) {
        L_.swap(lower);
        if (!valid) return;
        free_.swap(free);
        updates_ = updates;
    }
    // Hands the storage and the factor back.
    void hand_back(Matrix& lower, std::vector<Index>& free) {
        L_.swap(lower);
        free_.swap(free);
    }

    bool factor(std::vector<Index> free) {
        free_ = std::move(free);
        updates_ = 0;
        if (L_.rows() != B_.rows()) L_.resize(B_.rows(), B_.rows());
        const Index nf = size();
        // The block's lower half is factorised where the factor is kept (no copy of n² entries).
        auto block = L_.topLeftCorner(nf, nf);
        for (Index b = 0; b < nf; ++b)
            for (Index a = b; a < nf; ++a) block(a, b) = B_(free_[a], free_[b]);
        Eigen::Ref<Matrix> in_place(block);
        const Eigen::LLT<Eigen::Ref<Matrix>, Eigen::Lower> llt(in_place);
        if (llt.info() != Eigen::Success) return false;
        block.triangularView<Eigen::StrictlyUpper>().setZero();
        return nf == 0 || block.diagonal().minCoeff() > 0.0;
    }

    // Appends variable v; false when the enlarged block is not numerically positive definite.
    bool append(Index v) {
        const Index nf = size();
        Vector h(nf);
        for (Index a = 0; a < nf; ++a) h[a] = B_(free_[a], v);
        if (nf > 0) L_.topLeftCorner(nf, nf).triangularView<Eigen::Lower>().solveInPlace(h);
        const double pivot = B_(v, v) - h.squaredNorm();
        if (!(pivot > 1e-14 * std::abs(B_(v, v)))) return false;
        L_.row(nf).head(nf) = h.transpose();
        L_(nf, nf) = std::sqrt(pivot);
        free_.push_back(v);
        ++updates_;
        return true;
    }

    // Removes the variable at `position`: the rows below it shift up, and the trailing block
    // absorbs the removed column as a rank-one update.
    void remove(Index position) {
        const Index nf = size();
        Vector x = L_.col(position).segment(position + 1, nf - position - 1);
        // Column by column, so that every move is a contiguous segment.
        for (Index c = 0; c < position; ++c)
            for (Index a = position + 1; a < nf; ++a) L_(a - 1, c) = L_(a, c);
        for (Index c = position + 1; c < nf; ++c)
            for (Index a = c; a < nf; ++a) L_(a - 1, c - 1) = L_(a, c);
        const Index m = nf - 1 - position;
        auto M = L_.block(position, position, m, m);
        removed_ = position;
        cos_.resize(m);
        sin_.resize(m);
        for (Index k = 0; k < m; ++k) {
            const double lkk = M(k, k);
            const double rk = std::sqrt(lkk * lkk + x[k] * x[k]);
            const double c = rk / lkk, sn = x[k] / lkk;
            cos_[k] = lkk / rk;
            sin_[k] = x[k] / rk;
            M(k, k) = rk;
            for (Index i = k + 1; i < m; ++i) {
                M(i, k) = (M(i, k) + sn * x[i]) / c;
                x[i] = c * x[i] - sn * M(i, k);
            }
        }
        free_.erase(free_.begin() + position);
        ++updates_;
    }

    // Row `a` of L up to its diagonal.
    [[nodiscard]] auto row(Index a) const { return L_.row(a).head(a + 1); }

    // Forward images y = L⁻¹ r_F (one per column of `y`) kept through the updates instead of
    // solved again: after append, each gains the entry of the new variable from r's value there,
    // `entry(column)` (the last step of forward substitution) ...
    template <typename Images, typename Entry>
    void extend(Images& y, const Entry& entry) const {
        const Index last = size() - 1;
        y.conservativeResize(last + 1, Eigen::NoChange);
        for (Index j = 0; j < y.cols(); ++j)
            y(last, j) = (entry(j) - L_.row(last).head(last).dot(y.col(j).head(last))) / L_(last, last);
    }
    // ... and after remove, each loses the removed variable's entry: with L y = r, the rows below
    // the removed one read [M x] (y_T, y_p) = r_T - (the leading part), and the rotations that
    // turned [M x] into [M' 0] turn (y_T, y_p) into (y'_T, ζ), where ζ meets the zeroed column only.
    template <typename Images>
    void reduce(Images& y) const {
        const Index p = removed_, m = static_cast<Index>(cos_.size());
        for (Index j = 0; j < y.cols(); ++j) {
            double zeta = y(p, j);
            for (Index k = 0; k < m; ++k) {
                const double z = y(p + 1 + k, j);
                y(p + k, j) = cos_[k] * z + sin_[k] * zeta;
                zeta = cos_[k] * zeta - sin_[k] * z;
            }
        }
        y.conservativeResize(p + m, Eigen::NoChange);
    }

    // v ← L⁻¹v and v ← L⁻ᵀv on the free block.
    template <typename V>
    void forward(V&& v) const {
        L_.topLeftCorner(size(), size()).triangularView<Eigen::Lower>().solveInPlace(v);
    }
    template <typename V>
    void back(V&& v) const {
        L_.topLeftCorner(size(), size()).transpose().triangularView<Eigen::Upper>().solveInPlace(v);
    }

private:
    const Matrix& B_;
    Matrix L_;
    std::vector<Index> free_;
    int updates_ = 0;                // joins and leaves since the last fresh factorisation
    Index removed_ = 0;              // position of the last removal
    std::vector<double> cos_, sin_;  // its rotations
};

constexpr int kRefresh = 64;  // factor updates between fresh solves of the forward images
// A kept factor is factorised afresh once it has been updated this often (rounding builds up).
constexpr int kMostKeptUpdates = 4 * kRefresh;

// Where the minimiser of ½ sᵀ diag(B) s + gᵀs under the one equality row a s = β and the bounds
// puts each variable (-1 at its lower bound, +1 at its upper, 0 between): s_i = clip((λa_i − g_i) /
// B_ii), with λ found by bisection (a s grows with λ). The answer itself when B is diagonal (the
// identity after a reset) and no inequality binds, and a close guess when B is nearly so. Empty
// when the row cannot be met within the bounds or a diagonal entry is not positive.
std::vector<signed char> diagonal_guess(const Matrix& B, const Vector& g, const Vector& a, double beta,
                                        const Vector& lo, const Vector& up) {
    const Index n = g.size();
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (Index i = 0; i < n; ++i) {
        if (!(B(i, i) > 0.0)) return {};
        if (a[i] == 0.0) continue;
        for (const double bound : {lo[i], up[i]}) {
            if (!std::isfinite(bound)) continue;
            const double breakpoint = (B(i, i) * bound + g[i]) / a[i];
            low = std::min(low, breakpoint);
            high = std::max(high, breakpoint);
        }
    }
    if (!(low <= high)) return {};
    const auto step_at = [&](double lambda, Index i) { return std::clamp((lambda * a[i] - g[i]) / B(i, i), lo[i], up[i]); };
    const auto row_at = [&](double lambda) {
        double sum = 0.0;
        for (Index i = 0; i < n; ++i) sum += a[i] * step_at(lambda, i);
        return sum - beta;
    };
    if (!(row_at(low) <= 0.0 && row_at(high) >= 0.0)) return {};
    for (int halving = 0; halving < 200; ++halving) {
        const double mid = 0.5 * (low + high);
        if (!(mid > low && mid < high)) break;
        (row_at(mid) < 0.0 ? low : high) = mid;
    }
    const double lambda = 0.5 * (low + high);
    std::vector<signed char> side(static_cast<std::size_t>(n), 0);
    for (Index i = 0; i < n; ++i) {
        const double v = (lambda * a[i] - g[i]) / B(i, i);
        side[static_cast<std::size_t>(i)] = v <= lo[i] ? -1 : v >= up[i] ? 1 : 0;
    }
    return side;
}

}  // namespace
}  // namespace minimize::detail

namespace minimize {

using namespace detail;

struct FreeBlockFactorAccess {
    // The kept factor's storage into `factor`, and its factor where it is of the variables `free`
    // (given in increasing order; the factor's own order serves): true then.
    static bool lend(FreeBlockFactor& kept, FreeFactor& factor, const std::vector<Index>& free) {
        bool fits = kept.valid_ && kept.free_.size() == free.size() && kept.updates_ < kMostKeptUpdates &&
                    kept.lower_.rows() == factor.order();
        if (fits) {
            std::vector<Index> sorted = kept.free_;
            std::sort(sorted.begin(), sorted.end());
            fits = sorted == free;
        }
        factor.adopt(kept.lower_, kept.free_, kept.updates_, fits);
        kept.valid_ = false;
        return fits;
    }
    static void keep(FreeBlockFactor& kept, FreeFactor& factor) {
        kept.updates_ = factor.updates();
        factor.hand_back(kept.lower_, kept.free_);
        kept.valid_ = true;
    }
};

bool primal_active_set_qp(const Matrix& B, const Vector& g, const Matrix& A, const Vector& b, Index me,
                          const Vector& lo, const Vector& up, ActiveSet& active, Vector& s_out, Vector& r_out,
                          FreeBlockFactor* reuse) {
    const Index n = g.size(), m = A.rows(), mi = m - me;
    // The working set starts from the guess (the previous subproblem's active set) where there is
    // one, otherwise from the bounds active at the current point, and takes in every inequality
    // the zero step violates. Its constraints need not hold at the zero step: they hold at every
    // full step, and the multipliers are read only there. The constraints outside it hold at the
    // zero step and are kept by the ratio test.
    const bool guessed = active.known && static_cast<Index>(active.bound.size()) == n &&
                         static_cast<Index>(active.inequality.size()) == mi;
    std::vector<signed char> side(static_cast<std::size_t>(n), 0);
    std::vector<char> row_on(static_cast<std::size_t>(mi), 0);
    if (guessed) row_on = active.inequality;
    for (Index j = 0; j < mi; ++j)
        if (b[me + j] > 0.0) row_on[static_cast<std::size_t>(j)] = 1;  // violated at the zero step
    for (Index i = 0; i < n; ++i)
        if (lo[i] > kFeasTol || up[i] < -kFeasTol) return false;
    // Without a guess and with one equality row (the budget), the bounds the diagonal of B puts the
    // answer at: far fewer steps than from the current point when many bounds bind.
    const std::vector<signed char> hints =
        guessed ? active.bound : me == 1 ? diagonal_guess(B, g, A.row(0).transpose(), b[0], lo, up)
                                         : std::vector<signed char>{};
    const bool hinted = !hints.empty();
    std::vector<Index> free;
    for (Index i = 0; i < n; ++i) {
        auto& si = side[static_cast<std::size_t>(i)];
        const signed char hint = hinted ? hints[static_cast<std::size_t>(i)] : 0;
        if (std::isfinite(lo[i]) && (hint < 0 || (!hinted && lo[i] >= -kFeasTol)))
            si = -1;
        else if (std::isfinite(up[i]) && (hint > 0 || (!hinted && up[i] <= kFeasTol)))
            si = 1;
        else
            free.push_back(i);
    }
    const auto bound_value = [&](Index i) { return side[static_cast<std::size_t>(i)] < 0 ? lo[i] : up[i]; };

    FreeFactor factor(B);
    // A kept factor of these very variables is taken as it is; otherwise the block is factorised.
    const bool lent = reuse && FreeBlockFactorAccess::lend(*reuse, factor, free);
    if (!lent && !factor.factor(std::move(free))) return false;
    const double gscale = std::max(1.0, g.lpNorm<Eigen::Infinity>());
    Vector s = Vector::Zero(n);
    // B times the fixed part of the target, kept up to date as variables join or leave the bounds.
    Vector Bfixed = Vector::Zero(n);
    for (Index i = 0; i < n; ++i)
        if (side[static_cast<std::size_t>(i)] != 0) Bfixed += B.col(i) * bound_value(i);
    const int max_steps = static_cast<int>(8 * (n + mi)) + 10;
    Matrix Z;
    Vector w;
    std::vector<Index> image_rows{-1};  // no images yet
    int updates = 0;

    // Takes out of the working set the last inequality that holds at s; false when there is none.
    const auto release_holding_row = [&]() {
        for (Index j = mi - 1; j >= 0; --j) {
            if (!row_on[static_cast<std::size_t>(j)]) continue;
            const double slack = A.row(me + j).dot(s) - b[me + j];
            const double tol = kFeasTol * std::max(1.0, std::abs(b[me + j]) + A.row(me + j).cwiseAbs().dot(s.cwiseAbs()));
            if (slack >= -tol) {
                row_on[static_cast<std::size_t>(j)] = 0;
                return true;
            }
        }
        return false;
    };

    // Frees a variable held at its bound.
    const auto free_variable = [&](Index v) {
        if (!factor.append(v)) return false;
        // q loses B times the variable's bound value and gains its own entry.
        const double value = bound_value(v);
        const Index last = factor.size() - 1;
        Bfixed -= B.col(v) * value;
        if (image_rows.size() == 1 && image_rows[0] < 0) {
            // No images yet: they are solved afresh at the next step.
        } else {
            w -= value * factor.row(last).head(last).transpose();
            factor.extend(w, [&](Index) { return g[v] + Bfixed[v]; });
            factor.extend(Z, [&](Index j) { return A(image_rows[static_cast<std::size_t>(j)], v); });
            ++updates;
        }
        side[static_cast<std::size_t>(v)] = 0;
        return true;
    };
    // When the working set is dependent: out of it goes the last inequality that holds at s, else
    // the guessed bound farthest from s (not reached yet, so not active at s). False when neither
    // exists.
    const auto release_dependent = [&]() {
        if (release_holding_row()) return true;
        Index farthest = -1;
        double distance = kFeasTol;
        for (Index i = 0; i < n; ++i)
            if (side[static_cast<std::size_t>(i)] != 0 && std::abs(bound_value(i) - s[i]) > distance)
                distance = std::abs(bound_value(i) - s[i]), farthest = i;
        return farthest >= 0 && free_variable(farthest);
    };

    for (int step = 0; step < max_steps; ++step) {
        // The point that minimises the model with the working constraints held as equalities.
        Vector t = Vector::Zero(n);
        for (Index i = 0; i < n; ++i)
            if (side[static_cast<std::size_t>(i)] != 0) t[i] = bound_value(i);
        std::vector<Index> rows;
        for (Index j = 0; j < me; ++j) rows.push_back(j);
        for (Index j = 0; j < mi; ++j)
            if (row_on[static_cast<std::size_t>(j)]) rows.push_back(me + j);
        const auto& F = factor.free();
        const Index nf = factor.size();
        const auto k = static_cast<Index>(rows.size());
        if (k > nf) {
            // More working rows than free variables: the last bound taken in made an inequality
            // that holds at s depend on the others here; it leaves the working set (the ratio test
            // keeps it).
            if (!release_dependent()) return false;
            continue;
        }
        Vector rhs(k);
        for (Index j = 0; j < k; ++j) rhs[j] = b[rows[j]] - A.row(rows[j]).dot(t);
        // The forward images Z = L⁻¹A_Fᵀ and w = L⁻¹q (q = g + B times the fixed part, on the free
        // variables) follow the factor's updates; they are solved afresh when the working rows
        // change and every kRefresh updates, so that rounding cannot build up.
        if (rows != image_rows || updates >= kRefresh) {
            Z.resize(nf, k);
            for (Index j = 0; j < k; ++j) {
                for (Index a = 0; a < nf; ++a) Z(a, j) = A(rows[j], F[a]);
                factor.forward(Z.col(j));
            }
            w.resize(nf);
            for (Index a = 0; a < nf; ++a) w[a] = g[F[a]] + Bfixed[F[a]];
            factor.forward(w);
            image_rows = rows;
            updates = 0;
        }
        Vector tF, lambda;
        if (!range_space_step(Z, w, rhs, tF, lambda)) {
            if (!release_dependent()) return false;
            continue;
        }
        factor.back(tF);
        // Rounding in the images (and a badly conditioned B) leaves the rows off by more than the
        // bounds allow; the nearest point that meets them exactly differs by that much only.
        if (k > 0) {
            Matrix AF(k, nf);
            for (Index j = 0; j < k; ++j)
                for (Index a = 0; a < nf; ++a) AF(j, a) = A(rows[j], F[a]);
            const Eigen::LDLT<Matrix> rows_ldlt(AF * AF.transpose());
            if (rows_ldlt.info() == Eigen::Success) {
                const Vector fix = AF.transpose() * rows_ldlt.solve(Vector(AF * tF - rhs));
                if (fix.allFinite()) tF -= fix;
            }
        }
        for (Index a = 0; a < nf; ++a) t[F[a]] = tF[a];
        if (!t.allFinite() || !lambda.allFinite()) return false;

        // Move towards it as far as the constraints outside the working set allow.
        const Vector p = t - s;
        double alpha = 1.0;
        Index blocking_var = -1, blocking_pos = -1, blocking_row = -1;
        signed char blocking_side = 0;
        for (Index a = 0; a < nf; ++a) {
            const Index i = F[a];
            if (p[i] < 0.0 && std::isfinite(lo[i]) && t[i] < lo[i] - kFeasTol && (lo[i] - s[i]) / p[i] < alpha)
                alpha = (lo[i] - s[i]) / p[i], blocking_var = i, blocking_pos = a, blocking_side = -1;
            else if (p[i] > 0.0 && std::isfinite(up[i]) && t[i] > up[i] + kFeasTol && (up[i] - s[i]) / p[i] < alpha)
                alpha = (up[i] - s[i]) / p[i], blocking_var = i, blocking_pos = a, blocking_side = 1;
        }
        for (Index j = 0; j < mi; ++j) {
            if (row_on[static_cast<std::size_t>(j)]) continue;
            const double Ap = A.row(me + j).dot(p);
            if (Ap < 0.0 && A.row(me + j).dot(t) < b[me + j] - kFeasTol * std::max(1.0, std::abs(b[me + j])) &&
                (b[me + j] - A.row(me + j).dot(s)) / Ap < alpha)
                alpha = (b[me + j] - A.row(me + j).dot(s)) / Ap, blocking_row = j, blocking_var = -1;
        }
        alpha = std::max(alpha, 0.0);
        if (alpha < 1.0) {
            s += alpha * p;
            if (blocking_var >= 0) {
                side[static_cast<std::size_t>(blocking_var)] = blocking_side;
                // q loses the variable's entry and gains B times its bound value: in images,
                // w + value·Lᵀe_p reduced (L⁻¹ of B_FF e_p is Lᵀe_p, the removed row of L).
                w.head(blocking_pos + 1) += bound_value(blocking_var) * factor.row(blocking_pos).transpose();
                factor.remove(blocking_pos);
                factor.reduce(w);
                factor.reduce(Z);
                ++updates;
                Bfixed += B.col(blocking_var) * bound_value(blocking_var);
            } else {
                row_on[static_cast<std::size_t>(blocking_row)] = 1;
            }
            continue;
        }
        s = t;

        // At the working set's minimiser: done when every multiplier has the right sign, otherwise
        // release the constraint whose multiplier is most wrongly signed.
        Vector r = Vector::Zero(m);
        for (Index j = 0; j < k; ++j) r[rows[j]] = lambda[j];
        // The bound multipliers z = B s + g - Aᵀr on the bound variables (on the free ones z is zero
        // up to rounding): B s from the bound rows of B, or from its free columns and B times the
        // fixed part, whichever is fewer columns.
        Vector z = g - A.transpose() * r;
        if (n - nf <= nf) {
            for (Index i = 0; i < n; ++i)
                if (side[static_cast<std::size_t>(i)] != 0) z[i] += B.col(i).dot(s);  // B is symmetric
        } else {
            z += Bfixed;
            for (Index a = 0; a < nf; ++a) z += B.col(F[a]) * s[F[a]];
        }
        double zmax = 0.0;
        for (Index i = 0; i < n; ++i)
            if (side[static_cast<std::size_t>(i)] != 0) zmax = std::max(zmax, std::abs(z[i]));
        const double dtol = kRelTol * std::max(gscale, zmax);
        double worst = dtol;
        Index release_var = -1, release_row = -1;
        for (Index i = 0; i < n; ++i) {
            const auto si = side[static_cast<std::size_t>(i)];
            const double wrong = si < 0 ? -z[i] : si > 0 ? z[i] : 0.0;
            if (wrong > worst) worst = wrong, release_var = i, release_row = -1;
        }
        for (Index j = 0; j < mi; ++j)
            if (row_on[static_cast<std::size_t>(j)] && -r[me + j] > worst)
                worst = -r[me + j], release_row = j, release_var = -1;
        if (release_var >= 0) {
            if (!free_variable(release_var)) return false;
        } else if (release_row >= 0) {
            row_on[static_cast<std::size_t>(release_row)] = 0;
        } else {
            // The factor was updated many times: check stationarity on the free variables against
            // B itself before trusting the answer, on the scale of the terms of B s (B may hold
            // entries far larger than B s, and rounding is relative to them).
            z = B * s + g - A.transpose() * r;
            double stationarity = 0.0;
            for (Index i = 0; i < n; ++i)
                if (side[static_cast<std::size_t>(i)] == 0) stationarity = std::max(stationarity, std::abs(z[i]));
            const double terms = (B.cwiseAbs() * s.cwiseAbs()).maxCoeff();
            if (!(stationarity <= kStationarityTol * std::max(gscale, terms))) return false;
            active.bound = std::move(side);
            active.inequality = std::move(row_on);
            active.known = true;
            if (reuse) FreeBlockFactorAccess::keep(*reuse, factor);
            s_out = s;
            r_out = r;
            return true;
        }
    }
    return false;
}

}  // namespace minimize
