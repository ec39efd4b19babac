"""The host's data proxy over a data source, and its instrument records."""

from kelvane._core import DataProxy, Instrument  # noqa: F401
