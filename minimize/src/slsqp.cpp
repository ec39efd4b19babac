// Sequential least-squares quadratic programming after Kraft (1988), with the front end of a
// general minimiser: bounds with absent sides, fixed variables, forward differences.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "finite_differences.hpp"
#include "active_set_qp.hpp"
#include "lsq.hpp"
#include "minimize/primal_qp.hpp"
#include "minimize/minimize.hpp"

namespace minimize {

namespace {

using detail::kEpsK;
using detail::kSolved;
using detail::Matrix;

constexpr double kInf = std::numeric_limits<double>::infinity();

const char* message_for(int mode) {
    switch (mode) {
        case -1: return "Gradient evaluation required (g & a)";
        case 0: return "Optimization terminated successfully";
        case 1: return "Function evaluation required (f & c)";
        case 2: return "More equality constraints than independent variables";
        case 3: return "More than 3*n iterations in LSQ subproblem";
        case 4: return "Inequality constraints incompatible";
        case 5: return "Singular matrix E in LSQ subproblem";
        case 6: return "Singular matrix C in LSQ subproblem";
        case 7: return "Rank-deficient equality constraint subproblem HFTI";
        case 8: return "Positive directional derivative for linesearch";
        case 9: return "Iteration limit reached";
        default: return "Unknown exit mode";
    }
}

// Evaluates the problem for the core: objective and gradient at x clipped into the bounds,
// constraint values at x itself, constraint gradients at the clipped x.
class Evaluator {
public:
    Evaluator(const Objective& f, const Gradient& g, const std::vector<Constraint>& cons, Vector lb, Vector ub,
              double eps)
        : f_(f), g_(g), lb_(std::move(lb)), ub_(std::move(ub)), eps_(eps) {
        for (const auto& c : cons)
            if (c.type == Constraint::Type::eq) ordered_.push_back(&c);
        me_ = static_cast<Eigen::Index>(ordered_.size());
        for (const auto& c : cons)
            if (c.type == Constraint::Type::ineq) ordered_.push_back(&c);
        for (Eigen::Index i = 0; i < lb_.size(); ++i) {
            Bound b;
            if (std::isfinite(lb_[i])) b.lower = lb_[i];
            if (std::isfinite(ub_[i])) b.upper = ub_[i];
            bounds_.push_back(b);
        }
    }

    [[nodiscard]] Eigen::Index me() const { return me_; }
    [[nodiscard]] Eigen::Index m() const { return static_cast<Eigen::Index>(ordered_.size()); }

    double objective(const Vector& x) {
        ++nfev;
        return f_(clip(x));
    }
    Vector constraints(const Vector& x) const {
        Vector c(m());
        for (Eigen::Index j = 0; j < m(); ++j) c[j] = ordered_[static_cast<std::size_t>(j)]->fun(x);
        return c;
    }
    // Gradient at x, where f(clip(x)) == fx was the last objective value.
    Vector gradient(const Vector& x, double fx) {
        const Vector xc = clip(x);
        if (g_) {
            ++njev;
            return g_(xc);
        }
        return detail::forward_difference(f_, xc, fx, bounds_, eps_, nfev);
    }
    Matrix jacobian(const Vector& x) const {
        const Vector xc = clip(x);
        Matrix A(m(), x.size());
        for (Eigen::Index j = 0; j < m(); ++j) {
            const Constraint& c = *ordered_[static_cast<std::size_t>(j)];
            if (c.jac) {
                A.row(j) = c.jac(xc).transpose();
            } else {
                int unused = 0;
                A.row(j) = detail::forward_difference(c.fun, xc, c.fun(xc), bounds_, eps_, unused).transpose();
            }
        }
        return A;
    }

    int nfev = 0;
    int njev = 0;

private:
    Vector clip(const Vector& x) const { return x.cwiseMax(lb_).cwiseMin(ub_); }

    const Objective& f_;
    const Gradient& g_;
    std::vector<const Constraint*> ordered_;  // equalities first, then inequalities
    Eigen::Index me_ = 0;
    Vector lb_, ub_;
    std::vector<Bound> bounds_;
    double eps_;
};

// Violation of the constraints: |c| for equalities, max(0, -c) for inequalities.
double violation(const Vector& c, Eigen::Index me, Vector* per_row = nullptr) {
    double total = 0.0;
    if (per_row) per_row->resize(c.size());
    for (Eigen::Index j = 0; j < c.size(); ++j) {
        const double v = j < me ? std::abs(c[j]) : std::max(0.0, -c[j]);
        if (per_row) (*per_row)[j] = v;
        total += v;
    }
    return total;
}

// L D Lᵀ + σ z zᵀ, in place (Fletcher and Powell's composite method). Returns false when a
// downdate would lose positive definiteness and was damped instead, so the factors no longer hold
// the exact sum.
bool ldl_update(Matrix& L, Vector& d, Vector z, double sigma) {
    const Eigen::Index n = d.size();
    if (sigma == 0.0) return true;
    bool exact = true;
    double t = 1.0 / sigma;
    Vector tlist;
    if (sigma < 0.0) {
        Vector p = z;
        for (Eigen::Index i = 0; i < n; ++i)
            for (Eigen::Index j = 0; j < i; ++j) p[i] -= L(i, j) * p[j];
        double T = 1.0 / sigma;
        for (Eigen::Index i = 0; i < n; ++i) T += p[i] * p[i] / d[i];
        if (T >= 0.0) T = kEpsK / sigma, exact = false;
        tlist.resize(n + 1);
        tlist[n] = T;
        for (Eigen::Index i = n; i >= 1; --i) tlist[i - 1] = tlist[i] - p[i - 1] * p[i - 1] / d[i - 1];
        t = tlist[0];
    }
    for (Eigen::Index i = 0; i < n; ++i) {
        const double v = z[i];
        const double delta = v / d[i];
        const double tp = sigma < 0.0 ? tlist[i + 1] : t + delta * v;
        const double alpha = tp / t;
        d[i] = alpha * d[i];
        if (i == n - 1) break;
        const double beta = delta / tp;
        if (alpha > 4.0) {
            const double gamma = t / tp;
            for (Eigen::Index j = i + 1; j < n; ++j) {
                const double u = L(j, i);
                L(j, i) = gamma * u + beta * z[j];
                z[j] -= v * u;
            }
        } else {
            for (Eigen::Index j = i + 1; j < n; ++j) {
                z[j] -= v * L(j, i);
                L(j, i) += beta * z[j];
            }
        }
        t = tp;
    }
    return exact;
}

// B = L D Lᵀ as a dense matrix, formed only when a subproblem solver asks for it: the rank-one
// terms of the updates since the last request wait in a list, and past n/2 of them (or after a
// damped downdate) B is formed again from the factors instead.
class DenseHessian {
public:
    explicit DenseHessian(Eigen::Index n) : n_(n) {}

    void reset() {
        identity_ = true;
        stale_ = false;
        pending_.clear();
    }
    void add(const Vector& z, double sigma) {
        if (stale_) return;
        pending_.emplace_back(z, sigma);
        if (2 * static_cast<Eigen::Index>(pending_.size()) > n_) mark_stale();
    }
    // True when get() would form B from the factors (O(n³)) rather than apply pending terms.
    [[nodiscard]] bool stale() const { return stale_; }
    void mark_stale() {
        stale_ = true;
        pending_.clear();
    }
    const Matrix& get(const Matrix& L, const Vector& d) {
        if (stale_) {
            B_.noalias() = L * d.asDiagonal() * L.transpose();  // L is unit lower triangular
        } else {
            if (identity_) B_.setIdentity(n_, n_);
            for (const auto& [z, sigma] : pending_) B_.noalias() += (sigma * z) * z.transpose();
        }
        identity_ = stale_ = false;
        pending_.clear();
        return B_;
    }

private:
    Eigen::Index n_;
    Matrix B_;
    bool identity_ = true, stale_ = false;
    std::vector<std::pair<Vector, double>> pending_;
};

// Clips the step into its bounds (the subproblem solvers may leave it a rounding error outside).
void clip(Vector& s, const Vector& lo, const Vector& up) {
    for (Eigen::Index i = 0; i < s.size(); ++i) {
        if (std::isfinite(lo[i]) && s[i] < lo[i])
            s[i] = lo[i];
        else if (std::isfinite(up[i]) && s[i] > up[i])
            s[i] = up[i];
    }
}

// The quadratic subproblem min ½ sᵀ(LDLᵀ)s + gᵀs under the linearised constraints and the step
// bounds lo <= s <= up (infinite sides absent). Returns kSolved or a failure mode.
//
// With `guess`, the active-set fast path runs first and its answer is taken when it verifies;
// then, with B = L D Lᵀ given explicitly, the primal active-set solver from the same guess; when
// neither succeeds, Kraft's least-squares reduction solves it. The active set found becomes the
// next guess (the fast path pauses after misses).
// All give the unique solution of the subproblem, so the iterates agree to rounding.
int lsq(const Matrix& L, const Vector& d, const Vector& g, const Matrix& A, const Vector& c, Eigen::Index me,
        const Vector& lo, const Vector& up, Vector& s, Vector& r, detail::ActiveSet* guess = nullptr,
        DenseHessian* B = nullptr) {
    const Eigen::Index n = g.size(), m = c.size(), mi = m - me;
    if (guess != nullptr && guess->skip > 0) {
        --guess->skip;
    } else if (guess != nullptr) {
        std::function<const Matrix&()> dense_B;
        if (B != nullptr && !B->stale()) dense_B = [&]() -> const Matrix& { return B->get(L, d); };
        if (detail::active_set_qp(L, d, g, A, -c, me, lo, up, *guess, s, r, dense_B)) {
            guess->backoff = 0;
            clip(s, lo, up);
            return kSolved;
        }
        // Where the active set jumps between subproblems (non-smooth objectives), guessing costs
        // more than it saves: pause it for a while.
        guess->backoff = std::min(2 * guess->backoff + 1, 15);
        guess->skip = guess->backoff;
    }
    if (guess != nullptr && B != nullptr && primal_active_set_qp(B->get(L, d), g, A, -c, me, lo, up, *guess, s, r)) {
        clip(s, lo, up);
        return kSolved;
    }
    const Vector sqrt_d = d.cwiseSqrt();
    Matrix E = L.transpose();
    for (Eigen::Index i = 0; i < n; ++i) E.row(i) *= sqrt_d[i];
    Vector f = L.triangularView<Eigen::UnitLower>().solve(g);
    f = -f.cwiseQuotient(sqrt_d);

    std::vector<Eigen::Index> lower_rows, upper_rows;
    for (Eigen::Index i = 0; i < n; ++i)
        if (std::isfinite(lo[i])) lower_rows.push_back(i);
    for (Eigen::Index i = 0; i < n; ++i)
        if (std::isfinite(up[i])) upper_rows.push_back(i);
    const auto mg = mi + static_cast<Eigen::Index>(lower_rows.size() + upper_rows.size());
    Matrix G = Matrix::Zero(mg, n);
    Vector h(mg);
    G.topRows(mi) = A.bottomRows(mi);
    h.head(mi) = -c.tail(mi);
    Eigen::Index row = mi;
    for (Eigen::Index i : lower_rows) {
        G(row, i) = 1.0;
        h[row++] = lo[i];
    }
    for (Eigen::Index i : upper_rows) {
        G(row, i) = -1.0;
        h[row++] = -up[i];
    }
    Vector x, multipliers;
    const int mode = detail::lsei(A.topRows(me), -c.head(me), E, f, G, h, x, multipliers);
    if (mode != kSolved) return mode;
    r = multipliers.head(m);
    s = x;
    clip(s, lo, up);
    if (guess != nullptr) {
        guess->bound.assign(static_cast<std::size_t>(n), 0);
        for (Eigen::Index i = 0; i < n; ++i)
            guess->bound[static_cast<std::size_t>(i)] = s[i] == lo[i] ? -1 : s[i] == up[i] ? 1 : 0;
        guess->inequality.assign(static_cast<std::size_t>(mi), 0);
        for (Eigen::Index j = 0; j < mi; ++j) guess->inequality[static_cast<std::size_t>(j)] = r[me + j] > 0.0;
        guess->known = true;
    }
    return kSolved;
}

// The augmented subproblem for an inconsistent linearisation: one more variable ξ in [0, 1]
// relaxes the constraints, weighted by ρ in the objective.
int lsq_augmented(const Matrix& L, const Vector& d, const Vector& g, const Matrix& A, const Vector& c,
                  Eigen::Index me, const Vector& lo, const Vector& up, Vector& s, Vector& r, double& xi) {
    const Eigen::Index n = g.size(), m = c.size();
    Matrix Aa(m, n + 1);
    Aa.leftCols(n) = A;
    for (Eigen::Index j = 0; j < m; ++j) Aa(j, n) = j < me ? -c[j] : std::max(-c[j], 0.0);
    Vector ga(n + 1);
    ga.head(n) = g;
    ga[n] = 0.0;
    Vector loa(n + 1), upa(n + 1);
    loa.head(n) = lo;
    upa.head(n) = up;
    loa[n] = 0.0;
    upa[n] = 1.0;
    double rho = 100.0;
    int mode = slsqp_status::incompatible_constraints;
    for (int attempt = 0; attempt < 6; ++attempt) {
        // E gets ρ itself as its last diagonal entry: extend L with a unit row and D with ρ².
        Matrix La = Matrix::Zero(n + 1, n + 1);
        La.topLeftCorner(n, n) = L;
        La(n, n) = 1.0;
        Vector da(n + 1);
        da.head(n) = d;
        da[n] = rho * rho;
        Vector sa, ra;
        mode = lsq(La, da, ga, Aa, c, me, loa, upa, sa, ra);
        if (mode == kSolved) {
            s = sa.head(n);
            r = ra;
            xi = sa[n];
            return kSolved;
        }
        if (mode != slsqp_status::incompatible_constraints) return mode;
        rho *= 10.0;
    }
    return mode;
}

Result core(Evaluator& ev, const Vector& x_start, const Vector& lb, const Vector& ub, const SlsqpOptions& options) {
    const Eigen::Index n = x_start.size();
    const Eigen::Index me = ev.me();
    const double acc = std::abs(options.ftol);
    const double tol = 10.0 * acc;
    const long long itmax = static_cast<long long>(options.maxiter) - 1;  // no overflow at INT_MIN

    Vector x = x_start;
    double f = ev.objective(x);
    Vector c = ev.constraints(x);
    Vector g = ev.gradient(x, f);
    Matrix A = ev.jacobian(x);

    Matrix L = Matrix::Identity(n, n);
    Vector dvec = Vector::Ones(n);
    DenseHessian B(n);  // L D Lᵀ as a dense matrix, for the primal subproblem solver
    Vector s = Vector::Zero(n);
    Vector mu = Vector::Zero(c.size());
    Vector r = Vector::Zero(c.size());
    Vector x0 = x, gamma0 = g;
    double f0 = f;
    int k = 0;
    int resets = 0;
    bool inconsistent = false;

    const auto finish = [&](int final_mode) {
        Result res;
        res.status = final_mode;
        res.success = final_mode == slsqp_status::success;
        res.message = message_for(final_mode);
        res.x = x;
        res.fun = f;
        res.nit = k;
        res.nfev = ev.nfev;
        res.njev = ev.njev;
        return res;
    };

    detail::ActiveSet guess;  // the last subproblem's active set
    bool reset = true;
    for (;;) {
        if (reset) {
            ++resets;
            if (resets > 5) {
                const bool ok = (std::abs(f - f0) < tol || s.norm() < tol) && violation(c, me) < tol && !inconsistent &&
                                !std::isnan(f);
                return finish(ok ? slsqp_status::success : slsqp_status::positive_directional_derivative);
            }
            L.setIdentity();
            dvec.setOnes();
            B.reset();
            reset = false;
        }
        ++k;
        if (k > itmax) return finish(slsqp_status::iteration_limit);
        Vector lo(n), up(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            lo[i] = std::isfinite(lb[i]) ? lb[i] - x[i] : -kInf;
            up[i] = std::isfinite(ub[i]) ? ub[i] - x[i] : kInf;
        }
        double zeta = 1.0;
        inconsistent = false;
        Vector s_qp, r_qp;
        int q = lsq(L, dvec, g, A, c, me, lo, up, s_qp, r_qp, &guess, &B);
        if (q == slsqp_status::singular_c && n == me) q = slsqp_status::incompatible_constraints;
        if (q == slsqp_status::incompatible_constraints) {
            double xi = 0.0;
            const int qa = lsq_augmented(L, dvec, g, A, c, me, lo, up, s_qp, r_qp, xi);
            if (qa != kSolved) return finish(qa);
            inconsistent = true;
            zeta = 1.0 - std::clamp(xi, 0.0, 1.0);
        } else if (q != kSolved) {
            return finish(q);
        }
        s = s_qp;
        r = r_qp;
        gamma0 = g - A.transpose() * r;
        f0 = f;
        x0 = x;
        const double gs = g.dot(s);
        for (Eigen::Index j = 0; j < mu.size(); ++j) mu[j] = std::max(std::abs(r[j]), (mu[j] + std::abs(r[j])) / 2.0);
        Vector v;
        const double V = violation(c, me, &v);
        if (std::abs(gs) + r.cwiseAbs().dot(c.cwiseAbs()) < acc && V < acc && !inconsistent && !std::isnan(f))
            return finish(slsqp_status::success);
        const double P = mu.dot(v);
        const double phi0 = f + P;
        const double delta = gs - zeta * P;
        if (delta >= 0.0) {
            reset = true;
            continue;
        }

        // Armijo backtracking on the L1 penalty function.
        double alpha = 1.0;
        double hh = delta;
        for (int t = 1;; ++t) {
            hh *= alpha;
            s *= alpha;
            x = x0 + s;
            f = ev.objective(x);
            c = ev.constraints(x);
            const double dphi = f + mu.dot([&] {
                Vector vv;
                violation(c, me, &vv);
                return vv;
            }()) - phi0;
            if (dphi <= hh / 10.0 || t > 10) break;
            alpha = hh / (2.0 * (hh - dphi));
            alpha = std::isnan(alpha) ? 0.1 : std::max(alpha, 0.1);
        }
        inconsistent = false;
        if ((std::abs(f - f0) < acc || s.norm() < acc) && violation(c, me) < acc && !std::isnan(f)) return finish(slsqp_status::success);

        g = ev.gradient(x, f);
        A = ev.jacobian(x);

        // Damped BFGS update of the Lagrangian's Hessian approximation.
        Vector y = (g - A.transpose() * r) - gamma0;
        const Vector w = L.triangularView<Eigen::UnitLower>() *
                         (dvec.asDiagonal() * (L.triangularView<Eigen::UnitLower>().transpose() * s)).eval();
        double a = s.dot(y);
        const double b = s.dot(w);
        if (a < 0.2 * b) {
            const double theta = 0.8 * b / (b - a);
            y = theta * y + (1.0 - theta) * w;
            a = 0.2 * b;
        }
        if (a == 0.0 || b == 0.0) {
            reset = true;
            continue;
        }
        const bool exact_update = ldl_update(L, dvec, y, 1.0 / a);
        const bool exact_downdate = ldl_update(L, dvec, w, -1.0 / b);
        if (exact_update && exact_downdate) {
            B.add(y, 1.0 / a);
            B.add(w, -1.0 / b);
        } else {
            B.mark_stale();
        }
    }
}

}  // namespace

Result slsqp(const Objective& objective, const Gradient& gradient, const Vector& x0, const std::vector<Bound>& bounds,
             const std::vector<Constraint>& constraints, const SlsqpOptions& options) {
    const Eigen::Index n = x0.size();
    if (!bounds.empty() && bounds.size() != static_cast<std::size_t>(n))
        throw std::invalid_argument("SLSQP Error: the length of bounds is not compatible with that of x0.");
    for (const auto& c : constraints)
        if (!c.fun) throw std::invalid_argument("SLSQP Error: a constraint has no function");
    Vector lb = Vector::Constant(n, -kInf), ub = Vector::Constant(n, kInf);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        const auto idx = static_cast<Eigen::Index>(i);
        if (bounds[i].lower && !std::isnan(*bounds[i].lower)) lb[idx] = *bounds[i].lower;
        if (bounds[i].upper && !std::isnan(*bounds[i].upper)) ub[idx] = *bounds[i].upper;
        if (lb[idx] > ub[idx])
            throw std::invalid_argument("SLSQP Error: lb > ub in bounds[" + std::to_string(i) + "]");
    }

    // Variables fixed by their bounds.
    std::vector<Eigen::Index> free;
    for (Eigen::Index i = 0; i < n; ++i)
        if (!(lb[i] == ub[i])) free.push_back(i);
    if (!bounds.empty() && free.empty()) {
        Result res;
        res.x = lb;
        res.fun = objective(res.x);
        res.nfev = 1;
        double max_violation = 0.0;
        for (const auto& c : constraints) {
            const double v = c.fun(res.x);
            max_violation = std::max(max_violation, c.type == Constraint::Type::eq ? std::abs(v) : std::max(0.0, -v));
        }
        res.success = max_violation == 0.0;
        res.nit = 0;
        res.status = res.success ? slsqp_status::success : slsqp_status::incompatible_constraints;
        if (constraints.empty())
            res.message = "All independent variables were fixed by bounds.";
        else if (res.success)
            res.message = "All independent variables were fixed by bounds at values that satisfy the constraints.";
        else
            res.message = "All independent variables were fixed by bounds, but the independent variables do not satisfy "
                          "the constraints exactly. (Maximum violation: " +
                          [&] {
                              char buf[64];
                              std::snprintf(buf, sizeof buf, "%.17g", max_violation);
                              // Shortest form that reads back to the same double.
                              for (int p = 1; p <= 17; ++p) {
                                  char t[64];
                                  std::snprintf(t, sizeof t, "%.*g", p, max_violation);
                                  if (std::strtod(t, nullptr) == max_violation) return std::string(t);
                              }
                              return std::string(buf);
                          }() +
                          ").";
        return res;
    }
    bool needs_differences = !gradient;
    for (const auto& c : constraints)
        if (!c.jac) needs_differences = true;
    const bool reduce = static_cast<Eigen::Index>(free.size()) < n && needs_differences;

    if (reduce) {
        const Vector full_template = x0.cwiseMax(lb).cwiseMin(ub);
        const auto nf = static_cast<Eigen::Index>(free.size());
        // Fixed entries keep their bound value (the clipped start point holds it).
        const auto expand = [free, full_template](const Vector& xr) {
            Vector x = full_template;
            for (std::size_t k = 0; k < free.size(); ++k) x[free[k]] = xr[static_cast<Eigen::Index>(k)];
            return x;
        };
        const auto shrink = [free](const Vector& full) {
            Vector r(static_cast<Eigen::Index>(free.size()));
            for (std::size_t k = 0; k < free.size(); ++k) r[static_cast<Eigen::Index>(k)] = full[free[k]];
            return r;
        };
        Objective fr = [&objective, expand](const Vector& xr) { return objective(expand(xr)); };
        Gradient gr;
        if (gradient) gr = [&gradient, expand, shrink](const Vector& xr) { return shrink(gradient(expand(xr))); };
        std::vector<Constraint> cr;
        for (const auto& c : constraints) {
            Constraint rc;
            rc.type = c.type;
            rc.fun = [fun = c.fun, expand](const Vector& xr) { return fun(expand(xr)); };
            if (c.jac) rc.jac = [jac = c.jac, expand, shrink](const Vector& xr) { return shrink(jac(expand(xr))); };
            cr.push_back(std::move(rc));
        }
        Vector xr0(nf), lbr(nf), ubr(nf);
        for (std::size_t k = 0; k < free.size(); ++k) {
            xr0[static_cast<Eigen::Index>(k)] = x0[free[k]];
            lbr[static_cast<Eigen::Index>(k)] = lb[free[k]];
            ubr[static_cast<Eigen::Index>(k)] = ub[free[k]];
        }
        xr0 = xr0.cwiseMax(lbr).cwiseMin(ubr);
        Evaluator ev(fr, gr, cr, lbr, ubr, options.eps);
        Result res = core(ev, xr0, lbr, ubr, options);
        res.x = expand(res.x);
        return res;
    }

    const Vector start = x0.cwiseMax(lb).cwiseMin(ub);
    Evaluator ev(objective, gradient, constraints, lb, ub, options.eps);
    return core(ev, start, lb, ub, options);
}

}  // namespace minimize
