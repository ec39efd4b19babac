"""The demonstration run: five optimisations of eleven Shanghai stocks on 2014-01-04 over the
bundle in ~/.kelvane/bundle (the sample bundle is placed there first when none exists)."""

import datetime
import os
import shutil
import sys


def _bundle_directory():
    home = os.environ.get("HOME")
    if not home:
        raise RuntimeError("HOME is not set: cannot find ~/.kelvane/bundle")
    bundle = os.path.join(home, ".kelvane", "bundle")
    if not os.path.exists(bundle):
        sample = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample_bundle")
        os.makedirs(os.path.dirname(bundle), exist_ok=True)
        shutil.copytree(sample, bundle)
        print(f"No bundle at {bundle}: placed the sample bundle there (synthetic prices).", file=sys.stderr)
    return bundle


def _print(title, weights):
    print(title)
    for order_book_id, weight in weights.items():
        print(f"  {order_book_id:<12} {weight:>9.6f}  {'█' * int(weight * 50.0 + 0.5)}")
    print(flush=True)


def main():
    import dunlith
    from kelvane.data.base_data_source import BaseDataSource
    from kelvane.data.data_proxy import DataProxy
    from kelvane.environment import Environment
    from kelvane_mod_optimizer.optimizer import OptimizeMethod, ShenWanConstraint, optimize

    bundle = _bundle_directory()
    dunlith.init("solvender", "4marbleton4", ("localhost", 16003), bundle)
    env = Environment(None)
    env.data_proxy = DataProxy(BaseDataSource(bundle))

    date = datetime.datetime(2014, 1, 4)
    order_book_ids = ["601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "600028.XSHG",
                      "600519.XSHG", "601633.XSHG", "601818.XSHG", "600018.XSHG", "601006.XSHG"]
    bnds = {"*": (0, 0.3)}
    cons = ShenWanConstraint({"银行": (0.3, 0.5)})

    _print("1. risk parity, sample covariance",
           optimize(order_book_ids, date, cov_shrinkage=False, method=OptimizeMethod.RISK_PARITY))
    _print("2. minimum variance, sample covariance",
           optimize(order_book_ids, date, method=OptimizeMethod.MIN_VARIANCE, cov_shrinkage=False))
    _print("3. mean variance, sample covariance",
           optimize(order_book_ids, date, method=OptimizeMethod.MEAN_VARIANCE, cov_shrinkage=False))
    _print("4. risk parity, every weight in [0, 0.3], banks (ShenWan 银行) in [0.3, 0.5]",
           optimize(order_book_ids, date, bnds=bnds, cons=cons))
    _print("5. minimum tracking error against 000300.XSHG",
           optimize(order_book_ids, date, method=OptimizeMethod.MIN_TRACKING_ERROR, benchmark="000300.XSHG"))
    return 0
