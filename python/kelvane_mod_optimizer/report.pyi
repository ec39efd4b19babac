import datetime
from collections.abc import Mapping, Sequence
from typing import Any

import pandas as pd

from kelvane_mod_optimizer.optimizer import Constraints, Date, Number
from kelvane_mod_optimizer.optimizer import OptimizeMethod as OptimizeMethod

class Report:
    weights: dict[str, float]
    solve: dict[str, Any]
    risk: list[dict[str, Any]]
    variance: float
    volatility: float
    bounds: list[dict[str, Any]]
    groups: list[dict[str, Any]]
    dropped: list[tuple[str, str]]
    unmatched_rules: list[str]
    last_bar_date: datetime.datetime | None
    seconds: dict[str, float]
    def __init__(self, values: Mapping[str, Any]) -> None: ...
    @property
    def frame(self) -> pd.DataFrame: ...
    def plot(self, path: str | None = None) -> Any: ...

def optimize_report(
    order_book_ids: Sequence[str],
    date: Date,
    method: OptimizeMethod = ...,
    bnds: Mapping[str, Sequence[Number]] | None = None,
    cons: Constraints | None = None,
    cov_shrinkage: bool = True,
    benchmark: str | None = None,
    risk_aversion_coefficient: Number = 1,
    window: int = 132,
    max_iteration: int = 1000,
    tol: float = 1e-8,
    quiet: bool = False,
) -> Report: ...
