"""The portfolio-weight optimiser plug-in of the kelvane host; see kelvane_mod_optimizer.optimizer."""

from kelvane_mod_optimizer._core import __version__  # noqa: F401  (the project's version)
