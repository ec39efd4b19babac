// The constrained risk-budgeting portfolio: the minimiser of ½xᵀCx − λ·Σ bᵢ ln xᵢ (bᵢ = 1/n) under
// the bounds and the linear records, with λ such that the weights add up to 1. For a given λ a
// primal-dual interior point (Mehrotra's predictor-corrector) solves the convex problem, with
// w = λb/x kept as a variable so that x ⊙ w = λb is linearised as a product; λ follows by
// Newton's method on 1ᵀx against √λ, whose derivative the last Newton matrix gives. Each Newton
// step solves with C + diag(w/x + barrier terms): by Woodbury when the covariance is in factor
// form (cost n·T²), by Cholesky when it is dense; the rows enter through a bordered system of
// their own size. (λ among the unknowns of one Newton system was tried: far from the answer its
// steps drive λ to 0 and stall.) A λ close to the last one starts from a centred iterate of its
// solve.
#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "kelvane/exception.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

constexpr const char* kNoPositiveWeights = "OPTIMIZER: 风险预算在迭代上限内未找到满足全部约束的正权重";
constexpr const char* kConvergedMessage = "Optimality conditions of risk budgeting met by the interior-point method";

// A bound this close to its other side (relative to 1) fixes the weight: it becomes an equality row.
constexpr double kFixedWidth = 1e-13;
// Primal residuals (budget, rows) at which the weights count as meeting their limits; far inside
// the certificate's tolerance.
constexpr double kPrimalTolerance = 1e-11;
// The finest relative accuracy asked of the dual residual and the complementarity.
constexpr double kFinestTolerance = 1e-14;
// Fraction of the distance to the boundary that a step may cover.
constexpr double kStepToBoundary = 0.995;
// The method gives up when this many steps pass without the worst residual falling by a tenth.
constexpr int kStallSteps = 40;
constexpr double kProgressFactor = 0.1;
// The factor by which λ first moves while no bracket is known (squared after each such move: a
// total that the rows hold flat near the start is bracketed in a few small moves, a far answer is
// still reached in a few solves), and the factor off the start's λ beyond which no λ is taken to give weights adding up to 1: the total then tends to what the limits
// alone ask for, or the instruments no limit holds would carry no risk (no weight is left them).
constexpr double kLambdaGrowth = 2.0;
constexpr double kLambdaRange = 1e9;
// The accuracy of a solve whose weights add up to a total this far from 1: enough to place the
// total on its side of 1 and to give the next λ.
constexpr double kRoughTolerance = 1e-6;
constexpr double kFarFromBudget = 1e-2;
// A corrector step shorter than this is compared with a pure centring step.
constexpr double kBlockedStep = 0.1;
// The least centring target, in units of the complementarity accuracy asked for.
constexpr double kCentringFloor = 0.1;
// The start's slack of a row that it meets only barely or breaks.
constexpr double kLeastStartSlack = 1e-2;
// A solve for a λ within kWarmReach (relative) of the last one starts from the last solve's first
// iterate whose worst residual was within kWarmCapture, its gradient of the logarithms scaled to
// the new λ; a cold start follows where that fails (measured: the third solve at 5,000 instruments
// with Financials at least 30 % in 3 steps instead of 12, 61 steps instead of 77 for industry
// neutrality at 300; from moves of λ by a third or more the warm starts took more steps than cold).
constexpr double kWarmCapture = 1e-4;
constexpr double kWarmReach = 0.1;
// The largest move of λ (relative, in units of the square root of the accuracy asked for) taken
// along dx/dλ instead of by another solve: its error, (Δλ/λ)², stays within a hundredth of it.
constexpr double kExtrapolationReach = 0.1;

// The solves with the Newton matrix C + diag(shift), in factor form or dense, factorised in
// storage the caller keeps between the steps: a new matrix of n·T (or n², and a copy of it for
// the factor) at every step costs more than the factorisation itself where the allocator hands
// such blocks back to the system (glibc's default for blocks over 128 KiB).
struct NewtonStorage {
    std::optional<minimize::WoodburySolver> woodbury;  // the factor form's
    Matrix dense;                                      // the dense matrix's Cholesky factor
};

class NewtonMatrix {
public:
    NewtonMatrix(const CovarianceView& C, const Vector& shift, NewtonStorage& storage) {
        if (C.factor) {
            if (storage.woodbury)
                storage.woodbury->compute(*C.factor, shift);
            else
                storage.woodbury.emplace(*C.factor, shift);
            woodbury_ = &*storage.woodbury;
        } else {
            storage.dense = *C.dense;
            storage.dense.diagonal() += shift;
            cholesky_.emplace(storage.dense);
            if (cholesky_->info() != Eigen::Success) throw std::invalid_argument("Newton matrix not positive definite");
        }
    }
    Matrix solve(const Matrix& R) const { return woodbury_ ? woodbury_->solve(R) : Matrix(cholesky_->solve(R)); }

private:
    // Exactly one is set. An LLT that never computed leaves its status unset, which a move reads.
    const minimize::WoodburySolver* woodbury_ = nullptr;
    std::optional<Eigen::LLT<Eigen::Ref<Matrix>>> cholesky_;  // in place, in the caller's storage
};

// The rows of the problem: the equalities (the records' and those of fixed weights) and the
// inequalities A_in x ≤ b_in, each divided by its largest coefficient.
struct Rows {
    Matrix A;  // equalities first, then inequalities
    Vector b;
    Eigen::Index equalities = 0;
};

void scale_rows(Matrix& A, Vector& b) {
    for (Eigen::Index r = 0; r < A.rows(); ++r) {
        const double s = A.row(r).cwiseAbs().maxCoeff();
        if (s > 0.0) A.row(r) /= s, b[r] /= s;
    }
}

// Whether the equality a·x = c is the budget itself (a multiple of 1ᵀx = 1); throws when it is a
// multiple of 1ᵀx with another total, which no weights adding up to 1 meet.
bool is_budget_row(const Vector& a, double c) {
    const double first = a[0];
    if (first == 0.0 || (a.array() != first).any()) return false;
    if (std::abs(c / first - 1.0) > kPrimalTolerance) throw OptimizationFailed(kNoPositiveWeights);
    return true;
}

// Everything that the interior point iterates, with the weights strictly inside their bounds.
struct Iterate {
    Vector x;        // weights
    double lambda = 0.0;  // multiplier of the logarithms, fixed during a solve
    Vector w;        // λbᵢ/xᵢ, the gradient of the logarithms, kept as a variable (x ⊙ w = λb)
    Vector y;        // multipliers of the rows (equalities free, inequalities ≥ 0)
    Vector s;        // slacks of the inequality rows
    Vector zl, zu;   // multipliers of the lower and upper bounds (0 where a bound is absent)
};

// The problem without the weights that their bounds hold at zero (an upper bound of 0 over a lower
// bound of at most 0), which the logarithms cannot take: the instruments kept, their covariance,
// bounds and rows.
struct WithoutHeldAtZero {
    std::vector<Eigen::Index> kept;
    Matrix dense;
    std::optional<minimize::DiagonalPlusLowRank> factor;
    BoundsList bounds;
    LinearRows rows;
    CovarianceView covariance() const {
        return factor ? CovarianceView{&*factor, nullptr} : CovarianceView{nullptr, &dense};
    }
};

// None when no weight is held at zero, or every one is.
std::optional<WithoutHeldAtZero> without_held_at_zero(const CovarianceView& C, const BoundsList& bounds,
                                                      const LinearRows& rows) {
    WithoutHeldAtZero r;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const auto& b = bounds[i];
        const bool held = b.upper && *b.upper == 0.0 && !(b.lower && *b.lower > 0.0);
        if (!held) r.kept.push_back(static_cast<Eigen::Index>(i));
    }
    if (r.kept.size() == bounds.size() || r.kept.empty()) return std::nullopt;
    if (C.factor)
        r.factor.emplace(C.factor->d()(r.kept), C.factor->U()(r.kept, Eigen::all));
    else
        r.dense = (*C.dense)(r.kept, r.kept);
    for (Eigen::Index i : r.kept) r.bounds.push_back(bounds[static_cast<std::size_t>(i)]);
    r.rows.A_eq = rows.A_eq(Eigen::all, r.kept), r.rows.b_eq = rows.b_eq;
    r.rows.A_in = rows.A_in(Eigen::all, r.kept), r.rows.b_in = rows.b_in;
    return r;
}

}  // namespace

std::optional<LinearRows> budget_free_rows(const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    std::vector<ConstraintRecord> rows;
    for (const auto& c : cons)
        if (!c.budget) rows.push_back(c);
    std::optional<LinearRows> r = linear_rows(rows, n);
    if (!r) return r;
    // Equalities that restate the budget go: the budget is the equation that fixes λ.
    std::vector<Eigen::Index> keep;
    for (Eigen::Index e = 0; e < r->A_eq.rows(); ++e)
        if (n == 0 || !is_budget_row(r->A_eq.row(e).transpose(), r->b_eq[e])) keep.push_back(e);
    if (static_cast<Eigen::Index>(keep.size()) != r->A_eq.rows()) {
        Matrix A(static_cast<Eigen::Index>(keep.size()), n);
        Vector b(A.rows());
        for (Eigen::Index k = 0; k < A.rows(); ++k) A.row(k) = r->A_eq.row(keep[k]), b[k] = r->b_eq[keep[k]];
        r->A_eq = std::move(A), r->b_eq = std::move(b);
    }
    return r;
}

std::optional<RiskBudgetingPoint> constrained_risk_budgeting(const CovarianceView& C, const BoundsList& bounds,
                                                             const LinearRows& records, int max_steps, double tol) {
    const auto n = static_cast<Eigen::Index>(bounds.size());
    if (n == 0) return std::nullopt;
    // Weights held at zero take no budget: the point of the others, the zeros put back.
    if (const std::optional<WithoutHeldAtZero> rest = without_held_at_zero(C, bounds, records)) {
        std::optional<RiskBudgetingPoint> point =
            constrained_risk_budgeting(rest->covariance(), rest->bounds, rest->rows, max_steps, tol);
        if (point) {
            Vector weights = Vector::Zero(n);
            weights(rest->kept) = point->weights;
            point->weights = std::move(weights);
        }
        return point;
    }
    const double inf = std::numeric_limits<double>::infinity();
    const Vector b = Vector::Constant(n, 1.0 / static_cast<double>(n));

    // The covariance divided by its mean variance, so that λ and the multipliers are of order 1.
    const Vector diag = C.factor ? C.factor->diagonal() : Vector(C.dense->diagonal());
    const double cs = diag.mean();
    if (!(cs > 0.0) || !std::isfinite(cs)) return std::nullopt;
    std::optional<minimize::DiagonalPlusLowRank> scaled_factor;
    Matrix scaled_dense;
    CovarianceView S;
    if (C.factor) {
        scaled_factor.emplace(C.factor->d() / cs, C.factor->U() / std::sqrt(cs));
        S.factor = &*scaled_factor;
    } else {
        scaled_dense = *C.dense / cs;
        S.dense = &scaled_dense;
    }

    // Bounds: a lower bound at or below 0 is the positivity the logarithms keep anyway; a weight
    // whose bounds meet is fixed by an equality row.
    Vector lower = Vector::Zero(n), upper = Vector::Constant(n, inf);
    std::vector<Eigen::Index> fixed;
    for (Eigen::Index i = 0; i < n; ++i) {
        const auto& bound = bounds[static_cast<std::size_t>(i)];
        if (bound.lower && *bound.lower > 0.0) lower[i] = *bound.lower;
        if (bound.upper) upper[i] = *bound.upper;
        if (!(upper[i] > 0.0) || lower[i] > upper[i]) return std::nullopt;  // no positive weight
        if (upper[i] - lower[i] <= kFixedWidth) fixed.push_back(i);
    }
    for (Eigen::Index i : fixed) lower[i] = 0.0, upper[i] = inf;
    const auto has_lower = [&](Eigen::Index i) { return lower[i] > 0.0; };
    const auto has_upper = [&](Eigen::Index i) { return upper[i] < inf; };

    Rows rows;
    const Eigen::Index me = records.A_eq.rows() + static_cast<Eigen::Index>(fixed.size()), mi = records.A_in.rows();
    rows.equalities = me;
    rows.A = Matrix::Zero(me + mi, n);
    rows.b = Vector(me + mi);
    rows.A.topRows(records.A_eq.rows()) = records.A_eq;
    rows.b.head(records.A_eq.rows()) = records.b_eq;
    for (std::size_t k = 0; k < fixed.size(); ++k) {
        const Eigen::Index r = records.A_eq.rows() + static_cast<Eigen::Index>(k), i = fixed[k];
        rows.A(r, i) = 1.0;
        rows.b[r] = bounds[static_cast<std::size_t>(i)].upper.value();
    }
    rows.A.bottomRows(mi) = records.A_in;
    rows.b.tail(mi) = records.b_in;
    scale_rows(rows.A, rows.b);
    const Eigen::Index m = me + mi;
    // The rows up to sign (a group's floor and cap are the same row, negated): K⁻¹Aᵀ is solved for
    // the distinct ones only, the others are their negatives.
    std::vector<Eigen::Index> distinct;
    std::vector<std::pair<Eigen::Index, double>> row_source(static_cast<std::size_t>(m));  // column, sign
    for (Eigen::Index r = 0; r < m; ++r) {
        row_source[static_cast<std::size_t>(r)] = {static_cast<Eigen::Index>(distinct.size()), 1.0};
        for (std::size_t k = 0; k < distinct.size(); ++k) {
            const Eigen::Index other = distinct[k];
            if (rows.A.row(r) == rows.A.row(other)) row_source[static_cast<std::size_t>(r)] = {static_cast<Eigen::Index>(k), 1.0};
            else if (rows.A.row(r) == -rows.A.row(other)) row_source[static_cast<std::size_t>(r)] = {static_cast<Eigen::Index>(k), -1.0};
            else continue;
            break;
        }
        if (row_source[static_cast<std::size_t>(r)].first == static_cast<Eigen::Index>(distinct.size())) distinct.push_back(r);
    }
    Matrix distinct_columns(n, static_cast<Eigen::Index>(distinct.size()));
    for (std::size_t k = 0; k < distinct.size(); ++k) distinct_columns.col(static_cast<Eigen::Index>(k)) = rows.A.row(distinct[k]).transpose();

    // The start of every solve: equal weights moved inside the bounds.
    Vector x0(n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const double equal = 1.0 / static_cast<double>(n), lo = lower[i], hi = upper[i];
        double xi = equal;
        if (xi >= hi) xi = lo + 0.5 * (hi - lo);
        else if (xi <= lo) xi = lo + std::min(0.5 * (hi - lo), std::max(equal, lo));
        x0[i] = xi;
    }
    Eigen::Index pairs = mi;
    for (Eigen::Index i = 0; i < n; ++i) pairs += (has_lower(i) ? 1 : 0) + (has_upper(i) ? 1 : 0);

    // The Newton matrix at an iterate, the solves with the rows' columns and the bordered matrix.
    struct Factors {
        std::optional<NewtonMatrix> K;
        Matrix KA;  // K⁻¹Aᵀ
        Eigen::FullPivLU<Matrix> border;
        Vector sl, su;  // distances to the lower and upper bounds (1 where absent)
    };
    NewtonStorage newton_storage;  // the Newton matrices' factors, one step's at a time
    const auto factorise = [&](const Iterate& p) -> std::optional<Factors> {
        Factors f;
        Vector shift = p.w.cwiseQuotient(p.x);
        f.sl = Vector::Ones(n), f.su = Vector::Ones(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            if (has_lower(i)) f.sl[i] = p.x[i] - lower[i], shift[i] += p.zl[i] / f.sl[i];
            if (has_upper(i)) f.su[i] = upper[i] - p.x[i], shift[i] += p.zu[i] / f.su[i];
        }
        try {
            f.K.emplace(S, shift, newton_storage);
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
        if (m > 0) {
            const Matrix solved = f.K->solve(distinct_columns);
            f.KA.resize(n, m);
            for (Eigen::Index r = 0; r < m; ++r) {
                const auto [column, sign] = row_source[static_cast<std::size_t>(r)];
                f.KA.col(r) = sign * solved.col(column);
            }
            Matrix border = rows.A * f.KA;
            for (Eigen::Index k = 0; k < mi; ++k) border(me + k, me + k) += p.s[k] / p.y[me + k];
            f.border.compute(border);
        }
        return f;
    };

    // The minimiser at a fixed λ (x ⊙ w = λb, w the gradient of the logarithms), from a cold
    // start, within `step_budget` Newton steps; with d(1ᵀx)/dλ there.
    struct Inner {
        Vector x;
        Vector dx;  // dx/dλ
        double slope = 0.0;
        int steps = 0;
        std::optional<Iterate> centred;  // the first iterate within kWarmCapture of the answer
    };
    const double eps = std::max(tol, kFinestTolerance);
    const auto solve_at = [&](double lambda, int step_budget, const Iterate* warm) -> std::optional<Inner> {
        Iterate it;
        std::optional<Iterate> centred;
        it.x = x0;
        it.lambda = lambda;
        // The multipliers start at the size of the terms of the stationarity condition.
        const double start_dual = std::max(S.times(x0).cwiseAbs().maxCoeff(), lambda * b.cwiseQuotient(x0).maxCoeff());
        it.w = (lambda * b.cwiseQuotient(it.x)).cwiseMax(start_dual);
        it.y = Vector::Zero(m);
        it.s = Vector(mi);
        for (Eigen::Index r = 0; r < mi; ++r) {
            it.s[r] = std::max(rows.b[me + r] - rows.A.row(me + r).dot(it.x), kLeastStartSlack);
            it.y[me + r] = start_dual;
        }
        it.zl = Vector::Zero(n), it.zu = Vector::Zero(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            if (has_lower(i)) it.zl[i] = start_dual;
            if (has_upper(i)) it.zu[i] = start_dual;
        }
        if (warm) {
            // A centred iterate of a nearby λ, its logarithms' gradient scaled to this one.
            it = *warm;
            it.w *= lambda / warm->lambda;
            it.lambda = lambda;
        }
        double best_worst = inf;
        int since_progress = 0;
        for (int step = 0;; ++step) {
            // Residuals: stationarity, x ⊙ w = λb, the rows, the complementarity of the pairs.
            const Vector cx = S.times(it.x);
            const Vector dual_residual = cx - it.w + rows.A.transpose() * it.y - it.zl + it.zu;
            const Vector centre = it.x.cwiseProduct(it.w) - lambda * b;
            Vector primal = rows.A * it.x - rows.b;
            primal.tail(mi) += it.s;
            double complementarity = it.s.dot(it.y.tail(mi));
            for (Eigen::Index i = 0; i < n; ++i) {
                if (has_lower(i)) complementarity += (it.x[i] - lower[i]) * it.zl[i];
                if (has_upper(i)) complementarity += (upper[i] - it.x[i]) * it.zu[i];
            }
            const double mu = pairs > 0 ? complementarity / static_cast<double>(pairs) : 0.0;
            const double primal_norm = m > 0 ? primal.cwiseAbs().maxCoeff() : 0.0;
            const double dual = dual_residual.cwiseAbs().maxCoeff() / std::max(cx.cwiseAbs().maxCoeff(), it.w.maxCoeff());
            const double comp = std::max(mu, centre.cwiseAbs().maxCoeff()) * static_cast<double>(n) / lambda;
            if (!std::isfinite(dual) || !std::isfinite(primal_norm) || !std::isfinite(comp)) return std::nullopt;
            std::optional<Factors> f = factorise(it);
            if (!f) return std::nullopt;
            // Far from the budget a rough solve decides the next λ as well as an exact one.
            const bool rough = primal_norm <= kRoughTolerance && dual <= kRoughTolerance && comp <= kRoughTolerance &&
                               std::abs(it.x.sum() - 1.0) > kFarFromBudget;
            if (rough || (primal_norm <= kPrimalTolerance && dual <= eps && comp <= eps)) {
                // d(1ᵀx)/dλ: K dx + Aᵀdy = (b/x) dλ with the rows' linearisation.
                const Vector g = b.cwiseQuotient(it.x);
                Vector dx = f->K->solve(Matrix(g)).col(0);
                if (m > 0) dx -= f->KA * f->border.solve(Vector(rows.A * dx));
                const double slope = dx.sum();
                return Inner{it.x, std::move(dx), slope, step, std::move(centred)};
            }
            const double worst = std::max({primal_norm, dual, comp});
            if (!centred && worst <= kWarmCapture) centred = it;
            if (worst < kProgressFactor * best_worst) best_worst = worst, since_progress = 0;
            else if (++since_progress >= kStallSteps) return std::nullopt;
            if (step >= step_budget) return std::nullopt;

            // One Newton direction for the targets c of the pairs' products (τ − s·z, less the
            // predictor's product in the corrector) and of x ⊙ w.
            struct Direction {
                Vector dx, dy, ds, dzl, dzu, dw;
            };
            const auto direction = [&](const Vector& cw, const Vector& cl, const Vector& cu, const Vector& cr) {
                Vector rhs1 = -dual_residual + cw.cwiseQuotient(it.x);
                for (Eigen::Index i = 0; i < n; ++i) {
                    if (has_lower(i)) rhs1[i] += cl[i] / f->sl[i];
                    if (has_upper(i)) rhs1[i] -= cu[i] / f->su[i];
                }
                Vector rhs2(m);
                rhs2.head(me) = -primal.head(me);
                for (Eigen::Index k = 0; k < mi; ++k) rhs2[me + k] = -primal[me + k] - cr[k] / it.y[me + k];
                Direction d;
                d.dx = f->K->solve(Matrix(rhs1)).col(0);
                d.dy = Vector::Zero(m);
                if (m > 0) {
                    d.dy = f->border.solve(Vector(rows.A * d.dx - rhs2));
                    d.dx -= f->KA * d.dy;
                }
                d.ds = Vector(mi);
                for (Eigen::Index k = 0; k < mi; ++k) d.ds[k] = (cr[k] - it.s[k] * d.dy[me + k]) / it.y[me + k];
                d.dzl = Vector::Zero(n), d.dzu = Vector::Zero(n);
                for (Eigen::Index i = 0; i < n; ++i) {
                    if (has_lower(i)) d.dzl[i] = (cl[i] - it.zl[i] * d.dx[i]) / f->sl[i];
                    if (has_upper(i)) d.dzu[i] = (cu[i] + it.zu[i] * d.dx[i]) / f->su[i];
                }
                d.dw = (cw - it.w.cwiseProduct(d.dx)).cwiseQuotient(it.x);
                return d;
            };
            // The longest steps (≤ 1) that keep the primal and the dual variables positive.
            const auto longest = [&](const Direction& d, double fraction) {
                double ap = 1.0, ad = 1.0;
                const auto limit = [fraction](double& a, double value, double change) {
                    if (change < 0.0) a = std::min(a, -fraction * value / change);
                };
                for (Eigen::Index i = 0; i < n; ++i) {
                    limit(ap, it.x[i], d.dx[i]);
                    limit(ad, it.w[i], d.dw[i]);
                    if (has_lower(i)) limit(ap, f->sl[i], d.dx[i]), limit(ad, it.zl[i], d.dzl[i]);
                    if (has_upper(i)) limit(ap, f->su[i], -d.dx[i]), limit(ad, it.zu[i], d.dzu[i]);
                }
                for (Eigen::Index k = 0; k < mi; ++k)
                    limit(ap, it.s[k], d.ds[k]), limit(ad, it.y[me + k], d.dy[me + k]);
                return std::pair{ap, ad};
            };

            // Predictor (τ = 0), then the corrector for τ = σμ, σ from the predictor's progress.
            Vector cl0 = Vector::Zero(n), cu0 = Vector::Zero(n), cr0(mi);
            for (Eigen::Index i = 0; i < n; ++i) {
                if (has_lower(i)) cl0[i] = -f->sl[i] * it.zl[i];
                if (has_upper(i)) cu0[i] = -f->su[i] * it.zu[i];
            }
            for (Eigen::Index k = 0; k < mi; ++k) cr0[k] = -it.s[k] * it.y[me + k];
            const Vector cw0 = -centre;
            Direction d = direction(cw0, cl0, cu0, cr0);
            if (pairs > 0) {
                const auto [ap, ad] = longest(d, 1.0);
                double affine = 0.0;
                for (Eigen::Index i = 0; i < n; ++i) {
                    if (has_lower(i)) affine += (f->sl[i] + ap * d.dx[i]) * (it.zl[i] + ad * d.dzl[i]);
                    if (has_upper(i)) affine += (f->su[i] - ap * d.dx[i]) * (it.zu[i] + ad * d.dzu[i]);
                }
                for (Eigen::Index k = 0; k < mi; ++k) affine += (it.s[k] + ap * d.ds[k]) * (it.y[me + k] + ad * d.dy[me + k]);
                const double sigma = std::pow(std::max(affine, 0.0) / (static_cast<double>(pairs) * mu), 3.0);
                // The pairs need not come closer than the accuracy asked for.
                const double tau = std::max(std::min(sigma, 1.0) * mu, kCentringFloor * eps * lambda / static_cast<double>(n));
                Vector cl = Vector::Zero(n), cu = Vector::Zero(n), cr(mi);
                for (Eigen::Index i = 0; i < n; ++i) {
                    if (has_lower(i)) cl[i] = tau + cl0[i] - d.dx[i] * d.dzl[i];
                    if (has_upper(i)) cu[i] = tau + cu0[i] + d.dx[i] * d.dzu[i];
                }
                for (Eigen::Index k = 0; k < mi; ++k) cr[k] = tau + cr0[k] - d.ds[k] * d.dy[me + k];
                // x ⊙ w aims at no less than τ while the pairs are far from their limit.
                const Vector cw = (lambda * b).cwiseMax(tau) - it.x.cwiseProduct(it.w) - d.dx.cwiseProduct(d.dw);
                d = direction(cw, cl, cu, cr);
                // A corrector that the boundary blocks gives way to a pure centring step (τ = μ,
                // no second-order terms) when that one goes further.
                const auto [cp, cd] = longest(d, kStepToBoundary);
                if (std::min(cp, cd) < kBlockedStep) {
                    Vector cl1 = cl0, cu1 = cu0, cr1 = cr0;
                    for (Eigen::Index i = 0; i < n; ++i) {
                        if (has_lower(i)) cl1[i] += mu;
                        if (has_upper(i)) cu1[i] += mu;
                    }
                    cr1.array() += mu;
                    const Direction centring =
                        direction(Vector((lambda * b).cwiseMax(mu) - it.x.cwiseProduct(it.w)), cl1, cu1, cr1);
                    const auto [zp, zd] = longest(centring, kStepToBoundary);
                    if (std::min(zp, zd) > std::min(cp, cd)) d = centring;
                }
            }
            const auto [ap, ad] = longest(d, kStepToBoundary);
            // One step length for all: the Hessian couples x to the dual residual.
            const double alpha = std::min(ap, ad);
            it.x += alpha * d.dx;
            it.s += alpha * d.ds;
            it.y += alpha * d.dy;
            it.zl += alpha * d.dzl;
            it.zu += alpha * d.dzu;
            it.w += alpha * d.dw;
        }
    };

    // Weights strictly inside their bounds that meet every row to the primal tolerance.
    const auto strictly_inside = [&](const Vector& x) {
        for (Eigen::Index i = 0; i < n; ++i)
            if (!(x[i] > lower[i] && x[i] < upper[i])) return false;
        if (m == 0) return true;
        Vector residual = rows.A * x - rows.b;
        for (Eigen::Index r = me; r < m; ++r) residual[r] = std::max(residual[r], 0.0);
        return residual.cwiseAbs().maxCoeff() <= kPrimalTolerance;
    };

    // λ by Newton's method on 1ᵀx against √λ, inside the bracket of the values tried; each λ
    // solved from a cold start.
    const double lambda0 = std::max(S.quadratic_form(x0), kFinestTolerance);
    double lambda = lambda0, below = 0.0, above = inf, below_excess = 0.0, above_excess = 0.0;
    double growth = kLambdaGrowth;
    int last_side = 0;  // the side of 1 the last total was on
    int steps = 0;
    std::optional<Iterate> warm;  // from the last solve, where λ moved little since
    while (steps <= max_steps) {
        std::optional<Inner> inner = solve_at(lambda, max_steps - steps, warm ? &*warm : nullptr);
        if (!inner && warm) inner = solve_at(lambda, max_steps - steps, nullptr);
        if (!inner) return std::nullopt;
        warm.reset();
        steps += inner->steps;
        const double total = inner->x.sum();
        if (std::abs(total - 1.0) <= kPrimalTolerance) return RiskBudgetingPoint{inner->x / total, lambda * cs, steps};
        // Close to the answer, the first-order move along dx/dλ to the λ of total 1 is exact to
        // (Δλ/λ)²: taken instead of another solve where that is within the accuracy asked for and
        // the moved weights keep every bound and row (measured: one solve of 4 to 6 saved, 9-12
        // Newton steps).
        if (inner->slope > 0.0) {
            const double move = -(total - 1.0) / inner->slope;
            if (std::abs(move) <= kExtrapolationReach * std::sqrt(eps) * lambda) {
                const Vector x = inner->x + move * inner->dx;
                if (strictly_inside(x) && std::abs(x.sum() - 1.0) <= kPrimalTolerance)
                    return RiskBudgetingPoint{x / x.sum(), (lambda + move) * cs, steps};
            }
        }
        // In t = √λ the total is close to a straight line (a multiple of t where no limit binds, a
        // limit's share plus one where some do), with kinks where a limit starts to bind.
        const double t = std::sqrt(lambda);
        double next_t;
        if (total < 1.0) below = lambda, below_excess = total - 1.0;
        else above = lambda, above_excess = total - 1.0;
        const double newton_t = t - (total - 1.0) / (2.0 * t * inner->slope);
        if (below > 0.0 && above < inf) {
            // Newton's step from the derivative of the last solve where it stays inside the
            // bracket; else regula falsi between its ends, the end kept twice in a row weighed
            // down by half (the Illinois rule), so that the bracket closes from both sides.
            const double tb = std::sqrt(below), ta = std::sqrt(above);
            if (total < 1.0 ? last_side < 0 : last_side > 0) (total < 1.0 ? above_excess : below_excess) *= 0.5;
            next_t = newton_t;
            if (!(inner->slope > 0.0 && next_t > tb && next_t < ta))
                next_t = tb - below_excess * (ta - tb) / (above_excess - below_excess);
            if (!(next_t > tb && next_t < ta)) next_t = 0.5 * (tb + ta);
        } else {
            // Newton's step from the derivative of the last solve, at most the current growth factor.
            next_t = newton_t;
            const double most = std::sqrt(growth);
            if (!(inner->slope > 0.0) || !(next_t > t / most && next_t < t * most)) next_t = total < 1.0 ? t * most : t / most;
            growth *= growth;
        }
        last_side = total < 1.0 ? -1 : 1;
        const double next = next_t * next_t;
        if (!(next > lambda0 / kLambdaRange && next < lambda0 * kLambdaRange) ||
            (above < inf && above - below <= kFinestTolerance * above))
            return std::nullopt;  // no λ gives weights that add up to 1
        if (inner->centred && std::abs(next / lambda - 1.0) <= kWarmReach) warm = std::move(inner->centred);
        lambda = next;
        ++steps;
    }
    return std::nullopt;
}

SolveResult risk_budgeting_solve(const LabelledMatrix& c_m, const BoundsList& bounds,
                                 const std::vector<ConstraintRecord>& cons, int max_iteration, double tol) {
    const Eigen::Index n = c_m.values.rows();
    check_solver_inputs("risk_budgeting_optimize", &c_m, n, Vector::Constant(n, n > 0 ? 1.0 / n : 0.0), bounds,
                        max_iteration, tol);
    check_record_sizes("risk_budgeting_optimize", cons, n);
    for (std::size_t k = 0; k < cons.size(); ++k)
        if (!cons[k].budget && (!cons[k].linear || !cons[k].fun || !cons[k].jac))
            throw kelvane::KVInvalidArgument(fmt::format(
                "risk_budgeting_optimize: constraint record {} is not linear (a function of the caller's own); risk "
                "budgeting takes the bounds and linear records (group limits, the budget) only",
                k));
    const std::optional<LinearRows> rows = budget_free_rows(cons, n);
    if (!rows) throw OptimizationFailed(kNoPositiveWeights);
    const std::optional<RiskBudgetingPoint> point =
        constrained_risk_budgeting({nullptr, &c_m.values}, bounds, *rows, max_iteration, tol);
    if (!point) throw OptimizationFailed(kNoPositiveWeights);
    const Vector weights = normalised_weights(point->weights);
    const double objective = 0.5 * min_variance_obj_fun(c_m.values, weights) -
                             point->lambda * weights.array().log().sum() / static_cast<double>(n);
    return {certified_result(c_m.labels, weights, bounds, cons),
            {Termination::converged, point->steps, objective, kConvergedMessage}};
}

WeightMap risk_budgeting_optimize(const LabelledMatrix& c_m, const BoundsList& bounds,
                                  const std::vector<ConstraintRecord>& cons, int max_iteration, double tol) {
    return risk_budgeting_solve(c_m, bounds, cons, max_iteration, tol).weights;
}

}  // namespace kelvane_mod_optimizer
