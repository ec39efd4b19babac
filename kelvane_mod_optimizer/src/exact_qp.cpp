// The convex problems solved exactly: minimum variance, mean-variance and minimum tracking error
// as quadratic programmes under the bounds and the linear records. Up to a few hundred
// instruments by the active-set method from a vertex (a long-only optimum leaves most weights at
// a bound, and those never enter its factorisation); beyond that, or where it does not finish, by
// the interior-point method, with the covariance in factor form where it is given so (nothing of
// size n × n is formed then).
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
constexpr const char* kActiveSetMessage = "Optimality conditions met by the active-set method";

// The active-set method is tried first on a dense covariance, and on one in factor form (or on
// the returns of tracking error) up to this many instruments: it works on the dense n × n
// Hessian, which is formed then at n²·T (about 2 ms at 300), and its cost follows the number of
// weights the optimum leaves between their bounds: at 1,000 it saves 10 ms where few are free
// and costs 170 ms where most are, against the interior point's 20 to 40 ms.
constexpr Eigen::Index kActiveSetLargest = 500;

// The weights x, normalised within their bounds and certified, with how they were found; none when there are none or the certificate refuses them (the next method
// is tried then).
std::optional<SolveResult> certified_answer(const std::vector<std::string>& labels, const std::optional<Vector>& x,
                                            const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                            const std::function<double(const Vector&)>& objective, int iterations,
                                            const char* message) {
    if (!x) return std::nullopt;
    try {
        const Vector weights = normalised_weights(*x, bounds);
        certify_feasible(labels, weights, bounds, cons);
        return SolveResult{_sorted_result(labels, weights),
                           {Termination::converged, iterations, objective(weights), message}};
    } catch (const OptimizationFailed&) {
        return std::nullopt;
    }
}

// The minimiser of (factor/2)·xᵀCx + qᵀx by the active-set method from a vertex, on the Hessian
// scaled so that its diagonal is about 1 (the method's tolerances are absolute). It is formed in
// storage this thread keeps for the next call (fresh pages of n × n cost more than the solve);
// none when the factor form is too large to expand, C has no variance or the method does not
// finish.
std::optional<Vector> active_set_optimum(const CovarianceView& C, double factor, const Vector& q,
                                         const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                         const Vector& at) {
    const Eigen::Index n = q.size();
    if ((C.factor && n > kActiveSetLargest) || !(factor > 0.0)) return std::nullopt;
    Matrix H = reusable_matrix(n, n);
    if (C.factor) {
        C.factor->dense_into(H);
    } else {
        H = *C.dense;
    }
    const double mean_diagonal = H.diagonal().mean();
    std::optional<Vector> x;
    if (mean_diagonal > 0.0 && std::isfinite(mean_diagonal)) {
        H /= mean_diagonal;
        x = quadratic_optimum_from_vertex(H, q / (factor * mean_diagonal), bounds, cons, at);
    }
    reuse_later(std::move(H));
    return x;
}

// The optimum of the programme `programme(true)` builds (its Hessian and linear term divided by the
// objective's size at the start point, `gradient` the size of its gradient there; the first n
// variables are the weights), normalised and certified, by the first of these that answers:
// - with a Hessian in factor form, the minimiser under the equality rows alone when it meets
//   every limit (an interior optimum; one Woodbury factorisation at n·k²), on `programme(false)`,
//   the same minimiser on the covariance itself (no scaled copy of its factor);
// - `active_set` (none where it is not tried);
// - the interior point.
// The programme is built only where it is used: a dense one is an n × n copy. None when no method
// answers or the certificate refuses every point: the caller then takes the minimiser's path,
// whose outcome stands.
std::optional<SolveResult> finish(const std::vector<std::string>& labels, bool factor_form,
                                  const std::function<minimize::QuadraticProgram(bool)>& programme, double gradient,
                                  const BoundsList& bounds, const std::vector<ConstraintRecord>& cons,
                                  const std::function<double(const Vector&)>& objective,
                                  const std::function<std::optional<Vector>()>& active_set) {
    const auto n = static_cast<Eigen::Index>(labels.size());
    std::optional<minimize::QuadraticProgram> qp;
    try {
        if (factor_form) {
            if (const std::optional<minimize::QpResult> interior = minimize::equality_constrained_optimum(programme(false)))
                if (auto r = certified_answer(labels, Vector(interior->x.head(n)), bounds, cons, objective,
                                              interior->iterations, kConvergedMessage))
                    return r;
        }
        if (auto r = certified_answer(labels, active_set(), bounds, cons, objective, 1, kActiveSetMessage)) return r;
        qp = programme(true);
        minimize::InteriorPointOptions options;
        options.max_iterations = kExactSteps;
        options.objective_scale = kVanishingObjective;
        options.gradient_scale = gradient;
        const minimize::QpResult r = minimize::solve_qp(*qp, options);
        if (r.status != minimize::QpStatus::converged || r.iterations > kExactSteps) return std::nullopt;
        return certified_answer(labels, Vector(r.x.head(n)), bounds, cons, objective, r.iterations, kConvergedMessage);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

// Whether every record is linear with its gradient, as the rows of the exact methods need.
bool exact_path_records(const std::vector<ConstraintRecord>& cons) {
    for (const auto& c : cons)
        if (!c.linear || !c.fun || !c.jac) return false;
    return true;
}

// How far (relative to the size of the right-hand sides) an equality that the others imply may be
// from their combination and still be left out as implied by them.
constexpr double kImpliedEquality = 1e-12;

// The records as the exact methods take them: a group whose floor and cap are equal becomes one
// equality, and an equality that the others imply (the groups of a partition held exactly add up
// to the budget) is left out. Both methods need rows in general position: with a floor on a cap
// the limits have no interior, and dependent equalities make their systems singular (industry
// neutrality at ±0 on two classifications at once: the interior point failed, the active-set
// method stopped, and the minimiser's answer was 1.9e-6 above the optimum). The answer is
// certified on the caller's records all the same.
std::vector<ConstraintRecord> exact_records(const std::vector<ConstraintRecord>& cons, Eigen::Index n) {
    const Vector zero = Vector::Zero(n);
    std::vector<ConstraintRecord> records;
    std::vector<bool> merged(cons.size(), false);
    for (std::size_t k = 0; k < cons.size(); ++k) {
        if (merged[k]) continue;
        ConstraintRecord record = cons[k];
        if (record.side == ConstraintRecord::Side::lower && record.linear) {
            const Vector a = record.jac(zero);
            for (std::size_t j = k + 1; j < cons.size(); ++j) {
                const ConstraintRecord& cap = cons[j];
                if (merged[j] || cap.side != ConstraintRecord::Side::upper || !cap.linear || cap.group != record.group)
                    continue;
                // floor: a·x − lo ≥ 0, cap: −a·x + hi ≥ 0; equal when lo = hi.
                if (cap.fun(zero) == -record.fun(zero) && cap.jac(zero) == -a) {
                    merged[j] = true;
                    record.type = ConstraintRecord::Type::eq;
                    record.side = ConstraintRecord::Side::none;
                }
                break;
            }
        }
        records.push_back(std::move(record));
    }
    // The equalities as rows: those the pivoted QR of their transpose ranks last and the others
    // imply are left out.
    std::vector<std::size_t> equalities;
    for (std::size_t k = 0; k < records.size(); ++k)
        if (records[k].type == ConstraintRecord::Type::eq) equalities.push_back(k);
    const auto me = static_cast<Eigen::Index>(equalities.size());
    if (me < 2) return records;
    Matrix At(n, me);
    Vector b(me);
    for (Eigen::Index e = 0; e < me; ++e) {
        const ConstraintRecord& r = records[equalities[static_cast<std::size_t>(e)]];
        At.col(e) = r.jac(zero);
        b[e] = -r.fun(zero);
    }
    const Eigen::ColPivHouseholderQR<Matrix> qr(At);
    const Eigen::Index rank = qr.rank();
    if (rank == me) return records;
    const auto& order = qr.colsPermutation().indices();
    Matrix kept(n, rank);
    Vector kept_b(rank);
    for (Eigen::Index r = 0; r < rank; ++r) kept.col(r) = At.col(order[r]), kept_b[r] = b[order[r]];
    std::vector<bool> implied(records.size(), false);
    const double size = std::max(1.0, b.cwiseAbs().maxCoeff());
    for (Eigen::Index r = rank; r < me; ++r) {
        const Vector c = kept.colPivHouseholderQr().solve(At.col(order[r]));
        if ((kept * c - At.col(order[r])).cwiseAbs().maxCoeff() > kImpliedEquality ||
            std::abs(c.dot(kept_b) - b[order[r]]) > kImpliedEquality * size)
            return records;  // not implied after all: the methods meet the rows as they are
        implied[equalities[static_cast<std::size_t>(order[r])]] = true;
    }
    std::vector<ConstraintRecord> independent;
    for (std::size_t k = 0; k < records.size(); ++k)
        if (!implied[k]) independent.push_back(std::move(records[k]));
    return independent;
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

// The Hessian s·C of a covariance objective (C itself, sharing its factor, where s is 1).
void set_hessian(minimize::QuadraticProgram& qp, const CovarianceView& C, double s) {
    if (C.factor && s == 1.0)
        qp.H = *C.factor;
    else if (C.factor)
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
    if (!exact_path_records(cons)) return std::nullopt;
    const std::vector<ConstraintRecord> rows = exact_records(cons, n);
    std::optional<minimize::QuadraticProgram> qp = weights_programme(n, bounds, rows);
    if (!qp) return std::nullopt;
    const auto variance = [&C](const Vector& w) { return C.quadratic_form(w); };
    const auto active_set = [&]() {
        return active_set_optimum(C, 2.0, Vector::Zero(n), bounds, rows, init_weight);
    };
    const double scale = usable_scale(C.quadratic_form(init_weight));
    // Scaled: ½xᵀ(2C/scale)x; not: ½xᵀCx, the same minimiser.
    const auto programme = [&](bool scaled) {
        minimize::QuadraticProgram p = *qp;
        set_hessian(p, C, scaled ? 2.0 / scale : 1.0);
        p.q = Vector::Zero(n);
        return p;
    };
    const double gradient = (2.0 / scale * C.times(init_weight)).cwiseAbs().maxCoeff();
    return finish(labels, C.factor != nullptr, programme, gradient, bounds, cons, variance, active_set);
}

std::optional<SolveResult> exact_mean_variance(const std::vector<std::string>& labels, const CovarianceView& C,
                                               double risk_aversion, const Vector& expected_return,
                                               const Vector& init_weight, const BoundsList& bounds,
                                               const std::vector<ConstraintRecord>& cons) {
    const auto n = static_cast<Eigen::Index>(labels.size());
    if (!exact_path_records(cons)) return std::nullopt;
    const std::vector<ConstraintRecord> rows = exact_records(cons, n);
    std::optional<minimize::QuadraticProgram> qp = weights_programme(n, bounds, rows);
    if (!qp) return std::nullopt;
    const auto objective = [&](const Vector& w) {
        return risk_aversion / 2.0 * C.quadratic_form(w) - w.dot(expected_return);
    };
    const auto active_set = [&]() {
        return active_set_optimum(C, risk_aversion, Vector(-expected_return), bounds, rows, init_weight);
    };
    const double scale =
        usable_scale(risk_aversion / 2.0 * C.quadratic_form(init_weight) + std::abs(init_weight.dot(expected_return)));
    // Scaled: the objective divided by scale; not: divided by the risk aversion, the same minimiser
    // (without risk aversion the scaled one stands for both).
    const auto programme = [&](bool scaled) {
        scaled = scaled || !(risk_aversion > 0.0);
        minimize::QuadraticProgram p = *qp;
        set_hessian(p, C, scaled ? risk_aversion / scale : 1.0);
        p.q = -expected_return / (scaled ? scale : risk_aversion);
        return p;
    };
    const double gradient = ((risk_aversion * C.times(init_weight) - expected_return) / scale).cwiseAbs().maxCoeff();
    return finish(labels, C.factor != nullptr, programme, gradient, bounds, cons, objective, active_set);
}

std::optional<SolveResult> exact_tracking_error(const std::vector<std::string>& labels, const Matrix& D,
                                                const Vector& b, const Vector& init_weight,
                                                const BoundsList& bounds, const std::vector<ConstraintRecord>& cons) {
    // In (x, r) with r = Dx − b: minimise rᵀr under D x − r = b and the rows on x. The Hessian
    // 0 ⊕ 2I is diagonal; the T rows of D enter through the interior point's Schur complement.
    const auto n = static_cast<Eigen::Index>(labels.size());
    const Eigen::Index T = D.rows();
    if (!exact_path_records(cons)) return std::nullopt;
    const std::vector<ConstraintRecord> rows = exact_records(cons, n);
    std::optional<minimize::QuadraticProgram> x_only = weights_programme(n, bounds, rows);
    if (!x_only || D.cols() != n || b.size() != T) return std::nullopt;
    const auto tracking_error = [&](const Vector& w) { return min_TE_obj_fun(D, b, w); };
    const auto active_set = [&]() -> std::optional<Vector> {
        if (n > kActiveSetLargest) return std::nullopt;
        return least_squares_optimum(D, b, bounds, rows, init_weight);
    };
    const double scale = usable_scale(b.dot(b));
    const auto programme = [&](bool) {
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
        return qp;
    };
    const double gradient = (2.0 / scale * (D * init_weight - b)).cwiseAbs().maxCoeff();
    return finish(labels, false, programme, gradient, bounds, cons, tracking_error, active_set);
}

}  // namespace kelvane_mod_optimizer
