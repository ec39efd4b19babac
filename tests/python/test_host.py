"""The host and the data client stood in by Python objects, Python constraint records, the
solvers on pandas inputs, threads, and what importing and running the module do."""
import os
import subprocess
import sys
import threading
import types

import numpy as np
import pandas as pd
import pytest

from conftest import BANKS, BASKET, DATE, FOUR, OPTIMIZE_TOOL
import dunlith
from kelvane_mod_optimizer import optimizer as kmo


class ListProxy:
    """A data proxy of our own: plain records and lists, read from the bundle's proxy."""

    def __init__(self, inner, fail_on=None):
        self.inner, self.fail_on = inner, fail_on

    def instruments(self, ids):
        if isinstance(ids, str):
            r = self.inner.instruments(ids)
            return r and types.SimpleNamespace(order_book_id=r.order_book_id, type=r.type,
                                               de_listed_date=r.de_listed_date, sector_name=r.sector_name)
        return [self.instruments(i) for i in ids]

    def history_bars(self, order_book_id, bar_count, frequency, field, dt, skip_suspended=True):
        if order_book_id == self.fail_on:
            self.error = LookupError(f"no bars for {order_book_id}")
            raise self.error
        return list(self.inner.history_bars(order_book_id, bar_count, frequency, field, dt, skip_suspended))

    def is_suspended(self, order_book_id, dt, count):
        return [int(s) for s in self.inner.is_suspended(order_book_id, dt, count)]


@pytest.mark.parametrize("kwargs", [
    {},
    {"method": kmo.OptimizeMethod.MIN_TRACKING_ERROR, "benchmark": "000300.XSHG"},
    {"cons": kmo.GICSConstraint({"Financials": (0.2, 0.4)}), "method": kmo.OptimizeMethod.MIN_VARIANCE},
    {"cons": types.SimpleNamespace(to_constraint=lambda ids, date: [{"type": "eq", "fun": lambda x: x.sum() - 1}])},
])
def test_python_data_proxy_gives_the_bundle_proxys_answers_in_two_threads(env, bundle_proxy, kwargs):
    ids = BASKET + ["600001.XSHG"]
    expected = kmo.optimize(ids, DATE, **kwargs)
    env.data_proxy = ListProxy(bundle_proxy)
    results = []

    def work():
        results.extend(kmo.optimize(ids, DATE, **kwargs) for _ in range(2))

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == [expected] * 4


def test_what_a_python_proxy_or_record_raises_reaches_the_caller_unchanged(env, bundle_proxy):
    proxy = ListProxy(bundle_proxy, fail_on="601857.XSHG")
    env.data_proxy = proxy
    with pytest.raises(LookupError) as caught:
        kmo.optimize(FOUR, DATE)
    assert caught.value is proxy.error
    with pytest.raises(TypeError, match="has no instruments"):
        env.data_proxy = object()
    env.data_proxy = bundle_proxy
    error = ArithmeticError("from a constraint record")

    def fail(x):
        raise error
    cons = types.SimpleNamespace(to_constraint=lambda ids, date: [{"type": "eq", "fun": fail}])
    with pytest.raises(ArithmeticError) as caught:
        kmo.optimize(FOUR, DATE, cons=cons)
    assert caught.value is error


@pytest.mark.parametrize("bars", [{"a": 1.0}, [1j] * 132, np.array(["1.0"] * 132), np.array([object()] * 132)])
def test_a_proxy_whose_bars_are_not_numbers_gets_a_type_error_naming_them(env, bundle_proxy, bars):
    proxy = ListProxy(bundle_proxy)
    proxy.history_bars = lambda *args, **kwargs: bars
    env.data_proxy = proxy
    with pytest.raises(TypeError, match=r"^data proxy's history_bars\(\) result must be a sequence of numbers, got "):
        kmo.optimize(FOUR, DATE)


def test_builtin_records_refuse_weights_of_another_length(env):
    # Built for the whole list, one of which (600001.XSHG) screening drops.
    ids = BASKET + ["600001.XSHG"]
    stale = types.SimpleNamespace(
        to_constraint=lambda survivors, date: kmo.GICSConstraint({"Financials": (0.1, 0.6)}).to_constraint(ids, date))
    with pytest.raises(kmo.KVInvalidArgument, match=f"^OPTIMIZER: 约束条件是按 {len(ids)} 个合约构建的，而待优化的合约有 {len(BASKET)} 个$"):
        kmo.optimize(ids, DATE, cons=stale)
    record = kmo.GICSConstraint({"Financials": (0.1, 0.6)}).to_constraint(sorted(BASKET), DATE)[0]
    with pytest.raises(kmo.KVInvalidArgument, match="^the record of group Financials needs at least"):
        record["fun"](np.array([]))


def test_python_constraint_objects_with_own_and_builtin_records(env):
    class AtMostAFifthEach:
        def to_constraint(self, order_book_ids, date):
            assert order_book_ids == sorted(FOUR + ["601939.XSHG"]) and date == DATE
            builtin = kmo.GICSConstraint({"Financials": (0.3, 0.5)}).to_constraint(order_book_ids, date)
            own = [{"type": "ineq", "fun": lambda x, i=i: 0.2 - x[i]} for i in range(len(order_book_ids))]
            return own + builtin

    w = kmo.optimize(FOUR + ["601939.XSHG"], DATE, cons=AtMostAFifthEach())
    assert all(v <= 0.2 + 1e-9 for v in w.values())
    assert 0.3 - 1e-9 <= w["601398.XSHG"] + w["601939.XSHG"] <= 0.5 + 1e-9
    assert abs(sum(w.values()) - 1) < 1e-12
    # Python can call a built-in record.
    budget = kmo.GICSConstraint({"Financials": (0.3, 0.5)}).to_constraint(sorted(BASKET), DATE)[-1]
    assert budget["type"] == "eq" and budget["fun"](np.full(len(BASKET), 0.1)) == pytest.approx(0.1)


def test_data_client_stood_in_by_a_python_object(env, caplog):
    class Client:
        fund = types.SimpleNamespace(instruments=lambda order_book_id: None)

        def shenwan_instrument_industry(self, order_book_id, date):
            return None if order_book_id == "601006.XSHG" else ("x", "银行" if order_book_id in BANKS else "其他")

    dunlith.set_client(Client())
    w = kmo.optimize(BASKET, DATE, bnds={"*": (0, 0.3)}, cons=kmo.ShenWanConstraint({"银行": (0.35, 0.4)}))
    assert 0.35 - 1e-9 <= sum(w[b] for b in BANKS) <= 0.4 + 1e-9
    assert "OPTIMIZER: 在 2014-01-04 00:00:00 合约 601006.XSHG 没有申万行业分类信息，此合约被忽略" in caplog.messages
    with pytest.raises(kmo.KVInvalidArgument, match="OPTIMIZER: 合约 .* 没有基金类型信息"):
        kmo.optimize(["510050.XSHG", "510300.XSHG"], DATE, cons=kmo.FundTypeConstraint({}))


def test_solvers_take_pandas_and_numpy_inputs(env, bundle_proxy):
    ids = sorted(FOUR)
    closes = {i: bundle_proxy.history_bars(i, 132, "1d", "close", DATE) for i in ids}
    df = pd.DataFrame({i: c[1:] / c[:-1] - 1 for i, c in closes.items()})
    c_m = df.cov()
    n = len(ids)
    x0 = np.full(n, 1 / n)
    budget = kmo.GICSConstraint({}).to_constraint(ids, DATE)
    unit = [(0, 1)] * n
    bench = bundle_proxy.history_bars("000300.XSHG", 132, "1d", "close", DATE)
    M = kmo.OptimizeMethod
    cases = [
        (kmo.risk_parity_optimize(c_m, list(x0), [(1e-6, None)] * n, 1000), {"cov_shrinkage": False}),
        (kmo.risk_parity_with_cons_optimize(c_m, x0, unit, budget, 1000, 1e-8),
         {"cov_shrinkage": False, "bnds": {}}),
        (kmo.min_variance_optimize(c_m, x0, unit, budget, 1000, 1e-8),
         {"cov_shrinkage": False, "method": M.MIN_VARIANCE}),
        (kmo.mean_variance_optimize(c_m, x0, 2, df.mean(), unit, budget, 1000, 1e-8),
         {"cov_shrinkage": False, "method": M.MEAN_VARIANCE, "risk_aversion_coefficient": 2}),
        (kmo.min_tracking_error_optimize(x0, bench[1:] / bench[:-1] - 1, df, unit, budget, 1000, 1e-8),
         {"method": M.MIN_TRACKING_ERROR, "benchmark": "000300.XSHG"}),
    ]
    for weights, kwargs in cases:
        expected = kmo.optimize(ids, DATE, **kwargs)
        assert list(weights) == list(expected)
        assert list(weights.values()) == pytest.approx(list(expected.values()), abs=1e-7)
    with pytest.raises(ValueError, match="same labels"):
        kmo.min_variance_optimize(c_m.rename(index=str.lower), x0, unit, budget, 1000, 1e-8)


def run_python(args, home):
    env = dict(os.environ, HOME=str(home))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=str(home), timeout=120)


def test_importing_runs_nothing_and_running_prints_the_demonstration(tmp_path):
    r = run_python(["-c", "import kelvane_mod_optimizer.optimizer, dunlith, kelvane.environment as e; "
                          "assert e.Environment._current is None"], tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    assert os.listdir(tmp_path) == []
    r = run_python(["-m", "kelvane_mod_optimizer.optimizer"], tmp_path)
    demo = subprocess.run([os.path.join(os.path.dirname(OPTIMIZE_TOOL), "kelvane-optimizer-demo")], capture_output=True,
                          text=True, check=True, env=dict(os.environ, HOME=str(tmp_path)))
    assert (r.returncode, r.stdout) == (0, demo.stdout), r.stderr
