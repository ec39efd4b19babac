import datetime
import os

import pytest

from kelvane_mod_optimizer.optimizer import FundTypeConstraint, GICSConstraint, OptimizeMethod as M, ShenWanConstraint

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE_BUNDLE = os.environ.get("KV_SAMPLE_BUNDLE", os.path.join(HERE, "..", "..", "data", "sample_bundle"))
OPTIMIZE_TOOL = os.environ.get("KV_OPTIMIZE_TOOL", os.path.join(HERE, "..", "..", "build", "bin", "kelvane-optimize"))
DATE = datetime.datetime(2014, 1, 4)
BASKET = ["601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "600028.XSHG",
          "600519.XSHG", "601633.XSHG", "601818.XSHG", "600018.XSHG", "601006.XSHG"]
BANKS = ["601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "601818.XSHG"]
FOUR = ["601398.XSHG", "600519.XSHG", "601857.XSHG", "601006.XSHG"]

# Requests in the tool's protocol and the same call from Python: every method, bounds, each kind of
# group limit, screening, a failure.
REQUESTS = [
    ({"order_book_ids": BASKET, "date": "2014-01-04"}, {}),
    ({"order_book_ids": BASKET, "date": "2014-01-04", "method": "min_variance", "cov_shrinkage": False},
     {"method": M.MIN_VARIANCE, "cov_shrinkage": False}),
    ({"order_book_ids": BASKET, "date": "2014-01-04", "method": "mean_variance", "risk_aversion_coefficient": 3,
      "bnds": {"600519.XSHG": [0.05, 0.2], "*": [0, 0.25]}},
     {"method": M.MEAN_VARIANCE, "risk_aversion_coefficient": 3,
      "bnds": {"600519.XSHG": (0.05, 0.2), "*": (0, 0.25)}}),
    ({"order_book_ids": BASKET, "date": "2014-01-04", "method": "min_tracking_error", "benchmark": "000300.XSHG",
      "bnds": {"*": [0, 0.3]}},
     {"method": M.MIN_TRACKING_ERROR, "benchmark": "000300.XSHG", "bnds": {"*": (0, 0.3)}}),
    ({"order_book_ids": BASKET, "date": "2014-01-04", "bnds": {"*": [0, 0.3]},
      "cons": {"kind": "shenwan", "rules": {"银行": [0.3, 0.5]}}},
     {"bnds": {"*": (0, 0.3)}, "cons": ShenWanConstraint({"银行": (0.3, 0.5)})}),
    ({"order_book_ids": BASKET + ["600036.XSHG"], "date": "2014-01-04", "method": "min_variance",
      "cons": {"kind": "gics", "rules": {"Financials": [0.2, 0.4], "Energy": [0.1, 0.3]}}},
     {"method": M.MIN_VARIANCE, "cons": GICSConstraint({"Financials": (0.2, 0.4), "Energy": (0.1, 0.3)})}),
    ({"order_book_ids": ["510050.XSHG", "510300.XSHG", "511010.XSHG", "160706.XSHE"], "date": "2014-01-04",
      "method": "min_variance", "cons": {"kind": "fund_type", "rules": {"Bond": [0.1, 0.2]}}},
     {"method": M.MIN_VARIANCE, "cons": FundTypeConstraint({"Bond": (0.1, 0.2)})}),
    # Several constraint objects at once.
    ({"order_book_ids": BASKET + ["600036.XSHG"], "date": "2014-01-04", "method": "min_variance",
      "cons": [{"kind": "shenwan", "rules": {"银行": [0.3, 0.4]}}, {"kind": "gics", "rules": {"Energy": [0.2, 0.25]}}]},
     {"method": M.MIN_VARIANCE,
      "cons": [ShenWanConstraint({"银行": (0.3, 0.4)}), GICSConstraint({"Energy": (0.2, 0.25)})]}),
    ({"order_book_ids": ["600001.XSHG", "600087.XSHG", "601999.XSHG", "600003.XSHG"], "date": "2014-01-04"}, {}),
    # Warnings and information reach Python's logging, and quiet keeps them back.
    ({"order_book_ids": FOUR + ["600001.XSHG"], "date": "2014-01-04", "bnds": {"600087.XSHG": [0, 1]}},
     {"bnds": {"600087.XSHG": (0, 1)}}),
    ({"order_book_ids": FOUR + ["600001.XSHG"], "date": "2014-01-04", "quiet": True}, {"quiet": True}),
]


@pytest.fixture(scope="session")
def bundle_proxy():
    from kelvane.data.base_data_source import BaseDataSource
    from kelvane.data.data_proxy import DataProxy
    return DataProxy(BaseDataSource(SAMPLE_BUNDLE))


@pytest.fixture
def env(bundle_proxy):
    """A fresh environment over the sample bundle, with the data client logged in on it."""
    import dunlith
    from kelvane.environment import Environment
    dunlith.set_client(None)
    dunlith.init("user", "password", ("localhost", 16003), SAMPLE_BUNDLE)
    e = Environment(None)
    e.data_proxy = bundle_proxy
    yield e
    dunlith.set_client(None)
