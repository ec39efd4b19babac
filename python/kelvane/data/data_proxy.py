"""The host's data proxy over a data source, and its instrument records."""

from kelvane_mod_optimizer._core import DataProxy, Instrument  # noqa: F401
