"""``quillo zones``: filter detections or tracks through zones, check zone files, draw them."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

from quillo_sdk.cli._common import (
    PROG,
    JobFailed,
    UsageError,
    add_command,
    examples,
    finite_pair,
    frame_image_size,
    load_json,
    note,
    picture_target,
    wrap,
)

DEFAULT_PICTURE = "quillo-zones.png"


def frame_size(text: str) -> Tuple[int, int]:
    w, h = finite_pair(text.lower(), "x", "WIDTHxHEIGHT such as 1280x720", int)
    if w <= 0 or h <= 0:
        raise argparse.ArgumentTypeError("frame width and height must be above 0, got %r" % text)
    return int(w), int(h)


def anchor_point(text: str) -> Tuple[float, float]:
    ax, ay = finite_pair(text, ",", "AX,AY such as 0.5,1.0", float)
    if not (0 <= ax <= 1 and 0 <= ay <= 1):
        raise argparse.ArgumentTypeError("the anchor is a point of the box, each fraction from 0 to 1, got %r" % text)
    return ax, ay


def load_zones(path: str) -> List[Dict[str, Any]]:
    """The region records of ``path``; a :class:`UsageError` at the first one the gate cannot take as
    it stands, a note for each that quietly changes meaning."""
    from quillo_sdk.roi import zone_problems

    records = load_json(path, "zones file")
    problems = zone_problems(records)
    fatal = next((p for p in problems if p.fatal), None)
    if fatal is not None:
        raise UsageError("%s: %s" % (path, fatal))
    for problem in problems:
        note("%s: %s" % (path, problem))
    return records  # type: ignore[no-any-return]


def _numbers(value: Any, count: int, where: str) -> None:
    if not isinstance(value, list) or len(value) != count:
        raise UsageError("%s: expected a list of %d numbers" % (where, count))
    for v in value:
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise UsageError("%s: expected a number, got %s" % (where, json.dumps(v)[:40]))
        try:
            finite = math.isfinite(float(v))
        except OverflowError:
            finite = False
        if not finite:
            raise UsageError("%s: number out of range" % where)


def load_items(path: str) -> List[Any]:
    """The detections and tracks of ``path`` as :class:`~quillo_sdk.roi.Detection` and
    :class:`~quillo_sdk.roi.Track`, each with its ``index`` in the file and its ``record``."""
    from quillo_sdk.roi import Detection, Track

    records = load_json(path, "detections file")
    if not isinstance(records, list):
        raise UsageError("%s: expected a list of detections or tracks" % path)
    items: List[Any] = []
    for i, record in enumerate(records):
        where = "%s: item %d" % (path, i)
        if not isinstance(record, dict):
            raise UsageError(where + ": expected an object")
        _numbers(record.get("tlwh"), 4, where + ' "tlwh"')
        if "info" not in record:
            items.append(Detection(record["tlwh"], index=i, record=record))
            continue
        if not isinstance(record["info"], dict):
            raise UsageError('%s: "info" must be an object' % where)
        if "rect" in record["info"]:
            _numbers(record["info"]["rect"], 4, where + ' "info.rect"')
        items.append(Track(record["tlwh"], record["info"], index=i, record=record))
    return items


def item_label(item: Any) -> str:
    """What a box in the picture says: the item's class or label, its track id, else its index."""
    info = getattr(item, "info", None)
    fields = dict(item.record, **info) if isinstance(info, dict) else item.record
    name = next((str(fields[k]) for k in ("label", "class", "cls", "class_name") if fields.get(k) not in (None, "")),
                "")
    track_id = fields.get("track_id")
    if track_id is not None:
        return ("%s #%s" % (name, track_id)).strip()
    return name or "#%d" % item.index


def picture_size(frame: Tuple[int, int], width: int = 960) -> Tuple[int, int]:
    """The picture of a frame: ``width`` pixels wide (room for the legend), as tall as the frame's
    shape asks within 1/8 to 2 times the width, so extreme shapes stay drawable."""
    return width, min(2 * width, max(width // 8, round(width * frame[1] / frame[0])))


def check(args: argparse.Namespace) -> int:
    from quillo_sdk.roi import zone_problems

    problems = zone_problems(load_json(args.zones, "zones file"))
    if problems and problems[0].zone is None and problems[0].fatal:
        raise UsageError("%s: %s" % (args.zones, problems[0]))
    for problem in problems:
        print("%s: %s" % (args.zones, problem))
    if problems:
        print("%s: %d problem%s found in %s" % (PROG, len(problems), "s" * (len(problems) != 1), args.zones),
              file=sys.stderr)
        return 1
    print("%s: no problems found" % args.zones)
    return 0


def run(args: argparse.Namespace) -> int:
    if args.check:
        if args.detections is not None:
            raise UsageError("--check reads only ZONES.json")
        return check(args)
    if args.detections is None:
        raise UsageError("give DETECTIONS.json (or '-' for stdin), or --check to check ZONES.json alone")
    picture = picture_target(args.out or (os.path.join("out", DEFAULT_PICTURE) if args.image else None),
                             DEFAULT_PICTURE, asked=True)
    image_size = frame_image_size(args.image)
    zones = load_zones(args.zones)
    items = load_items(args.detections)
    from quillo_sdk.roi import box_fractions
    from quillo_sdk.roi.zone_gate import ZoneGate

    frame = args.frame or image_size
    if args.frame is None and any(box_fractions(i) != box_fractions(i, (2, 2)) for i in items):
        if image_size:
            note("pixel boxes are divided by the frame image's size, %dx%d" % image_size)
        else:
            note("some boxes look like pixels (width and height above 1); give --frame WxH to normalise them")
    try:
        gate = ZoneGate(zones, list(frame) if frame else None)
    except Exception as exc:  # the geometry library's errors have no common base
        raise UsageError("%s: cannot build the zones: %s" % (args.zones, exc)) from None
    errors: List[BaseException] = []
    kept = gate.filter_in_roi(items, anchor_pt=args.anchor, on_error=errors.append)
    if errors:
        raise UsageError("filtering failed: %s: %s" % (type(errors[0]).__name__, errors[0]))
    output = []
    zones_of: Dict[int, List[str]] = {}
    for item in kept:
        info = getattr(item, "info", None)
        ids, names = (info.get("roi_id", []), info.get("roi_name", [])) if isinstance(info, dict) else \
            (getattr(item, "roi_id", []), getattr(item, "roi_name", []))
        zones_of[item.index] = list(ids)
        output.append({"index": item.index, "roi_id": list(ids), "roi_name": list(names), "item": item.record})
    try:
        text = json.dumps(output, indent=2)
    except RecursionError:
        raise UsageError("%s: the items are nested too deeply to print" % args.detections) from None
    sys.stdout.write(text + "\n")
    sys.stdout.flush()
    if picture:
        draw(args, picture, zones, items, zones_of, frame, len(kept))
    return 0


def draw(args: argparse.Namespace, picture: str, zones: List[Dict[str, Any]], items: List[Any],
         zones_of: Dict[int, List[str]], frame: Optional[Tuple[int, int]], kept: int) -> None:
    from quillo_sdk.picture import ItemMark, draw_zones, held_by_include_zone, item_mark

    held = held_by_include_zone(zones, frame, args.anchor)
    marks: List[ItemMark] = []
    for item in items:
        passed = item.index in zones_of
        marks.append(item_mark(item, frame, args.anchor, zones_of.get(item.index, ()), kept=passed,
                               excluded=not passed and held(item), label=item_label(item)))
    try:
        draw_zones(picture, zones, marks, size=picture_size(frame) if frame else (960, 540),
                   title="%d of %d items kept" % (kept, len(items)), frame=args.image)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    except OSError as exc:
        raise JobFailed("cannot write %s: %s" % (picture, exc.strerror or exc)) from None
    note("picture written to %s" % picture)


def add_to(commands: Any) -> None:
    zones = add_command(
        commands, "zones", run, "filter detections or tracks through zones",
        wrap("Filter the detections of DETECTIONS.json through the zones of ZONES.json and print the kept "
             "items, with the ids and names of their zones, as JSON.") + "\n\n"
        "ZONES.json: a list of region records {\"roi_id\": text, \"label\": text, \"include\": true|false,\n"
        "  \"points\": [[x, y], ...]} with vertices in frame fractions (0..1); a record with no\n"
        "  points lets every item through (annotated only by the zones that match it).\n"
        "DETECTIONS.json: a list of {\"tlwh\": [x, y, w, h], ...}; with an \"info\" object the item is a\n"
        "  track, and info.rect, when present, is its box. Boxes wider and taller than 1 are pixels\n"
        "  and are divided by --frame (or by the size of the --image frame).\n\n"
        "--check ZONES.json reports records that quietly change meaning (no zones, no points, no\n"
        "  roi_id or label, vertices outside 0..1, outlines that cross themselves) and exits 1 if it\n"
        "  finds any.\n"
        "Pictures (--out, --image) need Pillow: pip install \"Pillow>=10.1\" (the kit's viz extra).",
        examples("quillo zones zones.json detections.json",
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
                       help="anchor point as fractions of the box, 0 to 1 (default 0.5,0.5, the centre; 0.5,1 "
                            "the feet)")
    zones.add_argument("--out", "--png", dest="out", metavar="PICTURE",
                       help="also draw the zones and items into this .png or .jpg (a directory, made if need "
                            "be: quillo-zones.png in it)")
    zones.add_argument("--image", metavar="FRAME",
                       help="draw over this camera frame, zones scaled to it (default picture out/quillo-zones.png)")
