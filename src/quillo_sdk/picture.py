"""Pictures of zones and items, drawn with Pillow (the ``viz`` extra, Pillow 10.1 or newer).

:func:`draw_zones` draws region records (vertices in frame fractions) over a plain canvas or over a
real camera frame, with the items of a frame: their labelled boxes (a track's dashed), their anchors
in the colour of the zone that kept them, a mark on the dropped ones that says why (outside every
zone, or inside an exclusion), and a legend that explains every mark drawn. :func:`item_mark` turns
a detection or track into the mark the gate's own anchor rule places. Everything is drawn at a
multiple of the output size and reduced by box averaging, which anti-aliases the shapes and leaves
the frame's own pixels exactly as they were wherever nothing is drawn.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Set, Tuple

Color = Tuple[int, int, int]
Point = Tuple[float, float]
Box = Tuple[float, float, float, float]

VIZ_HINT = 'pictures need Pillow 10.1 or newer (the kit\'s viz extra): pip install "Pillow>=10.1"'
FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG"}
FONT_FILES = ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",  # Debian's fonts-dejavu-core
              "/usr/share/fonts/TTF/DejaVuSans.ttf", "/usr/share/fonts/dejavu/DejaVuSans.ttf")

ZONE_COLORS: Sequence[Color] = ((31, 119, 180), (44, 160, 44), (148, 103, 189), (23, 150, 170),
                                (188, 140, 20), (140, 86, 75))
EXCLUSION_COLOR: Color = (214, 39, 40)
DROPPED_COLOR: Color = (200, 0, 0)
DROPPED_BOX_COLOR: Color = (205, 205, 205)  # light grey within a dark halo: visible on any frame
HALO_COLOR: Color = (30, 30, 30)
PASSED_COLOR: Color = (90, 90, 90)  # kept by a zone without outline: no zone colour to give it
# A track inside a zone is drawn from the first colour (just entered) to the second (longest stay).
DWELL_COLORS: Tuple[Color, Color] = ((245, 190, 40), (150, 40, 0))
INK: Color = (40, 40, 40)
CANVAS_COLOR: Color = (236, 238, 241)
LEGEND_COLOR: Color = (250, 250, 250)
# Coordinates are clamped to this many output pixels: far off any canvas, small enough for the
# drawing library's integer arithmetic.
COORD_LIMIT = 1e5


class PillowMissing(ImportError):
    """Pillow (the ``viz`` extra) is not installed; the message says how to get it."""

    def __init__(self, message: str = VIZ_HINT) -> None:
        super().__init__(message)


def _pillow() -> Any:
    try:
        import PIL
        from PIL import Image, ImageDraw, ImageFont
    except ImportError:
        raise PillowMissing(VIZ_HINT) from None
    if tuple(int(p) for p in PIL.__version__.split(".")[:2]) < (10, 1):
        raise PillowMissing(VIZ_HINT + " (found Pillow %s)" % PIL.__version__)
    return Image, ImageDraw, ImageFont


def pillow_available() -> bool:
    try:
        _pillow()
    except PillowMissing:
        return False
    return True


def picture_format(path: str) -> str:
    """The image format for ``path``, from its extension; ValueError for names it cannot take."""
    ext = os.path.splitext(path)[1].lower()
    if ext not in FORMATS:
        raise ValueError("%s: a picture name must end in .png, .jpg or .jpeg" % path)
    return FORMATS[ext]


def picture_path(out: str, default_name: str) -> str:
    """``out`` itself, or ``default_name`` inside it when ``out`` is a directory (or ends in a slash)."""
    if out.endswith(("/", os.sep)) or os.path.isdir(out):
        return os.path.join(out, default_name)
    return out


def frame_size_of(path: str) -> Tuple[int, int]:
    """The width and height of the image ``path``; ValueError when it is no image Pillow reads."""
    image_module = _pillow()[0]
    try:
        with image_module.open(path) as image:
            width, height = image.size
    except (OSError, image_module.DecompressionBombError) as exc:
        raise ValueError("cannot read the frame %s: %s" % (path, getattr(exc, "strerror", None) or exc)) from None
    return int(width), int(height)


@dataclass
class ItemMark:
    """One item of the frame as the picture shows it.

    ``anchor`` and ``box`` (left, top, width, height) are in frame fractions. ``zones`` holds the
    ``roi_id`` values of the include zones that kept the item; ``kept`` with no zones means a zone
    without outline let it through. A dropped item is ``excluded`` when an include zone holds its
    anchor (an exclusion dropped it) rather than no zone at all. ``label`` is written on the box,
    ``track`` draws the box dashed, and ``dwell`` (seconds in a zone) colours a track's anchor from
    just entered to the longest stay in the picture.
    """

    anchor: Point
    kept: bool
    zones: Sequence[str] = ()
    box: Optional[Box] = None
    label: Optional[str] = None
    track: bool = False
    excluded: bool = False
    dwell: Optional[float] = None


def item_mark(item: Any, frame_sz: Optional[Sequence[float]], anchor_pt: Sequence[float], zones: Sequence[str],
              *, kept: Optional[bool] = None, excluded: bool = False, with_box: bool = True,
              label: Optional[str] = None, dwell: Optional[float] = None) -> ItemMark:
    """The mark of a detection or track whose anchor the gate's own rule places (see
    :func:`quillo_sdk.roi.anchor_of`); ``zones`` are the ids of the zones that kept it."""
    from quillo_sdk.roi import anchor_of, box_fractions

    return ItemMark(anchor_of(item, frame_sz, anchor_pt), bool(zones) if kept is None else kept, tuple(zones),
                    box_fractions(item, frame_sz) if with_box else None, label,
                    isinstance(getattr(item, "info", None), dict), excluded, dwell)


def held_by_include_zone(zones: Iterable[Mapping[str, Any]], frame_sz: Optional[Sequence[float]],
                         anchor_pt: Sequence[float]) -> Callable[[Any], bool]:
    """Whether an include zone (its exclusions aside) holds an item's anchor, by the gate's rule:
    for a dropped item, True means an exclusion dropped it, False that it lies outside every zone."""
    from quillo_sdk.roi.zone_gate import ZoneGate

    outlines = [dict(z) for z in zones if z.get("include") is True and len(_vertices(z))]
    if not outlines:
        return lambda item: False
    gate = ZoneGate(outlines, list(frame_sz) if frame_sz else None)
    return lambda item: bool(gate.filter_in_roi([item], anchor_pt=anchor_pt))


def dwell_color(seconds: float, longest: float) -> Color:
    """The colour of a track that has been ``seconds`` in a zone, when the longest stay is ``longest``."""
    share = min(1.0, seconds / longest) if longest > 0 else 0.0
    start, end = DWELL_COLORS
    return (round(start[0] + (end[0] - start[0]) * share), round(start[1] + (end[1] - start[1]) * share),
            round(start[2] + (end[2] - start[2]) * share))


def _finite(value: Any) -> Optional[float]:
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        return None
    if math.isnan(number):
        return None
    return min(max(number, -COORD_LIMIT), COORD_LIMIT)


class _Fonts:
    def __init__(self, image_font: Any, scale: int) -> None:
        self._image_font, self.scale = image_font, scale
        self._file = next((f for f in FONT_FILES if os.path.isfile(f)), None)
        self._cache: Dict[int, Any] = {}

    def get(self, size: int) -> Any:
        """A font of ``size`` output pixels, at the drawing scale."""
        px = max(6, size) * self.scale
        if px not in self._cache:
            font = None
            if self._file:
                try:
                    font = self._image_font.truetype(self._file, px)
                except OSError:
                    font = None
            self._cache[px] = font or self._image_font.load_default(size=px)
        return self._cache[px]


def _darker(color: Color, factor: float = 0.7) -> Color:
    return (int(color[0] * factor), int(color[1] * factor), int(color[2] * factor))


class _Picture:
    def __init__(self, base: Any, scale: int, modules: Any) -> None:
        image_module, draw_module, font_module = modules
        self.scale = scale
        self.width, self.height = base.size
        # Nearest-neighbour up, box average down: untouched pixels come back exactly.
        self.image = base.convert("RGB").resize((self.width * scale, self.height * scale), image_module.NEAREST)
        self.draw = draw_module.Draw(self.image, "RGBA")
        self._image_module, self._draw_module = image_module, draw_module
        self.fonts = _Fonts(font_module, scale)

    def xy(self, points: Iterable[Point]) -> List[Tuple[float, float]]:
        return [(x * self.scale, y * self.scale) for x, y in points]

    def polygon(self, points: Sequence[Point], fill: Tuple[int, int, int, int], outline: Color, width: float) -> None:
        xy = self.xy(points)
        self.draw.polygon(xy, fill=fill)
        self.draw.line(xy + xy[:1], fill=outline, width=max(1, round(width * self.scale)), joint="curve")

    def hatch(self, points: Sequence[Point], color: Color, spacing: float = 9.0, width: float = 2.0) -> None:
        """Diagonal stripes inside the polygon."""
        xy = self.xy(points)
        left, top = max(0, int(min(x for x, _ in xy))), max(0, int(min(y for _, y in xy)))
        right = min(self.image.width, int(math.ceil(max(x for x, _ in xy))) + 1)
        bottom = min(self.image.height, int(math.ceil(max(y for _, y in xy))) + 1)
        if left >= right or top >= bottom:
            return
        region = self.image.crop((left, top, right, bottom))
        striped = region.copy()
        stripes = self._draw_module.Draw(striped, "RGBA")
        step, w, h = spacing * self.scale, right - left, bottom - top
        offset = -h
        while offset < w:
            stripes.line([(offset, h), (offset + h, 0)], fill=color + (200,), width=max(1, round(width * self.scale)))
            offset += step
        mask = self._image_module.new("L", (w, h), 0)
        self._draw_module.Draw(mask).polygon([(x - left, y - top) for x, y in xy], fill=255)
        self.image.paste(self._image_module.composite(striped, region, mask), (left, top))

    def dot(self, center: Point, radius: float, fill: Color, ring: Color = (255, 255, 255)) -> None:
        (x, y), r = self.xy([center])[0], radius * self.scale
        self.draw.ellipse([x - r, y - r, x + r, y + r], fill=fill, outline=ring, width=max(1, round(1.5 * self.scale)))

    def cross(self, center: Point, radius: float, color: Color, width: float = 2.5) -> None:
        (x, y), r = self.xy([center])[0], radius * self.scale
        for halo, line_color in ((2.0, (255, 255, 255)), (0.0, color)):
            line_width = max(1, round((width + halo) * self.scale))
            self.draw.line([(x - r, y - r), (x + r, y + r)], fill=line_color, width=line_width)
            self.draw.line([(x - r, y + r), (x + r, y - r)], fill=line_color, width=line_width)

    def barred_ring(self, center: Point, radius: float, color: Color, width: float = 2.5) -> None:
        """A ring with a bar across it: a "no entry" sign."""
        (x, y), r = self.xy([center])[0], radius * self.scale
        for halo, line_color in ((2.0, (255, 255, 255)), (0.0, color)):
            line_width = max(1, round((width + halo) * self.scale))
            self.draw.ellipse([x - r, y - r, x + r, y + r], outline=line_color, width=line_width)
            d = r * 0.7071
            self.draw.line([(x - d, y + d), (x + d, y - d)], fill=line_color, width=line_width)

    def rectangle(self, box: Box, color: Color, width: float, fill: Optional[Tuple[int, int, int, int]] = None,
                  dashed: bool = False, halo: Optional[Color] = None) -> None:
        """An outline (dashed, or over a wider ``halo`` outline) with an optional fill."""
        x, y, w, h = box
        (x0, y0), (x1, y1) = self.xy([(x, y), (x + w, y + h)])
        corners = [min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)]
        line = max(1, round(width * self.scale))
        if fill is not None:
            self.draw.rectangle(corners, fill=fill)
        if halo is not None:  # one output pixel of it on either side of the line
            grow = self.scale
            self.draw.rectangle([corners[0] - grow, corners[1] - grow, corners[2] + grow, corners[3] + grow],
                                outline=halo, width=line + 2 * grow)
        if not dashed:
            self.draw.rectangle(corners, outline=color, width=line)
            return
        left, top, right, bottom = corners
        dash = 6.0 * self.scale
        for (ax, ay), (bx, by) in (((left, top), (right, top)), ((right, top), (right, bottom)),
                                   ((right, bottom), (left, bottom)), ((left, bottom), (left, top))):
            length = math.hypot(bx - ax, by - ay)
            steps = max(1, int(length // dash))
            for k in range(0, steps, 2):
                t0, t1 = k / steps, min(1.0, (k + 1) / steps)
                self.draw.line([(ax + (bx - ax) * t0, ay + (by - ay) * t0), (ax + (bx - ax) * t1, ay + (by - ay) * t1)],
                               fill=color, width=line)

    def text_size(self, text: str, size: int) -> Tuple[float, float]:
        left, top, right, bottom = self.draw.textbbox((0, 0), text, font=self.fonts.get(size))
        return right / self.scale, bottom / self.scale

    def text(self, at: Point, text: str, size: int, color: Color,
             background: Optional[Tuple[int, int, int, int]] = None, pad: float = 3.0) -> None:
        x, y = at
        if background is not None:
            w, h = self.text_size(text, size)
            (x0, y0), (x1, y1) = self.xy([(x - pad, y - pad), (x + w + pad, y + h + pad)])
            self.draw.rounded_rectangle([x0, y0, x1, y1], radius=3 * self.scale, fill=background)
        self.draw.text(self.xy([(x, y)])[0], text, font=self.fonts.get(size), fill=color)

    def result(self) -> Any:
        return self.image.reduce(self.scale) if self.scale > 1 else self.image


def _drawing_scale(width: int, height: int) -> int:
    # 3x for small pictures, less for large frames (a 4K frame at 3x would be 75 million pixels).
    return max(1, min(3, int(math.sqrt(9e6 / max(1, width * height)))))


def _label_box(x: float, y: float, w: float, h: float) -> Any:
    from shapely.geometry import box

    return box(x - 3, y - 3, x + w + 3, y + h + 3)


def _place_labels(labels: List[Tuple[Any, str, Tuple[float, float]]], outlines: List[Any],
                  width: int, height: int, taken: Sequence[Any] = ()) -> List[Point]:
    """Top-left corners for zone labels: on the canvas, off the other zones and labels if possible.

    ``labels`` holds (zone outline, text, text size) per label and ``outlines`` every zone's outline;
    ``taken`` are areas already written on (the boxes' labels). Candidates lie inside the zone near
    its top, at its middle, and just outside it; the one covering the least of the other zones and
    of the labels placed before wins.
    """
    placed: List[Any] = list(taken)
    corners: List[Point] = []
    for own, text, (w, h) in labels:
        minx, miny, maxx, maxy = own.bounds
        inner = own.representative_point()
        top = min(own.exterior.coords, key=lambda p: (p[1], p[0]))
        candidates = [(top[0] + 6, top[1] + 6), (top[0] - w / 2, top[1] + 8), (inner.x - w / 2, inner.y - h / 2),
                      (minx + 6, miny + 6), (minx, miny - h - 8), (minx, maxy + 8), (maxx + 8, miny),
                      (minx - w - 8, miny), (maxx - w - 6, maxy - h - 6)]
        best, best_cost = None, math.inf
        for rank, (x, y) in enumerate(candidates):
            x = min(max(x, 4.0), max(4.0, width - w - 4))
            y = min(max(y, 4.0), max(4.0, height - h - 4))
            rect = _label_box(x, y, w, h)
            cost = sum(rect.intersection(o).area for o in outlines if o is not own) * 4
            cost += sum(rect.intersection(p).area for p in placed) * 8
            cost += rect.distance(own) * 20 + rank * 0.5
            if cost < best_cost:
                best, best_cost = (x, y), cost
        assert best is not None
        corners.append(best)
        placed.append(_label_box(best[0], best[1], w, h))
    return corners


def _vertices(zone: Mapping[str, Any]) -> Sequence[Any]:
    """The zone's vertex list (the gate turns it into an array in place); empty when it has none."""
    points = zone.get("points")
    return () if points is None or isinstance(points, (str, bytes)) else points


def _zone_outline(zone: Mapping[str, Any], width: int, height: int) -> Optional[List[Point]]:
    points = []
    for vertex in _vertices(zone):
        try:
            x, y = _finite(vertex[0]), _finite(vertex[1])
        except (TypeError, IndexError, KeyError):
            return None
        if x is None or y is None:
            return None
        points.append((min(max(x * width, -COORD_LIMIT), COORD_LIMIT), min(max(y * height, -COORD_LIMIT), COORD_LIMIT)))
    return points if len(points) >= 3 else None


def _fit(picture: _Picture, text: str, size: int, room: float) -> str:
    """``text``, shortened with an ellipsis until it fits ``room`` output pixels."""
    if picture.text_size(text, size)[0] <= room:
        return text
    while len(text) > 1 and picture.text_size(text + "\u2026", size)[0] > room:
        text = text[:-1]
    return text + "\u2026"


def draw_zones(path: str, zones: Iterable[Mapping[str, Any]], items: Iterable[ItemMark] = (),
               size: Tuple[int, int] = (960, 540), title: str = "", frame: Optional[str] = None,
               window: str = "") -> str:
    """Draw ``zones`` and ``items`` into the picture ``path`` (.png or .jpg) and return ``path``.

    Include zones are filled in their colour with their names, exclusions hatched in red, items
    shown by their labelled boxes and anchors (kept ones in the colour of the zone that kept them,
    dropped ones marked by why), with a legend below that explains every mark drawn and counts the
    items each zone kept. ``window`` says what the anchors cover ("the last 16 frames"; default: the
    frame). ``frame`` names an image to draw over instead of a plain canvas of ``size``; the zones
    are scaled to it.
    Raises :class:`PillowMissing` without Pillow, ValueError for a name without a picture extension
    or an unreadable frame, OSError when the file cannot be written.
    """
    modules = _pillow()
    image_module = modules[0]
    image_format = picture_format(path)
    if frame is not None:
        try:
            with image_module.open(frame) as source:
                base = source.convert("RGB")
        except (OSError, image_module.DecompressionBombError) as exc:
            raise ValueError("cannot read the frame %s: %s" % (frame, getattr(exc, "strerror", None) or exc)) from None
    else:
        base = image_module.new("RGB", size, CANVAS_COLOR)
    width, height = base.size
    zones, items = list(zones), list(items)
    picture = _Picture(base, _drawing_scale(width, height), modules)
    font_size = max(11, min(28, round(min(width, 1.6 * height) / 60)))
    if frame is None:
        for i in range(1, 10):  # a tenth grid, to read positions off the picture
            picture.draw.line(picture.xy([(i * width / 10, 0), (i * width / 10, height)]), fill=(222, 224, 228),
                              width=picture.scale)
            picture.draw.line(picture.xy([(0, i * height / 10), (width, i * height / 10)]), fill=(222, 224, 228),
                              width=picture.scale)

    from shapely.geometry import Polygon

    zone_colors: Dict[str, Color] = {}
    shapes, labels, match_all = [], [], []
    include_index = 0
    for zone in zones:
        name = str(zone.get("label") or zone.get("roi_id") or "")
        outline = _zone_outline(zone, width, height)
        if outline is None:
            if len(_vertices(zone)) == 0:
                match_all.append(name or "a zone")
            continue
        if zone.get("include"):
            color = ZONE_COLORS[include_index % len(ZONE_COLORS)]
            include_index += 1
            zone_colors.setdefault(str(zone.get("roi_id", "")), color)
            picture.polygon(outline, color + (56,), color, 3)
        else:
            color = EXCLUSION_COLOR
            picture.polygon(outline, color + (40,), color, 2)
            picture.hatch(outline, color)
            name = (name + " (excluded)") if name else "excluded"
        shape = Polygon(outline).buffer(0)
        shapes.append(shape)
        if name and not shape.is_empty and shape.geom_type == "Polygon":
            name = _fit(picture, name, font_size, width - 8)
            labels.append((shape, name, picture.text_size(name, font_size), _darker(color)))

    counts: Dict[str, int] = {}
    passed = 0
    drawn: Set[str] = set()  # the kinds of mark drawn, for the legend
    longest = max((item.dwell for item in items if item.dwell is not None), default=0.0)
    tags: List[Tuple[Point, str, Color]] = []
    for item in items:
        anchor = (_finite(item.anchor[0]), _finite(item.anchor[1]))
        color = (dwell_color(item.dwell, longest) if item.dwell is not None else
                 zone_colors.get(item.zones[0], ZONE_COLORS[0]) if item.zones else
                 PASSED_COLOR if item.kept else DROPPED_COLOR)
        for zone_id in dict.fromkeys(item.zones):
            counts[zone_id] = counts.get(zone_id, 0) + 1
        passed += item.kept and not item.zones
        if item.box is not None:
            box = [_finite(v) for v in item.box]
            if None not in box:
                x, y, w, h = box  # type: ignore[misc]
                rect = (x * width, y * height, w * width, h * height)
                if item.kept:
                    picture.rectangle(rect, color, 2, dashed=item.track)
                else:
                    picture.rectangle(rect, DROPPED_BOX_COLOR, 1.5, dashed=item.track, halo=HALO_COLOR)
                drawn.add("track box" if item.track else "box")
                drawn.add("box kept" if item.kept else "box dropped")
                if item.label:
                    corner = (rect[0], rect[1] + rect[3] + 3) if item.track else (rect[0], rect[1] - font_size - 2)
                    tags.append((corner, item.label, _darker(color, 0.6) if item.kept else INK))
        if None in anchor:
            continue
        at = (anchor[0] * width, anchor[1] * height)  # type: ignore[operator]
        if item.dwell is not None:
            picture.dot(at, 6.5, color)
            drawn.add("dwell")
            note = "%.1f s" % item.dwell
            if item.label and item.box is None:
                note = item.label + " " + note
            picture.text((at[0] + 9, at[1] - font_size), note, round(font_size * 0.8), _darker(color, 0.6),
                         background=(255, 255, 255, 190), pad=2)
        elif item.kept:
            picture.dot(at, 5.5, color)
            drawn.add("kept")
        elif item.excluded:
            picture.barred_ring(at, 5.5, color, 2)
            drawn.add("excluded")
        else:
            picture.cross(at, 5, color)
            drawn.add("outside")
    tag_size = max(9, round(font_size * 0.72))
    taken = []
    for corner, text, color in tags:
        at = (min(max(corner[0], 2), width - 2), min(max(corner[1], 2), height - tag_size - 2))
        picture.text(at, text, tag_size, color, background=(255, 255, 255, 200), pad=1.5)
        taken.append(_label_box(at[0], at[1], *picture.text_size(text, tag_size)))
    for (shape, name, text_size, color), corner in zip(labels, _place_labels([l[:3] for l in labels], shapes,
                                                                             width, height, taken)):
        picture.text(corner, name, font_size, color, background=(255, 255, 255, 215))
    if any(not z.get("include") and _zone_outline(z, width, height) for z in zones):
        drawn.add("exclusion")
    image = picture.result()
    entries = legend_entries(drawn, zones, zone_colors, counts, passed, match_all, longest, window)
    image = _with_legend(image, modules, entries, title, font_size)
    image.save(path, format=image_format, **({"quality": 92} if image_format == "JPEG" else {}))
    return path


LegendEntry = Tuple[str, Any, str]  # (kind of swatch, colour, text)


def legend_entries(drawn: Iterable[str], zones: Sequence[Mapping[str, Any]], zone_colors: Mapping[str, Color],
                   counts: Mapping[str, int], passed: int, match_all: Sequence[str], longest: float = 0.0,
                   window: str = "") -> List[LegendEntry]:
    """The legend of a picture in which the marks ``drawn`` were drawn: one entry per kind of mark
    (only those drawn), one per include zone with the items it kept, one per zone without outline."""
    drawn = set(drawn)
    marks: List[Tuple[str, LegendEntry]] = [
        ("kept", ("dot", ZONE_COLORS[0], "kept anchor, in its zone's colour")),
        ("outside", ("cross", DROPPED_COLOR, "dropped: outside every zone")),
        ("excluded", ("barred", DROPPED_COLOR, "dropped: inside an exclusion")),
        ("dwell", ("dwell", DWELL_COLORS, "track in a zone, by time there: 0 s to %.1f s" % longest)),
        ("box kept", ("box", ZONE_COLORS[0], "box of a kept item")),
        ("box dropped", ("dropped box", DROPPED_BOX_COLOR, "grey box: a dropped item")),
        ("track box", ("track box", INK, "dashed box: a track" + (", solid: a detection" if "box" in drawn else ""))),
        ("exclusion", ("hatch", EXCLUSION_COLOR, "exclusion")),
    ]
    entries = [entry for kind, entry in marks if kind in drawn]
    within = " in " + window if window else ""
    seen = set()
    for zone in zones:
        zone_id = str(zone.get("roi_id", ""))
        if zone.get("include") and len(_vertices(zone)) and zone_id not in seen and zone_id in zone_colors:
            seen.add(zone_id)
            name = str(zone.get("label") or zone_id or "zone")
            entries.append(("swatch", zone_colors[zone_id], "%s: %d kept%s" % (name, counts.get(zone_id, 0), within)))
    for name in match_all:
        entries.append(("note", PASSED_COLOR, "%s has no outline: every item passes (%d passed unmatched)"
                        % (name, passed)))
    return entries


def _with_legend(image: Any, modules: Any, entries: List[LegendEntry], title: str, font_size: int) -> Any:
    """The picture with a legend band below it: the ``entries`` and the title."""
    image_module = modules[0]
    width = image.width
    size = max(11, round(font_size * 0.85))
    probe = _Picture(image_module.new("RGB", (1, 1)), 3, modules)
    line_h, swatch, gap = size * 1.9, size * 1.2, size * 1.6
    rows: List[List[Tuple[float, Tuple[str, Any, str]]]] = [[]]
    x = 12.0
    for entry in entries:
        text = _fit(probe, entry[2], size, width - swatch - 40)
        entry = (entry[0], entry[1], text)
        w = swatch + 8 + probe.text_size(text, size)[0]
        if rows[-1] and x + w > width - 12:
            rows.append([])
            x = 12.0
        rows[-1].append((x, entry))
        x += w + gap
    title_row = bool(title)
    legend_h = int(math.ceil(line_h * (len(rows) + title_row) + size))
    band = image_module.new("RGB", (width, legend_h), LEGEND_COLOR)
    legend = _Picture(band, 3, modules)
    for r, row in enumerate(rows):
        y = size * 0.6 + r * line_h
        for x, (kind, color, text) in row:
            mid = (x + swatch / 2, y + swatch / 2 + size * 0.15)
            if kind == "dot":
                legend.dot(mid, swatch / 2.4, color)
            elif kind == "cross":
                legend.cross(mid, swatch / 2.6, color, 2)
            elif kind == "barred":
                legend.barred_ring(mid, swatch / 2.4, color, 1.5)
            elif kind == "dwell":
                legend.dot((mid[0] - swatch / 4, mid[1]), swatch / 3, color[0])
                legend.dot((mid[0] + swatch / 4, mid[1]), swatch / 3, color[1])
            elif kind in ("box", "track box"):
                legend.rectangle((x, y, swatch, swatch), color, 2, dashed=kind == "track box")
            elif kind == "dropped box":
                legend.rectangle((x, y, swatch, swatch), color, 1.5, halo=HALO_COLOR)
            elif kind == "hatch":
                square = [(x, y), (x + swatch, y), (x + swatch, y + swatch), (x, y + swatch)]
                legend.polygon(square, color + (40,), color, 1.5)
                legend.hatch(square, color, spacing=5, width=1.5)
            elif kind == "swatch":
                legend.rectangle((x, y, swatch, swatch), color, 2, fill=color + (90,))
            else:
                legend.rectangle((x, y, swatch, swatch), color, 1.5)
            legend.text((x + swatch + 8, y), text, size, INK)
    if title_row:
        legend.text((12, size * 0.6 + len(rows) * line_h), _fit(legend, title, size, width - 24), size, (90, 90, 90))
    out = image_module.new("RGB", (width, image.height + legend_h))
    out.paste(image, (0, 0))
    out.paste(legend.result(), (0, image.height))
    return out
