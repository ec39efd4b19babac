"""Portfolio weights for a list of instruments on a date: risk parity, minimum variance,
mean-variance or minimum tracking error, under weight bounds and group limits.

The work is done by the C++ core (kelvane_mod_optimizer._core); the functions here give it its
Python signature and documentation. Every figure is in daily simple returns: the optimiser reads
each instrument's daily closes from the host and works on r_t = p_t / p_(t-1) - 1, so variances
and expected returns are per trading day, and weights are fractions of the portfolio (0.3 is
30 %).

MIN_OPTIMIZE_DATE    datetime.datetime(2005, 7, 1): the earliest date optimize accepts.
INSTRUMENT_TYPE_MAP  the host's instrument type code to its asset class ("CS" 股票, "ETF" and
                     "LOF" 场内基金, "PublicFund" 公募基金); one request is of one asset class.

Executed as a program (python3 -m kelvane_mod_optimizer.optimizer) the module runs the
demonstration.
"""

from kelvane_mod_optimizer import _core
from kelvane_mod_optimizer._core import (
    INSTRUMENT_TYPE_MAP,
    MIN_OPTIMIZE_DATE,
    FundTypeConstraint,
    GICSConstraint,
    OptimizationFailed,
    OptimizeMethod,
    ShenWanConstraint,
    __version__,
)
from kelvane_mod_optimizer.report import Report, optimize_report  # noqa: F401
# The host names the optimiser works with.
from kelvane.environment import Environment  # noqa: F401
from kelvane.utils.exception import KVInvalidArgument, KVUserError  # noqa: F401
from kelvane.utils.logger import user_system_log  # noqa: F401


def optimize(order_book_ids, date, method=OptimizeMethod.RISK_PARITY, bnds=None, cons=None, cov_shrinkage=True,
             benchmark=None, risk_aversion_coefficient=1, window=132, max_iteration=1000, tol=1e-8, quiet=False):
    """Target weights for `order_book_ids` on `date`, adding up to 1.

    Returns a dict from identifier to weight in ascending weight order. One identifier gets the
    weight 1.0 at once. Raises KVInvalidArgument for an argument that cannot be used (the message
    says which) and OptimizationFailed when the solve does not reach the accuracy asked for.

    order_book_ids  the instruments, such as ["600519.XSHG", "601398.XSHG"]; all of one asset
                    class (stocks, funds, ...). Instruments delisted by `date`, suspended on more
                    than half of the window or with less than half a window of history are left
                    out with a warning.
    date            a datetime.datetime (or date): the last day of every history window; not
                    before MIN_OPTIMIZE_DATE (2005-07-01).
    method          an OptimizeMethod member (default RISK_PARITY):
                      RISK_PARITY         equal risk contributions w_i (C w)_i
                      MIN_VARIANCE        least portfolio variance wᵀCw
                      MEAN_VARIANCE       least (λ/2)·wᵀCw − w·μ, μ the mean daily returns
                      MIN_TRACKING_ERROR  least sum of squared daily differences between
                                          the benchmark's returns and the portfolio's
    bnds            per-instrument bounds, {order_book_id: (lower, upper), "*": (lower, upper)},
                    fractions in [0, 1]; "*" applies to every instrument without its own entry.
                    Default None: every weight in [0, 1] (risk parity without bounds or cons
                    keeps each weight at least 1e-6 and has no upper bound).
    cons            group limits: a GICSConstraint, ShenWanConstraint or FundTypeConstraint, any
                    object offering to_constraint(order_book_ids, date) returning constraint
                    records, or a list or tuple of such objects (their limits all apply).
                    Default None: no group limits.
    cov_shrinkage   True (default): Ledoit-Wolf shrunk covariance of the daily returns; False:
                    the sample covariance.
    benchmark       the benchmark's order_book_id, such as "000300.XSHG"; required by
                    MIN_TRACKING_ERROR and unused otherwise. Default None.
    risk_aversion_coefficient
                    λ of MEAN_VARIANCE, not negative (checked for every method); default 1. It
                    weighs half the daily variance against the mean daily return: at daily scale
                    variances (about 1e-4 to 1e-3) are small beside mean returns, so λ = 1 mostly
                    chases return and values in the tens to hundreds give risk its weight.
    window          trading days of closes read per instrument (and for the benchmark); default
                    132, about half a year, which gives 131 daily returns.
    max_iteration   the solver's iteration limit; default 1000.
    tol             the constrained solvers' function-value tolerance; default 1e-8 (raised
                    tenfold, while below 1e-5, when the line search stalls).
    quiet           True keeps the screening warnings back (errors are still raised); default
                    False.
    """
    return _core.optimize(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark,
                          risk_aversion_coefficient, window, max_iteration, tol, quiet)


_SOLVER_ARGS = """
    c_m            the covariance matrix of daily returns, a pandas DataFrame with the same
                   order_book_ids, in the same order, on its index and its columns
    init_weight    the starting weights, one per instrument in the order of c_m
    bounds         one (lower, upper) pair per instrument in that order, None for an open side"""

_CONS_ARG = """
    cons           constraint records, a list of {"type": "eq" or "ineq", "fun": f} (or one
                   record), f(x) = 0 resp. f(x) >= 0 kept; must include the budget, for example
                   {"type": "eq", "fun": lambda x: x.sum() - 1}"""

_LIMIT_ARGS = """
    max_iteration  the solver's iteration limit (optimize passes 1000)
    tol            the starting function-value tolerance (optimize passes 1e-8)"""

_RETURNS = """
    Returns a dict from order_book_id to weight in ascending weight order, the weights normalised
    to add up to 1; raises OptimizationFailed when the solve does not converge."""


def risk_parity_optimize(c_m, init_weight, bounds, max_iteration):
    return _core.risk_parity_optimize(c_m, init_weight, bounds, max_iteration)


risk_parity_optimize.__doc__ = f"""Risk parity without group limits: minimises the log-barrier function
    wᵀCw − 15·Σ ln w_i with L-BFGS-B, whose minimiser (normalised) gives every instrument the
    same risk contribution w_i (C w)_i. optimize uses it for RISK_PARITY without bnds and cons,
    with bounds (1e-6, None) for every instrument.
{_SOLVER_ARGS}
    max_iteration  the solver's iteration limit (optimize passes 1000)
{_RETURNS}"""


def risk_parity_with_cons_optimize(c_m, init_weight, bounds, cons, max_iteration, tol):
    return _core.risk_parity_with_cons_optimize(c_m, init_weight, bounds, cons, max_iteration, tol)


risk_parity_with_cons_optimize.__doc__ = f"""Risk parity under bounds and constraint records:
    minimises Σ_(i<j) |rc_i − rc_j| over the risk contributions rc_i = w_i (C w)_i from several
    starts (where every record is one of the core's linear rows, the starts polished on the
    smoothed spread, each up to 150 instruments and the best beyond, the answer moved towards
    other basins and polished again up to 200, with SLSQP from init_weight beside them up to 100
    instruments; else SLSQP).
    optimize uses it for RISK_PARITY with bnds or cons.
{_SOLVER_ARGS}{_CONS_ARG}{_LIMIT_ARGS}
{_RETURNS}"""


def risk_budgeting_optimize(c_m, bounds, cons, max_iteration, tol):
    return _core.risk_budgeting_optimize(c_m, bounds, cons, max_iteration, tol)


risk_budgeting_optimize.__doc__ = """The constrained risk-budgeting portfolio (interior point): the
    unique minimiser of ½·wᵀCw − λ·Σ ln(w_i)/n under the bounds and the group limits, with λ
    chosen so that the weights add up to 1. Every instrument that no bound or group limit holds
    has the same risk contribution w_i (C w)_i; under a binding cap the capped group's weight is
    spread over its members, where risk_parity_with_cons_optimize (the pairwise-gap objective)
    may push a few of them to their lower bound. optimize does not use it.

    c_m            the covariance matrix of daily returns, a pandas DataFrame with the same
                   order_book_ids, in the same order, on its index and its columns
    bounds         one (lower, upper) pair per instrument in that order, None for an open side;
                   a weight is always positive here, so an upper bound of 0 cannot be met
    cons           constraint records made by the constraint objects (the records that
                   GICSConstraint(...).to_constraint(order_book_ids, date) returns), or an empty
                   list for none; the budget is implied. A record with a function of the caller's
                   own raises KVInvalidArgument: only linear rows can be read.
    max_iteration  the interior point's limit on Newton steps (30 to 60 are typical)
    tol            the relative accuracy of the optimality conditions, at best 1e-14
    Returns a dict from order_book_id to weight in ascending weight order, adding up to 1;
    raises OptimizationFailed when no positive weights meeting every limit are found within
    max_iteration steps."""


def min_variance_optimize(c_m, init_weight, bounds, cons, max_iteration, tol):
    return _core.min_variance_optimize(c_m, init_weight, bounds, cons, max_iteration, tol)


min_variance_optimize.__doc__ = f"""Minimum variance: minimises the daily portfolio variance wᵀCw under bounds and
    constraint records (an interior point where every record is one of the core's linear rows,
    else SLSQP).
{_SOLVER_ARGS}{_CONS_ARG}{_LIMIT_ARGS}
{_RETURNS}"""


def mean_variance_optimize(c_m, init_weight, risk_aversion_coefficient, expected_return, bounds, cons, max_iteration,
                           tol):
    return _core.mean_variance_optimize(c_m, init_weight, risk_aversion_coefficient, expected_return, bounds, cons,
                                        max_iteration, tol)


mean_variance_optimize.__doc__ = f"""Mean-variance: minimises (λ/2)·wᵀCw − w·μ under bounds and constraint records
    (an interior point where every record is one of the core's linear rows, else SLSQP).
{_SOLVER_ARGS}
    risk_aversion_coefficient
                   λ, not negative; it weighs half the daily variance against the mean daily
                   return (optimize's default is 1)
    expected_return
                   μ, the expected daily simple return of each instrument in the order of c_m
                   (optimize passes the mean of each column of the return table)
    bounds         one (lower, upper) pair per instrument, None for an open side{_CONS_ARG}{_LIMIT_ARGS}
{_RETURNS}"""


def min_tracking_error_optimize(init_weight, benchmark, df, bounds, cons, max_iteration, tol):
    return _core.min_tracking_error_optimize(init_weight, benchmark, df, bounds, cons, max_iteration, tol)


min_tracking_error_optimize.__doc__ = f"""Minimum tracking error: minimises eᵀe, the sum of the squared daily differences
    e = b − D·w between the benchmark's returns and the portfolio's (an interior point where every
    record is one of the core's linear rows, else SLSQP).
    Note the order: the start point comes first, and the returns themselves replace c_m.

    init_weight    the starting weights, one per column of df
    benchmark      the benchmark's daily simple returns, oldest first, one per row of df
    df             the return table, a pandas DataFrame: one column per instrument (labelled by
                   order_book_id), one row per day, oldest first, daily simple returns
    bounds         one (lower, upper) pair per column of df, None for an open side{_CONS_ARG}{_LIMIT_ARGS}
{_RETURNS}"""


if __name__ == "__main__":
    import sys

    from kelvane_mod_optimizer._demo import main

    sys.exit(main())
