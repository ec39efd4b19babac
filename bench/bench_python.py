"""The Python layer's costs, measured side by side in one process on a synthetic bundle:

1. optimize() called from Python against the same call made from C++ (50 and 300 instruments);
2. a data proxy written in Python against our bundle DataProxy, per instrument;
3. two Python threads optimising at once against one thread (throughput);
4. group limits from GICSConstraint, from a Python object handing back its records, and from
   Python functions computing the same sums (minimum variance, 50 instruments).

Usage: PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [ROUNDS]
The bundle (300 stocks over 300 weekdays, market and sector factors plus noise) is written to
a temporary directory on first use.
"""
import datetime
import os
import statistics
import sys
import tempfile
import threading
import time
import types

import numpy as np

from kelvane.data.base_data_source import BaseDataSource
from kelvane.data.data_proxy import DataProxy
from kelvane.environment import Environment
from kelvane_mod_optimizer import _core
from kelvane_mod_optimizer.optimizer import GICSConstraint, OptimizeMethod, optimize

N_MAX = 300
DAYS = 300
DATE = datetime.datetime(2014, 1, 4)


def ids(n):
    return [f"{600000 + i:06d}.XSHG" for i in range(n)]


def make_bundle():
    d = os.path.join(tempfile.gettempdir(), "kv_bench_python_bundle")
    if os.path.exists(os.path.join(d, "instruments.csv")):
        return d
    os.makedirs(os.path.join(d, "day_bars"), exist_ok=True)
    days = []
    day = DATE - datetime.timedelta(days=1)
    while len(days) < DAYS:
        if day.weekday() < 5:
            days.append(day.strftime("%Y-%m-%d"))
        day -= datetime.timedelta(days=1)
    days.reverse()
    with open(os.path.join(d, "trading_dates.csv"), "w") as f:
        f.write("date\n" + "".join(x + "\n" for x in days))
    rng = np.random.default_rng(42)
    market = rng.normal(0, 0.012, DAYS)
    sectors = rng.normal(0, 0.008, (DAYS, 8))
    with open(os.path.join(d, "instruments.csv"), "w") as inst:
        inst.write("order_book_id,symbol,type,listed_date,de_listed_date,sector_name\n")
        for i, oid in enumerate(ids(N_MAX)):
            inst.write(f"{oid},S{i},CS,2005-01-04,,Sector{i % 8}\n")
            closes = (10.0 + i % 50) * np.cumprod(1 + market + sectors[:, i % 8] + rng.normal(0, 0.015, DAYS))
            with open(os.path.join(d, "day_bars", oid + ".csv"), "w") as bars:
                bars.write("date,close\n" + "".join(f"{x},{c:.4f}\n" for x, c in zip(days, closes)))
    return d


class MemoryProxy:
    """A data proxy in pure Python serving records and closes from memory, as a strategy's own
    proxy over its own store would."""

    def __init__(self, dp, order_book_ids):
        self.records = {}
        self.closes = {}
        for oid in order_book_ids:
            r = dp.instruments(oid)
            self.records[oid] = types.SimpleNamespace(order_book_id=oid, type=r.type,
                                                      de_listed_date=r.de_listed_date, sector_name=r.sector_name)
            self.closes[oid] = dp.history_bars(oid, 1000, "1d", "close", DATE)

    def instruments(self, order_book_id):
        return self.records.get(order_book_id)

    def history_bars(self, order_book_id, bar_count, frequency, field, dt, skip_suspended=True):
        return self.closes[order_book_id][-bar_count:]

    def is_suspended(self, order_book_id, dt, count):
        return np.zeros(count, dtype=bool)


def per_call(fn, repeats):
    start = time.perf_counter()
    for _ in range(repeats):
        fn()
    return (time.perf_counter() - start) / repeats


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    bundle = make_bundle()
    dp = DataProxy(BaseDataSource(bundle))
    env = Environment(None)
    env.data_proxy = dp
    memory = MemoryProxy(dp, ids(N_MAX))

    print("1. optimize from Python against the same call from C++ (default method, Ledoit-Wolf), ms per call")
    for n, repeats in ((50, 200), (300, 30)):
        u = ids(n)
        optimize(u, DATE, quiet=True)  # bars read into memory once
        py, cpp = [], []
        for _ in range(rounds):
            cpp.append(_core._optimize_repeatedly(u, DATE, repeats) / repeats)
            py.append(per_call(lambda: optimize(u, DATE, quiet=True), repeats))
        c, p = statistics.median(cpp), statistics.median(py)
        print(f"   n = {n:3d}: C++ {c * 1e3:7.3f}   Python {p * 1e3:7.3f}   overhead {100 * (p - c) / c:+5.1f} %"
              f"   (medians of {rounds} rounds of {repeats} calls, alternating)")

    print("2. a pure-Python data proxy against our bundle DataProxy, same requests")
    for n, repeats in ((50, 200), (300, 30)):
        u = ids(n)
        ours, theirs = [], []
        for _ in range(rounds):
            env.data_proxy = dp
            ours.append(per_call(lambda: optimize(u, DATE, quiet=True), repeats))
            env.data_proxy = memory
            theirs.append(per_call(lambda: optimize(u, DATE, quiet=True), repeats))
        o, t = statistics.median(ours), statistics.median(theirs)
        print(f"   n = {n:3d}: DataProxy {o * 1e3:7.3f} ms   Python proxy {t * 1e3:7.3f} ms   "
              f"difference {(t - o) / n * 1e6:5.1f} µs per instrument (3 calls each)")
    env.data_proxy = dp

    print("3. throughput, calls per second: one Python thread against two (C++ loops as the machine's reference)")
    for n, calls, how in ((50, 400, "Python"), (300, 60, "Python"), (300, 60, "C++")):
        u = ids(n)

        def work(k):
            if how == "C++":
                _core._optimize_repeatedly(u, DATE, k)
                return
            for _ in range(k):
                optimize(u, DATE, quiet=True)

        one, two = [], []
        for _ in range(max(3, rounds // 2)):
            start = time.perf_counter()
            work(calls)
            one.append(calls / (time.perf_counter() - start))
            threads = [threading.Thread(target=work, args=(calls // 2,)) for _ in range(2)]
            start = time.perf_counter()
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            two.append(calls / (time.perf_counter() - start))
        a, b = statistics.median(one), statistics.median(two)
        print(f"   n = {n:3d}, {how:6s}: one thread {a:7.1f}/s   two threads {b:7.1f}/s   ratio {b / a:.2f}")

    print("4. group limits, minimum variance, 50 instruments, ms per call")
    u = ids(50)
    gics = GICSConstraint({f"Sector{k}": (0.05, 0.2) for k in range(8)})
    handed_back = types.SimpleNamespace(to_constraint=gics.to_constraint)

    def in_python(order_book_ids, date):
        records = []
        for k in range(8):
            at = np.array([i for i, o in enumerate(order_book_ids) if int(o[:6]) % 8 == k])
            records.append({"type": "ineq", "fun": lambda x, at=at: x[at].sum() - 0.05})
            records.append({"type": "ineq", "fun": lambda x, at=at: 0.2 - x[at].sum()})
        return records + [{"type": "eq", "fun": lambda x: x.sum() - 1}]

    for name, cons, repeats in (("GICSConstraint", gics, 50), ("its records handed back", handed_back, 50),
                                ("Python functions", types.SimpleNamespace(to_constraint=in_python), 3)):
        t = statistics.median(
            per_call(lambda: optimize(u, DATE, OptimizeMethod.MIN_VARIANCE, cons=cons, quiet=True), repeats)
            for _ in range(rounds))
        print(f"   {name:24s} {t * 1e3:8.1f}")


if __name__ == "__main__":
    main()
