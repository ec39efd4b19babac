"""The host's exception types; each is built from one message text."""

from kelvane_mod_optimizer._core import KVInvalidArgument, KVUserError  # noqa: F401
