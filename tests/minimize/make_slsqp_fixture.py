"""Writes SLSQP reference runs on random minimum-variance problems, computed with SciPy.

Usage: make_slsqp_fixture.py OUTPUT.json
Each case: minimise xᵀCx subject to Σx = 1 and 0 <= x_i <= upper_i from x0 = 1/n, with the
exact gradient 2Cx or with forward differences, maxiter 1000 and ftol 1e-8.
"""
import json
import sys

import numpy as np
from scipy.optimize import minimize


def main():
    rng = np.random.default_rng(20240611)
    cases = []
    for k in range(12):
        n = int(rng.integers(2, 7))
        f = rng.normal(0, 0.1, size=(n, 2))
        c = f @ f.T + np.diag(rng.uniform(0.005, 0.05, size=n))
        upper = [1.0 if rng.uniform() < 0.5 else float(rng.uniform(1.05 / n, 1.6 / n)) for _ in range(n)]
        with_jac = k % 2 == 0
        x0 = np.full(n, 1.0 / n)
        r = minimize(lambda x: x @ c @ x, x0, method="SLSQP",
                     jac=(lambda x: 2.0 * c @ x) if with_jac else None,
                     bounds=[(0.0, u) for u in upper],
                     constraints=[{"type": "eq", "fun": lambda x: np.sum(x) - 1.0}],
                     options={"maxiter": 1000, "ftol": 1e-8})
        cases.append({"c": c.tolist(), "upper": upper, "jac": with_jac, "x": r.x.tolist(),
                      "fun": float(r.fun), "nit": int(r.nit), "status": int(r.status)})
    with open(sys.argv[1], "w") as out:
        json.dump(cases, out, indent=1)


if __name__ == "__main__":
    main()
