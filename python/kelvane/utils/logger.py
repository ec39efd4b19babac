"""The host's user-facing log: user_system_log.warn and .info write to the Python logger
"kelvane.user_system_log" at WARNING and INFO, the message being the text alone. Messages
of the C++ core (dropped instruments, ignored bounds) arrive at the same logger."""

import logging

_logger = logging.getLogger("kelvane.user_system_log")


class UserSystemLog:
    """Writes to the logger named "kelvane.user_system_log"."""

    def warn(self, text):
        _logger.warning(text)

    def info(self, text):
        _logger.info(text)


user_system_log = UserSystemLog()
