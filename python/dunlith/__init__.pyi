import datetime
import os
from typing import Any, NamedTuple

from . import fund as fund

class ShenWanIndustry(NamedTuple):
    industry_code: str
    industry_name: str

def init(user: str, password: str, address: tuple[str, int], bundle_dir: str | os.PathLike[str] | None = None) -> None: ...
def shenwan_instrument_industry(
    order_book_id: str, date: datetime.datetime | datetime.date
) -> ShenWanIndustry | None: ...
def set_client(client: Any) -> None: ...
