"""The request and response objects of the kelvane-optimize tool, answered in this process.

answer(request_line) takes one request (a JSON object as text, the tool's keys) and returns
the response line the tool would print, over the current Environment's data proxy (and the
dunlith client for ShenWan and fund-type constraints). The GIL is released while it runs.
"""

from kelvane_mod_optimizer._core import answer_request as answer  # noqa: F401
