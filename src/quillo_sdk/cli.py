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
import shlex
import sys
import textwrap
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from quillo_sdk import __version__
from quillo_sdk.logging import configure, get_logger

PROG = "quillo"


class UsageError(Exception):
    """Bad input from the user: reported on one line, exit status 2."""


class JobFailed(Exception):
    """The command's job failed: reported on one line, exit status 1."""


def _fail(message: str, status: int) -> int:
    print("%s: error: %s" % (PROG, " ".join(str(message).split())), file=sys.stderr)
    return status


# --- fetch ---------------------------------------------------------------------------------------

class AttemptWarnings(logging.Handler):
    """Collects the warnings of the fetcher's latest attempt: the reason a fetch failed."""

    ATTEMPT_START = "Get the download url from model_id:"

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.messages: List[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        if message.startswith(self.ATTEMPT_START):
            self.messages = []
        elif record.levelno >= logging.WARNING:
            self.messages.append(message)

    @property
    def reason(self) -> str:
        return "; ".join(self.messages) or "no reason logged"


class ProgressBar(logging.Handler):
    """Shows the fetcher's log on a terminal, its download progress lines as one redrawn bar."""

    PREFIX = "Downloading... "

    def __init__(self, stream, width: int = 30) -> None:
        super().__init__(logging.INFO)
        self.stream, self.width, self.active = stream, width, False

    def emit(self, record: logging.LogRecord) -> None:
        message = record.getMessage()
        progress = self._parse(message)
        if progress is None:
            self._end_bar()
            self.stream.write("  " + message.strip() + "\n")
        else:
            pct, done, total = progress
            filled = self.width * min(pct, 100) // 100
            size = "  %s / %s MB" % (done, total) if total.strip() not in ("", "0") else ""
            self.stream.write("\r  [%s%s] %3d%%%s" % ("#" * filled, "." * (self.width - filled), pct, size))
            self.active = True
            if pct >= 100:
                self._end_bar()
        self.stream.flush()

    def _end_bar(self) -> None:
        if self.active:
            self.stream.write("\n")
            self.stream.flush()
            self.active = False

    def close(self) -> None:
        self._end_bar()
        super().close()

    @classmethod
    def _parse(cls, message: str) -> Optional[Tuple[int, str, str]]:
        # "Downloading... 50% (30MB / 60MB)"
        if not message.startswith(cls.PREFIX) or not message.endswith("MB)"):
            return None
        try:
            pct, rest = message[len(cls.PREFIX):].split("% (", 1)
            done, total = rest[:-3].split("MB / ")
            return int(pct), done, total
        except ValueError:
            return None


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
    model_logger = get_logger("MODEL")
    attempt = AttemptWarnings()
    handlers: List[logging.Handler] = [attempt]
    if sys.stderr.isatty() and not args.verbose:
        handlers.append(ProgressBar(sys.stderr))
        model_logger.setLevel(logging.INFO)
    else:
        configure(logging.INFO)
    for handler in handlers:
        model_logger.addHandler(handler)
    try:
        model_dir = fetch.download_detection_model(args.model_id)
    finally:
        for handler in handlers:
            model_logger.removeHandler(handler)
            handler.close()  # ends a half-drawn bar before any error line
    if model_dir is None:
        raise JobFailed("could not fetch %s within %s s: %s" % (
            args.model_id, getattr(fetch, "DOWNLOAD_MODEL_TIMEOUT", "?"), attempt.reason))
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
        model_type = fetch.check_model_type(args.dir)
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
        bom = "\ufeff"  # stdin keeps it
        return json.loads(text[len(bom):] if text.startswith(bom) else text, parse_constant=reject)
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


def cmd_zones(args: argparse.Namespace) -> int:
    zones = check_zones(_load_json(args.zones, "zones file"), args.zones)
    items = check_items(_load_json(args.detections, "detections file"), args.detections)
    from quillo_sdk.constants import KEY
    from quillo_sdk.roi.zone_gate import ZoneGate

    if args.frame is None and any(_box(i)[2] > 1 and _box(i)[3] > 1 for i in items):
        print("%s: note: some boxes look like pixels (width and height above 1); give --frame WxH "
              "to normalise them" % PROG, file=sys.stderr)
    try:
        gate = ZoneGate(zones, list(args.frame) if args.frame else None)
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
    for item in kept:
        info = getattr(item, "info", None)
        if isinstance(info, dict):
            ids, names = info.get(KEY.ROI_ID, []), info.get(KEY.ROI_NAME, [])
        else:
            ids, names = getattr(item, "roi_id", []), getattr(item, "roi_name", [])
        output.append({"index": item.index, "roi_id": list(ids), "roi_name": list(names), "item": item.record})
    try:
        text = json.dumps(output, indent=2)
    except RecursionError:
        raise UsageError("%s: the items are nested too deeply to print" % args.detections) from None
    sys.stdout.write(text + "\n")
    if args.png:
        from quillo_sdk.picture import draw_zones

        frame = args.frame or (1.0, 1.0)
        kept_index = {item.index for item in kept}
        points = {True: [], False: []}
        for item in items:
            points[item.index in kept_index].append(item_anchor(item, frame, args.anchor))
        size = picture_size(args.frame) if args.frame else (960, 540)
        try:
            draw_zones(args.png, zones, points[True], points[False], size=size,
                       title="%d of %d kept" % (len(kept), len(items)))
        except OSError as exc:
            raise JobFailed("cannot write %s: %s" % (args.png, exc.strerror or exc)) from None
        print("%s: picture written to %s" % (PROG, args.png), file=sys.stderr)
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
    if args.out:
        problem = writable_dir_problem(os.path.dirname(os.path.abspath(args.out)))
        if os.path.isdir(args.out):
            problem = "%s: Is a directory" % args.out
        elif os.path.exists(args.out) and not os.access(args.out, os.W_OK):
            problem = "%s: Permission denied" % args.out
        if problem:
            raise JobFailed("cannot write the picture: " + problem)
    if args.base_dir:
        problem = writable_dir_problem(args.base_dir)
        if problem:
            raise JobFailed("cannot store models in %s: %s" % (args.base_dir, problem))
    configure(logging.DEBUG if args.verbose else logging.INFO)
    try:
        status = run_demo(frames=args.frames, seed=args.seed, out=args.out, base_dir=args.base_dir, model=args.model)
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
                         "quillo zones zones.json detections.json --frame 1280x720 --png zones.png",
                         note=ENVIRONMENT))
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
              "then print a summary and write a PNG of the zones. No account needed."),
        _examples("quillo demo", "quillo demo --frames 100 --seed 3 --out /tmp/zones.png",
                  "quillo demo --base-dir ./models --model person-detection-openvino -v",
                  note="The scene is reproducible from --seed; which frames the queue drops depends on timing."))
    demo.add_argument("--frames", type=_positive_int, default=300, help="frames to produce (default 300)")
    demo.add_argument("--seed", type=int, default=7, help="seed of the synthetic scene (default 7)")
    demo.add_argument("--out", default=os.path.join("out", "quillo-demo.png"),
                      help="PNG to write (default out/quillo-demo.png)")
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
    fetch.add_argument("-v", "--verbose", action="store_true", help="plain log lines instead of a progress bar")

    model_type = command(
        "model-type", cmd_model_type, "name the framework of an unpacked model directory",
        _wrap("Print the framework of the model in DIR (tf_yolo, openvino, tflite, tensorrt, tf_v2, tf_v1, "
              "torch), or \"unknown\" with exit status 1."),
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
        "  and are divided by --frame.",
        _examples("quillo zones zones.json detections.json",
                  "quillo zones zones.json detections.json --frame 1280x720 --anchor 0.5,1 --png zones.png",
                  "detector | quillo zones zones.json - | jq '.[].roi_name'"))
    zones.add_argument("zones", metavar="ZONES.json", help="region records")
    zones.add_argument("detections", metavar="DETECTIONS.json", help="detections or tracks ('-' reads stdin)")
    zones.add_argument("--frame", type=frame_size, metavar="WxH", help="frame size in pixels, e.g. 1280x720")
    zones.add_argument("--anchor", type=anchor_point, default=(0.5, 0.5), metavar="AX,AY",
                       help="anchor point as fractions of the box (default 0.5,0.5, the centre; 0.5,1 the feet)")
    zones.add_argument("--png", metavar="OUT", help="also draw the zones and anchors into this PNG")

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


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        return _fail(str(exc), 2)
    except JobFailed as exc:
        return _fail(str(exc), 1)
    except ImportError as exc:
        return _fail("a part of the kit failed to load: %s" % exc, 1)
    except KeyboardInterrupt:
        return _fail("interrupted", 130)
    except BrokenPipeError:  # the reader went away (| head): nothing more to say
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
