"""The ``quillo`` command: the kit's demo, and its tools against your own backend and zones.

Exit status: 0 success; 1 the job failed (fetch failed, unknown model type); 2 bad usage or input.
"""

from __future__ import annotations

import argparse
import errno
import json
import logging
import math
import os
import platform
import re
import shlex
import shutil
import sys
import textwrap
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from quillo_sdk import __version__
from quillo_sdk.logging import configure, get_logger

PROG = "quillo"


class UsageError(Exception):
    """Bad input from the user: reported on one line, exit status 2."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class JobFailed(Exception):
    """The command's job failed: reported on one line, exit status 1."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


# requests' connection errors: "HTTPConnectionPool(host='h', port=9): Max retries exceeded with url: /m
# (Caused by NewConnectionError(...: [Errno 111] Connection refused))", 200 to 400 characters.
_POOL_ERROR = re.compile(r"HTTPS?ConnectionPool\(host='([^']*)', port=(\d+)\): "
                         r"(?:Max retries exceeded with url: \S+ \(Caused by (\w+)\((.*?)\)\)(?=$|[;,]| -)|(.*?)(?=$|;))")
_ERRNO_TEXT = re.compile(r"\[Errno -?\d+\] ([^'\"()\]]+)")


def _connection_reason(cause: Optional[str], detail: str) -> str:
    found = _ERRNO_TEXT.findall(detail)
    if found:
        return found[-1].strip()
    if "timed out" in detail.lower() or (cause or "").lower().startswith(("connecttimeout", "readtimeout")):
        return "timed out"
    if cause == "SSLError":
        return "TLS failed: " + detail.split(":")[-1].strip(" '\")") if ":" in detail else "TLS failed"
    return (cause or detail.strip(". ") or "connection failed").replace("Error", " error").strip()


def readable(message: str) -> str:
    """``message`` on one line, with connection errors cut to the host and the reason."""
    def short(match: "re.Match[str]") -> str:
        host, port, cause, detail, other = match.groups()
        return "cannot reach %s:%s: %s" % (host, port, _connection_reason(cause, detail or other or ""))

    return _POOL_ERROR.sub(short, " ".join(str(message).split()))


def _fail(message: str, status: int) -> int:
    print("%s: error: %s" % (PROG, readable(message)), file=sys.stderr)
    return status


def _note(message: str) -> None:
    print("%s: note: %s" % (PROG, message), file=sys.stderr)


# --- fetch ---------------------------------------------------------------------------------------

def _size(count: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return ("%d %s" if unit == "B" else "%.1f %s") % (count, unit)
        count /= 1024
    return "%d B" % count


def _duration(seconds: float) -> str:
    seconds = int(seconds)
    return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60) if seconds >= 3600 else \
        "%d:%02d" % (seconds // 60, seconds % 60)


class ProgressBar:
    """Draws a download as one redrawn line from the fetcher's progress callback.

    Bytes, speed and time left, cut to the terminal's width. With tqdm installed
    (the ``progress`` extra) tqdm draws it; otherwise this class does.
    """

    def __init__(self, stream, width: Optional[int] = None, clock: Callable[[], float] = time.monotonic) -> None:
        self.stream, self.width, self.clock = stream, width, clock
        self.active = False
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
        width = self.width or shutil.get_terminal_size((80, 24)).columns
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


REFUSALS = ("token_rejected", "unknown_key", "download_refused", "unsafe")


def _failure_line(failure: Any, model_id: str, token_file: Optional[str]) -> str:
    """The reason of a failed fetch in one line, with what to do about it."""
    reason = " ".join(str(failure.message or "no reason logged").split())
    hints = {
        "token_rejected": "check the token file at %s" % token_file,
        "unknown_key": "no model with key %s" % model_id,
        "download_refused": "the download link was refused; try again for a new one",
        "unsafe": "the archive was refused as unsafe",
    }
    hint = hints.get(failure.kind)
    return "%s (%s)" % (reason, hint) if hint else reason


def writable_dir_problem(path: str) -> Optional[str]:
    """Why files cannot be made in directory ``path`` (created on demand), or None."""
    probe = os.path.abspath(path)
    while not os.path.exists(probe):
        probe = os.path.dirname(probe)
    if not os.path.isdir(probe):
        return "%s: Not a directory" % probe
    if not os.access(probe, os.W_OK | os.X_OK):
        return "%s: Permission denied" % probe
    return None


def _fetch_setup_problem(fetch: Any, model_id: str) -> Optional[str]:
    # Local set-up faults do not heal between attempts: report them now, not after the whole budget.
    token_file = getattr(fetch, "TOKEN_FILE", None)
    if token_file and not model_id.startswith("http"):
        if not os.path.exists(token_file):
            return "Token file not found at %s (set QUILLO_TOKEN_FILE to the device token file)" % token_file
        if os.path.isdir(token_file) or not os.access(token_file, os.R_OK):
            return "cannot read the device token file %s: %s" % (
                token_file, "Is a directory" if os.path.isdir(token_file) else "Permission denied")
    problem = writable_dir_problem(fetch.BASE_MODEL_DIR)
    return "cannot store models in %s: %s" % (fetch.BASE_MODEL_DIR, problem) if problem else None


def cmd_fetch(args: argparse.Namespace) -> int:
    from quillo_sdk.constants import MODEL_TYPE
    from quillo_sdk.model import fetch

    if args.base_dir is not None:
        fetch.BASE_MODEL_DIR = args.base_dir
    if args.timeout is not None:
        fetch.DOWNLOAD_MODEL_TIMEOUT = args.timeout
    if args.model_id != MODEL_TYPE.INTERNAL:
        problem = _fetch_setup_problem(fetch, args.model_id)
        if problem:
            raise JobFailed(problem)
    failures: List[Any] = []
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() and not args.verbose else None
    if bar is None:
        configure(logging.INFO)
    try:
        model_dir = fetch.download_detection_model(args.model_id, fail_fast=not args.retry_refusals,
                                                   progress=bar, on_failure=failures.append)
    finally:
        if bar is not None:
            bar.close()  # ends a half-drawn bar before any error line
    if model_dir is None:
        reason = _failure_line(failures[-1], args.model_id, fetch.TOKEN_FILE) if failures else "no attempt made"
        if failures and failures[-1].kind in REFUSALS and not args.retry_refusals:
            raise JobFailed("could not fetch %s: %s" % (args.model_id, reason))
        raise JobFailed("could not fetch %s within %s s: %s" % (
            args.model_id, getattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", "?"), reason))
    if model_dir == MODEL_TYPE.INTERNAL:
        print("internal model: nothing to fetch")
        return 0
    if not os.path.isdir(model_dir):
        raise JobFailed("the archive of %s did not unpack into %s" % (args.model_id, model_dir))
    try:
        model_type = fetch.check_model_type(model_dir)
    except OSError as exc:
        raise JobFailed("cannot read %s: %s" % (model_dir, exc.strerror or exc)) from None
    print("model dir:  " + model_dir)
    print("model type: " + (model_type or "unknown"))
    return 0


# --- model-type ----------------------------------------------------------------------------------

def cmd_model_type(args: argparse.Namespace) -> int:
    from quillo_sdk.model import fetch

    if not os.path.isdir(args.dir):
        raise UsageError(("not a directory: " if os.path.exists(args.dir) else "no such directory: ") + args.dir)
    try:
        # The rules read the whole path ("yolo" in a parent's name counts), so the answer must not
        # depend on where the command runs: the absolute path, as download_detection_model gives it.
        model_type = fetch.check_model_type(os.path.abspath(args.dir))
    except OSError as exc:
        raise UsageError("cannot read %s: %s" % (args.dir, exc.strerror or exc)) from None
    if model_type is None:
        print("unknown")
        print("%s: no rule matched the files in %s" % (PROG, args.dir), file=sys.stderr)
        return 1
    print(model_type)
    return 0


# --- zones ---------------------------------------------------------------------------------------

def _load_json(path: str, what: str) -> Any:
    def reject(constant: str) -> Any:
        raise ValueError(constant + " is not allowed")

    try:
        if path == "-":
            text = sys.stdin.read()
        else:
            with open(path, encoding="utf-8-sig") as source:  # editors on Windows write a BOM
                text = source.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError("cannot read %s %s: %s" % (what, path, getattr(exc, "strerror", None) or exc)) from None
    try:
        return json.loads(text[1:] if text.startswith("\ufeff") else text, parse_constant=reject)
    except ValueError as exc:
        raise UsageError("%s %s is not valid JSON: %s" % (what, path, exc)) from None
    except RecursionError:
        raise UsageError("%s %s is nested too deeply" % (what, path)) from None


FLOAT32_MAX = 3.4028234663852886e38  # the gate keeps zone vertices in single precision


def _number(value: Any, where: str, limit: float = math.inf) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise UsageError("%s: expected a number, got %s" % (where, json.dumps(value)[:40]))
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number) or abs(number) > limit:
        raise UsageError("%s: number out of range" % where)
    return number


def _numbers(value: Any, count: int, where: str, limit: float = math.inf) -> List[float]:
    if not isinstance(value, list) or len(value) != count:
        raise UsageError("%s: expected a list of %d numbers" % (where, count))
    return [_number(v, where, limit) for v in value]


def check_zones(records: Any, source: str) -> List[dict]:
    """Region records as the gate takes them, or a :class:`UsageError` naming the first bad one."""
    from shapely.geometry import Polygon
    from shapely.validation import explain_validity

    if not isinstance(records, list):
        raise UsageError("%s: expected a list of region records" % source)
    for i, record in enumerate(records):
        where = "%s: zone %d" % (source, i)
        if not isinstance(record, dict):
            raise UsageError(where + ": expected an object")
        for key in ("roi_id", "label"):
            if key in record and not isinstance(record[key], str):
                raise UsageError('%s: "%s" must be text' % (where, key))
        if record.get("label"):
            where += " (%s)" % record["label"]
        if not isinstance(record.get("include"), bool):
            raise UsageError('%s: "include" must be true or false' % where)
        points = record.get("points")
        if not isinstance(points, list):
            raise UsageError('%s: "points" must be a list of [x, y] pairs' % where)
        vertices = [tuple(_numbers(p, 2, where + " vertex %d" % j, FLOAT32_MAX)) for j, p in enumerate(points)]
        if vertices and len(vertices) < 3:
            raise UsageError("%s: a zone needs at least 3 vertices (or none, to match everything)" % where)
        if vertices and not Polygon(vertices).is_valid:
            raise UsageError("%s: invalid outline: %s" % (where, explain_validity(Polygon(vertices))))
        if any(abs(v) > 2 for vertex in vertices for v in vertex):
            print("%s: note: %s has vertices far outside 0 to 1; zone vertices are frame fractions, "
                  "not pixels" % (PROG, where), file=sys.stderr)
    return records


class Item:
    """A detection (``tlwh``) or, with an ``info`` mapping, a track, built from a JSON object."""

    def __init__(self, index: int, record: Dict[str, Any]) -> None:
        self.index, self.record = index, record
        self.tlwh = tuple(record["tlwh"])
        if "info" in record:
            self.info = record["info"]


def check_items(records: Any, source: str) -> List[Item]:
    if not isinstance(records, list):
        raise UsageError("%s: expected a list of detections or tracks" % source)
    items = []
    for i, record in enumerate(records):
        where = "%s: item %d" % (source, i)
        if not isinstance(record, dict):
            raise UsageError(where + ": expected an object")
        _numbers(record.get("tlwh"), 4, where + ' "tlwh"')
        if "info" in record:
            if not isinstance(record["info"], dict):
                raise UsageError('%s: "info" must be an object' % where)
            if "rect" in record["info"]:
                _numbers(record["info"]["rect"], 4, where + ' "info.rect"')
        items.append(Item(i, record))
    return items


def _pair(text: str, separators: str, what: str, convert: Callable[[str], float]) -> Tuple[float, float]:
    for sep in separators:
        if sep in text:
            first, _, second = text.partition(sep)
            try:
                a, b = convert(first), convert(second)
            except ValueError:
                break
            if math.isfinite(a) and math.isfinite(b):
                return a, b
    raise argparse.ArgumentTypeError("expected %s, got %r" % (what, text))


def frame_size(text: str) -> Tuple[int, int]:
    w, h = _pair(text.lower(), "x", "WIDTHxHEIGHT such as 1280x720", int)
    if w <= 0 or h <= 0:
        raise argparse.ArgumentTypeError("frame width and height must be positive, got %r" % text)
    return int(w), int(h)


def anchor_point(text: str) -> Tuple[float, float]:
    return _pair(text, ",", "AX,AY such as 0.5,1.0", float)


def _box(item: Item) -> Sequence[float]:
    """The box the gate reads: a track's info.rect when it has one, else tlwh."""
    info = getattr(item, "info", None)
    return info.get("rect", item.tlwh) if isinstance(info, dict) else item.tlwh


def item_anchor(item: Item, frame: Tuple[float, float], anchor: Tuple[float, float]) -> Tuple[float, float]:
    """The anchor in frame fractions, computed as the gate does."""
    x, y, w, h = _box(item)
    ax, ay = x + w * anchor[0], y + h * anchor[1]
    if w > 1.0 and h > 1.0:
        ax, ay = ax / frame[0], ay / frame[1]
    return ax, ay


def box_fractions(box: Sequence[float], frame: Tuple[float, float]) -> Tuple[float, float, float, float]:
    """The box in frame fractions, by the gate's rule for pixel boxes."""
    x, y, w, h = (float(v) for v in box)
    if w > 1.0 and h > 1.0:
        return x / frame[0], y / frame[1], w / frame[0], h / frame[1]
    return x, y, w, h


def picture_size(frame: Tuple[int, int], width: int = 960) -> Tuple[int, int]:
    """The picture of a frame: ``width`` pixels wide (room for the legend), as tall as the frame's
    shape asks within 1/8 to 2 times the width, so extreme shapes stay drawable."""
    return width, min(2 * width, max(width // 8, round(width * frame[1] / frame[0])))


class _ErrorCatcher(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.messages: List[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())


def zone_warnings(records: Any, source: str) -> List[str]:
    """What in region records quietly changes their meaning, one line each (empty: nothing found).
    Records the gate cannot take at all are reported too; a file that is no list of records raises
    :class:`UsageError`."""
    from shapely.geometry import Polygon
    from shapely.validation import explain_validity

    if not isinstance(records, list):
        raise UsageError("%s: expected a list of region records" % source)
    found: List[str] = []
    first_id: Dict[str, int] = {}
    outlineless: List[int] = []
    for i, record in enumerate(records):
        where = "%s: zone %d" % (source, i)
        if not isinstance(record, dict):
            found.append(where + ": not an object; the gate cannot take it")
            continue
        label = record.get("label")
        if isinstance(label, str) and label:
            where += " (%s)" % label
        for key in ("roi_id", "label"):
            if key not in record:
                found.append('%s: no "%s": kept items get "" as its %s' % (
                    where, key, "id" if key == "roi_id" else "name"))
            elif not isinstance(record[key], str):
                found.append('%s: "%s" is not text' % (where, key))
        roi_id = record.get("roi_id")
        if isinstance(roi_id, str) and roi_id:
            if roi_id in first_id:
                found.append('%s: the same "roi_id" as zone %d: kept items cannot tell them apart'
                             % (where, first_id[roi_id]))
            first_id.setdefault(roi_id, i)
        include = record.get("include")
        if not isinstance(include, bool):
            found.append('%s: "include" is %s, not true or false' % (
                where, "missing" if "include" not in record else json.dumps(include)[:20]))
        points = record.get("points")
        if not isinstance(points, list):
            found.append('%s: "points" is not a list of [x, y] pairs' % where)
            continue
        if not points:
            outlineless.append(i)
            found.append("%s: %s with no points lets every item through: items outside all zones are "
                         "kept, unannotated" % (where, "an exclusion" if include is False else "a zone"))
            continue
        try:
            vertices = [tuple(_numbers(p, 2, where + " vertex %d" % j, FLOAT32_MAX)) for j, p in enumerate(points)]
        except UsageError as exc:
            found.append(str(exc))
            continue
        outside = [j for j, vertex in enumerate(vertices) if not all(0.0 <= v <= 1.0 for v in vertex)]
        if outside:
            found.append("%s: vertices %s lie outside 0 to 1; zone vertices are frame fractions, not pixels"
                         % (where, ", ".join(map(str, outside[:5])) + (", ..." if len(outside) > 5 else "")))
        if len(vertices) < 3:
            found.append("%s: %d vertices make no area; the gate cannot build it" % (where, len(vertices)))
            continue
        outline = Polygon(vertices)
        if outline.buffer(0).area == 0:  # enclosed area: a bow tie's signed halves cancel
            found.append("%s: the outline has zero area: it contains no point" % where)
        elif not outline.is_valid:
            found.append("%s: the outline crosses itself or folds back (%s): containment is not what it "
                         "looks like" % (where, explain_validity(outline)))
    if len(outlineless) > 1:
        found.append("%s: zones %s have no points; only one of them takes effect" % (
            source, ", ".join(map(str, outlineless))))
    return found


def cmd_zones_check(args: argparse.Namespace) -> int:
    problems = zone_warnings(_load_json(args.zones, "zones file"), args.zones)
    for line in problems:
        print(line)
    if problems:
        print("%s: %d problem%s found in %s" % (PROG, len(problems), "s" * (len(problems) != 1), args.zones),
              file=sys.stderr)
        return 1
    print("%s: no problems found" % args.zones)
    return 0


def _picture_target(out: Optional[str], default_name: str) -> Optional[str]:
    """The picture file for ``out`` (a file or a directory), checked before any work."""
    if not out:
        return None
    from quillo_sdk.picture import picture_format, picture_path

    path = picture_path(out, default_name)
    try:
        picture_format(path)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    problem = writable_dir_problem(os.path.dirname(os.path.abspath(path)))
    if not problem and os.path.exists(path) and not os.access(path, os.W_OK):
        problem = "%s: Permission denied" % path
    if problem:
        raise JobFailed("cannot write the picture: " + problem)
    return path


def _frame_image_size(image: Optional[str]) -> Optional[Tuple[int, int]]:
    """The size of the camera frame ``image``; None without one or without Pillow."""
    if not image:
        return None
    if not os.path.isfile(image):
        raise UsageError("no such frame image: %s" % image)
    from quillo_sdk.picture import PillowMissing, frame_size_of

    try:
        return frame_size_of(image)
    except PillowMissing:
        return None
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _pillow_or_note() -> bool:
    from quillo_sdk.picture import VIZ_HINT, pillow_available

    if pillow_available():
        return True
    _note("no picture: " + VIZ_HINT)
    return False


def cmd_zones(args: argparse.Namespace) -> int:
    if args.check:
        if args.detections is not None:
            raise UsageError("--check reads only ZONES.json")
        return cmd_zones_check(args)
    if args.detections is None:
        raise UsageError("give DETECTIONS.json (or '-' for stdin), or --check to check ZONES.json alone")
    picture = _picture_target(args.out or (os.path.join("out", "quillo-zones.png") if args.image else None),
                              "quillo-zones.png")
    image_size = _frame_image_size(args.image)
    zones = check_zones(_load_json(args.zones, "zones file"), args.zones)
    items = check_items(_load_json(args.detections, "detections file"), args.detections)
    from quillo_sdk.constants import KEY
    from quillo_sdk.roi.zone_gate import ZoneGate

    frame = args.frame or image_size
    if args.frame is None and any(_box(i)[2] > 1 and _box(i)[3] > 1 for i in items):
        if image_size:
            _note("pixel boxes are divided by the frame image's size, %dx%d" % image_size)
        else:
            _note("some boxes look like pixels (width and height above 1); give --frame WxH to normalise them")
    try:
        gate = ZoneGate(zones, list(frame) if frame else None)
    except Exception as exc:  # the geometry library's errors have no common base
        raise UsageError("%s: cannot build the zones: %s" % (args.zones, exc)) from None
    catcher = _ErrorCatcher()
    gate_logger = get_logger("ZoneGate")
    gate_logger.addHandler(catcher)
    try:
        kept = gate.filter_in_roi(items, anchor_pt=args.anchor)
    finally:
        gate_logger.removeHandler(catcher)
    if catcher.messages:
        raise UsageError("filtering failed: " + catcher.messages[-1])
    output = []
    zones_of: Dict[int, List[str]] = {}
    for item in kept:
        info = getattr(item, "info", None)
        if isinstance(info, dict):
            ids, names = info.get(KEY.ROI_ID, []), info.get(KEY.ROI_NAME, [])
        else:
            ids, names = getattr(item, "roi_id", []), getattr(item, "roi_name", [])
        zones_of[item.index] = list(ids)
        output.append({"index": item.index, "roi_id": list(ids), "roi_name": list(names), "item": item.record})
    try:
        text = json.dumps(output, indent=2)
    except RecursionError:
        raise UsageError("%s: the items are nested too deeply to print" % args.detections) from None
    sys.stdout.write(text + "\n")
    sys.stdout.flush()
    if picture and _pillow_or_note():
        from quillo_sdk.picture import ItemMark, draw_zones

        scale = frame or (1.0, 1.0)
        marks = [ItemMark(item_anchor(item, scale, args.anchor), item.index in zones_of,
                          zones_of.get(item.index, ()), box_fractions(_box(item), scale)) for item in items]
        try:
            draw_zones(picture, zones, marks, size=picture_size(frame) if frame else (960, 540),
                       title="%d of %d kept" % (len(kept), len(items)), frame=args.image)
        except ValueError as exc:
            raise UsageError(str(exc)) from None
        except OSError as exc:
            raise JobFailed("cannot write %s: %s" % (picture, exc.strerror or exc)) from None
        _note("picture written to %s" % picture)
    return 0


# --- info ----------------------------------------------------------------------------------------

COMPILED_MODULES = ("quillo_sdk.structures.latestq", "quillo_sdk.roi.zone_gate", "quillo_sdk.model.fetch",
                    "quillo_sdk.logging.log_id")


def _libmagic_version() -> Optional[str]:
    try:
        import magic

        number = magic.version()
    except Exception:  # no binding, no library, or a library without magic_version
        number = None
    if not number:
        import ctypes
        import ctypes.util

        name = ctypes.util.find_library("magic")
        try:
            number = ctypes.CDLL(name or "libmagic.so.1").magic_version()
        except (OSError, AttributeError):
            return None
    return "%d.%02d" % divmod(int(number), 100)


NOT_REPORTED = object()  # a zone gate built before it told which GEOS library it bound


def collect_info() -> Dict[str, Any]:
    """What ``quillo info`` reports, as a JSON-ready mapping."""
    import importlib

    from quillo_sdk.constants import PORTABLE

    info: Dict[str, Any] = {
        "version": __version__,
        "python": "%s %s" % (platform.python_implementation(), platform.python_version()),
        "platform": platform.platform(),
        "portable": PORTABLE,
    }
    versions: Dict[str, Optional[str]] = {}
    for name in ("numpy", "shapely", "requests", "PIL"):
        try:
            versions["Pillow" if name == "PIL" else name] = importlib.import_module(name).__version__
        except Exception:
            versions["Pillow" if name == "PIL" else name] = None
    info["libraries"] = versions
    try:
        import shapely

        geos_version: Optional[str] = shapely.geos_version_string
    except Exception:
        geos_version = None
    info["libmagic"] = _libmagic_version()
    modules: Dict[str, str] = {}
    shortcuts: Dict[str, Dict[str, Any]] = {}
    geos_library: Any = None
    for module_name in COMPILED_MODULES:
        try:
            module = importlib.import_module(module_name)
        except Exception as exc:
            modules[module_name] = "failed to load: " + readable(str(exc) or type(exc).__name__)
            continue
        modules[module_name] = "ok"
        short = module_name.rsplit(".", 1)[1]
        for name, verdict in sorted(dict(getattr(module, "_shortcuts", None) or {}).items()):
            enabled, reason = verdict
            shortcuts["%s.%s" % (short, name)] = {"enabled": bool(enabled), "reason": reason}
        if short == "zone_gate":
            geos_library = getattr(module, "_geos_library", NOT_REPORTED)
    info["geos"] = {"version": geos_version, "library": None if geos_library is NOT_REPORTED else geos_library}
    info["geos_library_reported"] = geos_library is not NOT_REPORTED
    info["modules"] = modules
    info["fast_paths"] = {name: v["enabled"] for name, v in shortcuts.items()}
    info["shortcuts"] = shortcuts
    return info


def cmd_info(args: argparse.Namespace) -> int:
    info = collect_info()
    if args.json:
        print(json.dumps(info, indent=2))
        return 0
    libraries = info["libraries"]
    geos = info["geos"]
    gate_loaded = info["modules"].get("quillo_sdk.roi.zone_gate") == "ok"
    lines = [
        "quillo_sdk %s" % info["version"],
        "  %-10s %s" % ("python", info["python"]),
        "  %-10s %s" % ("platform", info["platform"]),
        "  %-10s %s" % ("numpy", libraries["numpy"] or "not installed"),
        "  %-10s %s" % ("shapely", libraries["shapely"] or "not installed"),
        "  %-10s %s" % ("GEOS", geos["version"] or "unknown"),
        "  %-10s %s" % ("GEOS lib", geos["library"] if geos["library"] else
                        "zone gate not loaded" if not gate_loaded else
                        "not reported by this build" if not info["geos_library_reported"] else
                        "none bound: the zone gate asks shapely for the hard cases"),
        "  %-10s %s" % ("libmagic", info["libmagic"] or "not found (Debian/Ubuntu: apt-get install libmagic1)"),
        "  %-10s %s" % ("Pillow", libraries["Pillow"] or 'not installed (pictures: pip install "quillo_sdk[viz]")'),
        "modules:",
    ]
    lines += ["  %-32s %s" % (name, state) for name, state in info["modules"].items()]
    lines.append("fast paths%s:" % (" (QUILLO_SDK_PORTABLE=1: all off)" if info["portable"] else ""))
    if not info["shortcuts"]:
        lines.append("  none")
    for name, verdict in info["shortcuts"].items():
        lines.append("  %-32s %s" % (name, "true" if verdict["enabled"] else
                                     "false (%s)" % (verdict["reason"] or "no reason given")))
    print("\n".join(lines))
    return 0


# --- devserver -----------------------------------------------------------------------------------

def cmd_devserver(args: argparse.Namespace) -> int:
    from quillo_sdk.devserver import SAMPLE_MODELS, DevServer, write_token_file

    configure(logging.INFO)
    try:
        server = DevServer(port=args.port, token=args.token, url_ttl=args.url_ttl)
    except ValueError as exc:
        raise UsageError("--token: %s" % exc) from None
    except OSError as exc:
        hint = " (another server has it; --port 0 picks a free port)" if exc.errno == errno.EADDRINUSE else ""
        raise JobFailed("cannot listen on 127.0.0.1:%d: %s%s" % (args.port, exc.strerror or exc, hint)) from None
    token_file = args.token_file
    if token_file:
        try:
            write_token_file(token_file, server.token)
        except OSError as exc:
            server.stop()
            raise JobFailed("cannot write the token to %s: %s" % (token_file, exc.strerror or exc)) from None
    lines = [
        "quillo devserver on " + server.base_url,
        "device token: " + server.token,
        "models:",
        *("  %-30s %s" % (m.key, m.description) for m in SAMPLE_MODELS.values()),
        "fetch with:",
        "  export SERVER_HOST=" + server.base_url,
    ]
    if token_file:
        lines.append("  export QUILLO_TOKEN_FILE=" + os.path.abspath(token_file))
    else:
        lines.append("  printf '%%s' %s > token.txt; export QUILLO_TOKEN_FILE=$PWD/token.txt" % shlex.quote(server.token))
    lines += ["  quillo fetch " + next(iter(SAMPLE_MODELS)), "Ctrl-C stops the server."]
    print("\n".join(lines), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


# --- demo ----------------------------------------------------------------------------------------

def cmd_demo(args: argparse.Namespace) -> int:
    from quillo_sdk.demo import run_demo

    # Found out before the run, not after it.
    picture = _picture_target(args.out, "quillo-demo.png")
    if picture:
        _frame_image_size(args.image)
    elif args.image:
        raise UsageError("--image needs a picture to draw: drop --out ''")
    if args.base_dir:
        problem = writable_dir_problem(args.base_dir)
        if problem:
            raise JobFailed("cannot store models in %s: %s" % (args.base_dir, problem))
    configure(logging.DEBUG if args.verbose else logging.INFO)
    try:
        status = run_demo(frames=args.frames, seed=args.seed, out=picture, base_dir=args.base_dir, model=args.model,
                          image=args.image)
    except OSError as exc:  # an unwritable --out or --base-dir
        raise JobFailed("%s: %s" % (exc.filename or "demo", exc.strerror or exc)) from None
    if status:
        raise JobFailed("the model %s was not fetched or not recognised; the warnings above say why" % args.model)
    return 0


# --- parser --------------------------------------------------------------------------------------

def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a whole number, got %r" % text) from None
    if value <= 0:
        raise argparse.ArgumentTypeError("expected a number above 0, got %r" % text)
    return value


def _nonempty(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("expected a port from 0 to 65535, got %r" % text)
    return value


ENVIRONMENT = """\
configuration (environment variables, read when the kit is imported):
  SERVER_HOST        backend API host, e.g. http://127.0.0.1:8080 (a host without a scheme uses https)
  QUILLO_MODEL_DIR   directory for model archives and unpacked models
  QUILLO_TOKEN_FILE  file holding the device token
"""


def _wrap(text: str) -> str:
    return textwrap.fill(text, 100)


def _examples(*lines: str, note: str = "") -> str:
    return "examples:\n" + "".join("  " + line + "\n" for line in lines) + ("\n" + note if note else "")


def build_parser() -> argparse.ArgumentParser:
    from quillo_sdk.devserver import DEFAULT_MODEL, SAMPLE_MODELS

    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=raw,
        description="quillo_sdk: rolling frame queue, zone gate, model fetcher and log identifiers.",
        epilog=_examples("quillo demo", "quillo devserver --port 8080", "quillo fetch yolov4-tiny-demo",
                         "quillo model-type ~/.cache/quillo/models/yolov4-tiny-demo",
                         "quillo zones zones.json detections.json --frame 1280x720 --out zones.png",
                         "quillo zones --check zones.json", "quillo info", note=ENVIRONMENT))
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, run: Callable[[argparse.Namespace], int], summary: str, description: str,
                epilog: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description, epilog=epilog, formatter_class=raw)
        sub.set_defaults(run=run)
        return sub

    demo = command(
        "demo", cmd_demo, "run every part together against an embedded development backend",
        _wrap("Start a development backend, fetch a detection model end to end, run a synthetic video pipeline "
              "(producer faster than consumer, drop-oldest queue, batch drains, zone gate, log identifiers), "
              "then print a summary and draw a picture of the zones and the last frames' items (with Pillow, "
              "the viz extra). No account needed."),
        _examples("quillo demo", "quillo demo --frames 100 --seed 3 --out /tmp/zones.jpg",
                  "quillo demo --image frame.jpg --out pictures/",
                  "quillo demo --base-dir ./models --model person-detection-openvino -v",
                  note="The scene is reproducible from --seed; which frames the queue drops depends on timing.\n"
                       "Pictures need Pillow: pip install \"quillo_sdk[viz]\"."))
    demo.add_argument("--frames", type=_positive_int, default=300, help="frames to produce (default 300)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic scene (default 7)")
    demo.add_argument("--out", default=os.path.join("out", "quillo-demo.png"), metavar="PICTURE",
                      help="picture to write, .png or .jpg, or a directory for quillo-demo.png in it; '' for "
                           "none (default out/quillo-demo.png)")
    demo.add_argument("--image", metavar="FRAME", help="draw the picture over this camera frame (.png, .jpg)")
    demo.add_argument("--base-dir", type=_nonempty, help="keep fetched models here (default: a temporary directory)")
    demo.add_argument("--model", default=DEFAULT_MODEL, choices=sorted(SAMPLE_MODELS), metavar="KEY",
                      help="sample model to fetch: %s (default %s)" % (", ".join(SAMPLE_MODELS), DEFAULT_MODEL))
    demo.add_argument("-v", "--verbose", action="store_true", help="also log every frame's event")

    fetch = command(
        "fetch", cmd_fetch, "fetch a model from the configured backend",
        _wrap("Resolve MODEL_ID at the backend (SERVER_HOST) with the device token (QUILLO_TOKEN_FILE), download "
              "and unpack it under the model directory (QUILLO_MODEL_DIR or --base-dir), and print the model "
              "directory and its type. Attempts repeat every second until --timeout."),
        _examples("quillo fetch yolov4-tiny-demo",
                  "SERVER_HOST=http://127.0.0.1:8080 QUILLO_TOKEN_FILE=token.txt quillo fetch ssd-mobilenet-tflite",
                  "quillo fetch https://example.com/models/m1.tar.xz --base-dir ./models --timeout 60",
                  note=ENVIRONMENT))
    fetch.add_argument("model_id", metavar="MODEL_ID", type=_nonempty, help="model key, or a direct URL of a .tar.xz archive")
    fetch.add_argument("--base-dir", type=_nonempty, help="directory for archives and models (overrides QUILLO_MODEL_DIR)")
    fetch.add_argument("--timeout", type=_positive_int, metavar="SECONDS",
                       help="give up after this many seconds of attempts (default 300)")
    fetch.add_argument("--retry-refusals", action="store_true",
                       help="keep trying after a 401, 403 or 404 or an unsafe archive (default: stop at once)")
    fetch.add_argument("-v", "--verbose", action="store_true", help="plain log lines instead of a progress bar")

    model_type = command(
        "model-type", cmd_model_type, "name the framework of an unpacked model directory",
        _wrap("Print the framework of the model in DIR (tf_yolo, openvino, tflite, tensorrt, tf_v2, tf_v1, "
              "torch), or \"unknown\" with exit status 1. The rules read DIR's absolute path, as "
              "download_detection_model gives it: \"yolo\" anywhere in the path counts, also in the name of "
              "a parent directory."),
        _examples("quillo model-type ~/.cache/quillo/models/yolov4-tiny-demo",
                  "quillo model-type ./models/efficientdet-d0-saved-model || echo 'not a model'"))
    model_type.add_argument("dir", metavar="DIR", help="model directory")

    zones = command(
        "zones", cmd_zones, "filter detections or tracks through zones",
        _wrap("Filter the detections of DETECTIONS.json through the zones of ZONES.json and print the kept "
              "items, with the ids and names of their zones, as JSON.") + "\n\n"
        "ZONES.json: a list of region records {\"roi_id\": text, \"label\": text, \"include\": true|false,\n"
        "  \"points\": [[x, y], ...]} with vertices in frame fractions (0..1); a record with no\n"
        "  points lets every item through (annotated only by the zones that match it).\n"
        "DETECTIONS.json: a list of {\"tlwh\": [x, y, w, h], ...}; with an \"info\" object the item is a\n"
        "  track, and info.rect, when present, is its box. Boxes wider and taller than 1 are pixels\n"
        "  and are divided by --frame (or by the size of the --image frame).\n\n"
        "--check ZONES.json reports records that quietly change meaning (no points, no roi_id or\n"
        "  label, vertices outside 0..1, outlines that cross themselves) and exits 1 if it finds any.\n"
        "Pictures (--out, --image) need Pillow: pip install \"quillo_sdk[viz]\".",
        _examples("quillo zones zones.json detections.json",
                  "quillo zones zones.json detections.json --frame 1280x720 --anchor 0.5,1 --out zones.png",
                  "quillo zones zones.json detections.json --image frame.jpg --out pictures/",
                  "quillo zones --check zones.json",
                  "detector | quillo zones zones.json - | jq '.[].roi_name'"))
    zones.add_argument("zones", metavar="ZONES.json", help="region records")
    zones.add_argument("detections", metavar="DETECTIONS.json", nargs="?",
                       help="detections or tracks ('-' reads stdin)")
    zones.add_argument("--check", action="store_true", help="only check ZONES.json for records that change meaning")
    zones.add_argument("--frame", type=frame_size, metavar="WxH", help="frame size in pixels, e.g. 1280x720")
    zones.add_argument("--anchor", type=anchor_point, default=(0.5, 0.5), metavar="AX,AY",
                       help="anchor point as fractions of the box (default 0.5,0.5, the centre; 0.5,1 the feet)")
    zones.add_argument("--out", "--png", dest="out", metavar="PICTURE",
                       help="also draw the zones and items into this .png or .jpg (a directory: quillo-zones.png in it)")
    zones.add_argument("--image", metavar="FRAME",
                       help="draw over this camera frame, zones scaled to it (default picture out/quillo-zones.png)")

    info = command(
        "info", cmd_info, "show versions, libraries and the fast paths in use",
        _wrap("Print the kit's version, Python and platform, the numpy, shapely, GEOS and libmagic versions, "
              "the GEOS library the zone gate bound, and every fast path of the compiled modules with whether it "
              "is on and, when off, why. QUILLO_SDK_PORTABLE=1 turns every fast path off."),
        _examples("quillo info", "quillo info --json | jq .fast_paths", "QUILLO_SDK_PORTABLE=1 quillo info"))
    info.add_argument("--json", action="store_true", help="print one JSON object")

    devserver = command(
        "devserver", cmd_devserver, "run the development backend on loopback",
        "Serve the model-URL endpoint and signed sample model archives on 127.0.0.1 until Ctrl-C.",
        _examples("quillo devserver", "quillo devserver --port 0 --token s3cret --token-file token.txt",
                  note="then, in another terminal:\n"
                       "  SERVER_HOST=http://127.0.0.1:8080 QUILLO_TOKEN_FILE=token.txt quillo fetch yolov4-tiny-demo"))
    devserver.add_argument("--port", type=_port, default=8080, help="port (default 8080; 0 picks a free one)")
    devserver.add_argument("--token", help="device token to accept (default: a random one, printed)")
    devserver.add_argument("--token-file", metavar="FILE", help="also write the token to FILE (mode 600)")
    devserver.add_argument("--url-ttl", type=_positive_int, default=600, metavar="SECONDS",
                           help="lifetime of signed download URLs (default 600)")
    return parser


def _causes(exc: BaseException) -> List[BaseException]:
    chain: List[BaseException] = []
    while exc is not None and exc not in chain and len(chain) < 20:
        chain.append(exc)
        exc = exc.__cause__ or exc.__context__  # type: ignore[assignment]
    return chain


def import_problem(exc: ImportError) -> str:
    """What a failed import means for the user, and what to install."""
    from quillo_sdk.picture import PillowMissing

    if isinstance(exc, PillowMissing):
        return str(exc)
    text = " ".join(str(e) for e in _causes(exc))
    if "libmagic" in text or getattr(exc, "name", None) == "magic" or "magic" in text.split():
        return ("libmagic is missing (the model fetcher needs it): install the libmagic1 package "
                "(Debian, Ubuntu, Raspberry Pi OS: sudo apt-get install libmagic1; Fedora: file-libs; "
                "macOS: brew install libmagic)")
    return "a part of the kit failed to load: %s (reinstall the kit; quillo info shows what loads)" % (
        str(exc) or type(exc).__name__)


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        return _fail(str(exc), 2)
    except JobFailed as exc:
        return _fail(str(exc), 1)
    except ImportError as exc:
        return _fail(import_problem(exc), 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
