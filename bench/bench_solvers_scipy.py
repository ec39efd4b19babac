"""Times the reference formulation of each solver with SciPy and scikit-learn on the inputs of
make_bench_inputs.py, for comparison with bench_solvers.

Usage: bench_solvers_scipy.py DIR [--max-n N] [--repeat R]
Prints one line per (solver, n): seconds per solve (best of R), nit, status and the objective at
the normalised weights; and the seconds of each covariance estimator.
"""
import argparse
import os
import time

import numpy as np
from scipy.optimize import minimize
from scipy.spatial.distance import pdist
from sklearn.covariance import LedoitWolf


def read(path):
    with open(path) as f:
        rows, cols = map(int, f.readline().split())
        return np.array([[float(v) for v in line.split()] for line in f]).reshape(rows, cols)


def problems(c, x, b):
    n = c.shape[0]
    x0 = np.full(n, 1.0 / n)
    budget = {"type": "eq", "fun": lambda w: np.sum(w) - 1}
    unit = [(0, 1)] * n
    opts = {"maxiter": 1000, "ftol": 1e-8}
    mu = x.mean(axis=0)

    def rp():
        f = lambda w: np.dot(w, np.dot(c, w)) - 15 * np.sum(np.log(w))
        g = lambda w: 2 * np.dot(c, w) - 15 / w
        return minimize(f, x0, method="L-BFGS-B", jac=g, bounds=[(1e-6, None)] * n, options={"maxiter": 1000})

    def rpc():
        def f(w):
            t = w * np.dot(c, w)
            return np.sum(pdist(t.reshape(-1, 1), "euclidean"))
        return minimize(f, x0, method="SLSQP", bounds=unit, constraints=budget, options=dict(opts))

    def mv():
        return minimize(lambda w: np.dot(np.dot(w, c), w), x0, method="SLSQP", jac=lambda w: 2 * np.dot(c, w),
                        bounds=unit, constraints=budget, options=dict(opts))

    def mean_var():
        f = lambda w: 0.5 * np.dot(np.dot(w, c), w) - np.dot(w, mu)
        g = lambda w: np.asfarray(np.dot(w, c) - mu).flatten()
        return minimize(f, x0, method="SLSQP", jac=g, bounds=unit, constraints=budget, options=dict(opts))

    def te():
        def f(w):
            e = b - np.dot(x, w)
            return np.dot(e, e)
        return minimize(f, x0, method="SLSQP", bounds=unit, constraints=budget, options=dict(opts))

    def rpc_limits(bounds, constraints):
        def f(w):
            t = w * np.dot(c, w)
            return np.sum(pdist(t.reshape(-1, 1), "euclidean"))
        return lambda: minimize(f, x0, method="SLSQP", bounds=bounds, constraints=constraints, options=dict(opts))

    # The limits of bench_solvers' risk_parity_limits: a cap that does not bind, a narrow box that
    # does, a 25 % floor on every eighth instrument with the cap.
    cap = [(0, 0.05)] * n
    box = [(0.6 / n, 1.2 / n)] * n
    floor = {"type": "ineq", "fun": lambda w: np.sum(w[::8]) - 0.25}

    objective = {
        "risk_parity": lambda w: np.sum(pdist((w * np.dot(c, w)).reshape(-1, 1))),
        "risk_parity_with_cons": lambda w: np.sum(pdist((w * np.dot(c, w)).reshape(-1, 1))),
        "min_variance": lambda w: np.dot(np.dot(w, c), w),
        "mean_variance": lambda w: 0.5 * np.dot(np.dot(w, c), w) - np.dot(w, mu),
        "min_tracking_error": lambda w: np.dot(b - np.dot(x, w), b - np.dot(x, w)),
    }
    spread = objective["risk_parity"]
    objective.update(risk_parity_cap=spread, risk_parity_box=spread, risk_parity_group_floor=spread)
    return {"risk_parity": rp, "risk_parity_with_cons": rpc, "min_variance": mv, "mean_variance": mean_var,
            "min_tracking_error": te, "risk_parity_cap": rpc_limits(cap, budget),
            "risk_parity_box": rpc_limits(box, budget),
            "risk_parity_group_floor": rpc_limits(cap, [floor, budget])}, objective


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--max-n", type=int, default=300)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--only", help="run only the solvers whose name contains this text")
    args = ap.parse_args()
    for n in (10, 50, 300, 1000):
        if n > args.max_n:
            continue
        x = read(os.path.join(args.dir, f"returns_{n}.txt"))
        c = read(os.path.join(args.dir, f"cov_{n}.txt"))
        b = read(os.path.join(args.dir, f"bench_{n}.txt")).ravel()
        best = min(_timed(lambda: LedoitWolf().fit(x)) for _ in range(max(args.repeat, 3)))
        print(f"ledoit_wolf n={n} seconds={best:.6g}", flush=True)
        # The table has no gaps, so NumPy's covariance is the pairwise-complete one.
        best = min(_timed(lambda: np.cov(x, rowvar=False)) for _ in range(max(args.repeat, 3)))
        print(f"sample_covariance n={n} seconds={best:.6g}", flush=True)
        solvers, objective = problems(c, x, b)
        for name, solve in solvers.items():
            if args.only and args.only not in name:
                continue
            times = []
            for _ in range(args.repeat):
                t0 = time.perf_counter()
                r = solve()
                times.append(time.perf_counter() - t0)
            w = r.x / np.sum(r.x)
            print(f"{name} n={n} seconds={min(times):.6g} nit={r.nit} status={r.status} "
                  f"objective={objective[name](w)!r}", flush=True)


def _timed(f):
    t0 = time.perf_counter()
    f()
    return time.perf_counter() - t0


if __name__ == "__main__":
    main()
