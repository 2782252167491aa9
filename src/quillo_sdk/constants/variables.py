"""Settings read from the environment once, when the package is imported.

==========================  ========================================================
``SERVER_HOST``             backend API host, ``host[:port]`` or with a scheme
                            (``http://127.0.0.1:8080``); without a scheme https is used
``QUILLO_MODEL_DIR``        directory for model archives and unpacked models
``QUILLO_TOKEN_FILE``       file holding the device token
``QUILLO_MAX_MODEL_BYTES``  largest size a model may download or unpack to, in
                            bytes or with a unit (``500M``, ``2G``: powers of 1024);
                            unset or empty: no fixed limit
``QUILLO_SDK_PORTABLE``     ``1`` makes the compiled modules use only documented
                            interpreter API, none of their private-layout shortcuts
==========================  ========================================================
"""

from __future__ import annotations

import os

DEFAULT_SERVER_HOST = "http://127.0.0.1:8080"
MODEL_URL_PATH = "/api/v1/models/<MODEL_KEY>/url"


def _user_dir(xdg_variable: str, fallback: str) -> str:
    base = os.environ.get(xdg_variable) or os.path.join(os.path.expanduser("~"), fallback)
    return os.path.join(base, "quillo")


def _flag(value: str | None) -> bool:
    return (value or "").strip().lower() in ("1", "true", "yes", "on")


def server_base_url(host: str) -> str:
    """``host`` as a base URL: kept when it names a scheme, https otherwise."""
    host = host.strip().rstrip("/")
    return host if "://" in host else "https://" + host


_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def byte_count(text: str | None) -> int | None:
    """``text`` as a number of bytes ("1048576", "500M", "2GiB"); None when unset or empty."""
    value = (text or "").strip()
    if not value:
        return None
    number = value.rstrip("BbIi").upper()
    if value[len(number):].upper() not in ("", "B", "IB"):
        number = value
    unit = number[-1:] if number[-1:] in "KMGT" else ""
    digits = number[: len(number) - len(unit)].strip()
    if not digits.isdigit() or not digits.isascii():
        raise ValueError("QUILLO_MAX_MODEL_BYTES: expected a byte count such as 500000000 or 500M, got %r" % text)
    return int(digits) * _UNITS[unit]


SERVER_HOST: str = os.environ.get("SERVER_HOST") or DEFAULT_SERVER_HOST
MODEL_URL: str = server_base_url(SERVER_HOST) + MODEL_URL_PATH
BASE_MODEL_DIR: str = os.environ.get("QUILLO_MODEL_DIR") or os.path.join(_user_dir("XDG_CACHE_HOME", ".cache"), "models")
TOKEN_FILE: str = os.environ.get("QUILLO_TOKEN_FILE") or os.path.join(_user_dir("XDG_CONFIG_HOME", ".config"), "device_token")
MAX_MODEL_BYTES: int | None = byte_count(os.environ.get("QUILLO_MAX_MODEL_BYTES"))
PORTABLE: bool = _flag(os.environ.get("QUILLO_SDK_PORTABLE"))
