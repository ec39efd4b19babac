"""The market-data client: ShenWan industries and fund types.

init(user, password, address, bundle_dir=None) logs in; address is a (host, port) pair.
The data is served from bundle_dir (default ~/.kelvane/bundle): its shenwan.csv and funds.csv.
"""

from collections import namedtuple

from dunlith import _core

from . import fund  # noqa: F401

ShenWanIndustry = namedtuple("ShenWanIndustry", ["industry_code", "industry_name"])


def init(user, password, address, bundle_dir=None):
    """Logs in; afterwards the queries are served from bundle_dir (default ~/.kelvane/bundle)."""
    _core.dunlith_init(user, password, address, bundle_dir)


def shenwan_instrument_industry(order_book_id, date):
    """(industry_code, industry_name) of the instrument on date, or None when it has none."""
    answer = _core.dunlith_shenwan_instrument_industry(order_book_id, date)
    return None if answer is None else ShenWanIndustry(*answer)


def set_client(client):
    """Serves every query, those of the optimiser's constraint classes included, from client
    instead of the logged-in bundle: an object offering shenwan_instrument_industry(order_book_id,
    date) (None, or an indexable value whose element 1 is the industry name) and
    fund.instruments(order_book_id) (None, or a record with fund_type), shaped like this module.
    set_client(None) goes back to the bundle client. init() is not needed with a client."""
    _core.dunlith_set_client(client)
