import json
import math
import os
import subprocess

import pytest
from distributed import Client, LocalCluster

from conftest import BASKET, SAMPLE_BUNDLE
from kelvane_mod_optimizer import batch

# Debian's distributed 2022.12 starts its event loop the deprecated way.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

TOOL = os.environ.get("KV_OPTIMIZE_TOOL", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin",
                                                       "kelvane-optimize"))
BANKS = ["601398.XSHG", "601939.XSHG", "601288.XSHG"]

# One JSON text per request, as a client of the tool writes it: every method, bounds with
# integers and floats, each constraint kind, and requests the tool refuses or cannot solve.
REQUESTS = [
    {"id": 0, "order_book_ids": BASKET, "date": "2014-01-06"},
    {"id": "mv", "order_book_ids": BASKET[:6], "date": "2014-01-06", "method": "min_variance",
     "cov_shrinkage": False, "bnds": {"*": [0, 0.3], "601398.XSHG": [0.05, 1]}},
    {"id": 2, "order_book_ids": BASKET, "date": "2014-01-06", "method": "mean_variance",
     "risk_aversion_coefficient": 2.5, "window": 60},
    {"id": 3, "order_book_ids": BASKET, "date": "2014-01-06", "method": "min_tracking_error",
     "benchmark": "000300.XSHG"},
    {"id": 4, "order_book_ids": BASKET, "date": "2014-01-06", "bnds": {"*": [0, 0.3]},
     "cons": {"kind": "shenwan", "rules": {"银行": [0.3, 0.5]}}},
    {"id": 5, "order_book_ids": BASKET, "date": "2014-01-06", "method": "min_variance",
     "cons": {"kind": "gics", "rules": {"Financials": [0.2, 0.4]}}},
    {"id": 6, "order_book_ids": ["510050.XSHG", "510300.XSHG", "511010.XSHG"], "date": "2014-01-06",
     "method": "min_variance", "cons": {"kind": "fund_type", "rules": {"Bond": [0, 0.2]}}},
    {"id": 7, "order_book_ids": BANKS + ["600001.XSHG"], "date": "2014-01-03"},
    {"id": 8, "order_book_ids": [], "date": "2014-01-03"},
    {"id": 9, "order_book_ids": BANKS, "date": "2014-01-03", "method": "min_tracking_error"},
    {"id": 10, "order_book_ids": BANKS, "date": "2014-01-03", "bnds": {"*": [0, 0.2]}},
    {"id": 11, "order_book_ids": BANKS, "date": "2014-01-03", "colour": "red"},
    {"id": 12, "order_book_ids": BANKS, "date": "2014-01-03", "method": "RISK_PARITY"},
]
LINES = [json.dumps(r, ensure_ascii=False) for r in REQUESTS] + ['{"order_book_ids": ["601398.XSHG"']


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def tool_lines():
    done = subprocess.run([TOOL, "--bundle", SAMPLE_BUNDLE], input="\n".join(LINES) + "\n", capture_output=True,
                          text=True, check=True, timeout=120)
    return done.stdout.splitlines()


@pytest.mark.parametrize("chunk_size", [None, 1, 5])
def test_answers_are_the_tools_in_input_order(client, tool_lines, chunk_size):
    # Every other request as a dict: dicts are answered with dicts, texts with the tool's line.
    requests = [json.loads(line) if i % 2 and line.endswith("}") else line for i, line in enumerate(LINES)]
    responses = batch.answer(requests, SAMPLE_BUNDLE, client, chunk_size=chunk_size)
    assert len(responses) == len(tool_lines) == len(LINES)
    for request, response, expected in zip(requests, responses, tool_lines):
        assert response == (json.loads(expected) if isinstance(request, dict) else expected)
    kinds = [r.get("error", {}).get("type") if isinstance(r, dict) else json.loads(r).get("error", {}).get("type")
             for r in responses]
    assert kinds[:8] == [None] * 8
    assert set(kinds[8:]) == {"KVInvalidArgument", "OptimizationFailed", "BadRequest"}
    weights = dict(responses[5]["weights"] if isinstance(responses[5], dict) else json.loads(responses[5])["weights"])
    assert math.isclose(sum(weights.values()), 1.0, abs_tol=1e-9)


class _RefusingProxy:
    def instruments(self, *args):
        raise AssertionError("the batch answered over the caller's environment")

    history_bars = is_suspended = instruments


def test_a_bundle_that_cannot_be_opened_fails_and_the_workers_still_serve_theirs(client, env, tool_lines, tmp_path):
    with pytest.raises(RuntimeError, match=f"{tmp_path}.*cannot open"):
        batch.answer([LINES[0]], str(tmp_path), client)
    # The caller's own environment is current (processes=False: the workers share this process).
    env.data_proxy = _RefusingProxy()
    assert batch.answer(LINES[:2], SAMPLE_BUNDLE, client, chunk_size=1) == tool_lines[:2]


@pytest.mark.parametrize("requests, error, text", [
    ([LINES[0], 3], TypeError, "request 1 must be a dict or a str, got int"),
    ([{"order_book_ids": BANKS, "date": "2014-01-03", "tol": float("nan")}], ValueError, "request 0 cannot be"),
    ([{"order_book_ids": BANKS, "date": object()}], TypeError, "request 0 cannot be written as JSON"),
])
def test_requests_that_cannot_be_sent_are_refused_before_anything_runs(client, requests, error, text):
    with pytest.raises(error, match=text):
        batch.answer(requests, SAMPLE_BUNDLE, client)
