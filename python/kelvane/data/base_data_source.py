"""The host's market data, read from a bundle directory."""

from kelvane._core import BaseDataSource  # noqa: F401
