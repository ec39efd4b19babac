"""Writes SLSQP reference runs on generated portfolio-style problems, computed with SciPy.

Usage: make_slsqp_fixture.py OUTPUT.json

Each case minimises one objective subject to the budget Σx = 1, bounds (some sides absent) and
optionally group limits (two linear inequality records per group), from x0 = 1/n:
  min_variance        xᵀCx, gradient 2Cx or forward differences
  mean_variance       λ·xᵀCx − μᵀx, gradient 2λCx − μ
  tracking_error      ‖b − Dx‖², forward differences
  risk_contributions  Σ_{i<j} |t_i − t_j| with t = x ⊙ Cx, forward differences (non-smooth)
with n from 2 to 60. Some cases use a small maxiter (iteration limit) or group limits that
cannot hold together.
"""
import json
import sys

import numpy as np
from scipy.optimize import minimize
from scipy.spatial.distance import pdist


def covariance(rng, n):
    f = rng.normal(0, 0.1, size=(n, 3))
    return f @ f.T + np.diag(rng.uniform(0.005, 0.05, size=n))


def case(rng, kind, n, jac=True, maxiter=1000, groups=None, absent=False):
    c = covariance(rng, n)
    data = {"kind": kind, "n": n, "jac": jac, "maxiter": maxiter, "c": c.tolist()}
    lower = [0.0] * n
    upper = [1.0 if rng.uniform() < 0.6 else float(rng.uniform(1.5 / n, 3.0 / n)) for _ in range(n)]
    if absent:  # every other variable has no upper bound
        upper = [None if i % 2 else u for i, u in enumerate(upper)]
    if kind == "min_variance":
        fun = lambda x: x @ c @ x
        grad = lambda x: 2.0 * c @ x
    elif kind == "mean_variance":
        lam = float(rng.uniform(0.5, 5.0))
        mu = rng.normal(0.05, 0.02, size=n)
        data.update(lam=lam, mu=mu.tolist())
        fun = lambda x: lam * (x @ c @ x) - mu @ x
        grad = lambda x: 2.0 * lam * (c @ x) - mu
    elif kind == "tracking_error":
        d = rng.normal(0, 0.01, size=(60, n))
        w = rng.dirichlet(np.ones(n))
        b = d @ w + rng.normal(0, 0.002, size=60)
        data.update(d=d.tolist(), b=b.tolist())
        fun = lambda x: float((b - d @ x) @ (b - d @ x))
        grad = None
    else:
        fun = lambda x: float(np.sum(pdist((x * (c @ x)).reshape(-1, 1))))
        grad = None
    if not jac:
        grad = None
    data["jac"] = grad is not None
    cons = [{"type": "eq", "fun": lambda x: np.sum(x) - 1.0}]
    data["groups"] = []
    for members, lo, hi in groups or []:
        idx = np.array(members)
        cons.append({"type": "ineq", "fun": lambda x, idx=idx, lo=lo: np.sum(x[idx]) - lo})
        cons.append({"type": "ineq", "fun": lambda x, idx=idx, hi=hi: hi - np.sum(x[idx])})
        data["groups"].append({"members": members, "lower": lo, "upper": hi})
    r = minimize(fun, np.full(n, 1.0 / n), method="SLSQP", jac=grad, bounds=list(zip(lower, upper)),
                 constraints=cons, options={"maxiter": maxiter, "ftol": 1e-8})
    data.update(lower=lower, upper=upper, x=r.x.tolist(), fun=float(r.fun), nit=int(r.nit),
                status=int(r.status))
    return data


def main():
    rng = np.random.default_rng(20240611)
    cases = []
    for n in (2, 3, 5, 8, 13, 21, 34, 60):
        cases.append(case(rng, "min_variance", n))
        cases.append(case(rng, "min_variance", n, jac=False))
        cases.append(case(rng, "mean_variance", n))
        cases.append(case(rng, "tracking_error", n))
        if n >= 5:
            half = list(range(n // 2))
            cases.append(case(rng, "min_variance", n, groups=[(half, 0.2, 0.4)]))
            cases.append(case(rng, "min_variance", n, absent=True))
            cases.append(case(rng, "min_variance", n, maxiter=3))
        if n <= 13:
            cases.append(case(rng, "risk_contributions", n))
    # Limits that cannot hold together: the same group at least 0.9 and at most 0.3.
    cases.append(case(rng, "min_variance", 6, groups=[([0, 1, 2], 0.9, 1.0), ([0, 1, 2], 0.0, 0.3)]))
    with open(sys.argv[1], "w") as out:
        json.dump(cases, out)


if __name__ == "__main__":
    main()
