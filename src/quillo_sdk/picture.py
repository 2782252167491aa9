"""Pictures of zones and items, drawn with Pillow (the ``viz`` extra: ``pip install "quillo_sdk[viz]"``).

:func:`draw_zones` draws region records (vertices in frame fractions) over a plain canvas or over a
real camera frame, with the items of a frame: their boxes, their anchors in the colour of the zone
that kept them, and a mark on the dropped ones. Everything is drawn at a multiple of the output size
and reduced by box averaging, which anti-aliases the shapes and leaves the frame's own pixels exactly
as they were wherever nothing is drawn.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

Color = Tuple[int, int, int]
Point = Tuple[float, float]
Box = Tuple[float, float, float, float]

VIZ_HINT = 'pictures need Pillow 10.1 or newer: pip install "quillo_sdk[viz]"'
FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG"}
FONT_FILES = ("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",  # Debian's fonts-dejavu-core
              "/usr/share/fonts/TTF/DejaVuSans.ttf", "/usr/share/fonts/dejavu/DejaVuSans.ttf")

ZONE_COLORS: Sequence[Color] = ((31, 119, 180), (44, 160, 44), (148, 103, 189), (23, 150, 170),
                                (188, 140, 20), (140, 86, 75))
EXCLUSION_COLOR: Color = (214, 39, 40)
DROPPED_COLOR: Color = (200, 0, 0)
PASSED_COLOR: Color = (90, 90, 90)  # kept by a zone without outline: no zone colour to give it
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
    without outline let it through. ``note`` is drawn beside the item and ``color`` overrides the
    colour of its zone (for marks of one's own, such as time spent in a zone).
    """

    anchor: Point
    kept: bool
    zones: Sequence[str] = ()
    box: Optional[Box] = None
    note: Optional[str] = None
    color: Optional[Color] = None


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

    def rectangle(self, box: Box, color: Color, width: float, fill: Optional[Tuple[int, int, int, int]] = None) -> None:
        x, y, w, h = box
        (x0, y0), (x1, y1) = self.xy([(x, y), (x + w, y + h)])
        self.draw.rectangle([min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)], fill=fill, outline=color,
                            width=max(1, round(width * self.scale)))

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
                  width: int, height: int) -> List[Point]:
    """Top-left corners for zone labels: on the canvas, off the other zones and labels if possible.

    ``labels`` holds (zone outline, text, text size) per label and ``outlines`` every zone's outline.
    Candidates lie inside the zone near its top, at its middle, and just outside it; the one covering
    the least of the other zones and of the labels placed before wins.
    """
    placed: List[Any] = []
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
               size: Tuple[int, int] = (960, 540), title: str = "", frame: Optional[str] = None) -> str:
    """Draw ``zones`` and ``items`` into the picture ``path`` (.png or .jpg) and return ``path``.

    Include zones are filled in their colour with their names, exclusions hatched in red, items
    shown by their boxes and anchors (kept ones in the colour of the zone that kept them, dropped
    ones crossed out), with a legend below that counts the items each zone kept. ``frame`` names
    an image to draw over instead of a plain canvas of ``size``; the zones are scaled to it.
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
    for item in items:
        anchor = (_finite(item.anchor[0]), _finite(item.anchor[1]))
        color = item.color or (zone_colors.get(item.zones[0], ZONE_COLORS[0]) if item.zones else
                               PASSED_COLOR if item.kept else DROPPED_COLOR)
        for zone_id in dict.fromkeys(item.zones):
            counts[zone_id] = counts.get(zone_id, 0) + 1
        passed += item.kept and not item.zones
        if item.box is not None:
            box = [_finite(v) for v in item.box]
            if None not in box:
                x, y, w, h = box  # type: ignore[misc]
                picture.rectangle((x * width, y * height, w * width, h * height),
                                  color if item.kept else (150, 150, 150), 2 if item.kept else 1.5)
        if None in anchor:
            continue
        at = (anchor[0] * width, anchor[1] * height)  # type: ignore[operator]
        if item.kept:
            picture.dot(at, 5.5, color)
        else:
            picture.cross(at, 5, color)
        if item.note:
            picture.text((at[0] + 9, at[1] - font_size), item.note, round(font_size * 0.8), _darker(color, 0.6),
                         background=(255, 255, 255, 190), pad=2)
    for (shape, name, text_size, color), corner in zip(labels, _place_labels([l[:3] for l in labels], shapes,
                                                                             width, height)):
        picture.text(corner, name, font_size, color, background=(255, 255, 255, 215))
    image = picture.result()
    image = _with_legend(image, modules, zones, zone_colors, counts, passed, match_all, title, font_size)
    image.save(path, format=image_format, **({"quality": 92} if image_format == "JPEG" else {}))
    return path


def _with_legend(image: Any, modules: Any, zones: List[Mapping[str, Any]], zone_colors: Dict[str, Color],
                 counts: Dict[str, int], passed: int, match_all: List[str], title: str, font_size: int) -> Any:
    """The picture with a legend band below it: the marks, each include zone with the items it
    kept, the zones without outline, and the title."""
    image_module = modules[0]
    width = image.width
    size = max(11, round(font_size * 0.85))
    entries: List[Tuple[str, Any, str]] = [("dot", ZONE_COLORS[0], "kept anchor (zone colour)"),
                                           ("cross", DROPPED_COLOR, "dropped anchor"),
                                           ("hatch", EXCLUSION_COLOR, "exclusion")]
    seen = set()
    for zone in zones:
        zone_id = str(zone.get("roi_id", ""))
        if zone.get("include") and len(_vertices(zone)) and zone_id not in seen and zone_id in zone_colors:
            seen.add(zone_id)
            name = str(zone.get("label") or zone_id or "zone")
            entries.append(("swatch", zone_colors[zone_id], "%s: %d kept" % (name, counts.get(zone_id, 0))))
    for name in match_all:
        entries.append(("note", PASSED_COLOR, "%s has no outline: every item passes (%d passed unmatched)"
                        % (name, passed)))
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
