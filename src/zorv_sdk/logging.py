"""The SDK's loggers.

Every SDK logger lives below the ``zorv_sdk`` logger, which writes to standard error, one line
per record, with the time, the level and the logger's name. That handler is installed once, on
the first call of :func:`get_logger`, and records stop there (they do not propagate to the root
logger), so an application's own logging setup neither duplicates nor silences them. The level
is INFO unless the environment variable ZORV_LOG_LEVEL names another one when the handler is
installed.
"""
import logging
import os
import sys
import threading

__all__ = ["get_logger"]

ROOT_NAME = "zorv_sdk"
LINE_FORMAT = "%(asctime)s %(levelname)s %(name)s: %(message)s"

_configure_lock = threading.Lock()
_configured = False


def get_logger(name: str) -> logging.Logger:
    """Return the SDK logger called ``name`` (``zorv_sdk.<name>``), configuring the SDK's output once."""
    _configure_once()
    return logging.getLogger(f"{ROOT_NAME}.{name}")


def _configure_once() -> None:
    global _configured
    with _configure_lock:
        if _configured:
            return
        root = logging.getLogger(ROOT_NAME)
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(LINE_FORMAT))
        root.addHandler(handler)
        root.setLevel(os.environ.get("ZORV_LOG_LEVEL", "INFO").upper())
        root.propagate = False
        _configured = True
