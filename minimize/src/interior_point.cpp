#include "minimize/interior_point.hpp"
#include "minimize/products.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

namespace minimize {

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

namespace {

constexpr double kStepToBoundary = 0.995;  // fraction of the step to the boundary taken
constexpr double kAcceptable = 1e-9;       // residuals accepted when the method stalls
constexpr int kStallSteps = 10;            // steps without progress before it is a stall
constexpr double kProgress = 0.9;          // progress: the worst residual below this fraction of the best so far
constexpr double kTinyStep = 1e-10;        // a step this short makes no progress
constexpr double kRayGrowth = 1e8;         // multipliers this large relative to the data: look for a certificate
constexpr double kRayTolerance = 1e-7;     // accuracy asked of an infeasibility certificate
constexpr double kRegularisation = 1e-13;
constexpr double kEqualityResidual = 1e-12;  // relative residuals of an accepted equality-row optimum  // relative to the largest diagonal, where K has none of its own

double inf_norm(const VectorXd& v) { return v.size() ? v.cwiseAbs().maxCoeff() : 0.0; }

// The slacks and multipliers of one family of inequalities (lower bounds, upper bounds or rows),
// with a mask that is 0 where a bound is absent (there s = 1, z = 0 and every step is 0).
struct Pairs {
    VectorXd s, z, mask;
    double dot() const { return s.dot(z); }
};

// A Newton direction.
struct Step {
    VectorXd dx, dy, dsl, dzl, dsu, dzu, dsr, dzr;
};

// The residuals at the current point.
struct Residuals {
    VectorXd rd;  // Hx + q + A_eqᵀy + A_inᵀz_r − z_l + z_u
    VectorXd re;  // A_eq x − b_eq
    VectorXd rr;  // A_in x + s_r − b_in
    VectorXd rl;  // x − s_l − l (masked)
    VectorXd ru;  // x + s_u − u (masked)
};

// K = H + diag(shift), factorised: by Woodbury for the factor form, by Cholesky when dense.
class KFactor {
public:
    // False when the dense factorisation fails (K not positive definite).
    bool compute(const QuadraticProgram& p, const VectorXd& shift) {
        // Each step's factor takes the storage of the last one: a Newton matrix of n·k (or n²)
        // numbers allocated at every step costs page faults where the allocator hands such
        // blocks back to the system.
        if (p.H_dense.size() == 0) {
            if (woodbury_)
                woodbury_->compute(p.H, shift);
            else
                woodbury_ = std::make_unique<WoodburySolver>(p.H, shift);
            return true;
        }
        k_ = p.H_dense;
        k_.diagonal() += shift;
        dense_.compute(k_);
        return dense_.info() == Eigen::Success;
    }
    MatrixXd solve(const MatrixXd& R) const { return woodbury_ ? woodbury_->solve(R) : MatrixXd(dense_.solve(R)); }
    VectorXd solve(const VectorXd& r) const { return woodbury_ ? woodbury_->solve(r) : VectorXd(dense_.solve(r)); }

private:
    std::unique_ptr<WoodburySolver> woodbury_;
    MatrixXd k_;  // H + diag(shift) when dense
    Eigen::LLT<MatrixXd> dense_;
};

VectorXd hessian_times(const QuadraticProgram& p, const VectorXd& x) {
    if (p.H_dense.size() == 0) return p.H * x;
    return p.H_dense.selfadjointView<Eigen::Lower>() * x;
}

// The diagonal of H that holds without any barrier term: d of the factor form (its low-rank part
// may be singular), the dense diagonal otherwise.
VectorXd own_diagonal(const QuadraticProgram& p) { return p.H_dense.size() == 0 ? p.H.d() : VectorXd(p.H_dense.diagonal()); }

class Solver {
public:
    Solver(const QuadraticProgram& p)
        : p_(p), n_(p.q.size()), me_(p.A_eq.rows()), mi_(p.A_in.rows()), stacked_(stack_rows(p)),
          A_(mi_ > 0 ? stacked_ : p.A_eq) {
        l_ = VectorXd::Zero(n_);
        u_ = VectorXd::Zero(n_);
        lo_.mask = VectorXd::Zero(n_);
        up_.mask = VectorXd::Zero(n_);
        for (Index i = 0; i < n_; ++i) {
            if (std::isfinite(p.lower[i])) lo_.mask[i] = 1.0, l_[i] = p.lower[i];
            if (std::isfinite(p.upper[i])) up_.mask[i] = 1.0, u_[i] = p.upper[i];
        }
        rows_.mask = VectorXd::Ones(mi_);
        pairs_ = lo_.mask.sum() + up_.mask.sum() + static_cast<double>(mi_);
        H_diag_max_ = std::max(1.0, inf_norm(p.H_dense.size() ? VectorXd(p.H_dense.diagonal()) : p.H.diagonal()));
    }

    Solver(const Solver&) = delete;  // A_ may refer to stacked_
    Solver& operator=(const Solver&) = delete;

    QpResult run(const InteriorPointOptions& options);

    // The minimiser under the equality rows alone, when it is the optimum (see solve_qp).
    bool equality_optimum(QpResult& result);

private:
    Residuals residuals() const;
    bool factorise();
    Step newton(const Residuals& r, const VectorXd& rcl, const VectorXd& rcu, const VectorXd& rcr) const;
    bool start();
    bool certificate_of_infeasibility() const;
    double max_step(const Step& d) const;
    void take(const Step& d, double alpha);

    // A_eq over A_in where there are inequality rows; empty otherwise (A_eq is then the rows:
    // with tracking error's T rows of returns, a copy of n·T numbers saved).
    static MatrixXd stack_rows(const QuadraticProgram& p) {
        if (p.A_in.rows() == 0) return MatrixXd();
        MatrixXd rows(p.A_eq.rows() + p.A_in.rows(), p.q.size());
        rows.topRows(p.A_eq.rows()) = p.A_eq;
        rows.bottomRows(p.A_in.rows()) = p.A_in;
        return rows;
    }

    const QuadraticProgram& p_;
    Index n_, me_, mi_;
    MatrixXd stacked_;
    const MatrixXd& A_;  // the rows, equalities first
    VectorXd l_, u_;
    double pairs_ = 0.0;
    double H_diag_max_ = 1.0;

    VectorXd x_, y_;
    Pairs lo_, up_, rows_;

    // the factorisation of one Newton step
    KFactor K_;
    MatrixXd KA_;  // K⁻¹Aᵀ
    MatrixXd scaled_rows_;  // A K^{-1/2} where K is diagonal
    Eigen::LDLT<MatrixXd> schur_;
};

Residuals Solver::residuals() const {
    Residuals r;
    r.rd = hessian_times(p_, x_) + p_.q - lo_.z + up_.z;
    if (me_ + mi_ > 0) {
        VectorXd multipliers(me_ + mi_);
        multipliers << y_, rows_.z;
        r.rd.noalias() += A_.transpose() * multipliers;
    }
    r.re = p_.A_eq * x_ - p_.b_eq;
    r.rr = p_.A_in * x_ + rows_.s - p_.b_in;
    r.rl = (x_ - lo_.s - l_).cwiseProduct(lo_.mask);
    r.ru = (x_ + up_.s - u_).cwiseProduct(up_.mask);
    return r;
}

bool Solver::factorise() {
    VectorXd shift = lo_.z.cwiseQuotient(lo_.s) + up_.z.cwiseQuotient(up_.s);
    const VectorXd hd = own_diagonal(p_);
    for (Index i = 0; i < n_; ++i)
        if (hd[i] + shift[i] < kRegularisation * H_diag_max_) shift[i] += kRegularisation * H_diag_max_;
    if (!shift.allFinite() || !K_.compute(p_, shift)) return false;
    const Index m = me_ + mi_;
    if (m == 0) return true;
    MatrixXd S;
    if (p_.H_dense.size() == 0 && p_.H.rank() == 0) {
        // K is diagonal: K⁻¹Aᵀ is a scaling and A K⁻¹ Aᵀ one symmetric product (half the work).
        const VectorXd k_inv = (p_.H.d() + shift).cwiseInverse();
        KA_ = k_inv.asDiagonal() * A_.transpose();
        scaled_rows_ = A_ * k_inv.cwiseSqrt().asDiagonal();
        S = MatrixXd::Zero(m, m);
        add_lower_gram(S, scaled_rows_);
        S.triangularView<Eigen::StrictlyUpper>() = S.transpose();
    } else {
        KA_ = K_.solve(MatrixXd(A_.transpose()));
        S = A_ * KA_;
        S = 0.5 * (S + S.transpose()).eval();
    }
    S.diagonal().tail(mi_) += rows_.s.cwiseQuotient(rows_.z);
    schur_.compute(S);
    return schur_.info() == Eigen::Success;
}

// The minimiser under the equality rows alone, x = K⁻¹(−q − A_eqᵀy) with K = H; when it meets every
// bound and inequality row exactly it is the optimum, with zero multipliers on those.
bool Solver::equality_optimum(QpResult& result) {
    const VectorXd hd = own_diagonal(p_);
    if (p_.H_dense.size() == 0 && !(hd.array() > 0.0).all()) return false;
    if (!K_.compute(p_, VectorXd::Zero(n_))) return false;
    VectorXd x = K_.solve(VectorXd(-p_.q)), y = VectorXd::Zero(me_);
    if (me_ > 0) {
        const MatrixXd KA = K_.solve(MatrixXd(p_.A_eq.transpose()));
        const Eigen::LDLT<MatrixXd> S(p_.A_eq * KA);
        if (S.info() != Eigen::Success) return false;
        y = S.solve(p_.A_eq * x - p_.b_eq);
        x -= KA * y;
    }
    if (!x.allFinite()) return false;
    const double primal_scale = std::max({1.0, inf_norm(x), inf_norm(p_.b_eq)});
    const VectorXd Hx = hessian_times(p_, x);
    const VectorXd rd = Hx + p_.q + p_.A_eq.transpose() * y;
    const double dual_scale = std::max({inf_norm(p_.q), inf_norm(Hx), std::numeric_limits<double>::min()});
    if (inf_norm(p_.A_eq * x - p_.b_eq) > kEqualityResidual * primal_scale || inf_norm(rd) > kEqualityResidual * dual_scale)
        return false;
    for (Index i = 0; i < n_; ++i)
        if (!(x[i] >= p_.lower[i] && x[i] <= p_.upper[i])) return false;
    if (mi_ > 0 && !((p_.A_in * x - p_.b_in).array() <= 0.0).all()) return false;
    result.status = QpStatus::converged;
    result.iterations = 1;
    result.x = x;
    result.objective = 0.5 * x.dot(Hx) + p_.q.dot(x);
    result.y_eq = y;
    result.z_in = VectorXd::Zero(mi_);
    result.z_lower = result.z_upper = VectorXd::Zero(n_);
    return true;
}

// The Newton equations with complementarity targets z∘Δs + s∘Δz = −rc, reduced to K Δx and the
// Schur complement of the rows.
Step Solver::newton(const Residuals& r, const VectorXd& rcl, const VectorXd& rcu, const VectorXd& rcr) const {
    Step d;
    const VectorXd g = -r.rd - (rcl + lo_.z.cwiseProduct(r.rl)).cwiseQuotient(lo_.s).cwiseProduct(lo_.mask) -
                       (-rcu + up_.z.cwiseProduct(r.ru)).cwiseQuotient(up_.s).cwiseProduct(up_.mask);
    const VectorXd Kg = K_.solve(g);
    if (me_ + mi_ > 0) {
        VectorXd rhs(me_ + mi_);
        rhs << -r.re, rcr.cwiseQuotient(rows_.z) - r.rr;
        const VectorXd lambda = schur_.solve(A_ * Kg - rhs);
        d.dx = Kg - KA_ * lambda;
        d.dy = lambda.head(me_);
        d.dzr = lambda.tail(mi_);
    } else {
        d.dx = Kg;
        d.dy.resize(0);
        d.dzr.resize(0);
    }
    d.dsr = -r.rr - p_.A_in * d.dx;
    d.dsl = (d.dx + r.rl).cwiseProduct(lo_.mask);
    d.dzl = (-rcl - lo_.z.cwiseProduct(d.dsl)).cwiseQuotient(lo_.s).cwiseProduct(lo_.mask);
    d.dsu = (-r.ru - d.dx).cwiseProduct(up_.mask);
    d.dzu = (-rcu - up_.z.cwiseProduct(d.dsu)).cwiseQuotient(up_.s).cwiseProduct(up_.mask);
    return d;
}

double Solver::max_step(const Step& d) const {
    double alpha = 1.0;
    auto limit = [&alpha](const VectorXd& v, const VectorXd& dv) {
        for (Index i = 0; i < v.size(); ++i)
            if (dv[i] < 0.0) alpha = std::min(alpha, -v[i] / dv[i]);
    };
    limit(lo_.s, d.dsl), limit(lo_.z, d.dzl), limit(up_.s, d.dsu), limit(up_.z, d.dzu);
    limit(rows_.s, d.dsr), limit(rows_.z, d.dzr);
    return alpha;
}

void Solver::take(const Step& d, double alpha) {
    x_ += alpha * d.dx;
    y_ += alpha * d.dy;
    lo_.s += alpha * d.dsl, lo_.z += alpha * d.dzl;
    up_.s += alpha * d.dsu, up_.z += alpha * d.dzu;
    rows_.s += alpha * d.dsr, rows_.z += alpha * d.dzr;
}

// Mehrotra's start: the affine step from x = the bounds' middle (or 0), s = z = 1, then slacks
// and multipliers shifted to be safely positive.
bool Solver::start() {
    x_ = VectorXd::Zero(n_);
    for (Index i = 0; i < n_; ++i) {
        if (lo_.mask[i] > 0.0 && up_.mask[i] > 0.0) x_[i] = 0.5 * (l_[i] + u_[i]);
        else if (lo_.mask[i] > 0.0) x_[i] = std::max(0.0, l_[i]);
        else if (up_.mask[i] > 0.0) x_[i] = std::min(0.0, u_[i]);
    }
    y_ = VectorXd::Zero(me_);
    for (Pairs* f : {&lo_, &up_, &rows_}) {
        f->s = VectorXd::Ones(f->mask.size());
        f->z = f->mask;
    }
    if (!factorise()) return false;
    const Residuals r = residuals();
    const Step d = newton(r, lo_.s.cwiseProduct(lo_.z), up_.s.cwiseProduct(up_.z), rows_.s.cwiseProduct(rows_.z));
    take(d, 1.0);
    // shift every present slack and multiplier by the same amounts
    double min_s = std::numeric_limits<double>::infinity(), min_z = min_s;
    for (Pairs* f : {&lo_, &up_, &rows_})
        for (Index i = 0; i < f->s.size(); ++i)
            if (f->mask[i] > 0.0) min_s = std::min(min_s, f->s[i]), min_z = std::min(min_z, f->z[i]);
    if (pairs_ == 0.0) return true;
    const double ds = std::max(-1.5 * min_s, 0.0), dz = std::max(-1.5 * min_z, 0.0);
    double sz = 0.0, sum_s = 0.0, sum_z = 0.0;
    for (Pairs* f : {&lo_, &up_, &rows_}) {
        f->s += ds * f->mask, f->z += dz * f->mask;
        sz += f->dot(), sum_s += f->s.dot(f->mask), sum_z += f->z.sum();
    }
    const double ds2 = 0.5 * sz / std::max(sum_z, std::numeric_limits<double>::min());
    const double dz2 = 0.5 * sz / std::max(sum_s, std::numeric_limits<double>::min());
    for (Pairs* f : {&lo_, &up_, &rows_}) {
        f->s += ds2 * f->mask, f->z += dz2 * f->mask;
        // a start with no spread at all (already optimal and feasible) still needs positive pairs
        for (Index i = 0; i < f->s.size(); ++i)
            if (f->mask[i] > 0.0) f->s[i] = std::max(f->s[i], 1e-8), f->z[i] = std::max(f->z[i], 1e-8);
    }
    // the slacks of absent bounds stay 1 with a zero multiplier
    for (Pairs* f : {&lo_, &up_})
        for (Index i = 0; i < n_; ++i)
            if (f->mask[i] == 0.0) f->s[i] = 1.0, f->z[i] = 0.0;
    return true;
}

// Farkas: multipliers with A_eqᵀy + A_inᵀz_r − z_l + z_u = 0 and b_eqᵀy + b_inᵀz_r − lᵀz_l + uᵀz_u < 0
// prove that no x meets the rows and bounds. The iterates approach such a ray when the problem is
// infeasible; look at them once they have grown large.
bool Solver::certificate_of_infeasibility() const {
    const double size = std::max({inf_norm(y_), inf_norm(rows_.z), inf_norm(lo_.z), inf_norm(up_.z)});
    const double data = std::max({1.0, inf_norm(p_.q), inf_norm(hessian_times(p_, x_))});
    if (!(size > kRayGrowth * data)) return false;
    VectorXd ray = up_.z - lo_.z;
    if (me_ + mi_ > 0) {
        VectorXd multipliers(me_ + mi_);
        multipliers << y_, rows_.z;
        ray.noalias() += A_.transpose() * multipliers;
    }
    const double value = p_.b_eq.dot(y_) + p_.b_in.dot(rows_.z) - l_.dot(lo_.z) + u_.dot(up_.z);
    const double row_scale = std::max(1.0, A_.size() ? A_.cwiseAbs().maxCoeff() : 0.0);
    return inf_norm(ray) <= kRayTolerance * row_scale * size && value < -kRayTolerance * size;
}

QpResult Solver::run(const InteriorPointOptions& options) {
    QpResult result;
    if (equality_optimum(result)) return result;
    if (!start()) {
        result.status = QpStatus::failed;
        result.x = VectorXd::Zero(n_);
        return result;
    }
    double best = std::numeric_limits<double>::infinity();
    int stalled = 0;
    for (int it = 0;; ++it) {
        const Residuals r = residuals();
        const VectorXd Hx = hessian_times(p_, x_);
        const double quad = 0.5 * x_.dot(Hx), lin = p_.q.dot(x_);
        const double gap = lo_.dot() + up_.dot() + rows_.dot();
        const double primal_scale = std::max({1.0, inf_norm(x_), inf_norm(p_.b_eq), inf_norm(p_.b_in)});
        const double dual_scale = std::max({inf_norm(p_.q), inf_norm(Hx), inf_norm(lo_.z), inf_norm(up_.z),
                                            options.gradient_scale, std::numeric_limits<double>::min()});
        const double primal = std::max({inf_norm(r.re), inf_norm(r.rr), inf_norm(r.rl), inf_norm(r.ru)}) / primal_scale;
        const double dual = inf_norm(r.rd) / dual_scale;
        const double rel_gap = gap / std::max({std::abs(quad) + std::abs(lin), options.objective_scale, 1e-300});
        const double worst = std::max({primal, dual, rel_gap});
        result.iterations = it;
        auto finish = [&](QpStatus status) {
            result.status = status;
            result.x = x_;
            if (status == QpStatus::converged)  // the bounds hold exactly; the slacks say they hold to rounding
                for (Index i = 0; i < n_; ++i) result.x[i] = std::clamp(result.x[i], p_.lower[i], p_.upper[i]);
            result.objective = 0.5 * result.x.dot(hessian_times(p_, result.x)) + p_.q.dot(result.x);
            result.y_eq = y_, result.z_in = rows_.z, result.z_lower = lo_.z, result.z_upper = up_.z;
            return result;
        };
        if (!std::isfinite(worst)) return finish(QpStatus::failed);
        if (worst <= options.tolerance) return finish(QpStatus::converged);
        if (certificate_of_infeasibility()) return finish(QpStatus::infeasible);
        if (worst < kProgress * best) best = worst, stalled = 0;
        else if (++stalled >= kStallSteps)
            return finish(best <= kAcceptable && worst <= kAcceptable ? QpStatus::converged : QpStatus::failed);
        if (it >= options.max_iterations) return finish(QpStatus::iteration_limit);

        const double mu = pairs_ > 0.0 ? gap / pairs_ : 0.0;
        if (!factorise()) return finish(QpStatus::failed);
        // predictor: the affine step
        const VectorXd scl = lo_.s.cwiseProduct(lo_.z), scu = up_.s.cwiseProduct(up_.z), scr = rows_.s.cwiseProduct(rows_.z);
        const Step aff = newton(r, scl, scu, scr);
        const double alpha_aff = max_step(aff);
        const double gap_aff = (lo_.s + alpha_aff * aff.dsl).dot(lo_.z + alpha_aff * aff.dzl) +
                               (up_.s + alpha_aff * aff.dsu).dot(up_.z + alpha_aff * aff.dzu) +
                               (rows_.s + alpha_aff * aff.dsr).dot(rows_.z + alpha_aff * aff.dzr);
        const double sigma = pairs_ > 0.0 ? std::pow(std::clamp(gap_aff / gap, 0.0, 1.0), 3) : 0.0;
        // corrector: centring plus the second-order term of the affine step
        const double target = sigma * mu;
        const Step d = newton(r, (scl + aff.dsl.cwiseProduct(aff.dzl)).array() - target * lo_.mask.array(),
                              (scu + aff.dsu.cwiseProduct(aff.dzu)).array() - target * up_.mask.array(),
                              (scr + aff.dsr.cwiseProduct(aff.dzr)).array() - target);
        const double alpha = std::min(1.0, kStepToBoundary * max_step(d));
        if (!(alpha > kTinyStep)) return finish(worst <= kAcceptable ? QpStatus::converged : QpStatus::failed);
        take(d, alpha);
    }
}

}  // namespace

namespace {

void check_sizes(const QuadraticProgram& p) {
    const Index n = p.q.size();
    if ((p.H_dense.size() ? p.H_dense.rows() != n || p.H_dense.cols() != n : p.H.size() != n) || p.lower.size() != n || p.upper.size() != n || p.A_eq.cols() != n ||
        p.A_in.cols() != n || p.A_eq.rows() != p.b_eq.size() || p.A_in.rows() != p.b_in.size())
        throw std::invalid_argument("quadratic programme sizes disagree");
    for (Index i = 0; i < n; ++i)
        if (p.lower[i] > p.upper[i]) throw std::invalid_argument("lower bound above upper bound");
}

}  // namespace

QpResult solve_qp(const QuadraticProgram& p, const InteriorPointOptions& options) {
    check_sizes(p);
    return Solver(p).run(options);
}

std::optional<QpResult> equality_constrained_optimum(const QuadraticProgram& p) {
    check_sizes(p);
    QpResult result;
    if (!Solver(p).equality_optimum(result)) return std::nullopt;
    return result;
}

}  // namespace minimize
