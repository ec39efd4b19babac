#include "active_set_qp.hpp"

#include <algorithm>
#include <cmath>

namespace minimize::detail {

namespace {

using Matrix = Eigen::MatrixXd;
using Vector = Eigen::VectorXd;

constexpr int kMaxSteps = 30;
constexpr double kRelTol = 1e-11;

}  // namespace

bool range_space_step(const Matrix& Z, const Vector& w, const Vector& rhs, Vector& y, Vector& lambda) {
    const Eigen::Index k = Z.cols();
    lambda = Vector::Zero(k);
    if (k > 0) {
        Eigen::LDLT<Matrix> ldlt(Z.transpose() * Z);
        if (ldlt.info() != Eigen::Success) return false;
        const Vector diag = ldlt.vectorD();
        if (!(diag.minCoeff() > 1e-12 * std::max(1.0, diag.maxCoeff()))) return false;  // dependent rows
        lambda = ldlt.solve(rhs + Z.transpose() * w);
    }
    y = Z * lambda - w;
    return true;
}

bool active_set_qp(const Matrix& L, const Vector& d, const Vector& g, const Matrix& A, const Vector& b,
                   Eigen::Index me, const Vector& lo, const Vector& up, ActiveSet& active, Vector& s, Vector& r,
                   const std::function<const Matrix&()>& dense_B) {
    const Eigen::Index n = g.size(), m = A.rows(), mi = m - me;
    ActiveSet w = active;
    if (!w.known) {
        w.bound.assign(static_cast<std::size_t>(n), 0);
        w.inequality.assign(static_cast<std::size_t>(mi), 0);
    }
    if (static_cast<Eigen::Index>(w.bound.size()) != n || static_cast<Eigen::Index>(w.inequality.size()) != mi)
        return false;
    const auto Lu = L.triangularView<Eigen::UnitLower>();
    const auto B_times = [&](const Vector& v) -> Vector {
        return Lu * (d.asDiagonal() * (Lu.transpose() * v)).eval();
    };
    const double gscale = std::max(1.0, g.lpNorm<Eigen::Infinity>());
    // After a reset B is the identity, and so is every free block of it: no factor to form (the
    // solves with it change nothing, exactly as solves with its Cholesky factor would).
    bool identity = (d.array() == 1.0).all();
    for (Eigen::Index c = 0; c < n && identity; ++c)
        for (Eigen::Index a = c + 1; a < n && identity; ++a) identity = L(a, c) == 0.0;

    for (int step = 0; step < kMaxSteps; ++step) {
        // A side that no longer exists cannot be active.
        for (Eigen::Index i = 0; i < n; ++i) {
            auto& side = w.bound[static_cast<std::size_t>(i)];
            if ((side < 0 && !std::isfinite(lo[i])) || (side > 0 && !std::isfinite(up[i]))) side = 0;
        }
        // At a vertex (every variable at a bound, the budget holding by itself) the constraints are
        // dependent: leave as many variables free as there are working rows, upper sides first,
        // so that the rows' multipliers are defined.
        std::size_t working_rows = static_cast<std::size_t>(me);
        for (char on : w.inequality) working_rows += on ? 1 : 0;
        for (signed char prefer : {1, -1}) {
            const auto free_count = static_cast<std::size_t>(std::count(w.bound.begin(), w.bound.end(), 0));
            std::size_t missing = working_rows > free_count ? working_rows - free_count : 0;
            for (auto& side : w.bound)
                if (missing > 0 && side == prefer) side = 0, --missing;
        }
        std::vector<Eigen::Index> free, rows;
        Vector fixed = Vector::Zero(n);
        for (Eigen::Index i = 0; i < n; ++i) {
            const auto side = w.bound[static_cast<std::size_t>(i)];
            if (side == 0)
                free.push_back(i);
            else
                fixed[i] = side < 0 ? lo[i] : up[i];
        }
        for (Eigen::Index j = 0; j < me; ++j) rows.push_back(j);
        for (Eigen::Index j = 0; j < mi; ++j)
            if (w.inequality[static_cast<std::size_t>(j)]) rows.push_back(me + j);
        const auto nf = static_cast<Eigen::Index>(free.size());
        const auto k = static_cast<Eigen::Index>(rows.size());
        if (k > nf) return false;

        // Reduced problem on the free variables: H = B_FF, q = (g + B s_fixed)_F.
        const Vector Bfixed = B_times(fixed);
        Vector q(nf);
        Matrix AF(k, nf);
        Vector rhs(k);
        for (Eigen::Index a = 0; a < nf; ++a) q[a] = g[free[a]] + Bfixed[free[a]];
        for (Eigen::Index j = 0; j < k; ++j) {
            for (Eigen::Index a = 0; a < nf; ++a) AF(j, a) = A(rows[j], free[a]);
            rhs[j] = b[rows[j]] - A.row(rows[j]).dot(fixed);
        }
        // With H = R Rᵀ: forward solves for the rows and q, one back solve for the step, one
        // column at a time (Eigen's solve with a matrix right-hand side packs the whole factor).
        Matrix Z = AF.transpose();
        Vector Rq = q, sF, rW;
        const auto solve_step = [&](const auto& forward, const auto& back) {
            for (Eigen::Index j = 0; j < k; ++j) forward(Z.col(j));
            forward(Rq);
            if (!range_space_step(Z, Rq, rhs, sF, rW)) return false;
            back(sF);
            return true;
        };
        if (nf == n) {
            // Every variable free: B itself is factorised as L D Lᵀ already, R = L D^½.
            const Vector sqrt_d = d.cwiseSqrt();
            if (!solve_step(
                    [&](auto&& v) {
                        Lu.solveInPlace(v);
                        v.array() /= sqrt_d.array();
                    },
                    [&](auto&& v) {
                        v.array() /= sqrt_d.array();
                        Lu.transpose().solveInPlace(v);
                    }))
                return false;
        } else if (nf > 0 && !identity) {
            Matrix H(nf, nf);
            // Forming B_FF from the factors costs nf² n; B itself costs O(n²) per pending update.
            if (dense_B && 4 * nf > n) {
                const Matrix& B = dense_B();
                for (Eigen::Index c = 0; c < nf; ++c)
                    for (Eigen::Index a = c; a < nf; ++a) H(a, c) = B(free[a], free[c]);
            } else {
                Matrix LF(nf, n);
                const Vector sqrt_d = d.cwiseSqrt();
                for (Eigen::Index a = 0; a < nf; ++a) LF.row(a) = L.row(free[a]).cwiseProduct(sqrt_d.transpose());
                H.setZero();
                H.selfadjointView<Eigen::Lower>().rankUpdate(LF);
            }
            Eigen::LLT<Matrix> llt(H.selfadjointView<Eigen::Lower>());
            if (llt.info() != Eigen::Success) return false;
            if (!solve_step([&](auto&& v) { llt.matrixL().solveInPlace(v); },
                            [&](auto&& v) { llt.matrixU().solveInPlace(v); }))
                return false;
        } else if (!solve_step([](auto&&) {}, [](auto&&) {})) {  // B = I, or every variable at a bound
            return false;
        }
        Vector sol = fixed;
        for (Eigen::Index a = 0; a < nf; ++a) sol[free[a]] = sF[a];
        if (!sol.allFinite() || !rW.allFinite()) return false;

        Vector rfull = Vector::Zero(m);
        for (Eigen::Index j = 0; j < k; ++j) rfull[rows[j]] = rW[j];
        const Vector z = B_times(sol) + g - A.transpose() * rfull;  // bound multipliers on fixed variables
        const double ptol = kRelTol * std::max(1.0, sol.lpNorm<Eigen::Infinity>());
        const double dtol = kRelTol * std::max(gscale, z.lpNorm<Eigen::Infinity>());

        bool changed = false;
        for (Eigen::Index i = 0; i < n; ++i) {
            auto& side = w.bound[static_cast<std::size_t>(i)];
            if (side == 0) {
                if (std::isfinite(lo[i]) && sol[i] < lo[i] - ptol) side = -1, changed = true;
                else if (std::isfinite(up[i]) && sol[i] > up[i] + ptol) side = 1, changed = true;
            } else if ((side < 0 && z[i] < -dtol) || (side > 0 && z[i] > dtol)) {
                side = 0, changed = true;
            }
        }
        for (Eigen::Index j = 0; j < mi; ++j) {
            auto& on = w.inequality[static_cast<std::size_t>(j)];
            const double slack = A.row(me + j).dot(sol) - b[me + j];
            const double tol = kRelTol * std::max(1.0, std::abs(b[me + j]) + A.row(me + j).cwiseAbs().dot(sol.cwiseAbs()));
            if (!on && slack < -tol) on = 1, changed = true;
            else if (on && rfull[me + j] < -dtol) on = 0, changed = true;
        }
        if (!changed) {
            w.known = true;
            active = std::move(w);
            s = sol;
            r = rfull;
            return true;
        }
    }
    return false;
}

}  // namespace minimize::detail
