"""``quillo fetch``: fetch a model from the configured backend, saying what happens as it happens.

Everything it tells comes from the fetcher's API: the progress callback draws the bar, and each
failed attempt's :class:`FetchFailure` (kind, status, host, file) makes the status line and the
final reason; no log text is read.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from typing import Any, Callable, List, Optional, TextIO, Tuple
from urllib.parse import urlsplit

from quillo_sdk.cli._common import (
    ENVIRONMENT,
    Interrupted,
    JobFailed,
    add_command,
    examples,
    nonempty,
    positive_int,
    writable_dir_problem,
    wrap,
)
from quillo_sdk.logging import configure, get_logger

DEFAULT_BUDGET = 300  # seconds, the fetcher's own default

# Failures that end the attempts at once unless --retry-refusals is given.
REFUSALS = ("token_missing", "token_rejected", "unknown_key", "download_refused", "unsafe", "bad_archive",
            "integrity")


# --- progress ------------------------------------------------------------------------------------

def _size(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (count, unit)
        count /= 1024
    return "%d B" % count


def terminal_width(stream: TextIO) -> int:
    """The columns of the terminal ``stream`` writes to (80 when it cannot tell)."""
    try:
        return os.get_terminal_size(stream.fileno()).columns or 80
    except (OSError, ValueError, AttributeError):
        return 80


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60) if seconds >= 3600 else \
        "%d:%02d" % (seconds // 60, seconds % 60)


class ProgressBar:
    """Draws a download as one redrawn line from the fetcher's progress callback.

    Bytes, speed and time left, cut to the terminal's width. With tqdm installed tqdm draws it;
    otherwise this class does.
    """

    def __init__(self, stream: TextIO, width: Optional[int] = None,
                 clock: Callable[[], float] = time.monotonic) -> None:
        self.stream, self.width, self.clock = stream, width, clock
        self.active = False
        self.received = 0  # bytes of the model on disk, as last reported
        self._start: Optional[Tuple[float, int]] = None
        self._tqdm: Any = None
        self._tqdm_class = None if width is not None else self._find_tqdm()

    @staticmethod
    def _find_tqdm() -> Any:
        try:
            from tqdm import tqdm
        except ImportError:
            return None
        return tqdm

    def __call__(self, done: int, total: Optional[int]) -> None:
        if self._start is None or done < self._start[1]:
            self._start = (self.clock(), done)
        self.received = done
        if self._tqdm_class is not None:
            self._draw_tqdm(done, total)
        else:
            self.stream.write("\r" + self.line(done, total))
            self.stream.flush()
        self.active = True
        if total is not None and done >= total:
            self.close()

    def _draw_tqdm(self, done: int, total: Optional[int]) -> None:
        if self._tqdm is None or self._tqdm.total != total:
            if self._tqdm is not None:
                self._tqdm.close()
            self._tqdm = self._tqdm_class(total=total, initial=done, unit="B", unit_scale=True, unit_divisor=1024,
                                          dynamic_ncols=True, file=self.stream, leave=True)
        self._tqdm.update(done - self._tqdm.n)

    def line(self, done: int, total: Optional[int]) -> str:
        """The bar's text after ``done`` of ``total`` bytes (None: unknown)."""
        width = self.width or terminal_width(self.stream)
        started, first = self._start or (self.clock(), done)
        elapsed = self.clock() - started
        speed = (done - first) / elapsed if elapsed > 0 else 0.0
        rate = _size(speed) + "/s" if speed else "-"
        if total:
            left = _duration((total - done) / speed) if speed else "-:--"
            facts = " %3d%% %s / %s %s ETA %s" % (100 * done // total, _size(done), _size(total), rate, left)
        else:
            facts = " %s %s" % (_size(done), rate)
        room = width - 1 - len(facts) - 2
        if total and room >= 10:
            filled = room * min(done, total) // total
            return ("[%s%s]" % ("#" * filled, "." * (room - filled)) + facts)[: width - 1]
        return facts.strip()[: width - 1]

    def close(self) -> None:
        if self._tqdm is not None:
            self._tqdm.close()
            self._tqdm = None
        elif self.active:
            self.stream.write("\n")
            self.stream.flush()
        self.active = False


# --- what a failure means ------------------------------------------------------------------------

def _cause(failure: Any) -> Optional[str]:
    if failure.status is not None and failure.status >= 500:
        return "the server answered HTTP %d" % failure.status
    return failure.reason


class Backend:
    """Where the fetcher looks for model URLs, as configured (SERVER_HOST)."""

    def __init__(self, server_host: str, model_url: str) -> None:
        self.server_host = server_host
        parts = urlsplit(model_url)
        self.scheme, self.host = parts.scheme, parts.netloc
        self.has_scheme = "://" in server_host
        self.extra_path = urlsplit(server_host if self.has_scheme else "//" + server_host).path.rstrip("/")

    def suggested(self, scheme: str) -> str:
        return "%s://%s" % (scheme, self.host)


def explain(failure: Any, model_id: str, backend: Backend, token_file: str) -> str:
    """What one failed attempt means, as a sentence without its final stop."""
    kind, status, host = failure.kind, failure.status, failure.host
    file = failure.file
    where = host or backend.host
    http = " (HTTP %d)" % status if status is not None else ""
    by_key = host is None or host == backend.host
    if kind == "token_missing":
        file = file or token_file
        return "%s; set QUILLO_TOKEN_FILE to the device token file" % (
            "cannot read the device token file %s" % file if os.path.exists(file) else "no device token file at %s" % file)
    if kind == "token_rejected":
        return "the backend at %s refused the device token%s; check the token file at %s" % (
            where, http, file or token_file)
    if kind == "unknown_key" and backend.extra_path and by_key:
        return ("SERVER_HOST %s ends in a path (%s), but it names the host alone: the kit adds "
                "/api/v1/models/<key>/url, which answered 404 there; set SERVER_HOST=%s"
                % (backend.server_host, backend.extra_path, backend.suggested(backend.scheme)))
    if kind == "unknown_key":
        return "the backend at %s has no model with key %s%s" % (where, model_id, http)
    if kind == "download_refused":
        return "the download link at %s was refused%s; a new attempt asks for a new one" % (where, http)
    if kind == "unsafe":
        return "the archive from %s was refused as unsafe (a member outside the model directory or too large)" % where
    if kind == "bad_archive":
        return "the download from %s is not an xz-compressed tar archive" % where
    if kind == "integrity":
        return "the archive from %s does not match the SHA-256 digest the backend named; it was deleted" % where
    if kind == "lock_busy":
        return "another process holds the lock on this model%s" % (" (%s)" % file if file else "")
    if kind == "deadline":
        return "the time ran out during the download; the part downloaded is kept and running the command again " \
               "resumes it"
    if kind == "timeout":
        return "%s did not answer in time" % where
    if kind == "unreachable":
        cause = _cause(failure)
        if cause == "TLS failed" and not backend.has_scheme and by_key:
            return ("TLS failed with %s: is the server plain http? SERVER_HOST has no scheme, so https is "
                    "used; set SERVER_HOST=%s" % (where, backend.suggested("http")))
        return "cannot reach %s%s" % (where, " (%s)" % cause if cause else "")
    message = " ".join(str(failure.message or "").split())
    return "the attempt failed" + (": " + message.rstrip(".") if message else "")


class AttemptReport:
    """Shows each failed attempt as the fetcher reports it: on a terminal one status line, redrawn
    per attempt; otherwise one log line per attempt."""

    def __init__(self, stream: TextIO, terminal: bool, ends_at: float, explain_one: Callable[[Any], str],
                 bar: Optional[ProgressBar], final: Callable[[Any], bool]) -> None:
        self.stream, self.terminal, self.ends_at = stream, terminal, ends_at
        self.explain_one, self.bar, self.final = explain_one, bar, final
        self.failures: List[Any] = []
        self.log = get_logger("cli")
        self._shown = False

    def __call__(self, failure: Any) -> None:
        self.failures.append(failure)
        if self.bar is not None:
            self.bar.close()
        if self.final(failure):  # no retry follows: the command's error line says it
            return
        text = "attempt %d: %s; retrying until %s" % (
            len(self.failures), self.explain_one(failure), time.strftime("%H:%M:%S", time.localtime(self.ends_at)))
        if self.terminal:
            # One row, so that the next attempt's line replaces it: the hint goes first if it must.
            width = terminal_width(self.stream)
            line = text + ", Ctrl-C to stop"
            if len(line) >= width:
                line = text if len(text) < width else text[: width - 2] + "\u2026"
            self.stream.write("\r\x1b[K" + line)
            self.stream.flush()
            self._shown = True
        else:
            self.log.warning(text)

    def close(self) -> None:
        if self._shown:
            self.stream.write("\n")
            self.stream.flush()
            self._shown = False


def run(args: argparse.Namespace) -> int:
    from quillo_sdk.constants import MODEL_TYPE, SERVER_HOST
    from quillo_sdk.model import fetch

    if args.base_dir is not None:
        fetch.BASE_MODEL_DIR = args.base_dir
    budget = args.timeout or getattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", DEFAULT_BUDGET)
    if args.timeout is not None:
        fetch.DOWNLOAD_MODEL_TIMEOUT = args.timeout
    if args.model_id != MODEL_TYPE.INTERNAL:
        # An unwritable model directory does not heal between attempts: say so now, not after the budget.
        problem = writable_dir_problem(fetch.BASE_MODEL_DIR)
        if problem:
            raise JobFailed("cannot store models in %s: %s" % (fetch.BASE_MODEL_DIR, problem))
    terminal = sys.stderr.isatty()
    bar = ProgressBar(sys.stderr) if terminal and not args.verbose else None
    if bar is None:
        configure(logging.INFO)
    backend = Backend(SERVER_HOST, fetch.MODEL_URL)
    token_file = fetch.TOKEN_FILE

    def explain_one(failure: Any) -> str:
        return explain(failure, args.model_id, backend, token_file)

    def final(failure: Any) -> bool:
        return failure.kind in REFUSALS and not args.retry_refusals

    report = AttemptReport(sys.stderr, bar is not None, time.time() + budget, explain_one, bar, final)
    downloading = False

    def progress(done: int, total: Optional[int]) -> None:
        nonlocal downloading
        downloading = total is None or done < total
        if bar is not None:
            bar(done, total)

    try:
        model_dir = fetch.download_detection_model(args.model_id, fail_fast=not args.retry_refusals,
                                                   progress=progress, on_failure=report, deadline=args.timeout)
    except KeyboardInterrupt:
        if downloading:
            raise Interrupted("interrupted during the download of %s; running the same command again resumes it"
                              % args.model_id) from None
        raise
    finally:
        if bar is not None:
            bar.close()  # ends a half-drawn bar before any error line
        report.close()
    if model_dir is None:
        failures = report.failures
        reason = explain_one(failures[-1]) if failures else "no attempt was made"
        if failures and final(failures[-1]):
            raise JobFailed("could not fetch %s: %s." % (args.model_id, reason))
        raise JobFailed("could not fetch %s within %s s: %s." % (args.model_id, budget, reason))
    if model_dir == MODEL_TYPE.INTERNAL:
        print("internal model: nothing to fetch")
        return 0
    if not os.path.isdir(model_dir):
        raise JobFailed("the archive of %s did not unpack into %s." % (args.model_id, model_dir))
    try:
        model_type = fetch.check_model_type(model_dir)
    except OSError as exc:
        raise JobFailed("cannot read %s: %s." % (model_dir, exc.strerror or exc)) from None
    print("model dir:  " + model_dir)
    print("model type: " + (model_type or "unknown"))
    return 0


def add_to(commands: Any) -> None:
    fetch = add_command(
        commands, "fetch", run, "fetch a model from the configured backend",
        wrap("Resolve MODEL_ID at the backend (SERVER_HOST) with the device token (QUILLO_TOKEN_FILE), download "
             "and unpack it under the model directory (QUILLO_MODEL_DIR or --base-dir), and print the model "
             "directory and its type. Attempts repeat every second until --timeout, each failed one shown as "
             "it happens; the command ends within --timeout seconds (plus 2)."),
        examples("quillo fetch yolov4-tiny-demo",
                 "SERVER_HOST=http://127.0.0.1:8080 QUILLO_TOKEN_FILE=token.txt quillo fetch ssd-mobilenet-tflite",
                 "quillo fetch https://example.com/models/m1.tar.xz --base-dir ./models --timeout 60",
                 note=ENVIRONMENT))
    fetch.add_argument("model_id", metavar="MODEL_ID", type=nonempty,
                       help="model key, or a direct URL of a .tar.xz archive")
    fetch.add_argument("--base-dir", type=nonempty, help="directory for archives and models (overrides QUILLO_MODEL_DIR)")
    fetch.add_argument("--timeout", type=positive_int, metavar="SECONDS",
                       help="give up after this many seconds, whatever the server does (default: attempts for "
                            "%d s)" % DEFAULT_BUDGET)
    fetch.add_argument("--retry-refusals", action="store_true",
                       help="keep trying after a refusal: a missing or rejected token, an unknown key, a refused "
                            "link, an unsafe or damaged archive (default: stop at once)")
    fetch.add_argument("-v", "--verbose", action="store_true", help="plain log lines instead of a progress bar")
