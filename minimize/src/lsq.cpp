#include "lsq.hpp"

#include <cmath>
#include <numeric>
#include <vector>

namespace minimize::detail {

namespace {

// A Householder reflection in Lawson & Hanson's form: built from entries p (pivot) and
// l1..m-1 of a vector, it maps the pivot to −sign(v_p)·‖v‖ and zeroes the others.
struct Reflection {
    double up = 0.0;
    double pivot = 0.0;  // the new pivot value
    bool identity = true;
};

template <class V>
Reflection build(V&& v, Eigen::Index p, Eigen::Index l1, Eigen::Index m) {
    Reflection h;
    double cl = std::abs(v(p));
    for (Eigen::Index i = l1; i < m; ++i) cl = std::max(cl, std::abs(v(i)));
    if (!(cl > 0.0)) return h;
    const double inv = 1.0 / cl;
    double sm = (v(p) * inv) * (v(p) * inv);
    for (Eigen::Index i = l1; i < m; ++i) sm += (v(i) * inv) * (v(i) * inv);
    cl *= std::sqrt(sm);
    if (v(p) > 0.0) cl = -cl;
    h.up = v(p) - cl;
    h.pivot = cl;
    h.identity = false;
    v(p) = cl;
    return h;
}

// Applies the reflection whose vector is u (entries l1..m-1 of `u`, pivot part h.up) to c.
template <class U, class C>
void apply(const Reflection& h, const U& u, Eigen::Index p, Eigen::Index l1, Eigen::Index m, C&& c) {
    if (h.identity) return;
    const double b = h.up * h.pivot;
    if (!(b < 0.0)) return;
    // Long tails (most of the work of the least-squares subproblems) go to Eigen, which
    // vectorises them; short ones keep the sequential order, which degenerate small problems
    // are sensitive to.
    const Eigen::Index len = m - l1;
    double s = c(p) * h.up;
    if (len >= 32) {
        s += u.segment(l1, len).dot(c.segment(l1, len));
    } else {
        for (Eigen::Index i = l1; i < m; ++i) s += c(i) * u(i);
    }
    if (s == 0.0) return;
    s /= b;
    c(p) += s * h.up;
    if (len >= 32) {
        c.segment(l1, len) += s * u.segment(l1, len);
    } else {
        for (Eigen::Index i = l1; i < m; ++i) c(i) += s * u(i);
    }
}

// Givens rotation zeroing b in (a, b).
void givens(double a, double b, double& c, double& s, double& r) {
    if (std::abs(a) > std::abs(b)) {
        const double x = b / a;
        const double y = std::sqrt(1.0 + x * x) * (a < 0 ? -1.0 : 1.0);
        c = 1.0 / y;
        s = c * x;
        r = a * y;
    } else if (b != 0.0) {
        const double x = a / b;
        const double y = std::sqrt(1.0 + x * x) * (b < 0 ? -1.0 : 1.0);
        s = 1.0 / y;
        c = s * x;
        r = b * y;
    } else {
        c = 1.0;
        s = 0.0;
        r = 0.0;
    }
}

}  // namespace

int nnls(Matrix M, Vector e, Vector& u, double& residual_norm) {
    const Eigen::Index p = M.rows(), q = M.cols();
    u = Vector::Zero(q);
    std::vector<Eigen::Index> index(static_cast<std::size_t>(q));
    std::iota(index.begin(), index.end(), Eigen::Index{0});
    Eigen::Index nsetp = 0;  // index[0..nsetp) is P, the rest Z
    Vector w = Vector::Zero(q);
    Vector z(p);
    int iterations = 0;
    const int limit = static_cast<int>(3 * q);
    constexpr double factor = 0.01;

    for (;;) {
        if (nsetp >= q || nsetp >= p) break;
        for (Eigen::Index iz = nsetp; iz < q; ++iz) {
            const Eigen::Index j = index[static_cast<std::size_t>(iz)];
            w[j] = M.col(j).segment(nsetp, p - nsetp).dot(e.segment(nsetp, p - nsetp));
        }
        bool moved = false;
        for (;;) {
            // The first column in Z order with the largest positive dual value.
            double wmax = 0.0;
            Eigen::Index izmax = -1;
            for (Eigen::Index iz = nsetp; iz < q; ++iz) {
                const Eigen::Index j = index[static_cast<std::size_t>(iz)];
                if (w[j] > wmax) {
                    wmax = w[j];
                    izmax = iz;
                }
            }
            if (izmax < 0) break;
            const Eigen::Index j = index[static_cast<std::size_t>(izmax)];
            const double asave = M(nsetp, j);
            auto col = M.col(j);
            const Reflection h = build(col, nsetp, nsetp + 1, p);
            double unorm = 0.0;
            for (Eigen::Index l = 0; l < nsetp; ++l) unorm += M(l, j) * M(l, j);
            unorm = std::sqrt(unorm);
            if ((unorm + std::abs(M(nsetp, j)) * factor) - unorm > 0.0) {
                z = e;
                apply(h, col, nsetp, nsetp + 1, p, z);
                const double ztest = z[nsetp] / M(nsetp, j);
                if (ztest > 0.0) {
                    // Column j joins P: transform the remaining columns and e.
                    std::swap(index[static_cast<std::size_t>(izmax)], index[static_cast<std::size_t>(nsetp)]);
                    ++nsetp;
                    for (Eigen::Index iz = nsetp; iz < q; ++iz) {
                        const Eigen::Index jj = index[static_cast<std::size_t>(iz)];
                        auto other = M.col(jj);
                        apply(h, col, nsetp - 1, nsetp, p, other);
                    }
                    e = z;
                    for (Eigen::Index l = nsetp; l < p; ++l) M(l, j) = 0.0;
                    w[j] = 0.0;
                    moved = true;
                    break;
                }
            }
            M(nsetp, j) = asave;
            // Undo the in-place change of the column below the pivot is unnecessary: build()
            // only changed the pivot, which is restored above.
            w[j] = 0.0;
        }
        if (!moved) break;

        // Inner loop: solve on P, step back towards feasibility while some coefficient is <= 0.
        for (;;) {
            Vector zz = e.head(nsetp);
            for (Eigen::Index l = nsetp - 1; l >= 0; --l) {
                const Eigen::Index jj = index[static_cast<std::size_t>(l)];
                zz[l] /= M(l, jj);
                for (Eigen::Index r = 0; r < l; ++r) zz[r] -= M(r, jj) * zz[l];
            }
            if (++iterations > limit) return 3;
            double alpha = 2.0;
            Eigen::Index jmin = -1;
            for (Eigen::Index l = 0; l < nsetp; ++l) {
                const Eigen::Index jj = index[static_cast<std::size_t>(l)];
                if (zz[l] <= 0.0) {
                    const double t = -u[jj] / (zz[l] - u[jj]);
                    if (alpha >= t) {
                        alpha = t;
                        jmin = l;
                    }
                }
            }
            if (jmin < 0) {
                for (Eigen::Index l = 0; l < nsetp; ++l) u[index[static_cast<std::size_t>(l)]] = zz[l];
                break;
            }
            for (Eigen::Index l = 0; l < nsetp; ++l) {
                const Eigen::Index jj = index[static_cast<std::size_t>(l)];
                u[jj] += alpha * (zz[l] - u[jj]);
            }
            // Remove columns from P, first the one that limited the step, then every other
            // coefficient that is not positive.
            Eigen::Index remove = jmin;
            for (;;) {
                const Eigen::Index jj = index[static_cast<std::size_t>(remove)];
                u[jj] = 0.0;
                for (Eigen::Index l = remove + 1; l < nsetp; ++l) {
                    const Eigen::Index col_l = index[static_cast<std::size_t>(l)];
                    index[static_cast<std::size_t>(l - 1)] = col_l;
                    double c = 0, s = 0, r = 0;
                    givens(M(l - 1, col_l), M(l, col_l), c, s, r);
                    M(l - 1, col_l) = r;
                    M(l, col_l) = 0.0;
                    for (Eigen::Index k = 0; k < q; ++k) {
                        if (k == col_l) continue;
                        const double a = M(l - 1, k), b = M(l, k);
                        M(l - 1, k) = c * a + s * b;
                        M(l, k) = -s * a + c * b;
                    }
                    const double a = e[l - 1], b = e[l];
                    e[l - 1] = c * a + s * b;
                    e[l] = -s * a + c * b;
                }
                --nsetp;
                index[static_cast<std::size_t>(nsetp)] = jj;
                remove = -1;
                for (Eigen::Index l = 0; l < nsetp; ++l)
                    if (u[index[static_cast<std::size_t>(l)]] <= 0.0) {
                        remove = l;
                        break;
                    }
                if (remove < 0) break;
            }
            if (nsetp == 0) return 3;
        }
    }
    residual_norm = nsetp < p ? e.segment(nsetp, p - nsetp).norm() : 0.0;
    return kSolved;
}

int ldp(const Matrix& G, const Vector& h, Vector& z, Vector& lambda) {
    const Eigen::Index n = G.cols(), m = G.rows();
    if (n <= 0) return 2;
    z = Vector::Zero(n);
    lambda = Vector::Zero(m);
    if (m == 0) return kSolved;
    Matrix M(n + 1, m);
    M.topRows(n) = G.transpose();
    M.row(n) = h.transpose();
    Vector e = Vector::Zero(n + 1);
    e[n] = 1.0;
    Vector u;
    double rnorm = 0.0;
    const int mode = nnls(M, e, u, rnorm);
    if (mode != kSolved) return mode;
    if (!(rnorm > 0.0)) return 4;
    const double phi = 1.0 - h.dot(u);
    if (!((1.0 + phi) - 1.0 > 0.0)) return 4;
    z = G.transpose() * u / phi;
    lambda = u / phi;
    return kSolved;
}

int lsi(Matrix E, Vector f, const Matrix& G, const Vector& h, Vector& x, Vector& lambda) {
    const Eigen::Index ne = E.rows(), n = E.cols();
    for (Eigen::Index j = 0; j < n; ++j) {
        auto col = E.col(j);
        const Reflection r = build(col, j, j + 1, ne);
        for (Eigen::Index k = j + 1; k < n; ++k) {
            auto other = E.col(k);
            apply(r, col, j, j + 1, ne, other);
        }
        apply(r, col, j, j + 1, ne, f);
    }
    for (Eigen::Index j = 0; j < n; ++j)
        if (!(std::abs(E(j, j)) >= kEpsK)) return 5;
    const auto R = E.topRows(n).triangularView<Eigen::Upper>();
    Matrix Gt = G;
    R.solveInPlace<Eigen::OnTheRight>(Gt);
    const Vector f1 = f.head(n);
    const Vector ht = h - Gt * f1;
    Vector z;
    const int mode = ldp(Gt, ht, z, lambda);
    if (mode != kSolved) return mode;
    x = R.solve(z + f1);
    return kSolved;
}

int hfti(const Matrix& E, const Vector& f, Vector& x) {
    Eigen::ColPivHouseholderQR<Matrix> qr(E);
    const double tau = std::sqrt(kEpsK);
    const Matrix& R = qr.matrixQR();
    Eigen::Index rank = 0;
    for (Eigen::Index j = 0; j < std::min(E.rows(), E.cols()); ++j) {
        if (std::abs(R(j, j)) > tau)
            ++rank;
        else
            break;
    }
    if (rank < E.cols()) return 7;
    x = qr.solve(f);
    return kSolved;
}

int lsei(Matrix C, const Vector& d, Matrix E, const Vector& f, Matrix G, const Vector& h, Vector& x,
         Vector& multipliers) {
    const Eigen::Index me = C.rows(), n = E.cols(), mg = G.rows();
    if (me > n) return 2;
    multipliers = Vector::Zero(me + mg);
    // Triangularise C from the right; the same reflections transform E and G.
    std::vector<Reflection> reflections(static_cast<std::size_t>(me));
    Matrix U(me, n);  // reflection vectors, row i for reflection i
    for (Eigen::Index i = 0; i < me; ++i) {
        auto row = C.row(i);
        const Reflection r = build(row, i, i + 1, n);
        reflections[static_cast<std::size_t>(i)] = r;
        U.row(i) = C.row(i);
        const auto u = U.row(i);
        for (Eigen::Index k = i + 1; k < me; ++k) {
            auto other = C.row(k);
            apply(r, u, i, i + 1, n, other);
        }
        for (Eigen::Index k = 0; k < E.rows(); ++k) {
            auto other = E.row(k);
            apply(r, u, i, i + 1, n, other);
        }
        for (Eigen::Index k = 0; k < mg; ++k) {
            auto other = G.row(k);
            apply(r, u, i, i + 1, n, other);
        }
    }
    for (Eigen::Index i = 0; i < me; ++i)
        if (!(std::abs(C(i, i)) >= kEpsK)) return 6;
    Vector y(n);
    const auto C1 = C.leftCols(me).triangularView<Eigen::Lower>();
    y.head(me) = C1.solve(d);
    Vector lambda = Vector::Zero(mg);
    if (me < n) {
        const Vector f2 = f - E.leftCols(me) * y.head(me);
        Vector y2;
        if (mg == 0) {
            const int mode = hfti(E.rightCols(n - me), f2, y2);
            if (mode != kSolved) return mode;
        } else {
            const Vector h2 = h - G.leftCols(me) * y.head(me);
            const int mode = lsi(E.rightCols(n - me), f2, G.rightCols(n - me), h2, y2, lambda);
            if (mode != kSolved) return mode;
        }
        y.tail(n - me) = y2;
    }
    if (me > 0) {
        const Vector residual = E * y - f;
        const Vector rhs = E.leftCols(me).transpose() * residual - G.leftCols(me).transpose() * lambda;
        multipliers.head(me) = C.leftCols(me).triangularView<Eigen::Lower>().transpose().solve(rhs);
    }
    multipliers.tail(mg) = lambda;
    // x = Q y: apply the reflections in reverse order.
    x = y;
    for (Eigen::Index i = me - 1; i >= 0; --i) {
        const auto u = U.row(i);
        apply(reflections[static_cast<std::size_t>(i)], u, i, i + 1, n, x);
    }
    return kSolved;
}

}  // namespace minimize::detail
