"""What optimize_report says beside the weights, in Python and in the tool's report key; the data
client's refusals; built-in records handed back through Python."""
import datetime

import pytest

from conftest import BANKS, DATE
from kelvane_mod_optimizer.optimizer import GICSConstraint, OptimizeMethod as M, optimize
from kelvane.utils.exception import KVInvalidArgument


def test_report_beside_the_weights(env):
    from kelvane_mod_optimizer.optimizer import optimize_report
    ids = BANKS + ["601857.XSHG", "600028.XSHG", "600519.XSHG", "600001.XSHG"]
    kwargs = dict(bnds={"*": (0, 0.3)}, cons=GICSConstraint({"Financials": (0, 0.4), "Financial": (0, 0.5)}), quiet=True)
    report = optimize_report(ids, DATE, method=M.MIN_VARIANCE, **kwargs)
    assert report.weights == optimize(ids, DATE, method=M.MIN_VARIANCE, **kwargs)
    frame = report.frame
    assert list(frame.index) == list(report.weights)
    assert frame["risk_contribution"].sum() == pytest.approx(report.variance, rel=1e-12)
    assert frame["risk_share"].sum() == pytest.approx(1.0, abs=1e-12)
    assert report.volatility ** 2 == pytest.approx(report.variance, rel=1e-12)
    [financials] = report.groups
    assert financials["name"] == "Financials" and financials["binds"]
    assert financials["upper_slack"] == pytest.approx(0.0, abs=1e-8)
    assert report.unmatched_rules == ["Financial"]
    assert [d[0] for d in report.dropped] == ["600001.XSHG"]
    assert report.solve["outcome"] == "converged" and report.solve["iterations"] > 0
    assert report.solve["objective"] == pytest.approx(report.variance, rel=1e-6)
    # The request's Saturday: the returns end on the Friday before it.
    assert report.last_bar_date == datetime.datetime(2014, 1, 3)
    assert optimize_report(["600519.XSHG"], DATE).last_bar_date is None


def test_report_key_of_the_tool(env):
    import json
    import subprocess
    from conftest import OPTIMIZE_TOOL, SAMPLE_BUNDLE
    lines = [{"order_book_ids": BANKS + ["601857.XSHG"], "date": "2014-01-04", "report": True,
              "cons": {"kind": "gics", "rules": {"Financials": [0, 0.5]}}},
             {"order_book_ids": BANKS + ["601857.XSHG", "600028.XSHG", "600519.XSHG", "601633.XSHG", "600018.XSHG",
                                      "601006.XSHG"],
              "date": "2014-01-04", "report": True, "bnds": {"*": [0, 0.1]},
              "cons": {"kind": "gics", "rules": {"Financials": [0.6, 1]}}},
             {"order_book_ids": BANKS, "date": "2014-01-04"}]
    out = subprocess.run([OPTIMIZE_TOOL, "--bundle", SAMPLE_BUNDLE], capture_output=True, text=True, check=True,
                         input="".join(json.dumps(r) + "\n" for r in lines)).stdout.splitlines()
    ok, failed, plain = (json.loads(line) for line in out)
    assert ok["report"]["weights"] == ok["weights"]
    assert ok["report"]["last_bar_date"] == "2014-01-03 00:00:00"
    assert ok["report"]["groups"][0]["name"] == "Financials"
    assert sum(r["risk_contribution"] for r in ok["report"]["risk"]) == pytest.approx(ok["report"]["variance"])
    assert failed["error"]["type"] == "OptimizationFailed"
    assert failed["report"]["solve"]["outcome"] == "failed"
    assert failed["report"]["solve"]["message"] == failed["error"]["message"]
    assert "report" not in plain


def test_data_client_names_what_is_missing(env, tmp_path):
    import dunlith
    from kelvane_mod_optimizer.optimizer import ShenWanConstraint
    with pytest.raises(RuntimeError, match="does not exist"):
        dunlith.init("user", "password", ("localhost", 16003), str(tmp_path / "no-such-dir"))
    dunlith.init("user", "password", ("localhost", 16003), str(tmp_path))
    with pytest.raises(KVInvalidArgument) as caught:
        optimize(BANKS, DATE, cons=ShenWanConstraint({"银行": (0, 0.5)}))
    assert str(caught.value) == f"dunlith: {tmp_path / 'shenwan.csv'} does not exist, so there is no ShenWan industry to look up"


class Relayed:
    """The records of a built-in class handed over through Python: as they are, with the
    function wrapped in a Python one, or with a gradient of the caller's own."""

    def __init__(self, inner, how):
        self.inner, self.how = inner, how

    def to_constraint(self, order_book_ids, date):
        records = self.inner.to_constraint(order_book_ids, date)
        if self.how == "wrapped":
            return [{"type": r["type"], "fun": (lambda f: lambda x: f(x))(r["fun"])} for r in records]
        if self.how == "own_jac":
            import numpy as np
            return [dict(r, jac=(lambda f: lambda x: np.array([(f(x + e) - f(x)) for e in np.eye(len(x))]))(r["fun"]))
                    for r in records]
        return records


def test_builtin_records_keep_the_exact_solve_through_python(env):
    # Minimum variance solves exactly when every record is one of the core's linear rows; records
    # that merely evaluate like them take the minimiser, which ends elsewhere in the last digits.
    ids = BANKS + ["601857.XSHG", "600028.XSHG", "600519.XSHG"]
    gics = GICSConstraint({"Financials": (0, 0.4)})
    kwargs = dict(method=M.MIN_VARIANCE, bnds={"*": (0, 0.3)}, quiet=True)
    direct = optimize(ids, DATE, cons=gics, **kwargs)
    assert optimize(ids, DATE, cons=Relayed(gics, "as_is"), **kwargs) == direct
    for how in ("wrapped", "own_jac"):
        other = optimize(ids, DATE, cons=Relayed(gics, how), **kwargs)
        assert other != direct
        assert sum(other[i] for i in BANKS) <= 0.4 + 1e-8
        for i in ids:
            assert other[i] == pytest.approx(direct[i], abs=1e-4)
