"""Logger facade of the kit.

Every logger the kit uses is a standard :class:`logging.Logger` below the
``quillo_sdk`` logger. Records propagate, so an application's own logging set-up
(and pytest's ``caplog``) sees them. As a library the kit adds no output handler
unless the application asks for one with :func:`configure`.
"""

from __future__ import annotations

import logging as _logging
from typing import IO, Optional, Union

ROOT_NAME = "quillo_sdk"
LINE_FORMAT = "%(asctime)s %(levelname)-7s %(name)s: %(message)s"

_root = _logging.getLogger(ROOT_NAME)
_root.addHandler(_logging.NullHandler())
_configured_handler: Optional[_logging.Handler] = None


def get_logger(name: str) -> _logging.Logger:
    """Return the kit's logger ``name``: the same object for the same name."""
    return _root.getChild(name)


def exception_traceback(logger: _logging.Logger, exc: BaseException) -> None:
    """Log ``exc`` with its traceback at error level through ``logger``."""
    logger.error(
        "%s: %s", type(exc).__name__, exc, exc_info=(type(exc), exc, exc.__traceback__)
    )


def configure(level: Union[int, str] = _logging.INFO, stream: Optional[IO[str]] = None) -> _logging.Handler:
    """Show the kit's log lines on ``stream`` (stderr by default) with time, level and logger name.

    Calling it again replaces the handler it installed before; it never touches
    handlers the application installed itself.
    """
    global _configured_handler
    if _configured_handler is not None:
        _root.removeHandler(_configured_handler)
    handler = _logging.StreamHandler(stream)
    handler.setFormatter(_logging.Formatter(LINE_FORMAT))
    _root.addHandler(handler)
    _root.setLevel(level)
    _configured_handler = handler
    return handler


__all__ = ["get_logger", "exception_traceback", "configure", "ROOT_NAME"]
