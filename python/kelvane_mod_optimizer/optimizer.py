"""Portfolio weights for a list of instruments on a date: risk parity, minimum variance,
mean-variance or minimum tracking error, under weight bounds and group limits.

Every name here is computed by the C++ core (kelvane_mod_optimizer._core). Executed as a
program (python3 -m kelvane_mod_optimizer.optimizer) the module runs the demonstration.
"""

from kelvane_mod_optimizer._core import (
    INSTRUMENT_TYPE_MAP,
    MIN_OPTIMIZE_DATE,
    FundTypeConstraint,
    GICSConstraint,
    OptimizationFailed,
    OptimizeMethod,
    ShenWanConstraint,
    mean_variance_optimize,
    min_tracking_error_optimize,
    min_variance_optimize,
    optimize,
    risk_parity_optimize,
    risk_parity_with_cons_optimize,
    __version__,
)
from kelvane_mod_optimizer.report import Report, optimize_report  # noqa: F401
# The host names the optimiser works with.
from kelvane.environment import Environment  # noqa: F401
from kelvane.utils.exception import KVInvalidArgument, KVUserError  # noqa: F401
from kelvane.utils.logger import user_system_log  # noqa: F401

if __name__ == "__main__":
    import sys

    from kelvane_mod_optimizer._demo import main

    sys.exit(main())
