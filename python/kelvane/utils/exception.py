"""The host's exception types; each is built from one message text."""

from kelvane._core import KVInvalidArgument, KVUserError  # noqa: F401
