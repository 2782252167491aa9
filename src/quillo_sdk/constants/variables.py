"""Settings read from the environment once, when the package is imported.

=======================  ========================================================
``SERVER_HOST``          backend API host, ``host[:port]`` or with a scheme
                         (``http://127.0.0.1:8080``); without a scheme https is used
``QUILLO_MODEL_DIR``     directory for model archives and unpacked models
``QUILLO_TOKEN_FILE``    file holding the device token
``QUILLO_SDK_PORTABLE``  ``1`` makes the compiled modules use only documented
                         interpreter API, none of their private-layout shortcuts
=======================  ========================================================
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


SERVER_HOST: str = os.environ.get("SERVER_HOST") or DEFAULT_SERVER_HOST
MODEL_URL: str = server_base_url(SERVER_HOST) + MODEL_URL_PATH
BASE_MODEL_DIR: str = os.environ.get("QUILLO_MODEL_DIR") or os.path.join(_user_dir("XDG_CACHE_HOME", ".cache"), "models")
TOKEN_FILE: str = os.environ.get("QUILLO_TOKEN_FILE") or os.path.join(_user_dir("XDG_CONFIG_HOME", ".config"), "device_token")
PORTABLE: bool = _flag(os.environ.get("QUILLO_SDK_PORTABLE"))
