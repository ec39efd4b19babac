import datetime
import enum
from collections.abc import Callable, Mapping, Sequence
from types import MappingProxyType
from typing import Any, Protocol, TypedDict, Union

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvane.environment import Environment as Environment
from kelvane.utils.exception import KVInvalidArgument as KVInvalidArgument
from kelvane.utils.exception import KVUserError as KVUserError
from kelvane.utils.logger import user_system_log as user_system_log
from kelvane_mod_optimizer.report import Report as Report
from kelvane_mod_optimizer.report import optimize_report as optimize_report

__version__: str

class OptimizationFailed(KVUserError): ...

class OptimizeMethod(enum.Enum):
    RISK_PARITY = "risk_parity"
    MIN_VARIANCE = "min_variance"
    MEAN_VARIANCE = "mean_variance"
    MIN_TRACKING_ERROR = "min_tracking_error"

Date = Union[datetime.datetime, datetime.date]
Number = Union[int, float]
Weights = npt.NDArray[np.float64]

class ConstraintRecord(TypedDict, total=False):
    type: str  # "eq" or "ineq"
    fun: Callable[[Weights], float]
    jac: Callable[[Weights], Sequence[float]]

class ConstraintProvider(Protocol):
    def to_constraint(self, order_book_ids: list[str], date: datetime.datetime, /) -> list[ConstraintRecord]: ...

Rules = Mapping[str, Sequence[Number]]
Constraints = Union[ConstraintProvider, list[ConstraintProvider], tuple[ConstraintProvider, ...]]
BoundsList = Sequence[tuple[Number | None, Number | None]]

class ConstraintFunction:
    def __call__(self, x: Sequence[float]) -> float: ...
    def jac(self, x: Sequence[float]) -> Weights | None: ...

# What the three classes below have in common (a name of the stubs only: at run time each class
# stands alone).
class _ClassificationConstraint:
    _rules: Rules
    def __init__(self, rules: Rules) -> None: ...
    @staticmethod
    def _verify_rules(rules: Rules) -> None: ...
    def to_constraint(self, order_book_ids: Sequence[str], date: Date) -> list[ConstraintRecord]: ...

class GICSConstraint(_ClassificationConstraint): ...

class ShenWanConstraint(_ClassificationConstraint): ...

class FundTypeConstraint(_ClassificationConstraint): ...

MIN_OPTIMIZE_DATE: datetime.datetime
INSTRUMENT_TYPE_MAP: MappingProxyType[str, str]

def optimize(
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
) -> dict[str, float]: ...
def risk_parity_optimize(
    c_m: pd.DataFrame, init_weight: Sequence[float], bounds: BoundsList, max_iteration: int
) -> dict[str, float]: ...
def risk_parity_with_cons_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    bounds: BoundsList,
    cons: ConstraintRecord | Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]: ...
def risk_budgeting_optimize(
    c_m: pd.DataFrame,
    bounds: BoundsList,
    cons: ConstraintRecord | Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]: ...
def min_variance_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    bounds: BoundsList,
    cons: ConstraintRecord | Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]: ...
def mean_variance_optimize(
    c_m: pd.DataFrame,
    init_weight: Sequence[float],
    risk_aversion_coefficient: Number,
    expected_return: Sequence[float] | pd.Series,
    bounds: BoundsList,
    cons: ConstraintRecord | Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]: ...
def min_tracking_error_optimize(
    init_weight: Sequence[float],
    benchmark: Sequence[float],
    df: pd.DataFrame,
    bounds: BoundsList,
    cons: ConstraintRecord | Sequence[ConstraintRecord],
    max_iteration: int,
    tol: float,
) -> dict[str, float]: ...
