"""Fund records of the market-data client."""

from collections import namedtuple

from dunlith import _core

FundRecord = namedtuple("FundRecord", ["order_book_id", "fund_type"])


def instruments(order_book_id):
    """The fund record (order_book_id, fund_type), or None for an identifier that is no known fund."""
    answer = _core.dunlith_fund_instruments(order_book_id)
    return None if answer is None else FundRecord(*answer)
