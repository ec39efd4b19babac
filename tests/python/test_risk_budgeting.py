"""The constrained risk-budgeting portfolio against SciPy: the same convex function minimised by
scipy.optimize under the same limits (λ found by a root search on the total weight), and the
refusal of a caller's own records (a Python function is never a linear row)."""
import numpy as np
import pandas as pd
import pytest

from conftest import BASKET, DATE
from kelvane_mod_optimizer import optimizer as kmo

scipy_optimize = pytest.importorskip("scipy.optimize")


def covariance(ids, seed):
    rng = np.random.default_rng(seed)
    n = len(ids)
    market = 0.01 * rng.standard_normal(131)
    beta = 0.5 + rng.random(n)
    vol = 0.005 + 0.02 * rng.random(n)
    X = np.outer(market, beta) + vol * rng.standard_normal((131, n))
    C = 0.8 * np.cov(X, rowvar=False) + 0.2 * np.mean(np.var(X, axis=0, ddof=1)) * np.eye(n)
    return pd.DataFrame(C, index=ids, columns=ids)


def scipy_risk_budgeting(C, bounds, records):
    """min ½xᵀCx − λ·Σ ln(x_i)/n under the bounds and the records but the budget, by SLSQP, with
    λ found by Brent's method so that the weights add up to 1. C is divided by its mean variance
    first (the same minimisers for λ divided alike), so that SLSQP's tolerance is relative."""
    n = len(C)
    C = C / np.mean(np.diag(C))
    box = [(max(lo if lo is not None else 0.0, 1e-10), hi) for lo, hi in bounds]
    rows = [{"type": r["type"], "fun": r["fun"]} for r in records]

    def solve(lam):
        def f(x):
            return 0.5 * x @ C @ x - lam * np.log(x).sum() / n

        def g(x):
            return C @ x - lam / (n * x)

        x0 = np.full(n, 1.0 / n)
        r = scipy_optimize.minimize(f, x0, jac=g, bounds=box, constraints=rows, method="SLSQP",
                                    options={"ftol": 1e-16, "maxiter": 2000})
        return r.x

    scale = np.full(n, 1.0 / n) @ C @ np.full(n, 1.0 / n)
    lam = scipy_optimize.brentq(lambda lam: solve(lam).sum() - 1.0, 1e-3 * scale, 1e3 * scale, xtol=1e-16,
                                rtol=1e-14)
    return solve(lam)


def in_order(weights, ids):
    return np.array([weights[i] for i in ids])


# SciPy's SLSQP warns when it clips its own step back onto the bounds; the oracle's answer is
# checked against ours all the same.
@pytest.mark.filterwarnings("ignore:Values in x were outside bounds:RuntimeWarning")
def test_binding_cap_and_group_floor_agree_with_scipy(env):
    ids = sorted(BASKET)
    c_m = covariance(ids, 4)
    records = kmo.GICSConstraint({"Financials": (0.55, 1.0)}).to_constraint(ids, DATE)
    budget_free = [r for r in records if r["type"] == "ineq"]
    bounds = [(0.0, 0.12)] * len(ids)
    ours = in_order(kmo.risk_budgeting_optimize(c_m, bounds, records, 200, 1e-12), ids)
    reference = scipy_risk_budgeting(c_m.values, bounds, budget_free)
    assert ours.sum() == pytest.approx(1.0, abs=1e-12)
    assert ours.max() <= 0.12 + 1e-12
    assert np.isclose(ours, 0.12, atol=1e-9).any()  # the cap binds
    assert sum(-r["fun"](ours) for r in budget_free) <= 1e-12
    np.testing.assert_allclose(ours, reference, atol=1e-7)
    # The same limits without the group: the free instruments' contributions are equal.
    free = in_order(kmo.risk_budgeting_optimize(c_m, bounds, [], 200, 1e-12), ids)
    t = free * (c_m.values @ free)
    inside = free < 0.12 - 1e-9
    assert inside.sum() >= 2 and np.ptp(t[inside]) <= 1e-9 * t[inside].max()
    np.testing.assert_allclose(free, scipy_risk_budgeting(c_m.values, bounds, []), atol=1e-7)


def test_records_of_the_callers_own_are_refused(env):
    ids = sorted(BASKET)
    c_m = covariance(ids, 5)
    bounds = [(0.0, 1.0)] * len(ids)
    own = [{"type": "ineq", "fun": lambda x: 0.5 - x[0]}]
    with pytest.raises(kmo.KVInvalidArgument, match="not linear"):
        kmo.risk_budgeting_optimize(c_m, bounds, own, 200, 1e-10)
