"""The market-data client: ShenWan industries and fund types.

init(user, password, address, bundle_dir=None) logs in; address is a (host, port) pair.
The data is served from bundle_dir (default ~/.kelvane/bundle): its shenwan.csv and funds.csv.
"""

from collections import namedtuple

from kelvane_mod_optimizer import _core

from . import fund  # noqa: F401

ShenWanIndustry = namedtuple("ShenWanIndustry", ["industry_code", "industry_name"])


def init(user, password, address, bundle_dir=None):
    """Logs in; afterwards the queries are served from bundle_dir (default ~/.kelvane/bundle)."""
    _core.dunlith_init(user, password, address, bundle_dir)


def shenwan_instrument_industry(order_book_id, date):
    """(industry_code, industry_name) of the instrument on date, or None when it has none."""
    answer = _core.dunlith_shenwan_instrument_industry(order_book_id, date)
    return None if answer is None else ShenWanIndustry(*answer)
