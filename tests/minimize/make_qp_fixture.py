"""Writes convex quadratic programmes with a diagonal-plus-low-rank Hessian and their optima,
computed with cvxopt's interior-point QP at tight tolerances and polished on the active set its
answer shows (the equality-constrained optimum there, kept when it meets every limit and its
multipliers have the right signs).

Usage: make_qp_fixture.py OUTPUT.json

Each case is  min ½xᵀ(diag(d) + UUᵀ)x + qᵀx  s.t.  A_eq x = b_eq, A_in x ≤ b_in, lower ≤ x ≤ upper
(null where a bound is absent), shaped like our portfolio problems:
  min_variance    a shrunk covariance d·I + UUᵀ (U = returns scaled), q = 0
  mean_variance   the same Hessian with q = −μ
  tracking_error  d = 0, U = √2·Dᵀ, q = −2·Dᵀb, more instruments than rows of D (rank-deficient)
under the budget, caps, optionally two group rows (a floor and a ceiling) and absent sides.
One case cannot be met (a group floor above its ceiling); it is marked so.
"""
import json
import sys

import cvxopt
import numpy as np

cvxopt.solvers.options.update(show_progress=False, abstol=1e-14, reltol=1e-14, feastol=1e-12, maxiters=300)


def solve(d, u, q, a_eq, b_eq, a_in, b_in, lower, upper):
    n = len(q)
    h_mat = np.diag(d) + u @ u.T
    g_rows, h_vals = [a_in], [b_in]
    for i in range(n):
        if lower[i] is not None:
            row = np.zeros(n); row[i] = -1.0
            g_rows.append(row[None, :]); h_vals.append([-lower[i]])
        if upper[i] is not None:
            row = np.zeros(n); row[i] = 1.0
            g_rows.append(row[None, :]); h_vals.append([upper[i]])
    g = np.vstack(g_rows); h = np.concatenate([np.atleast_1d(v) for v in h_vals])
    r = cvxopt.solvers.qp(cvxopt.matrix(h_mat), cvxopt.matrix(q), cvxopt.matrix(g), cvxopt.matrix(h),
                          cvxopt.matrix(a_eq), cvxopt.matrix(b_eq))
    x = np.array(r["x"]).ravel() if r["x"] is not None else None
    if x is not None:  # a bound held with a tiny multiplier shows as a weight of 1e-9 or so
        obj = lambda v: 0.5 * v @ h_mat @ v + q @ v
        polished = [polish(h_mat, q, a_eq, b_eq, a_in, b_in, lower, upper, x, tol) for tol in (1e-9, 1e-8, 1e-7, 1e-6)]
        x = min([x] + polished, key=obj)
    return r["status"], x


def polish(h_mat, q, a_eq, b_eq, a_in, b_in, lower, upper, x, tol=1e-9):
    """The exact optimum on the active set that cvxopt's answer shows: the equality-constrained
    optimum there, with the set corrected (a limit the optimum breaks joins it, a limit whose
    multiplier has the wrong sign leaves it) until every limit holds and every multiplier has its
    sign. cvxopt's answer as it is when that does not settle within a few changes."""
    n = len(q)
    lo = np.array([-np.inf if v is None else v for v in lower])
    up = np.array([np.inf if v is None else v for v in upper])
    at_lo = np.abs(x - lo) < tol
    at_up = np.abs(x - up) < tol
    n_eq = a_eq.shape[0]
    act = np.abs(a_in @ x - b_in) < tol if len(b_in) else np.zeros(0, dtype=bool)
    for _ in range(50):
        fixed = at_lo | at_up
        free = ~fixed
        a = np.vstack([a_eq, a_in[act]]); b = np.concatenate([b_eq, b_in[act]])
        xf = np.where(at_lo, lo, np.where(at_up, up, 0.0))
        m = a.shape[0]; f = int(free.sum())
        kkt = np.zeros((f + m, f + m))
        kkt[:f, :f] = h_mat[np.ix_(free, free)]
        kkt[:f, f:] = a[:, free].T
        kkt[f:, :f] = a[:, free]
        rhs = np.concatenate([-(q[free] + h_mat[np.ix_(free, fixed)] @ xf[fixed]), b - a[:, fixed] @ xf[fixed]])
        try:
            sol = np.linalg.solve(kkt, rhs)
        except np.linalg.LinAlgError:
            return x
        y = sol[f:]
        xp = xf.copy(); xp[free] = sol[:f]
        grad = h_mat @ xp + q + a.T @ y  # on the fixed ones, z_u − z_l = −grad
        scale = 1e-12 * max(1.0, np.abs(grad).max(), np.abs(q).max())
        below = np.where(free & (xp < lo - 1e-13))[0]
        above = np.where(free & (xp > up + 1e-13))[0]
        rows_broken = np.where(~act & (a_in @ xp > b_in + 1e-13))[0] if len(b_in) else []
        if len(below) or len(above) or len(rows_broken):
            at_lo[below] = True; at_up[above] = True
            if len(rows_broken):
                act[rows_broken] = True
            continue
        wrong = np.where((at_lo & (grad < -scale)) | (at_up & (grad > scale)))[0]
        y_in = np.zeros(len(b_in)); y_in[act] = y[n_eq:]
        wrong_rows = np.where(act & (y_in < -scale))[0]
        if len(wrong):
            i = wrong[np.argmax(np.abs(grad[wrong]))]
            at_lo[i] = at_up[i] = False
            continue
        if len(wrong_rows):
            act[wrong_rows[np.argmin(y_in[wrong_rows])]] = False
            continue
        return xp
    return x


def case(rng, kind, n, k, cap=1.0, groups=False, absent=False, infeasible=False):
    x_ret = rng.normal(0, 0.01, size=(k, n))
    x_ret -= x_ret.mean(axis=0)
    if kind == "tracking_error":
        bench = x_ret @ rng.dirichlet(np.ones(n)) + rng.normal(0, 0.002, size=k)
        d = np.zeros(n)
        u = np.sqrt(2.0) * x_ret.T
        q = -2.0 * x_ret.T @ bench
    else:
        s = 0.3
        m = np.trace(x_ret.T @ x_ret / k) / n
        d = np.full(n, s * m)
        u = np.sqrt(2.0 * (1 - s) / k) * x_ret.T  # H = 2C
        q = np.zeros(n) if kind == "min_variance" else -rng.normal(0.0005, 0.0003, size=n)
    a_eq = np.ones((1, n)); b_eq = np.ones(1)
    a_in = np.zeros((0, n)); b_in = np.zeros(0)
    if groups:  # the first third at least 45 %, the last third at most 15 %
        g1 = np.zeros(n); g1[: n // 3] = 1.0
        g2 = np.zeros(n); g2[-(n // 3):] = 1.0
        a_in = np.vstack([-g1, g2]); b_in = np.array([-0.45, 0.15])
    if infeasible:  # the first third at least 45 % and at most 40 %
        g1 = np.zeros(n); g1[: n // 3] = 1.0
        a_in = np.vstack([-g1, g1]); b_in = np.array([-0.45, 0.40])
    lower = [0.0] * n
    upper = [cap] * n
    if absent:  # no lower bound on every third instrument, no upper bound on every other
        lower = [None if i % 3 == 0 else 0.0 for i in range(n)]
        upper = [None if i % 2 else cap for i in range(n)]
    status, x = solve(d, u, q, a_eq, b_eq, a_in, b_in, lower, upper)
    out = {"kind": kind, "d": d.tolist(), "u": u.tolist(), "q": q.tolist(), "a_eq": a_eq.tolist(),
           "b_eq": b_eq.tolist(), "a_in": a_in.tolist(), "b_in": b_in.tolist(), "lower": lower,
           "upper": upper, "status": status, "infeasible": infeasible}
    if not infeasible:
        out["x"] = x.tolist()
        out["fun"] = float(0.5 * x @ (d * x) + 0.5 * np.sum((u.T @ x) ** 2) + q @ x)
    return out


def main():
    rng = np.random.default_rng(20261208)
    cases = []
    for n, k in ((5, 3), (30, 10), (120, 40), (60, 90)):
        cap = max(3.0 / n, 0.25) if n < 10 else 3.0 / n
        for kind in ("min_variance", "mean_variance", "tracking_error"):
            cases.append(case(rng, kind, n, k, cap=cap))
            cases.append(case(rng, kind, n, k, cap=cap, groups=True))
        cases.append(case(rng, "min_variance", n, k, cap=1.0))
        cases.append(case(rng, "mean_variance", n, k, cap=0.5, absent=True))
    cases.append(case(rng, "min_variance", 30, 10, cap=0.2, infeasible=True))
    with open(sys.argv[1], "w") as out:
        json.dump(cases, out)


if __name__ == "__main__":
    main()
