import datetime
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE_BUNDLE = os.environ.get("KV_SAMPLE_BUNDLE", os.path.join(HERE, "..", "..", "data", "sample_bundle"))
OPTIMIZE_TOOL = os.environ.get("KV_OPTIMIZE_TOOL", os.path.join(HERE, "..", "..", "build", "bin", "kelvane-optimize"))
DATE = datetime.datetime(2014, 1, 4)
BASKET = ["601857.XSHG", "601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "600028.XSHG",
          "600519.XSHG", "601633.XSHG", "601818.XSHG", "600018.XSHG", "601006.XSHG"]
BANKS = ["601398.XSHG", "601939.XSHG", "601288.XSHG", "601988.XSHG", "601818.XSHG"]
FOUR = ["601398.XSHG", "600519.XSHG", "601857.XSHG", "601006.XSHG"]


@pytest.fixture(scope="session")
def bundle_proxy():
    from kelvane.data.base_data_source import BaseDataSource
    from kelvane.data.data_proxy import DataProxy
    return DataProxy(BaseDataSource(SAMPLE_BUNDLE))


@pytest.fixture
def env(bundle_proxy):
    """A fresh environment over the sample bundle, with the data client logged in on it."""
    import dunlith
    from kelvane.environment import Environment
    dunlith.set_client(None)
    dunlith.init("user", "password", ("localhost", 16003), SAMPLE_BUNDLE)
    e = Environment(None)
    e.data_proxy = bundle_proxy
    yield e
    dunlith.set_client(None)
