"""Answers many requests of the kelvane-optimize tool on a Dask cluster.

Requests are independent, so a sweep over many dates and universes is spread over the
cluster's workers: each worker process opens the bundle once and answers its share with the
tool's own request and response code; the answers come back in input order.

    from distributed import Client
    from kelvane_mod_optimizer import batch

    client = Client("tcp://scheduler:8786")          # or Client(LocalCluster(...))
    responses = batch.answer(requests, "/data/bundle", client)

A request is a dict with the tool's keys (order_book_ids, date, method, bnds, cons, ...) or
one JSON object as text; in a dict, the date may also be a datetime.datetime, a datetime.date
or a pandas Timestamp; its response is a dict or a JSON text line accordingly, exactly what
the tool answers for that line. Every worker needs this package installed and the bundle at
the path given (as the workers see it).

A worker process answers for one bundle at a time: it becomes the process's current host
environment and data-client source while it answers (with processes=False that is the
caller's own process).
"""

import datetime
import json
import math
import os
import threading

from distributed import get_client

__all__ = ["answer"]


def answer(requests, bundle, client=None, chunk_size=None):
    """Answers `requests` over the bundle directory `bundle` on the cluster of `client` (the
    current Dask client when None) and returns the responses in input order.

    chunk_size is the number of requests in one task (default: about four tasks per worker
    thread). Raises TypeError or ValueError, before anything is sent, for a request that is
    neither a dict nor a str or a dict that cannot be written as JSON; an exception of a
    worker (such as a bundle it cannot open) is raised here.
    """
    lines, as_dict = [], []
    for i, request in enumerate(requests):
        if isinstance(request, str):
            lines.append(request)
            as_dict.append(False)
        elif isinstance(request, dict):
            try:
                lines.append(json.dumps(_with_date_text(request), ensure_ascii=False, allow_nan=False))
            except (TypeError, ValueError) as e:
                raise type(e)(f"request {i} cannot be written as JSON: {e}") from None
            as_dict.append(True)
        else:
            raise TypeError(f"request {i} must be a dict or a str, got {type(request).__name__}")
    if chunk_size is not None and (isinstance(chunk_size, bool) or not isinstance(chunk_size, int)
                                   or chunk_size < 1):
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")
    if not lines:
        return []
    client = client or get_client()
    if chunk_size is None:
        threads = sum(client.nthreads().values())
        chunk_size = max(1, math.ceil(len(lines) / (4 * max(1, threads))))
    chunks = [lines[i:i + chunk_size] for i in range(0, len(lines), chunk_size)]
    futures = client.map(_answer_chunk, chunks, bundle=os.fspath(bundle), pure=False)
    responses = [r for chunk in client.gather(futures) for r in chunk]
    return [json.loads(r) if d else r for r, d in zip(responses, as_dict)]


def _with_date_text(request):
    """The request with its date as the tool's text when the caller gave a date object
    (datetime.datetime and pandas Timestamp keep their time of day, datetime.date is midnight)."""
    date = request.get("date")
    if isinstance(date, datetime.datetime):  # pandas Timestamp included
        return dict(request, date=date.strftime("%Y-%m-%d %H:%M:%S"))
    if isinstance(date, datetime.date):
        return dict(request, date=date.strftime("%Y-%m-%d"))
    return request


class _Worker:
    """A worker process's open bundles and which one the host environment serves.

    Chunks for the bundle being served run side by side (the core releases the GIL); a chunk
    for another bundle waits until those are done, then switches the environment and the data
    client over, so that no request is answered over the wrong bundle.
    """

    def __init__(self):
        self.changed = threading.Condition()
        self.proxies = {}      # bundle path -> its DataProxy, each opened once
        self.serving = None    # the bundle the current environment serves
        self.environment = None
        self.running = 0       # chunks answering over `serving`

    def enter(self, bundle):
        from kelvane.environment import Environment
        with self.changed:
            while self.running and self.serving != bundle:
                self.changed.wait()
            if self.running == 0 and not self._serves(bundle, Environment):
                import dunlith
                from kelvane.data.base_data_source import BaseDataSource
                from kelvane.data.data_proxy import DataProxy
                if bundle not in self.proxies:
                    self.proxies[bundle] = DataProxy(BaseDataSource(bundle))
                dunlith.init("kelvane-optimize", "", ("localhost", 16003), bundle)
                self.environment = Environment(None)
                self.environment.data_proxy = self.proxies[bundle]
                self.serving = bundle
            self.running += 1

    def leave(self):
        with self.changed:
            self.running -= 1
            self.changed.notify_all()

    def _serves(self, bundle, Environment):
        # Someone else in this process may have made another environment current since.
        if self.serving != bundle:
            return False
        try:
            current = Environment.get_instance()
        except RuntimeError:
            return False
        return current is self.environment and current.data_proxy is self.proxies[bundle]


_worker = _Worker()


def _answer_chunk(lines, bundle):
    from kelvane_mod_optimizer import protocol
    _worker.enter(bundle)
    try:
        return [protocol.answer(line) for line in lines]
    finally:
        _worker.leave()
