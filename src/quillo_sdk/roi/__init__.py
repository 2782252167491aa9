"""Region-of-interest filtering; ``zone_gate`` is compiled beside this file.

``ZoneGate.filter_in_roi`` takes any objects with a ``tlwh`` attribute (left, top, width, height;
frame fractions, or pixels when width and height are both above 1); an object that also has an
``info`` mapping is a track, whose ``info["rect"]``, when present, is its box. :class:`Detection` and
:class:`Track` are such objects for applications without item classes of their own;
:func:`anchor_of` says where the gate locates an item, and :func:`zone_problems` what in region
records the gate cannot take or takes differently from how they look.
"""

from __future__ import annotations

import json
import math
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import shapely as _shapely

# The compiled gate uses shapely 2's vectorised API; an older shapely would only
# fail inside the extension's initialisation, with a less helpful message.
if int(str(_shapely.__version__).split(".")[0]) < 2:
    raise ImportError(f"quillo_sdk needs shapely 2.0 or newer; found {_shapely.__version__}")

__all__ = ["Detection", "Track", "anchor_of", "box_fractions", "ZoneProblem", "zone_problems"]

Box = Tuple[float, float, float, float]


def _box(tlwh: Sequence[float]) -> Box:
    values = tuple(tlwh)
    if len(values) != 4:
        raise ValueError("tlwh needs 4 numbers (left, top, width, height), got %d" % len(values))
    return values  # type: ignore[return-value,unused-ignore]


class Detection:
    """A detection: the box ``tlwh`` and any fields of your own (``label``, ``score``, ...) as attributes.

    A kept detection comes back from ``filter_in_roi`` as a copy with ``roi_id`` and ``roi_name``,
    the ids and names of the zones that matched it; the detection passed in is left as it was.
    """

    roi_id: List[str]
    roi_name: List[str]

    def __init__(self, tlwh: Sequence[float], **fields: Any) -> None:
        if "info" in fields:
            raise TypeError("a Detection has no info mapping; an item with one is a Track")
        self.tlwh: Box = _box(tlwh)
        self.__dict__.update(fields)

    if TYPE_CHECKING:
        # Fields given as keywords, typed as Any. Only for type checkers: at run time a Python
        # __getattr__ would turn every probe the gate makes for an optional attribute into a
        # formatted AttributeError, ten times the cost of the whole filtering.
        def __getattr__(self, name: str) -> Any: ...

    def __repr__(self) -> str:
        fields = ", ".join("%s=%r" % kv for kv in vars(self).items() if kv[0] != "tlwh")
        return "Detection(%r%s)" % (self.tlwh, ", " + fields if fields else "")


class Track:
    """A track: the fallback box ``tlwh``, the ``info`` mapping (``info["rect"]``, when present,
    is the box the gate reads) and any fields of your own as attributes.

    A kept track comes back as a copy that shares ``info`` with the track passed in; the gate writes
    the matched zones' ids and names into it under ``"roi_id"`` and ``"roi_name"``.
    """

    def __init__(self, tlwh: Sequence[float], info: Optional[Dict[str, Any]] = None, **fields: Any) -> None:
        self.tlwh: Box = _box(tlwh)
        self.info: Dict[str, Any] = {} if info is None else info
        if "rect" in self.info:
            _box(self.info["rect"])
        self.__dict__.update(fields)

    if TYPE_CHECKING:
        def __getattr__(self, name: str) -> Any: ...

    def __repr__(self) -> str:
        fields = "".join(", %s=%r" % kv for kv in vars(self).items() if kv[0] not in ("tlwh", "info"))
        return "Track(%r, %r%s)" % (self.tlwh, self.info, fields)


def anchor_of(item: Any, frame_sz: Optional[Sequence[float]] = None,
              anchor_pt: Sequence[float] = (0.5, 0.5)) -> Tuple[float, float]:
    """The point ``(x, y)``, in frame fractions, at which ``filter_in_roi`` locates ``item``.

    The box is a track's ``info["rect"]`` when it has one, else ``tlwh``; the anchor lies at
    ``anchor_pt`` of it (fractions of its width and height: (0.5, 0.5) the centre, (0.5, 1) the
    feet), divided by ``frame_sz`` (default [1.0, 1.0]) when the box is in pixels (width and height
    both above 1). Errors are the ones the gate meets for the same item (and logs).
    """
    from quillo_sdk.roi.zone_gate import _anchor_of

    return _anchor_of(item, anchor_pt, frame_sz)


def box_fractions(item: Any, frame_sz: Optional[Sequence[float]] = None) -> Box:
    """The box of ``item`` (left, top, width, height) in frame fractions, as :func:`anchor_of`
    reads and scales it: its corners are the anchors (0, 0) and (1, 1)."""
    left, top = anchor_of(item, frame_sz, (0, 0))
    right, bottom = anchor_of(item, frame_sz, (1, 1))
    return left, top, right - left, bottom - top


# ---------------------------------------------------------------- zone records

FLOAT32_MAX = 3.4028234663852886e38  # the gate keeps zone vertices in single precision


class ZoneProblem(NamedTuple):
    """One thing wrong with region records.

    ``zone`` is the record's index (None: the list as a whole) and ``where`` names it ("zone 2
    (Loading bay)"); ``fatal`` problems stop the records from being used as they stand (the gate
    fails on them or they mean something other than they show), the others change quietly what the
    records mean.
    """

    zone: Optional[int]
    where: str
    message: str
    fatal: bool

    def __str__(self) -> str:
        return "%s: %s" % (self.where, self.message) if self.where else self.message


def _vertex_problem(vertex: Any) -> Optional[str]:
    if not isinstance(vertex, list) or len(vertex) != 2:
        return "expected a list of 2 numbers"
    for value in vertex:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return "expected a number, got %s" % json.dumps(value)[:40]
        try:
            number = float(value)
        except OverflowError:
            number = math.inf
        if not math.isfinite(number) or abs(number) > FLOAT32_MAX:
            return "number out of range"
    return None


def zone_problems(records: Any) -> List[ZoneProblem]:
    """Everything in ``records`` (region records as read from JSON) that the gate cannot take or
    that quietly changes their meaning, in the order of the records; empty when they are sound."""
    from shapely.geometry import Polygon
    from shapely.validation import explain_validity

    if not isinstance(records, list):
        return [ZoneProblem(None, "", "expected a list of region records", True)]
    found: List[ZoneProblem] = []
    first_id: Dict[str, int] = {}
    outlineless: List[int] = []
    for i, record in enumerate(records):
        where = "zone %d" % i

        def problem(message: str, fatal: bool) -> None:
            found.append(ZoneProblem(i, where, message, fatal))

        if not isinstance(record, dict):
            problem("not an object; the gate cannot take it", True)
            continue
        label = record.get("label")
        if isinstance(label, str) and label:
            where += " (%s)" % label
        for key in ("roi_id", "label"):
            if key not in record:
                problem('no "%s": kept items get "" as its %s' % (key, "id" if key == "roi_id" else "name"), False)
            elif not isinstance(record[key], str):
                problem('"%s" is not text' % key, True)
        roi_id = record.get("roi_id")
        if isinstance(roi_id, str) and roi_id:
            if roi_id in first_id:
                problem('the same "roi_id" as zone %d: kept items cannot tell them apart' % first_id[roi_id], False)
            first_id.setdefault(roi_id, i)
        include = record.get("include")
        if not isinstance(include, bool):
            problem('"include" is %s, not true or false' % (
                "missing" if "include" not in record else json.dumps(include)[:20]), True)
        points = record.get("points")
        if not isinstance(points, list):
            problem('"points" is not a list of [x, y] pairs', True)
            continue
        if not points:
            outlineless.append(i)
            problem("%s with no points lets every item through: items outside all zones are kept, unannotated"
                    % ("an exclusion" if include is False else "a zone"), False)
            continue
        bad = next(((j, text) for j, text in ((j, _vertex_problem(p)) for j, p in enumerate(points)) if text), None)
        if bad is not None:
            problem("vertex %d: %s" % bad, True)
            continue
        outside = [j for j, vertex in enumerate(points) if not all(0.0 <= v <= 1.0 for v in vertex)]
        if outside:
            problem("vertices %s lie outside 0 to 1; zone vertices are frame fractions, not pixels"
                    % (", ".join(map(str, outside[:5])) + (", ..." if len(outside) > 5 else "")), False)
        if len(points) < 3:
            problem("%d vertices make no area; a zone needs at least 3 (or none, to let every item through)"
                    % len(points), True)
            continue
        outline = Polygon(points)
        if outline.buffer(0).area == 0:  # enclosed area: a bow tie's signed halves cancel
            problem("the outline has zero area: it contains no point", True)
        elif not outline.is_valid:
            problem("the outline crosses itself or folds back (%s): containment is not what it looks like"
                    % explain_validity(outline), True)
    if len(outlineless) > 1:
        found.append(ZoneProblem(None, "", "zones %s have no points; only one of them takes effect"
                                 % ", ".join(map(str, outlineless)), False))
    if not records:
        found.append(ZoneProblem(None, "", "no zones at all: every item passes, unannotated", False))
    elif not outlineless and not any(isinstance(r, dict) and r.get("include") is True and r.get("points")
                                     for r in records):
        found.append(ZoneProblem(None, "", "no include zone with an outline: every item is dropped", False))
    return found
