"""optimize as a strategy calls it: argument forms, errors, and the same answers as the tool."""
import datetime
import json
import subprocess

import pytest

from conftest import BASKET, DATE, FOUR, OPTIMIZE_TOOL, REQUESTS, SAMPLE_BUNDLE
from kelvane.utils.exception import KVInvalidArgument, KVUserError
from kelvane_mod_optimizer.optimizer import GICSConstraint, OptimizationFailed, OptimizeMethod as M
from kelvane_mod_optimizer.optimizer import ShenWanConstraint, optimize


# The optimiser's own refusals (worded and ordered as its C++ tests pin them) come through with
# their types and texts, the caller's numbers written as Python wrote them.
@pytest.mark.parametrize("args, kwargs, error, message", [
    ([FOUR, datetime.datetime(2005, 6, 30, 23, 59, 59)], {}, KVInvalidArgument,
     "日期不能早于2005-07-01（之前没有足够的数据）"),
    ([FOUR, DATE], {"bnds": {"601398.XSHG": (1, 0.5)}}, KVInvalidArgument,
     "OPTIMIZER: 合约 601398.XSHG 的下限 1 高于上限 0.5"),
    ([FOUR, DATE], {"bnds": {"601398.XSHG": [1.0, 0.5]}}, KVInvalidArgument,
     "OPTIMIZER: 合约 601398.XSHG 的下限 1.0 高于上限 0.5"),
    # The value text of a member is no member: refused at dispatch, after screening and assembly.
    ([FOUR, DATE], {"method": "risk_parity"}, OptimizationFailed, "OPTIMIZE: unknown method risk_parity"),
    ([FOUR, DATE], {"method": "risk_parity", "bnds": {"*": (0, 0.2)}}, KVInvalidArgument,
     "OPTIMIZER: 经过剔除后，bnds 上限之和小于1"),
    # Values Python has but the optimiser cannot take.
    ([FOUR, DATE], {"bnds": {"*": (True, 1)}}, TypeError, "bnds['*'] lower bound must be an int or a float, got True (bool)"),
    ([FOUR, DATE], {"bnds": {"*": (0, 0.5, 1)}}, ValueError, "bnds['*'] must be a (lower, upper) pair, got (0, 0.5, 1) (tuple)"),
    ([FOUR, DATE], {"cons": GICSConstraint({"Financials": (0, None)})}, TypeError,
     "rules['Financials'] upper bound must be an int or a float, got None (NoneType)"),
    (["601398.XSHG", DATE], {}, TypeError, "order_book_ids must be a sequence of str, got '601398.XSHG' (str)"),
    ([FOUR, "2014-01-04"], {}, TypeError, "date must be a datetime.datetime or a datetime.date, got '2014-01-04' (str)"),
    ([FOUR, DATE], {"window": 132.0}, TypeError, "window must be an int, got 132.0 (float)"),
    ([FOUR, DATE], {"cons": {"Financials": (0, 1)}}, TypeError,
     "cons must offer to_constraint(order_book_ids, date), got {'Financials': (0, 1)} (dict)"),
])
def test_refusals(env, args, kwargs, error, message):
    with pytest.raises(error) as caught:
        optimize(*args, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message
    # A strategy's `except KVUserError` catches the optimiser's refusals and failures, and an
    # `except OptimizationFailed` no refused argument.
    assert isinstance(caught.value, KVUserError) == (error in (KVInvalidArgument, OptimizationFailed))
    assert isinstance(caught.value, OptimizationFailed) == (error is OptimizationFailed)


def test_one_identifier_is_answered_without_looking_at_anything_else():
    assert optimize(("NOPE",), "not a date", method="nonsense", risk_aversion_coefficient=-1) == {"NOPE": 1.0}


def test_date_means_midnight_and_any_sequence_of_str_is_taken(env):
    a = optimize(tuple(FOUR), datetime.date(2014, 1, 4))
    b = optimize(order_book_ids=iter(FOUR), date=DATE)
    assert a == b


def answer_from_python(request, kwargs, caplog):
    caplog.clear()
    try:
        weights = optimize(request["order_book_ids"], datetime.datetime.fromisoformat(request["date"]), **kwargs)
        response = {"weights": [[k, v] for k, v in weights.items()]}
    except (KVInvalidArgument, OptimizationFailed) as e:
        response = {"error": {"type": type(e).__name__, "message": str(e)}}
    levels = {"WARNING": "warn", "INFO": "info"}
    assert {r.name for r in caplog.records} <= {"kelvane.user_system_log"}
    response["log"] = [{"level": levels[r.levelname], "message": r.getMessage()} for r in caplog.records]
    return response


def test_answers_equal_the_command_line_tools(env, caplog):
    caplog.set_level("INFO", logger="kelvane.user_system_log")
    lines = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r, _ in REQUESTS)
    out = subprocess.run([OPTIMIZE_TOOL, "--bundle", SAMPLE_BUNDLE], input=lines, capture_output=True,
                         text=True, check=True).stdout.splitlines()
    assert len(out) == len(REQUESTS)
    for (request, kwargs), line in zip(REQUESTS, out):
        tool = json.loads(line)
        ours = answer_from_python(request, kwargs, caplog)
        assert ours == tool, request


def test_version_is_the_projects():
    import pathlib
    import re

    import kelvane_mod_optimizer
    import kelvane_mod_optimizer.optimizer as o
    cmake = (pathlib.Path(__file__).parents[2] / "CMakeLists.txt").read_text()
    assert o.__version__ == kelvane_mod_optimizer.__version__ == re.search(r"project\(\S+ VERSION (\S+)", cmake)[1]


class HandJoined:
    """The records of several constraint objects joined as a caller would: each one's records but
    its budget, then one budget record."""

    def __init__(self, *parts):
        self.parts = parts

    def to_constraint(self, order_book_ids, date):
        records = []
        for part in self.parts:
            records += part.to_constraint(order_book_ids, date)[:-1]
        return records + [self.parts[0].to_constraint(order_book_ids, date)[-1]]


@pytest.mark.parametrize("method", [M.RISK_PARITY, M.MIN_VARIANCE, M.MEAN_VARIANCE])
def test_a_list_of_constraint_objects_equals_their_records_joined_by_hand(env, method):
    # Limits that each alone leaves broken: banks above 0.4 or energy outside [0.2, 0.25].
    banks = ShenWanConstraint({"银行": (0.3, 0.4)})
    sectors = GICSConstraint({"Energy": (0.2, 0.25), "Utilities": (0, 0.5)})
    ids = BASKET + ["600036.XSHG"]
    got = optimize(ids, DATE, method=method, cons=[banks, sectors], quiet=True)
    assert got == optimize(ids, DATE, method=method, cons=HandJoined(banks, sectors), quiet=True)
    assert optimize(ids, DATE, method=method, cons=(banks, sectors), quiet=True) == got


def test_a_list_of_constraint_objects_checks_each_as_alone(env):
    from kelvane_mod_optimizer.optimizer import optimize_report
    own = HandJoined(ShenWanConstraint({"银行": (0, 1)}))  # a caller's own object, records from the core
    ids = BASKET
    # One object's rules are refused as they would be alone.
    with pytest.raises(KVInvalidArgument, match="^OPTIMIZER: 约束的下限之和大于1$"):
        optimize(ids, DATE, cons=[own, GICSConstraint({"Energy": (0.6, 1), "Financials": (0.5, 1)})], quiet=True)
    report = optimize_report(ids, DATE, cons=[ShenWanConstraint({"银行": (0.3, 0.5), "钢铁": (0, 1)}),
                                              GICSConstraint({"Energy": (0, 0.3)}), own], quiet=True)
    assert report.unmatched_rules == ["钢铁"]
    assert sorted(g["name"] for g in report.groups) == ["Energy", "银行"]
    with pytest.raises(TypeError, match=r"^cons\[1\] must be a constraint object"):
        optimize(ids, DATE, cons=[own, None])
    with pytest.raises(TypeError, match="to_constraint"):
        optimize(ids, DATE, cons=[own, {"银行": (0, 1)}])
