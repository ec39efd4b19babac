"""optimize_report: the weights of optimize() with what lies behind them.

The report holds how the solve ended, each instrument's risk contribution and share, each bound
and group limit with its slack, the instruments dropped in screening, the rules that matched no
instrument and the time spent per stage. `frame` is a pandas DataFrame with one row per
instrument; `plot()` draws the weights, the risk contributions and the group totals against their
limits (matplotlib is imported only there).
"""

from kelvane_mod_optimizer import _core

OptimizeMethod = _core.OptimizeMethod


class Report:
    """The report of one optimize call. Attributes mirror the C++ Report:

    weights          dict, exactly what optimize returns (ascending weight)
    solve            dict: outcome ("converged", "iteration_limit", "exact_start", "lone_instrument"),
                     iterations, objective (None without a solve), contribution_spread, message
    risk             list of dicts: order_book_id, weight, risk_contribution (w_i (Cw)_i), risk_share
    variance         wᵀCw of daily returns; volatility its square root
    bounds, groups   lists of dicts: name, lower, upper (None: unbounded), value, lower_slack,
                     upper_slack, binds
    dropped          list of (order_book_id, reason) left out by screening
    unmatched_rules  rule labels no surviving instrument carries
    last_bar_date    the day of the last return used (None when not known)
    seconds          dict: data_access, covariance, solve
    """

    def __init__(self, values):
        self.weights = values["weights"]
        self.solve = values["solve"]
        self.risk = values["risk"]
        self.variance = values["variance"]
        self.volatility = values["volatility"]
        self.bounds = values["bounds"]
        self.groups = values["groups"]
        self.dropped = values["dropped"]
        self.unmatched_rules = values["unmatched_rules"]
        self.last_bar_date = values["last_bar_date"]
        self.seconds = values["seconds"]

    @property
    def frame(self):
        """One row per instrument (index order_book_id, in the order of the weights): weight,
        risk_contribution, risk_share, lower, upper, lower_slack, upper_slack, binds."""
        import pandas as pd

        bounds = {b["name"]: b for b in self.bounds}
        rows = []
        for r in self.risk:
            b = bounds.get(r["order_book_id"], {})
            rows.append({**r, **{k: b.get(k) for k in ("lower", "upper", "lower_slack", "upper_slack", "binds")}})
        columns = ["order_book_id", "weight", "risk_contribution", "risk_share", "lower", "upper", "lower_slack",
                   "upper_slack", "binds"]
        return pd.DataFrame(rows, columns=columns).set_index("order_book_id")

    def plot(self, path=None):
        """Weights and risk shares as sorted bars, and (when there are group limits) each group's
        total against its range. Returns the matplotlib Figure; saved to `path` when given."""
        import matplotlib.pyplot as plt

        frame = self.frame.sort_values("weight", ascending=False)
        panels = 3 if self.groups else 2
        fig, axes = plt.subplots(1, panels, figsize=(5 * panels, max(3, 0.25 * len(frame) + 1)), squeeze=False)
        axes = axes[0]
        axes[0].barh(frame.index, frame["weight"], color="tab:blue")
        axes[0].set_title("weight")
        shares = frame.sort_values("risk_share", ascending=False)
        axes[1].barh(shares.index, shares["risk_share"], color="tab:red")
        axes[1].set_title("share of variance")
        for ax in axes[:2]:
            ax.invert_yaxis()
        if self.groups:
            ax = axes[2]
            names = [g["name"] for g in self.groups]
            ax.barh(names, [g["value"] for g in self.groups], color="tab:green", label="total weight")
            for k, g in enumerate(self.groups):
                low = g["lower"] if g["lower"] is not None else 0.0
                high = g["upper"] if g["upper"] is not None else 1.0
                ax.plot([low, high], [k, k], color="black", marker="|", markersize=14, label="limits" if k == 0 else None)
            ax.set_xlim(0, 1)
            ax.invert_yaxis()
            ax.set_title("group totals")
            ax.legend(loc="lower right")
        fig.suptitle(f"solve: {self.solve['outcome']}, volatility {self.volatility:.4g} (daily)")
        fig.tight_layout()
        if path is not None:
            fig.savefig(path)
        return fig

    def __repr__(self):
        return (f"Report(outcome={self.solve['outcome']!r}, instruments={len(self.weights)}, "
                f"volatility={self.volatility:.4g}, dropped={len(self.dropped)}, "
                f"unmatched_rules={self.unmatched_rules!r})")


def optimize_report(order_book_ids, date, method=OptimizeMethod.RISK_PARITY, bnds=None, cons=None, cov_shrinkage=True,
                    benchmark=None, risk_aversion_coefficient=1, window=132, max_iteration=1000, tol=1e-8,
                    quiet=False):
    """optimize(...) with its report: the same arguments, the same weights (report.weights) and the
    same exceptions."""
    return Report(_core._optimize_report(order_book_ids, date, method, bnds, cons, cov_shrinkage, benchmark,
                                         risk_aversion_coefficient, window, max_iteration, tol, quiet))
