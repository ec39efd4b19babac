"""Exact optima of the tracking-error benchmark problems (bounds (0, 1), weights adding up to 1)
by cvxopt's interior-point QP at tight tolerances (Debian: python3-cvxopt), next to what
bench_solvers reports, for judging the solver's relative accuracy.

Usage: exact_tracking_error.py DIR [N ...]   (DIR: the inputs of make_bench_inputs.py)
"""
import os
import sys

import cvxopt
import numpy as np

cvxopt.solvers.options.update(show_progress=False, abstol=1e-15, reltol=1e-14, feastol=1e-13, maxiters=200)


def read(path):
    with open(path) as f:
        rows, cols = map(int, f.readline().split())
        return np.array([[float(v) for v in line.split()] for line in f]).reshape(rows, cols)


def main():
    d = sys.argv[1]
    for n in map(int, sys.argv[2:] or ["10", "50", "300"]):
        x = read(os.path.join(d, f"returns_{n}.txt"))
        b = read(os.path.join(d, f"bench_{n}.txt")).ravel()
        s = b @ b  # scaled so that the solver's tolerances are relative
        r = cvxopt.solvers.qp(cvxopt.matrix(2 * x.T @ x / s), cvxopt.matrix(-2 * x.T @ b / s),
                              cvxopt.matrix(np.vstack([-np.eye(n), np.eye(n)])),
                              cvxopt.matrix(np.r_[np.zeros(n), np.ones(n)]),
                              cvxopt.matrix(np.ones((1, n))), cvxopt.matrix(1.0))
        w = np.clip(np.array(r["x"]).ravel(), 0, 1)
        w /= w.sum()
        e = b - x @ w
        print(f"min_tracking_error n={n} status={r['status']} optimum={e @ e!r} bTb/optimum={s / (e @ e):.3g}")


if __name__ == "__main__":
    main()
