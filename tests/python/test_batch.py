import json
import subprocess

import pytest
from distributed import Client, LocalCluster

from conftest import BANKS, OPTIMIZE_TOOL, REQUESTS, SAMPLE_BUNDLE
from kelvane_mod_optimizer import batch

# Debian's distributed 2022.12 starts its event loop the deprecated way.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")

# One JSON text per request, as a client of the tool writes it: the requests the Python call is
# compared on, requests the tool refuses or cannot solve, and a line that is no JSON.
THREE = {"order_book_ids": BANKS[:3], "date": "2014-01-03"}
ERRORS = [
    dict(THREE, order_book_ids=[]),
    dict(THREE, method="min_tracking_error"),
    dict(THREE, bnds={"*": [0, 0.2]}),
    dict(THREE, colour="red"),
    dict(THREE, method="RISK_PARITY"),
]
LINES = [json.dumps(dict(r, id=k), ensure_ascii=False) for k, r in enumerate([r for r, _ in REQUESTS] + ERRORS)]
LINES.append('{"order_book_ids": ["601398.XSHG"')


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def tool_lines():
    done = subprocess.run([OPTIMIZE_TOOL, "--bundle", SAMPLE_BUNDLE], input="\n".join(LINES) + "\n", capture_output=True,
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
    assert kinds == [None] * 8 + ["KVInvalidArgument", None, None] + ["KVInvalidArgument"] * 3 + [
        "BadRequest", "OptimizationFailed", "BadRequest"]


def test_dates_as_callers_have_them(client):
    import datetime

    import pandas as pd
    three = dict(THREE, date="2014-01-03 15:00:00", method="min_variance")
    expected = batch.answer([three], SAMPLE_BUNDLE, client)[0]
    assert "weights" in expected
    for date in [datetime.datetime(2014, 1, 3, 15), pd.Timestamp("2014-01-03 15:00:00"), datetime.date(2014, 1, 3),
                 "2014-01-03T15:00:00"]:
        assert batch.answer([dict(three, date=date)], SAMPLE_BUNDLE, client)[0] == expected, date


def test_the_report_key_passes_through(client):
    [answered] = batch.answer([dict(THREE, report=True)], SAMPLE_BUNDLE, client)
    report = answered["report"]
    assert report["weights"] == answered["weights"]
    assert report["solve"]["outcome"] == "converged"
    assert report["last_bar_date"] == "2014-01-03 00:00:00"


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
    ([dict(THREE, tol=float("nan"))], ValueError, "request 0 cannot be"),
    ([dict(THREE, date=object())], TypeError, "request 0 cannot be written as JSON"),
])
def test_requests_that_cannot_be_sent_are_refused_before_anything_runs(client, requests, error, text):
    with pytest.raises(error, match=text):
        batch.answer(requests, SAMPLE_BUNDLE, client)
