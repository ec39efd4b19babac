from typing import NamedTuple

class FundRecord(NamedTuple):
    order_book_id: str
    fund_type: str

def instruments(order_book_id: str) -> FundRecord | None: ...
