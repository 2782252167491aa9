"""Shared fixtures and helpers: a loopback HTTP server, tar.xz archive makers, the zone gate's rules
written plainly over shapely, a spy on the gate's error logging, and threads run together."""

from __future__ import annotations

import http.server
import io
import os
import socket
import sys
import tarfile
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union

import pytest


@dataclass
class Reply:
    """What the server answers to one path.

    ``body`` is sent with a Content-Length unless ``chunked`` is set or
    ``content_length`` overrides the header (None: no header at all when
    ``chunked`` is set). ``cut_after`` closes the connection after that many
    body bytes; ``stall`` sleeps that long before the rest of the body.
    ``file`` names a file sent (with sendfile) instead of ``body``.
    """

    status: int = 200
    body: bytes = b""
    headers: Dict[str, str] = field(default_factory=dict)
    chunked: bool = False
    content_length: Union[int, str, None, bool] = True
    cut_after: Optional[int] = None
    stall: float = 0.0
    piece: int = 1 << 16
    file: Optional[str] = None


class Resource:
    """A file served with ETag/Last-Modified that honours ``Range`` and ``If-Range``.

    ``cuts`` gives, per request in order, the byte of the whole file at which
    the connection is closed (None: not cut). ``ranges=False`` ignores Range
    and always sends the whole body. ``body`` and ``etag`` may be changed
    between requests: the file changed on the server.
    """

    def __init__(self, body: bytes, etag: Optional[str] = '"v1"', last_modified: Optional[str] = None,
                 ranges: bool = True, conditional: bool = True, cuts: Sequence[Optional[int]] = (),
                 piece: int = 1 << 16, stall: float = 0.0) -> None:
        self.body, self.etag, self.last_modified, self.ranges = body, etag, last_modified, ranges
        self.conditional = conditional  # False: If-Range ignored, as a broken server might
        self.cuts, self.piece, self.stall = list(cuts), piece, stall
        self.requests = 0
        self.sent = 0  # body bytes handed out over all requests

    def answer(self, headers: Dict[str, str]) -> Reply:
        cut = self.cuts[self.requests] if self.requests < len(self.cuts) else None
        self.requests += 1
        validators = {v for v in (self.etag, self.last_modified) if v}
        wanted, condition = headers.get("range", ""), headers.get("if-range")
        start = 0
        if self.ranges and wanted.startswith("bytes=") and wanted.endswith("-") and (
                condition is None or condition in validators or not self.conditional):
            start = int(wanted[len("bytes="):-1])
        extra = {}
        if self.etag:
            extra["ETag"] = self.etag
        if self.last_modified:
            extra["Last-Modified"] = self.last_modified
        status = 200
        if start:
            status = 206
            extra["Content-Range"] = "bytes %d-%d/%d" % (start, len(self.body) - 1, len(self.body))
        body = self.body[start:]
        limit = None if cut is None else max(0, cut - start)
        self.sent += len(body) if limit is None else min(limit, len(body))
        return Reply(status, body, headers=extra, cut_after=limit, piece=self.piece, stall=self.stall)


@dataclass
class Seen:
    method: str
    path: str
    headers: Dict[str, str]


class LoopbackServer:
    """A threaded HTTP/1.1 server on 127.0.0.1 answering from a route table.

    A route is a Reply, a list of Replies (one per request, the last one
    repeated), a Resource, or a callable taking the request path and
    returning a Reply.
    """

    def __init__(self) -> None:
        self.routes: Dict[str, Union[Reply, List[Reply], Resource, Callable[[str], Reply]]] = {}
        self.seen: List[Seen] = []
        self._lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:  # noqa: N802 - http.server's naming
                with server._lock:
                    server.seen.append(Seen("GET", self.path, {k.lower(): v for k, v in self.headers.items()}))
                headers = {k.lower(): v for k, v in self.headers.items()}
                reply = server._reply_for(self.path, headers)
                server._send(self, reply)

            def log_message(self, *args: object) -> None:
                pass

        class Server(http.server.ThreadingHTTPServer):
            def handle_error(self, request: object, client_address: object) -> None:
                # Clients that hang up early (a request cut at its deadline) are part of the tests.
                if not isinstance(sys.exc_info()[1], ConnectionError):
                    super().handle_error(request, client_address)

        self._httpd = Server(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self.port = self._httpd.server_address[1]
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.02,), daemon=True)
        self._thread.start()

    def url(self, path: str, host: str = "127.0.0.1") -> str:
        return "http://%s:%d%s" % (host, self.port, path)

    def route(self, path: str, reply: Union[Reply, List[Reply], Resource, Callable[[str], Reply]]) -> str:
        self.routes[path] = reply
        return self.url(path)

    def hits(self, path: Optional[str] = None) -> List[Seen]:
        with self._lock:
            return [s for s in self.seen if path is None or s.path.split("?")[0] == path]

    def _reply_for(self, path: str, headers: Dict[str, str]) -> Reply:
        route = self.routes.get(path.split("?")[0])
        if route is None:
            return Reply(404, b"not found")
        if isinstance(route, Resource):
            with self._lock:
                return route.answer(headers)
        if callable(route):
            return route(path)
        if isinstance(route, list):
            with self._lock:
                return route.pop(0) if len(route) > 1 else route[0]
        return route

    @staticmethod
    def _send(handler: http.server.BaseHTTPRequestHandler, reply: Reply) -> None:
        if reply.file is not None:
            LoopbackServer._send_file(handler, reply)
            return
        body = reply.body
        handler.send_response(reply.status)
        for name, value in reply.headers.items():
            handler.send_header(name, value)
        if reply.chunked:
            handler.send_header("Transfer-Encoding", "chunked")
        elif reply.content_length is True:
            handler.send_header("Content-Length", str(len(body)))
        elif reply.content_length not in (None, False):
            handler.send_header("Content-Length", str(reply.content_length))
        # Without a trustworthy length the body ends where the connection does.
        if reply.cut_after is not None or (not reply.chunked and reply.content_length is not True):
            handler.send_header("Connection", "close")
            handler.close_connection = True
        handler.end_headers()
        limit = len(body) if reply.cut_after is None else min(reply.cut_after, len(body))
        out = handler.wfile
        try:
            sent = 0
            while sent < limit:
                if reply.stall and sent > 0:
                    out.flush()
                    time.sleep(reply.stall)
                piece = body[sent : min(limit, sent + reply.piece)]
                if reply.chunked:
                    out.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                else:
                    out.write(piece)
                sent += len(piece)
            if reply.stall and limit == 0:
                out.flush()
                time.sleep(reply.stall)
            if reply.chunked and reply.cut_after is None:
                out.write(b"0\r\n\r\n")
            out.flush()
        except (BrokenPipeError, ConnectionResetError):
            handler.close_connection = True
            return
        if reply.cut_after is not None:
            handler.close_connection = True
            try:
                handler.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    @staticmethod
    def _send_file(handler: http.server.BaseHTTPRequestHandler, reply: Reply) -> None:
        with open(reply.file, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            handler.send_response(reply.status)
            for name, value in reply.headers.items():
                handler.send_header(name, value)
            handler.send_header("Content-Length", str(size))
            handler.end_headers()
            handler.wfile.flush()
            try:
                handler.connection.sendfile(f)
            except (BrokenPipeError, ConnectionResetError):
                handler.close_connection = True

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()


@pytest.fixture
def http_server():
    server = LoopbackServer()
    yield server
    server.close()


@pytest.fixture
def other_http_server():
    """A second server: another origin (same host, another port)."""
    server = LoopbackServer()
    yield server
    server.close()


# ---------------------------------------------------------------- archives

Member = Tuple  # ("file", name, data) | ("dir", name) | ("symlink", name, target)
#               | ("hardlink", name, target) | ("chr"|"blk"|"fifo", name)


def tar_bytes(members: Sequence[Member]) -> bytes:
    """An uncompressed tar stream holding ``members`` in order."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        for kind, name, *rest in members:
            info = tarfile.TarInfo(name)
            info.mtime = 1_700_000_000
            data = None
            if kind == "file":
                data = rest[0] if rest else b""
                info.size = len(data)
                info.mode = 0o644
            elif kind == "dir":
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
            elif kind == "symlink":
                info.type = tarfile.SYMTYPE
                info.linkname = rest[0]
            elif kind == "hardlink":
                info.type = tarfile.LNKTYPE
                info.linkname = rest[0]
            elif kind in ("chr", "blk"):
                info.type = tarfile.CHRTYPE if kind == "chr" else tarfile.BLKTYPE
                info.devmajor, info.devminor = 1, 3
                info.mode = 0o666
            elif kind == "fifo":
                info.type = tarfile.FIFOTYPE
                info.mode = 0o644
            else:
                raise ValueError(kind)
            tar.addfile(info, io.BytesIO(data) if data is not None else None)
    return raw.getvalue()


def tar_xz_bytes(members: Sequence[Member], preset: int = 0) -> bytes:
    """``members`` as a tar.xz archive."""
    import lzma

    return lzma.compress(tar_bytes(members), format=lzma.FORMAT_XZ, preset=preset)


def model_members(name: str = "m1", files: Optional[Dict[str, bytes]] = None) -> List[Member]:
    """A well-formed model archive: a top directory ``name`` and its files."""
    files = files if files is not None else {"model.weights": b"\x01" * 1000, "yolov4.cfg": b"[net]\n"}
    return [("dir", name)] + [("file", "%s/%s" % (name, f), data) for f, data in files.items()]


@pytest.fixture
def make_tar_xz(tmp_path):
    """Writes a tar.xz made of the given members and returns its path."""
    counter = iter(range(1_000_000))

    def make(members: Sequence[Member], path=None, preset: int = 0):
        target = path or tmp_path / ("archive%d.tar.xz" % next(counter))
        target.write_bytes(tar_xz_bytes(members, preset))
        return target

    return make


# ---------------------------------------------------------------- zone gate


def reference_anchor(box, anchor, frame):
    """The anchor point of ``box``, written plainly: (x + w*ax, y + h*ay), divided by the frame's
    size when the box is in pixels, as a shapely Point holds it."""
    from shapely.geometry import Point

    x, y, w, h = box
    ax, ay = anchor
    rx, ry = x + w * ax, y + h * ay
    if w > 1.0 and h > 1.0:
        rx, ry = rx / frame[0], ry / frame[1]
    p = Point(rx, ry)
    return p.x, p.y


def reference_filter(records, frame_field, items, frame_sz, anchor_pt):
    """The filtering rules, written plainly over shapely; raises where the gate must report an error."""
    from shapely.geometry import Point

    if not frame_sz:
        frame_sz = frame_field
    fx, fy = frame_sz[0], frame_sz[1]
    ax, ay = anchor_pt
    included = [r for r in records if len(r["points"]) and r["include"]]
    empty = [r for r in records if not len(r["points"])]
    exclusions = [r for r in records if not r["include"]]
    out = []
    for item in items:
        try:
            info = item.info
            has_info = True
        except Exception:
            has_info = False
        box = info.get("rect", item.tlwh) if has_info else item.tlwh
        p = Point(*reference_anchor(box, (ax, ay), (fx, fy)))
        matched = []
        for r in included:
            if r["shapely_polygon"].contains(p):
                parts = [r["shapely_polygon"].intersection(e["shapely_polygon"]) for e in exclusions
                         if len(e["points"])]
                if not any(g.contains(p) for g in parts if not g.is_empty):
                    matched.append(r.get("roi_id", ""))
        if matched:
            out.append(("copy", matched))
        elif empty:
            out.append(("same", None))
    return out


@pytest.fixture
def logged(monkeypatch):
    """Exceptions passed to the zone gate module's exception_traceback, by substituting the module attribute."""
    from quillo_sdk.roi import zone_gate

    calls = []
    monkeypatch.setattr(zone_gate, "exception_traceback", lambda logger, exc: calls.append((logger, exc)))
    return calls


def run_together(*targets: Callable[[], object]) -> None:
    """Runs each of ``targets`` in a thread of its own, all at once, and waits for them all."""
    threads = [threading.Thread(target=target) for target in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()

# ---------------------------------------------------------------- slow peers

class SlowServer:
    """A TCP server on 127.0.0.1 that reads a request, sends ``first`` at once,
    then ``answer`` ``per_second`` bytes a second for at most ``seconds`` (then
    closes); with nothing to send it says nothing for ``seconds``.

    For peers HTTP allows but no client should wait on: headers or a small
    body that trickle, a server that accepts and never answers.
    """

    def __init__(self, answer: bytes, per_second: int = 1, seconds: float = 30.0, first: bytes = b"") -> None:
        self.answer, self.per_second, self.seconds, self.first = answer, per_second, seconds, first
        self.connections = 0
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._threads: List[threading.Thread] = []
        self._accepting = threading.Thread(target=self._accept, daemon=True)
        self._accepting.start()

    def url(self, path: str) -> str:
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def _accept(self) -> None:
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except (socket.timeout, OSError):
                continue
            self.connections += 1
            worker = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(worker)
            worker.start()

    def _serve(self, conn: socket.socket) -> None:
        with conn:
            conn.settimeout(1.0)
            try:
                request = b""
                while b"\r\n\r\n" not in request and not self._stop.is_set():
                    try:
                        chunk = conn.recv(4096)
                    except socket.timeout:
                        continue
                    if not chunk:
                        return
                    request += chunk
                ends = time.monotonic() + self.seconds
                conn.sendall(self.first)
                sent = 0
                while not self._stop.is_set() and time.monotonic() < ends:
                    if sent < len(self.answer):
                        conn.sendall(self.answer[sent : sent + self.per_second])
                        sent += self.per_second
                    self._stop.wait(1.0)
            except OSError:
                pass

    def close(self) -> None:
        self._stop.set()
        self._accepting.join()
        self._listener.close()
        for worker in self._threads:
            worker.join()


@pytest.fixture
def slow_server():
    """Starts SlowServers; all are stopped after the test."""
    servers: List[SlowServer] = []

    def start(answer: bytes, per_second: int = 1, seconds: float = 30.0, first: bytes = b"") -> SlowServer:
        servers.append(SlowServer(answer, per_second, seconds, first))
        return servers[-1]

    yield start
    for server in servers:
        server.close()


# Hostile archives are built from xz streams, which may be concatenated: a
# long run of one byte costs one small compressed stream, repeated.

def xz_stream(data: bytes) -> bytes:
    import lzma

    return lzma.compress(data, format=lzma.FORMAT_XZ, preset=0)


_RUNS: Dict[bytes, bytes] = {}


def xz_run(size: int, byte: bytes = b"a") -> bytes:
    """``size`` copies of ``byte``, as concatenated xz streams of 1 MiB each."""
    mib = 1 << 20
    if byte not in _RUNS:
        _RUNS[byte] = xz_stream(byte * mib)
    return _RUNS[byte] * (size // mib) + xz_stream(byte * (size % mib))


def header_block(name: str, type_: bytes, size: int) -> bytes:
    """One ustar header block of type ``type_`` announcing ``size`` bytes."""
    info = tarfile.TarInfo(name)
    info.type, info.size, info.mtime = type_, size, 1_700_000_000
    return info.tobuf(tarfile.USTAR_FORMAT)


def pax_record(keyword: str, value: bytes) -> bytes:
    """One pax record, its length counting itself."""
    body = b" %s=%s\n" % (keyword.encode(), value)
    length = len(body) + 1
    while len(str(length)) + len(body) != length:
        length += 1
    return str(length).encode() + body


def padding(size: int) -> bytes:
    return bytes(-size % 512)
