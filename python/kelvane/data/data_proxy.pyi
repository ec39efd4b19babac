import datetime
from collections.abc import Sequence
from typing import overload

import numpy as np
import numpy.typing as npt

from kelvane.data.base_data_source import BaseDataSource

class Instrument:
    @property
    def order_book_id(self) -> str: ...
    @property
    def symbol(self) -> str: ...
    @property
    def type(self) -> str: ...
    @property
    def listed_date(self) -> datetime.datetime: ...
    @property
    def de_listed_date(self) -> datetime.datetime: ...
    @property
    def sector_name(self) -> str: ...

class DataProxy:
    def __init__(self, data_source: BaseDataSource) -> None: ...
    @overload
    def instruments(self, order_book_ids: str) -> Instrument | None: ...
    @overload
    def instruments(self, order_book_ids: Sequence[str]) -> list[Instrument | None]: ...
    def history_bars(
        self,
        order_book_id: str,
        bar_count: int,
        frequency: str,
        field: str,
        dt: datetime.datetime | datetime.date,
        skip_suspended: bool = False,
    ) -> npt.NDArray[np.float64]: ...
    def trading_dates(self, dt: datetime.datetime | datetime.date, count: int) -> list[datetime.datetime]: ...
    def is_suspended(
        self, order_book_id: str, dt: datetime.datetime | datetime.date, count: int
    ) -> npt.NDArray[np.bool_]: ...
