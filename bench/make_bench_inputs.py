"""Writes the deterministic inputs shared by the C++ and the SciPy solver benchmarks.

Usage: make_bench_inputs.py DIR
For each n in 10, 50, 300, 1000: returns_{n}.txt (131 x n daily returns), cov_{n}.txt (their
Ledoit-Wolf covariance) and bench_{n}.txt (131 benchmark returns: an equal-weighted mix plus noise).
Each file starts with "rows cols", then the values row by row.
"""
import os
import sys

import numpy as np
from sklearn.covariance import LedoitWolf

SIZES = (10, 50, 300, 1000)
T = 131


def write(path, a):
    a = np.atleast_2d(a)
    with open(path, "w") as f:
        f.write(f"{a.shape[0]} {a.shape[1]}\n")
        for row in a:
            f.write(" ".join(repr(float(v)) for v in row) + "\n")


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for n in SIZES:
        rng = np.random.default_rng(1000 + n)
        market = rng.normal(0.0003, 0.012, size=(T, 1))
        sectors = rng.normal(0, 0.008, size=(T, 8))
        beta = rng.uniform(0.6, 1.4, size=(1, n))
        sector_of = np.arange(n) % 8
        x = market @ beta + sectors[:, sector_of] + rng.normal(0, 0.015, size=(T, n))
        b = x.mean(axis=1) + rng.normal(0, 0.002, size=T)
        write(os.path.join(out, f"returns_{n}.txt"), x)
        write(os.path.join(out, f"cov_{n}.txt"), LedoitWolf().fit(x).covariance_)
        write(os.path.join(out, f"bench_{n}.txt"), b.reshape(1, -1))


if __name__ == "__main__":
    main()
