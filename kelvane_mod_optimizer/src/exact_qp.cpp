// The convex problems solved exactly: minimum variance, mean-variance and minimum tracking error
// as quadratic programmes under the bounds and the linear records, by the interior-point method,
// with the covariance in factor form where it is given so (nothing of size n × n is formed then).
#include <cmath>

#include "kelvane/exception.hpp"
#include "minimize/interior_point.hpp"
#include "policy.hpp"

namespace kelvane_mod_optimizer {

namespace {

// An objective this much smaller than its value at the start point counts as 0: the duality gap
// is measured against at least this fraction of the start's value.
constexpr double kVanishingObjective = 1e-6;

constexpr const char* kConvergedMessage = "Optimality conditions met by the interior-point method";

// The interior point on `qp` (its Hessian and linear term divided by the objective's size at the
// start point), `gradient` the size of its gradient there; the first n variables are the weights. The answer, normalised and
// certified, or none when the method does not converge within its steps or the certificate
// refuses the point: the caller then takes the minimiser's path, whose outcome stands.
std::optional<SolveResult> finish(const std::vector<std::string>& labels, const minimize::QuadraticProgram& qp,
                                  double gradient, const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                  const std::function<double(const Vector&)>& objective) {
    const auto n = static_cast<Eigen::Index>(labels.size());
    minimize::InteriorPointOptions options;
    options.max_iterations = kExactSteps;
    options.objective_scale = kVanishingObjective;
    options.gradient_scale = gradient;
    minimize::QpResult r;
    try {
        r = minimize::solve_qp(qp, options);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    if (r.status != minimize::QpStatus::converged || r.iterations > kExactSteps) return std::nullopt;
    try {
        const Vector weights = normalised_weights(r.x.head(n));
        certify_feasible(labels, weights, bounds, cons);
        return SolveResult{_sorted_result(labels, weights),
                           {Termination::converged, r.iterations, objective(weights), kConvergedMessage}};
    } catch (const OptimizationFailed&) {
        return std::nullopt;
    }
}

// The bounds, the rows and the quadratic ½xᵀHx + qᵀx of a weights-only programme.
std::optional<minimize::QuadraticProgram> weights_programme(Eigen::Index n, const BoundsList& bounds,
                                                            const std::vector<ConstraintRecord>& cons) {
    std::optional<LinearRows> rows = linear_rows(cons, n);
    if (!rows || bounds.size() != static_cast<std::size_t>(n)) return std::nullopt;
    minimize::QuadraticProgram qp;
    auto [lower, upper] = bound_vectors(bounds);
    qp.lower = std::move(lower);
    qp.upper = std::move(upper);
    qp.A_eq = std::move(rows->A_eq), qp.b_eq = std::move(rows->b_eq);
    qp.A_in = std::move(rows->A_in), qp.b_in = std::move(rows->b_in);
    return qp;
}

// The Hessian `factor`·C of a covariance objective, divided by `scale`.
void set_hessian(minimize::QuadraticProgram& qp, const CovarianceView& C, double factor, double scale) {
    const double s = factor / scale;
    if (C.factor)
        qp.H = minimize::DiagonalPlusLowRank(C.factor->d() * s, C.factor->U() * std::sqrt(s));
    else
        qp.H_dense = *C.dense * s;
}

}  // namespace

std::optional<LinearRows> linear_rows(const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    Eigen::Index me = 0, mi = 0;
    for (const auto& c : cons) {
        if (!c.linear || !c.fun || !c.jac) return std::nullopt;
        (c.type == ConstraintRecord::Type::eq ? me : mi) += 1;
    }
    LinearRows rows{Matrix(me, n), Matrix(mi, n), Vector(me), Vector(mi)};
    const Vector zero = Vector::Zero(n);
    Eigen::Index e = 0, i = 0;
    for (const auto& c : cons) {
        const Vector a = c.jac(zero);
        const double offset = c.fun(zero);
        if (a.size() != n || !a.allFinite() || !std::isfinite(offset)) return std::nullopt;
        if (c.type == ConstraintRecord::Type::eq) {
            rows.A_eq.row(e) = a.transpose();
            rows.b_eq[e++] = -offset;
        } else {
            rows.A_in.row(i) = -a.transpose();
            rows.b_in[i++] = offset;
        }
    }
    return rows;
}

Vector CovarianceView::times(const Vector& x) const { return factor ? Vector(*factor * x) : Vector(*dense * x); }

double CovarianceView::quadratic_form(const Vector& x) const {
    return factor ? factor->quadratic_form(x) : min_variance_obj_fun(*dense, x);
}

bool exact_path_allowed(const std::vector<ConstraintRecord>& cons, int max_iteration, const SolverSettings& settings) {
    if (!settings.exact_quadratic || settings.derivatives != Derivatives::exact || max_iteration < kExactSteps)
        return false;
    for (const auto& c : cons)
        if (!c.linear) return false;
    return true;
}

std::optional<SolveResult> exact_min_variance(const std::vector<std::string>& labels, const CovarianceView& C,
                                              const Vector& init_weight, const BoundsList& bounds,
                                              const std::vector<ConstraintRecord>& cons) {
    const auto n = static_cast<Eigen::Index>(labels.size());
    std::optional<minimize::QuadraticProgram> qp = weights_programme(n, bounds, cons);
    if (!qp) return std::nullopt;
    const double scale = usable_scale(C.quadratic_form(init_weight));
    set_hessian(*qp, C, 2.0, scale);
    qp->q = Vector::Zero(n);
    const double gradient = (2.0 / scale * C.times(init_weight)).cwiseAbs().maxCoeff();
    return finish(labels, *qp, gradient, bounds, cons, [&C](const Vector& w) { return C.quadratic_form(w); });
}

std::optional<SolveResult> exact_mean_variance(const std::vector<std::string>& labels, const CovarianceView& C,
                                               double risk_aversion, const Vector& expected_return,
                                               const Vector& init_weight, const BoundsList& bounds,
                                               const std::vector<ConstraintRecord>& cons) {
    const auto n = static_cast<Eigen::Index>(labels.size());
    std::optional<minimize::QuadraticProgram> qp = weights_programme(n, bounds, cons);
    if (!qp) return std::nullopt;
    const double scale =
        usable_scale(risk_aversion / 2.0 * C.quadratic_form(init_weight) + std::abs(init_weight.dot(expected_return)));
    set_hessian(*qp, C, risk_aversion, scale);
    qp->q = -expected_return / scale;
    const double gradient = ((risk_aversion * C.times(init_weight) - expected_return) / scale).cwiseAbs().maxCoeff();
    return finish(labels, *qp, gradient, bounds, cons, [&](const Vector& w) {
        return risk_aversion / 2.0 * C.quadratic_form(w) - w.dot(expected_return);
    });
}

std::optional<SolveResult> exact_tracking_error(const std::vector<std::string>& labels, const Matrix& D,
                                                const Vector& b, const Vector& init_weight,
                                                const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    // In (x, r) with r = Dx − b: minimise rᵀr under D x − r = b and the rows on x. The Hessian
    // 0 ⊕ 2I is diagonal; the T rows of D enter through the interior point's Schur complement.
    const auto n = static_cast<Eigen::Index>(labels.size());
    const Eigen::Index T = D.rows();
    std::optional<minimize::QuadraticProgram> x_only = weights_programme(n, bounds, cons);
    if (!x_only || D.cols() != n || b.size() != T) return std::nullopt;
    const double scale = usable_scale(b.dot(b));
    minimize::QuadraticProgram qp;
    qp.lower.resize(n + T), qp.upper.resize(n + T);
    qp.lower << x_only->lower, Vector::Constant(T, -std::numeric_limits<double>::infinity());
    qp.upper << x_only->upper, Vector::Constant(T, std::numeric_limits<double>::infinity());
    const Eigen::Index me = x_only->A_eq.rows(), mi = x_only->A_in.rows();
    qp.A_eq = Matrix::Zero(T + me, n + T);
    qp.A_eq.topLeftCorner(T, n) = D;
    qp.A_eq.topRightCorner(T, T).diagonal().setConstant(-1.0);
    qp.A_eq.bottomLeftCorner(me, n) = x_only->A_eq;
    qp.b_eq.resize(T + me);
    qp.b_eq << b, x_only->b_eq;
    qp.A_in = Matrix::Zero(mi, n + T);
    qp.A_in.leftCols(n) = x_only->A_in;
    qp.b_in = x_only->b_in;
    Vector d(n + T);
    d << Vector::Zero(n), Vector::Constant(T, 2.0 / scale);
    qp.H = minimize::DiagonalPlusLowRank(std::move(d), Matrix(n + T, 0));
    qp.q = Vector::Zero(n + T);
    const double gradient = (2.0 / scale * (D * init_weight - b)).cwiseAbs().maxCoeff();
    return finish(labels, qp, gradient, bounds, cons, [&](const Vector& w) { return min_TE_obj_fun(D, b, w); });
}

}  // namespace kelvane_mod_optimizer
