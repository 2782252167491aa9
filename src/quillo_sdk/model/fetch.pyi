"""Fetching of detection models: device token, model URL, download, safe unpacking, model type."""

import hashlib as hashlib
import json as json
import logging
import lzma as lzma
import os as os
import tarfile
import time as time
from typing import Callable, NamedTuple, Optional
from urllib.parse import urljoin as urljoin, urlparse as urlparse, urlsplit as urlsplit

import magic
import requests as requests
from quillo_sdk.constants import MODEL_TYPE as MODEL_TYPE
from quillo_sdk.logging import get_logger as get_logger

BASE_MODEL_DIR: str
MODEL_URL: str
TOKEN_FILE: str
MAX_MODEL_BYTES: int | None
DOWNLOAD_MODEL_TIMEOUT: int
LOW_SPEED_LIMIT: int
LOW_SPEED_TIME: int
logger: logging.Logger
fm: magic.Magic

Progress = Callable[[int, Optional[int]], object]

class FetchFailure(NamedTuple):
    """Why one attempt of ``download_detection_model`` failed.

    ``kind``: "token_missing", "token_rejected", "unknown_key", "unreachable", "timeout",
    "download_refused", "unsafe", "bad_archive", "integrity", "lock_busy", "deadline" or "failed";
    ``host``: host[:port] of the URL involved; ``file``: the local file involved; ``reason``: the
    system's reason for a failed request ("connection refused", "connection reset", "no route to
    host", "network unreachable", "name lookup failed", "TLS failed").
    """

    kind: str
    status: int | None
    message: str | None
    host: str | None
    file: str | None
    reason: str | None

def get_device_token() -> str | None:
    """The device token from ``TOKEN_FILE`` without line ends; None (logged) when unreadable."""

def get_model_url(model_id: str) -> str | None:
    """A direct URL as it is, or the backend's download URL for a model key (``#sha256=<hex>`` appended
    when the backend names the archive's digest); None (logged) on failure."""

def download_file(cloud_url: str, local_file: str, *, progress: Progress | None = None) -> bool:
    """Stream ``cloud_url`` into ``local_file``, resuming a broken body and checking a ``#sha256=`` digest;
    False for a refusal, errors raised."""

def download_url(cloud_url: str, *, progress: Progress | None = None) -> str | None:
    """The model directory for the archive at ``cloud_url``, fetched and unpacked if needed; None on failure."""

def _safe_extract(tar: tarfile.TarFile, path: str) -> None:
    """Unpack ``tar`` below ``path``, not keeping the members on it; raises Exception at a member that
    would leave it."""

def check_model_type(model_dir: str) -> str | None:
    """The ``MODEL_TYPE`` value of the model in ``model_dir``, or None (logged)."""

def download_detection_model(
    model_id: str,
    *,
    fail_fast: bool = False,
    progress: Progress | None = None,
    on_failure: Callable[[FetchFailure], object] | None = None,
    deadline: float | None = None,
) -> str | None:
    """The local directory of ``model_id``, retried within ``DOWNLOAD_MODEL_TIMEOUT`` seconds (and ``deadline``
    seconds, when given, for the whole call); None when it runs out."""
