#!/usr/bin/python3
"""Whole-market and industry-neutral requests through kelvane-optimize, one request per process.

For each size (default 300, 1000, 2000, 5000 stocks) a factor-model bundle is generated with
tools/make_factor_bundle.py (kept under $TMPDIR between runs, not committed), and each request
below is answered by every build given, side by side in one run:
  rp           risk parity
  rp_cap       risk parity, every weight <= 2/n
  mv_cap       minimum variance, every weight <= 1 %
  mvo_cap      mean-variance, every weight <= 1 %
  te_cap       minimum tracking error against 000300.XSHG, every weight <= 1 %
  rp_fin30     risk parity, GICS Financials at least 30 %
  rp_neutral   risk parity, every ShenWan industry within +-0.5 % of its share of the universe
  rp_neutral_cap  the same with every weight <= 3/n
  mv_interior  minimum variance without limits beyond the default bounds, on a bundle of nearly
               independent returns (make_factor_bundle.py --diversified) whose optimum holds
               every stock
Seconds are beyond opening the bundle: the median wall time of the request minus that of a
request answered without solving (one identifier); memory is the peak resident set from
/usr/bin/time -v. A request that does not end within --timeout seconds is reported as such.

With --stream K the seconds are instead those of one more request in a process that answers
a stream of them (the bars already read, as in a backtest): the time of K + 1 copies of the
request minus that of one copy, divided by K.

Usage: bench_scale.py [--build DIR]... [--sizes 300,1000] [--requests rp,mv_cap] [--repeat 3]
                      [--timeout 600] [--stream K]
The first --build is the reference; the weights of the others are compared with its weights.
"""
import argparse
import collections
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "..", "tools", "make_factor_bundle.py")
DATE = "2014-01-03"
BENCHMARK = "000300.XSHG"


def bundle_for(n, diversified=False):
    kind = "diversified" if diversified else "factor"
    path = os.path.join(tempfile.gettempdir(), f"kv_{kind}_bundle_{n}")
    if not os.path.exists(os.path.join(path, "funds.csv")):  # written last
        subprocess.run([sys.executable, GENERATOR] + (["--diversified"] if diversified else []) + [str(n), path],
                       check=True)
    return path


# Requests answered over the diversified bundle instead of the factor one.
DIVERSIFIED = {"mv_interior"}


def industries(path):
    """ShenWan industry name -> number of stocks."""
    counts = collections.Counter()
    with open(os.path.join(path, "shenwan.csv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            counts[line.rstrip("\n").split(",")[4]] += 1
    return counts


def requests_for(n, path):
    ids = [f"{600000 + i:06d}.XSHG" for i in range(n)]
    base = {"order_book_ids": ids, "date": DATE, "quiet": True}
    counts = industries(path)
    neutral = {name: [max(0.0, c / n - 0.005), min(1.0, c / n + 0.005)] for name, c in counts.items()}
    return {
        "rp": {},
        "rp_cap": {"bnds": {"*": [0, 2.0 / n]}},
        "mv_cap": {"method": "min_variance", "bnds": {"*": [0, 0.01]}},
        "mvo_cap": {"method": "mean_variance", "bnds": {"*": [0, 0.01]}},
        "te_cap": {"method": "min_tracking_error", "benchmark": BENCHMARK, "bnds": {"*": [0, 0.01]}},
        "rp_fin30": {"cons": {"kind": "gics", "rules": {"Financials": [0.3, 1]}}},
        "rp_neutral": {"cons": {"kind": "shenwan", "rules": neutral}},
        "rp_neutral_cap": {"bnds": {"*": [0, 3.0 / n]}, "cons": {"kind": "shenwan", "rules": neutral}},
        "mv_interior": {"method": "min_variance"},
    }, base


def run(tool, path, request, timeout, copies=1):
    """(seconds, peak KiB, response or None on timeout) of one process answering `copies` requests."""
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as f:
        f.write((json.dumps(request, ensure_ascii=False) + "\n") * copies)
        name = f.name
    try:
        start = time.perf_counter()
        # timeout(1) ends the tool itself: Python's own timeout would end /usr/bin/time alone.
        p = subprocess.run(["/usr/bin/time", "-v", "timeout", str(timeout), tool, "--bundle", path, "--requests", name],
                           capture_output=True, text=True, timeout=timeout + 10)
        if p.returncode == 124:
            raise subprocess.TimeoutExpired(tool, timeout)
        seconds = time.perf_counter() - start
    except subprocess.TimeoutExpired:
        return timeout, None, None
    finally:
        os.unlink(name)
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", p.stderr)
    response = json.loads(p.stdout.splitlines()[0]) if p.stdout.strip() else {"error": {"message": p.stderr[-200:]}}
    return seconds, int(peak.group(1)) if peak else None, response


def outcome(response):
    if response is None:
        return "timeout"
    if "error" in response:
        return "error: " + response["error"]["message"][:60]
    return "ok"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", help="build directory (bin/kelvane-optimize); repeatable")
    ap.add_argument("--sizes", default="300,1000,2000,5000")
    ap.add_argument("--requests", default="rp,rp_cap,mv_cap,mvo_cap,te_cap,rp_fin30")
    ap.add_argument("--repeat", type=int, default=3, help="runs per request (median taken)")
    ap.add_argument("--timeout", type=float, default=600.0)
    ap.add_argument("--stream", type=int, default=0, help="seconds of one more request in a stream of K + 1")
    args = ap.parse_args()
    builds = args.build or [os.path.join(HERE, "..", "build")]
    tools = [os.path.join(b, "bin", "kelvane-optimize") for b in builds]
    print("n\trequest\t" + "\t".join(f"s[{i}]\tMiB[{i}]\tresult[{i}]" + ("\tmax|dw|" if i else "")
                                      for i in range(len(tools))))
    for n in (int(s) for s in args.sizes.split(",")):
        paths = {False: bundle_for(n)}
        table, base = requests_for(n, paths[False])
        for name in args.requests.split(","):
            path = paths.setdefault(name in DIVERSIFIED, bundle_for(n, name in DIVERSIFIED))
            request = dict(base, **table[name])
            if args.stream:
                baseline = request
                copies = args.stream + 1
            else:
                baseline = {"order_book_ids": [base["order_book_ids"][0]], "date": DATE}
                copies = 1
            cells, reference = [], None
            for i, tool in enumerate(tools):
                opening = statistics.median(run(tool, path, baseline, args.timeout)[0] for _ in range(args.repeat))
                runs = []
                for _ in range(args.repeat):
                    runs.append(run(tool, path, request, args.timeout, copies))
                    if runs[-1][2] is None or runs[-1][0] > 30.0:
                        break  # slow requests once
                seconds = (statistics.median(r[0] for r in runs) - opening) / (copies - 1 if args.stream else 1)
                peak, response = runs[-1][1], runs[-1][2]
                cell = f"{seconds:.3f}\t{peak / 1024 if peak else float('nan'):.0f}\t{outcome(response)}"
                weights = dict(response["weights"]) if response and "weights" in response else None
                if i == 0:
                    reference = weights
                else:
                    diff = (max(abs(weights[k] - reference.get(k, 0.0)) for k in weights)
                            if weights and reference else float("nan"))
                    cell += f"\t{diff:.2e}"
                cells.append(cell)
            print(f"{n}\t{name}\t" + "\t".join(cells), flush=True)


if __name__ == "__main__":
    main()
