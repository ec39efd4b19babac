"""The host's market data, read from a bundle directory."""

from kelvane_mod_optimizer._core import BaseDataSource  # noqa: F401
