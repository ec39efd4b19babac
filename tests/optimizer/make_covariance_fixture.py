"""Writes covariance reference values computed by scikit-learn and NumPy.

Usage: make_covariance_fixture.py OUTPUT.json
Each case holds a return table (NaN for missing cells, padded at the top), the Ledoit-Wolf
covariance of its complete rows (sklearn.covariance.LedoitWolf, default settings) and the
pairwise-complete sample covariance with divisor k - 1.
"""
import json
import sys

import numpy as np
from sklearn.covariance import LedoitWolf


def pairwise_cov(x):
    n = x.shape[1]
    out = np.full((n, n), np.nan)
    for a in range(n):
        for b in range(n):
            ok = ~np.isnan(x[:, a]) & ~np.isnan(x[:, b])
            if ok.sum() >= 2:
                xa, xb = x[ok, a], x[ok, b]
                out[a, b] = ((xa - xa.mean()) * (xb - xb.mean())).sum() / (ok.sum() - 1)
    return out


def main():
    rng = np.random.default_rng(20140104)
    cases = []
    # pads: column -> how many leading returns are missing (recently listed instruments)
    for n, t, pads in [(2, 131, {}), (3, 10, {}), (5, 131, {}), (10, 131, {0: 30}), (25, 131, {}),
                       (40, 60, {0: 10, 3: 25}), (60, 131, {}), (60, 40, {}), (1, 131, {}),
                       (3, 12, {0: 2, 1: 5, 2: 8})]:
        market = rng.normal(0, 0.012, size=(t, 1))
        beta = rng.uniform(0.5, 1.5, size=(1, n))
        x = market @ beta + rng.normal(0, 0.015, size=(t, n))
        for column, rows in pads.items():
            x[:rows, column] = np.nan
        complete = x[~np.isnan(x).any(axis=1)]
        lw = LedoitWolf().fit(complete).covariance_
        cases.append({"returns": [[None if np.isnan(v) else float(v) for v in row] for row in x],
                      "ledoit_wolf": lw.tolist(),
                      "sample": [[None if np.isnan(v) else float(v) for v in row] for row in pairwise_cov(x)]})
    with open(sys.argv[1], "w") as f:
        json.dump(cases, f)


if __name__ == "__main__":
    main()
