"""Independent optima of the quadratic benchmark problems (minimum variance, mean-variance with
risk aversion 1, minimum tracking error; bounds (0, 1), weights adding up to 1), for judging
how close the solvers get. Uses SciPy's trust-region interior-point method with tight
tolerances, on the inputs of make_bench_inputs.py.

Usage: exact_optima.py DIR [--max-n N]
"""
import argparse
import os

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, minimize


def read(path):
    with open(path) as f:
        rows, cols = map(int, f.readline().split())
        return np.array([[float(v) for v in line.split()] for line in f]).reshape(rows, cols)


def solve(f, g, h, n):
    # Scaled so that the interior-point tolerances are relative.
    x0 = np.full(n, 1.0 / n)
    s = abs(f(x0)) or 1.0
    r = minimize(lambda w: f(w) / s, x0, jac=lambda w: g(w) / s, hess=lambda w: h / s, method="trust-constr",
                 bounds=Bounds(0, 1), constraints=[LinearConstraint(np.ones((1, n)), 1, 1)],
                 options={"gtol": 1e-13, "xtol": 1e-15, "maxiter": 20000})
    w = np.clip(r.x, 0, 1)
    w /= w.sum()
    return f(w)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--max-n", type=int, default=300)
    args = ap.parse_args()
    for n in (10, 50, 300, 1000):
        if n > args.max_n:
            continue
        x = read(os.path.join(args.dir, f"returns_{n}.txt"))
        c = read(os.path.join(args.dir, f"cov_{n}.txt"))
        b = read(os.path.join(args.dir, f"bench_{n}.txt")).ravel()
        mu = x.mean(axis=0)
        print(f"min_variance n={n} optimum={solve(lambda w: w @ c @ w, lambda w: 2 * c @ w, 2 * c, n)!r}")
        print(f"mean_variance n={n} optimum="
              f"{solve(lambda w: 0.5 * w @ c @ w - w @ mu, lambda w: c @ w - mu, c, n)!r}")
        print(f"min_tracking_error n={n} optimum="
              f"{solve(lambda w: (b - x @ w) @ (b - x @ w), lambda w: -2 * x.T @ (b - x @ w), 2 * x.T @ x, n)!r}")


if __name__ == "__main__":
    main()
