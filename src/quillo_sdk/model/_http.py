"""GET for the model fetcher, with waits bounded in total rather than per read.

requests and urllib3 bound each wait for data: a peer that sends its headers
a byte at a time keeps a request open for as long as it likes. The requests
sent here go through connections whose answers read the socket with every
wait capped by the time left: the headers (with ``whole``, the body too) must
be in within the request's time-out counted from the request, and no read
outlasts the caller's deadline.
"""

from __future__ import annotations

import errno
import http.client
import io
import socket
import ssl
import threading
import time
from typing import Any, List, Optional, Tuple

import urllib3
from requests.adapters import HTTPAdapter
from urllib3.poolmanager import ProxyManager

# (seconds for the headers, whether they bound the body too, monotonic deadline
# or None) of the request being sent on this thread; answers take them on.
_current = threading.local()


def _earlier(a: Optional[float], b: Optional[float]) -> Optional[float]:
    return b if a is None else a if b is None else min(a, b)


class _CappedReads(io.RawIOBase):
    """The socket's reads, each wait cut to the time left before ``until``."""

    def __init__(self, sock: socket.socket, until: Optional[float]) -> None:
        self._raw = sock.makefile("rb", buffering=0)
        self._sock = sock
        self._per_read = sock.gettimeout()
        self.until = until

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> Optional[int]:
        wait = self._per_read
        if self.until is not None:
            left = self.until - time.monotonic()
            if left <= 0:
                raise socket.timeout("timed out")
            wait = _earlier(wait, left)
        self._sock.settimeout(wait)
        return self._raw.readinto(buffer)

    def close(self) -> None:
        if not self.closed:
            self._raw.close()
        super().close()


class _Reads:
    """What http.client's answer asks of its socket: a file to read it through."""

    def __init__(self, sock: socket.socket, until: Optional[float]) -> None:
        self.capped = _CappedReads(sock, until)

    def makefile(self, mode: str) -> io.BufferedReader:
        return io.BufferedReader(self.capped)


class _Answer(http.client.HTTPResponse):
    """An answer whose headers (whole answer) arrive within the request's time-out."""

    def __init__(self, sock: socket.socket, *args: Any, **kwargs: Any) -> None:
        within, self._whole, self._deadline = _current.limits
        self._reads = _Reads(sock, _earlier(time.monotonic() + within, self._deadline))
        super().__init__(self._reads, *args, **kwargs)  # type: ignore[arg-type]  # makefile is all it asks for

    def begin(self) -> None:
        super().begin()
        if not self._whole:
            self._reads.capped.until = self._deadline


# Named as urllib3's own, whose names the error texts show.
class HTTPConnection(urllib3.connection.HTTPConnection):
    response_class = _Answer


class HTTPSConnection(urllib3.connection.HTTPSConnection):
    response_class = _Answer


class HTTPConnectionPool(urllib3.HTTPConnectionPool):
    ConnectionCls = HTTPConnection


class HTTPSConnectionPool(urllib3.HTTPSConnectionPool):
    ConnectionCls = HTTPSConnection


_POOLS = {"http": HTTPConnectionPool, "https": HTTPSConnectionPool}


class _Adapter(HTTPAdapter):
    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        self.poolmanager.pool_classes_by_scheme = _POOLS

    def proxy_manager_for(self, proxy: str, **proxy_kwargs: Any) -> Any:
        manager = super().proxy_manager_for(proxy, **proxy_kwargs)
        if isinstance(manager, ProxyManager):  # a SOCKS proxy brings connections of its own
            manager.pool_classes_by_scheme = _POOLS
        return manager


def get(requests: Any, url: str, *, within: float, whole: bool, deadline: Optional[float],
        timeout: Tuple[float, float], **kwargs: Any) -> Any:
    """``requests.get(url, timeout=timeout, **kwargs)``, through a session of
    ``requests.Session``, whose answer's headers (with ``whole``, the whole
    answer) arrive within ``within`` seconds of the request; with ``deadline``
    (seconds from now), nothing waits past it."""
    ends = None
    if deadline is not None:
        if deadline <= 0:
            raise requests.exceptions.Timeout("the deadline has passed")
        ends = time.monotonic() + deadline
        timeout = (min(timeout[0], deadline), min(timeout[1], deadline))
    previous = getattr(_current, "limits", None)
    _current.limits = (within, whole, ends)
    try:
        with requests.Session() as session:
            adapter = _Adapter()
            session.mount("http://", adapter)
            session.mount("https://", adapter)
            try:
                return session.get(url, timeout=timeout, **kwargs)
            except requests.exceptions.ConnectionError as error:
                # requests reports a body read that timed out as a broken connection.
                if error.args and isinstance(error.args[0], urllib3.exceptions.ReadTimeoutError):
                    raise requests.exceptions.ReadTimeout(error.args[0], request=error.request) from error
                raise
    finally:
        _current.limits = previous


_REASONS = ((ConnectionRefusedError, "connection refused"), (ConnectionResetError, "connection reset"),
            (socket.gaierror, "name lookup failed"), (ssl.SSLError, "TLS failed"))
_REASONS_BY_ERRNO = {errno.EHOSTUNREACH: "no route to host", errno.ENETUNREACH: "network unreachable"}


def reason_of(error: BaseException) -> Optional[str]:
    """The system's reason behind a failed request, in a few words, or None.

    requests and urllib3 wrap it: in their errors' arguments, a retry error's
    ``reason``, or the ``__cause__``/``__context__`` it was raised from."""
    seen = set()
    pending: List[Any] = [error]
    while pending:
        current = pending.pop()
        if not isinstance(current, BaseException) or id(current) in seen:
            continue
        seen.add(id(current))
        for kind, words in _REASONS:
            if isinstance(current, kind):
                return words
        if isinstance(current, OSError) and current.errno in _REASONS_BY_ERRNO:
            return _REASONS_BY_ERRNO[current.errno]
        pending.extend(current.args)
        pending.extend((getattr(current, "reason", None), current.__context__, current.__cause__))
    return None
