"""A development backend: the model-URL endpoint and signed model archives, on loopback.

It lets the model fetcher run end to end without a cloud account::

    with DevServer() as server:            # free port on 127.0.0.1
        fetch.MODEL_URL = server.model_url
        ...

Routes:

- ``GET /api/v1/models/<key>/url`` with the header ``x-device-token: Bearer <token>`` answers
  ``{"url": "<signed archive URL>", "sha256": "<archive digest>"}`` (401 for a missing or wrong
  token, 404 for an unknown key);
- ``GET /archives/<key>.tar.xz?expires=<unix time>&signature=<hex>`` streams the model archive
  (403 when the signature does not match or has expired);
- ``GET /api/v1/models`` (token required) lists the sample models and their frameworks.

The sample archives are generated on first use and kept for the life of the process. Only the
standard library is used, so the server also runs where the kit's compiled modules do not.
"""

from __future__ import annotations

import hashlib
import hmac
import io
import json
import lzma
import os
import random
import secrets
import socket
import struct
import sys
import tarfile
import threading
import time
from dataclasses import dataclass, field
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Callable, Dict, Optional, Tuple
from urllib.parse import parse_qs, quote, unquote, urlsplit

from quillo_sdk.constants import MODEL_TYPE
from quillo_sdk.constants.variables import MODEL_URL_PATH
from quillo_sdk.logging import get_logger

log = get_logger("devserver")

MIB = 1024 * 1024
ARCHIVE_PREFIX = "/archives/"
MODELS_PREFIX, MODELS_SUFFIX = MODEL_URL_PATH.split("<MODEL_KEY>")
MODEL_LIST_PATH = MODELS_PREFIX.rstrip("/")
DEFAULT_URL_TTL = 600
# Seconds a connection may sit idle inside a request (a half-sent request line or headers, a client
# that stops reading) before its thread gives it up.
REQUEST_TIMEOUT = 30.0
# An expiry is a Unix time: more digits than any such time has are refused without converting them.
MAX_EXPIRES_DIGITS = 12
STREAM_CHUNK = 256 * 1024


# --- sample models -------------------------------------------------------------------------------

def _noise(rng: random.Random, size: int) -> bytes:
    return rng.getrandbits(8 * size).to_bytes(size, "little") if size > 0 else b""


def _darknet_weights(rng: random.Random, size: int) -> bytes:
    # major, minor, revision, images seen: the header darknet writes before the float weights
    header = struct.pack("<iiiQ", 0, 2, 5, 32013312)
    return header + _noise(rng, size - len(header))


def _tflite(rng: random.Random, size: int) -> bytes:
    # a flatbuffer root offset followed by the "TFL3" file identifier
    header = struct.pack("<I", 28) + b"TFL3"
    return header + _noise(rng, size - len(header))


def _openvino_xml(name: str) -> bytes:
    return (
        '<?xml version="1.0"?>\n'
        f'<net name="{name}" version="11">\n'
        '\t<layers>\n'
        '\t\t<layer id="0" name="image" type="Parameter" version="opset1">\n'
        '\t\t\t<data shape="1,3,320,544" element_type="f32"/>\n'
        '\t\t</layer>\n'
        '\t</layers>\n'
        '</net>\n'
    ).encode()


COCO_NAMES = b"person\nbicycle\ncar\nmotorbike\nbus\ntruck\n"
YOLO_CFG = b"[net]\nwidth=416\nheight=416\nchannels=3\n\n[convolutional]\nfilters=16\nsize=3\n"


@dataclass(frozen=True)
class SampleModel:
    """A model the development backend serves: its files (path inside the model directory →
    bytes, made from a seeded generator) and the framework the fetcher should find."""

    key: str
    framework: str
    description: str
    files: Callable[[random.Random], Dict[str, bytes]] = field(repr=False)


SAMPLE_MODELS: Dict[str, SampleModel] = {
    m.key: m
    for m in (
        # Just under 5 MiB, so the 1 MiB download chunks land on whole 20 percent steps.
        SampleModel("yolov4-tiny-demo", MODEL_TYPE.TF_YOLO, "darknet YOLO (.weights, .cfg)",
                    lambda r: {"yolov4-tiny.weights": _darknet_weights(r, 5 * MIB - 64 * 1024),
                               "yolov4-tiny.cfg": YOLO_CFG, "coco.names": COCO_NAMES}),
        SampleModel("ssd-mobilenet-tflite", MODEL_TYPE.TF_LITE, "TensorFlow Lite (.tflite)",
                    lambda r: {"detect.tflite": _tflite(r, 256 * 1024), "labelmap.txt": COCO_NAMES}),
        SampleModel("person-detection-openvino", MODEL_TYPE.OPENVINO, "OpenVINO IR (.xml + .bin)",
                    lambda r: {"person-detection.xml": _openvino_xml("person-detection"),
                               "person-detection.bin": _noise(r, 256 * 1024)}),
        SampleModel("efficientdet-d0-saved-model", MODEL_TYPE.TF_V2, "TensorFlow 2 saved_model (.pb)",
                    lambda r: {"saved_model/saved_model.pb": _noise(r, 64 * 1024),
                               "saved_model/variables/variables.index": _noise(r, 4 * 1024),
                               "saved_model/variables/variables.data-00000-of-00001": _noise(r, 192 * 1024),
                               "label_map.txt": COCO_NAMES}),
        SampleModel("ssd-inception-frozen-graph", MODEL_TYPE.TF_V1, "TensorFlow 1 frozen graph (.pb)",
                    lambda r: {"frozen_inference_graph.pb": _noise(r, 128 * 1024),
                               "labels.txt": COCO_NAMES}),
    )
}
DEFAULT_MODEL = "yolov4-tiny-demo"


def build_archive(model: SampleModel) -> bytes:
    """The model's ``.tar.xz`` archive: one top directory named after the model key."""
    files = model.files(random.Random(model.key))
    dirs = {model.key}
    for path in files:
        parts = path.split("/")[:-1]
        dirs.update("/".join([model.key, *parts[: i + 1]]) for i in range(len(parts)))
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for d in sorted(dirs):
            info = tarfile.TarInfo(d)
            info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, 0
            tar.addfile(info)
        for path, data in files.items():
            info = tarfile.TarInfo(model.key + "/" + path)
            info.size, info.mode, info.mtime = len(data), 0o644, 0
            tar.addfile(info, io.BytesIO(data))
    # Preset 0: the payload is noise, stronger presets only cost time.
    return lzma.compress(raw.getvalue(), format=lzma.FORMAT_XZ, preset=0)


_archives: Dict[str, Tuple[bytes, str]] = {}
_archives_lock = threading.Lock()


def _sample(key: str) -> Tuple[bytes, str]:
    with _archives_lock:
        sample = _archives.get(key)
        if sample is None:
            data = build_archive(SAMPLE_MODELS[key])
            sample = _archives[key] = (data, hashlib.sha256(data).hexdigest())
        return sample


def sample_archive(key: str) -> bytes:
    """The archive of sample model ``key``, made once per process."""
    return _sample(key)[0]


def sample_digest(key: str) -> str:
    """The SHA-256 of sample model ``key``'s archive, in hex."""
    return _sample(key)[1]


def write_token_file(path: str, token: str) -> None:
    """Write ``token`` where the fetcher reads it, readable by the owner only."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as out:
        os.fchmod(out.fileno(), 0o600)  # an existing file keeps its mode otherwise
        out.write(token + "\n")


# --- URL signing ---------------------------------------------------------------------------------

def _signature(secret: bytes, path: str, expires: int) -> str:
    return hmac.new(secret, f"{path}\n{expires}".encode(), hashlib.sha256).hexdigest()


def verify_signed(secret: bytes, path: str, query: str, now: Optional[float] = None) -> bool:
    """True when ``query`` carries an unexpired ``expires`` and its matching ``signature`` for ``path``."""
    params = parse_qs(query, keep_blank_values=True)
    expires_values, signatures = params.get("expires", []), params.get("signature", [])
    if len(expires_values) != 1 or len(signatures) != 1:
        return False
    text = expires_values[0]
    # isdigit() also takes other scripts' digits; int() of thousands of digits raises on 3.11+.
    if not (0 < len(text) <= MAX_EXPIRES_DIGITS and text.isascii() and text.isdigit()):
        return False
    expires = int(text)
    if expires < (time.time() if now is None else now):
        return False
    return hmac.compare_digest(_signature(secret, path, expires), signatures[0])


# --- HTTP ----------------------------------------------------------------------------------------

class _Handler(BaseHTTPRequestHandler):
    server: "_Server"
    server_version = "quillo-devserver"
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: object) -> None:
        log.info("%s %s", self.address_string(), format % args)

    def _json(self, status: HTTPStatus, body: object) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _error(self, status: HTTPStatus, reason: str) -> None:
        self._json(status, {"error": reason})

    def do_GET(self) -> None:
        parts = urlsplit(self.path)
        path = parts.path
        if path.startswith(ARCHIVE_PREFIX):
            self._archive(path, parts.query)
        elif path == MODEL_LIST_PATH:
            if self._authorised():
                self._json(HTTPStatus.OK, {"models": [
                    {"key": m.key, "framework": m.framework, "description": m.description}
                    for m in SAMPLE_MODELS.values()]})
        elif path.startswith(MODELS_PREFIX) and path.endswith(MODELS_SUFFIX) and len(path) > len(
                MODELS_PREFIX) + len(MODELS_SUFFIX):
            self._model_url(unquote(path[len(MODELS_PREFIX): len(path) - len(MODELS_SUFFIX)]))
        else:
            self._error(HTTPStatus.NOT_FOUND, "no such route")

    def _authorised(self) -> bool:
        given = self.headers.get("x-device-token", "")
        if hmac.compare_digest(given.encode(), ("Bearer " + self.server.token).encode()):
            return True
        self._error(HTTPStatus.UNAUTHORIZED, "missing or wrong device token")
        return False

    def _model_url(self, key: str) -> None:
        if not self._authorised():
            return
        if key not in SAMPLE_MODELS:
            self._error(HTTPStatus.NOT_FOUND, "unknown model " + key)
            return
        self._json(HTTPStatus.OK, {"url": self.server.owner.signed_url(key), "sha256": sample_digest(key)})

    def _archive(self, path: str, query: str) -> None:
        if not verify_signed(self.server.secret, path, query):
            self._error(HTTPStatus.FORBIDDEN, "bad or expired signature")
            return
        key = path[len(ARCHIVE_PREFIX): -len(".tar.xz")]
        if not path.endswith(".tar.xz") or key not in SAMPLE_MODELS:
            self._error(HTTPStatus.NOT_FOUND, "no such archive")
            return
        data = memoryview(sample_archive(key))
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/x-xz")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        for start in range(0, len(data), STREAM_CHUNK):
            self.wfile.write(data[start: start + STREAM_CHUNK])


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    token: str
    secret: bytes
    owner: "DevServer"

    def handle_error(self, request: object, client_address: Tuple[str, int]) -> None:
        # A client that hangs up mid-download (a fetch stopped with Ctrl-C) is routine, not a fault.
        error = sys.exc_info()[1]
        if isinstance(error, ConnectionError):
            log.info("%s went away: %s", client_address[0], error.strerror or error)
        elif isinstance(error, socket.timeout):  # a client that stopped reading
            log.info("%s timed out", client_address[0])
        else:
            log.exception("request from %s failed", client_address[0])


class DevServer:
    """The development backend on ``host``:``port`` (0 picks a free port).

    Use it as a context manager, with :meth:`start`/:meth:`stop` (serving from a daemon thread),
    or block in :meth:`serve_forever`.
    """

    def __init__(self, port: int = 0, token: Optional[str] = None, host: str = "127.0.0.1",
                 url_ttl: int = DEFAULT_URL_TTL, request_timeout: float = REQUEST_TIMEOUT) -> None:
        if token is not None and any(ord(c) < 0x20 or ord(c) == 0x7F for c in token):
            # The fetcher reads the token file up to the line end and sends it in a header.
            raise ValueError("the device token must not contain line breaks or other control characters")
        self.token = secrets.token_urlsafe(24) if token is None else token
        self.url_ttl = url_ttl
        handler = type("_TimedHandler", (_Handler,), {"timeout": request_timeout})  # per connection
        self._httpd = _Server((host, port), handler, bind_and_activate=True)
        self._httpd.token = self.token
        self._httpd.secret = secrets.token_bytes(32)
        self._httpd.owner = self
        self._thread: Optional[threading.Thread] = None

    @property
    def address(self) -> Tuple[str, int]:
        host, port = self._httpd.server_address[:2]
        return str(host), int(port)

    @property
    def base_url(self) -> str:
        host, port = self.address
        return f"http://{host}:{port}"

    @property
    def model_url(self) -> str:
        """The model-URL endpoint with its "<MODEL_KEY>" placeholder, as the fetcher expects it."""
        return self.base_url + MODEL_URL_PATH

    def signed_url(self, key: str, expires: Optional[int] = None) -> str:
        """A download URL for model ``key``, valid until ``expires`` (default: now + ``url_ttl``)."""
        path = ARCHIVE_PREFIX + quote(key) + ".tar.xz"
        expires = int(time.time()) + self.url_ttl if expires is None else expires
        return f"{self.base_url}{path}?expires={expires}&signature={_signature(self._httpd.secret, path, expires)}"

    def start(self) -> "DevServer":
        if self._thread is None:
            self._thread = threading.Thread(target=self._httpd.serve_forever, name="quillo-devserver",
                                            daemon=True)
            self._thread.start()
        return self

    def serve_forever(self) -> None:
        try:
            self._httpd.serve_forever()
        finally:
            self._httpd.server_close()

    def stop(self) -> None:
        if self._thread is not None:
            self._httpd.shutdown()
            self._thread.join()
            self._thread = None
        self._httpd.server_close()

    def __enter__(self) -> "DevServer":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
