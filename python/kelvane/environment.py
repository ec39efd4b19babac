"""The host's environment: the latest one created is the current one.

Its data_proxy is what the optimiser reads: our DataProxy, or any object offering
instruments(order_book_id or ids), history_bars(order_book_id, bar_count, frequency, field,
dt, skip_suspended=False) and is_suspended(order_book_id, dt, count).
"""

from kelvane._core import _Environment


class Environment:
    _current = None
    # Every environment's C++ side lives as long as the process: an optimize call running on
    # another thread may still be reading the one a new Environment just replaced.
    _cores = []

    def __init__(self, config=None):
        self.config = config
        self._core = _Environment()
        Environment._cores.append(self._core)
        self._data_proxy = None
        Environment._current = self

    @classmethod
    def get_instance(cls):
        if cls._current is None:
            raise RuntimeError("no kelvane Environment has been created")
        return cls._current

    @property
    def data_proxy(self):
        return self._data_proxy

    @data_proxy.setter
    def data_proxy(self, proxy):
        self._core._set_data_proxy(proxy)
        self._data_proxy = proxy
